// The report as a function of a running emulator (for the browser panel): a slot load like a
// CV 202 write, whose log goes to the report and to the engine's log as any load's does (what
// the check parses on its own is the report's alone), after which the engine plays the slot as
// usual.
#include "engine_fixture.h"
#include <fstream>

#include "check.h"

namespace {

using CheckInProcess = EngineTest;

TEST_F(CheckInProcess, ReportOfTheRunningEngine) {
    write_tone("F2_ON.wav", 0.3);
    write_tone("F2_LOOP.wav", 0.5);
    write_tone("F3_OFF.wav", 0.3);
    write_tone("F4_ON.wav", 0.3, 440, 22050);
    {
        std::ofstream cv("data/1/cv.txt");
        cv << "cv3=10\ncv4=20\ncv5=200\n";
    }
    const check_json r = check_report_json(1);
    EXPECT_EQ(r["result"], "loaded with errors");
    EXPECT_EQ(r["exit_status"], CHECK_ERRORS);
    ASSERT_EQ(r["functions"].size(), 2u);
    EXPECT_EQ(r["functions"][0]["text"], "ON 0.3 s → LOOP 0.5 s");
    EXPECT_EQ(r["warnings"][0]["code"], "silent-while-on");
    EXPECT_EQ(r["errors"][0]["code"], "sample-rate");
    EXPECT_EQ(r["text_files"]["cv"][0]["values"].size(), 3u) << r.dump(2);
    // The reload is in the engine's log; the check's line-by-line parse of the CV file is not.
    EXPECT_TRUE(log_.contains("Slot 1 loaded")) << log_.dump();
    EXPECT_LE(log_.count("Parsing CV file"), 1) << log_.dump();
    EXPECT_EQ(state(), SLOT_LOADED);
    key(2, true);
    EXPECT_TRUE(wait_log("Play " + std::to_string(track_of("F2_ON.wav")) + "(ON)")) << log_.dump();
    key(2, false);
    EXPECT_EQ(check_report_json(4)["exit_status"], CHECK_ERRORS);
}

}  // namespace
