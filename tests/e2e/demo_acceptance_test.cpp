// Acceptance: the bundled demo project driven through a scripted run, as a newcomer would:
// engine start, run up to full speed, horn, bell, an announcement, braking to a stand, a slot
// switch and back, engine off. The log lines must come in order, and the recording must hold
// sound where the locomotive sounds and silence before and after.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "audio_test_util.h"
#include "emulator_process.h"

namespace {

using namespace std::chrono_literals;

double rms(const std::vector<int16_t> &s, size_t from, size_t to) {
    double sum = 0;
    to = std::min(to, s.size());
    if (to <= from) return 0;
    for (size_t i = from; i < to; i++)
        sum += (double)s[i] * s[i];
    return std::sqrt(sum / (double)(to - from));
}

TEST(DemoAcceptance, ScriptedRunThroughBothSlots) {
    TempDir dir;
    std::filesystem::copy(std::string(TEST_SOURCE_DIR) + "/demo", dir.path(),
                          std::filesystem::copy_options::recursive);
    const std::string rec = (dir.path() / "demo-run.wav").string();
    EmulatorProcess emu(dir.path(), {"--no-sound", "--record", rec});

    ASSERT_GE(emu.wait_for("Slot 1 loaded successfully", 20s), 0) << emu.dump();
    // The demo's own files load without a single complaint.
    for (const auto &l : emu.lines()) {
        bool expected_warning = l.text.find("Reset all CV") != std::string::npos ||
                                l.text.find("sound is discarded") != std::string::npos ||
                                l.text.find("Stored slot id is different") != std::string::npos;
        EXPECT_FALSE((l.text.rfind("E (", 0) == 0 || l.text.rfind("W (", 0) == 0) && !expected_warning)
            << l.text;
    }
    std::this_thread::sleep_for(1500ms);  // a stretch of silence before anything is switched on

    auto step = [&](const std::string &line, const std::string &expect,
                    std::chrono::milliseconds timeout = 15s) {
        size_t from = emu.lines().size();
        emu.send(line);
        int at = emu.wait_for(expect, timeout, from);
        EXPECT_GE(at, 0) << "after '" << line << "' expected '" << expect << "'\n" << emu.dump();
        return at;
    };

    step("f1", "(ON) FADEIN=");  // engine start: the idle level's ON track
    ASSERT_GE(emu.wait_for("(LOOP) FADEIN=", 15s), 0) << emu.dump();  // idle
    std::this_thread::sleep_for(1000ms);
    step("s100", "F1: Wait for START track");
    ASSERT_GE(emu.wait_for("(START) FADEIN="), 0) << emu.dump();
    ASSERT_GE(emu.wait_for("(TURBO) FADEIN=", 20s), 0) << "full speed brings the turbo\n" << emu.dump();
    ASSERT_GE(emu.wait_for("Saving current speed 2", 20s), 0) << emu.dump();  // 2xx: near full speed
    step("f2", "(ON) FADEIN=0");                                              // horn
    std::this_thread::sleep_for(1200ms);
    step("f2", "(OFF) FADEIN=");
    step("f3", "(LOOP) FADEIN=");  // bell
    std::this_thread::sleep_for(1500ms);
    step("f3", "(OFF) FADEIN=");
    step("f8", "(INFONEXT) FADEIN=0");  // announcement
    std::this_thread::sleep_for(2500ms);
    step("s0", "(DECELON) FADEIN=");  // braking
    ASSERT_GE(emu.wait_for("(STOP) FADEIN=", 25s), 0) << emu.dump();
    ASSERT_GE(emu.wait_for("Saving current speed 0", 25s), 0) << emu.dump();
    std::this_thread::sleep_for(2000ms);
    step("cv202=2", "Slot 2 loaded successfully");
    std::this_thread::sleep_for(2000ms);
    step("cv202=1", "Slot 1 loaded successfully");
    std::this_thread::sleep_for(1500ms);
    size_t off_from = emu.lines().size();
    emu.send("f1");  // engine off: its shut-down sound, then quiet
    ASSERT_GE(emu.wait_for("Drive functions state changed to 0", 10s, off_from), 0) << emu.dump();
    ASSERT_GE(emu.wait_for("Mixer = 0", 20s, off_from), 0) << "everything has stopped\n" << emu.dump();
    std::this_thread::sleep_for(1500ms);
    emu.stop();

    // The key lines came in this order.
    std::vector<std::string> order = {"Slot 1 loaded successfully",
                                      "(START)",
                                      "(TURBO)",
                                      "(INFONEXT)",
                                      "(STOP)",
                                      "Slot 2 loaded successfully",
                                      "Drive functions state changed to 0"};
    int last = -1;
    for (const auto &text : order) {
        int at = emu.wait_for(text, 0ms, last < 0 ? 0 : (size_t)last);
        EXPECT_GT(at, last) << text;
        last = std::max(last, at);
    }

    // The recording: silence before F1, sound while the engine runs, silence at the end.
    auto wav = audio_test::read_wav(rec);
    ASSERT_TRUE(wav.ok) << rec;
    ASSERT_EQ(wav.rate, 32000u);
    const size_t second = 32000;
    ASSERT_GT(wav.samples.size(), 30 * second);
    EXPECT_LT(rms(wav.samples, 0, second), 5.0) << "silence before the engine starts";
    size_t loud = 0, windows = 0;
    for (size_t p = 3 * second; p + second / 10 < wav.samples.size() - 3 * second; p += second / 10) {
        windows++;
        loud += rms(wav.samples, p, p + second / 10) > 200.0 ? 1 : 0;
    }
    EXPECT_GT(loud, windows * 7 / 10) << "the engine sounds through most of the run";
    EXPECT_LT(rms(wav.samples, wav.samples.size() - second, wav.samples.size()), 5.0) << "silence at the end";
}

}  // namespace
