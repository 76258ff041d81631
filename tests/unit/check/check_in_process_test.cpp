// The report as a function of a running emulator (for the browser panel): a slot load like a
// CV 202 write, whose log is kept for the report and not printed, after which the engine plays
// the slot as usual.
#include "../sound_hl/engine_fixture.h"
#include "check.h"

namespace {

using CheckInProcess = EngineTest;

TEST_F(CheckInProcess, ReportOfTheRunningEngine) {
    write_tone("F2_ON.wav", 0.3);
    write_tone("F2_LOOP.wav", 0.5);
    write_tone("F3_OFF.wav", 0.3);
    write_tone("F4_ON.wav", 0.3, 440, 22050);
    const check_json r = check_report_json(1);
    EXPECT_EQ(r["result"], "loaded with errors");
    EXPECT_EQ(r["exit_status"], CHECK_ERRORS);
    ASSERT_EQ(r["functions"].size(), 2u);
    EXPECT_EQ(r["functions"][0]["text"], "ON 0.3 s → LOOP 0.5 s");
    EXPECT_EQ(r["warnings"][0]["code"], "silent-while-on");
    EXPECT_EQ(r["errors"][0]["code"], "sample-rate");
    // The load's lines went to the report only; the engine's log goes on as before.
    EXPECT_FALSE(log_.contains("Slot 1 loaded")) << log_.dump();
    EXPECT_EQ(state(), SLOT_LOADED);
    key(2, true);
    EXPECT_TRUE(wait_log("Play " + std::to_string(track_of("F2_ON.wav")) + "(ON)")) << log_.dump();
    key(2, false);
    EXPECT_EQ(check_report_json(4)["exit_status"], CHECK_ERRORS);
}

}  // namespace
