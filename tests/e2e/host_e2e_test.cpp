// The host end to end: the test helper itself, the end of standard input, the signals that end
// the process, and a recorded one-shot.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audio_files.h"
#include "emulator_process.h"
#include "tone_detector.h"

namespace {

using namespace std::chrono_literals;

// CPU time (user + system) of a process in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

TEST(HostE2e, KeepsRunningQuietlyAfterTheEndOfInputAndEndsOnSigint) {
    TempFolder dir;
    EmulatorProcess emu(dir.path(), {"--no-sound"});
    ASSERT_GE(emu.wait_for("Reset all CV[1]"), 0) << emu.dump();
    emu.send("f0");
    emu.close_input();  // end of standard input
    std::this_thread::sleep_for(500ms);
    long before = cpu_ticks(emu.pid());
    std::this_thread::sleep_for(2000ms);
    long after = cpu_ticks(emu.pid());
    ASSERT_TRUE(emu.running());
    // A console retrying at the end of input would burn a whole core (about 200 ticks in 2 s).
    EXPECT_LT(after - before, 100) << "CPU ticks in 2 s after the end of input";
    int status = emu.stop(SIGINT);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

TEST(HostE2e, VersionAndUnknownOptions) {
    TempFolder dir;
    {
        EmulatorProcess emu(dir.path(), {"--version"});
        EXPECT_GE(emu.wait_for("dcc-sound-emu "), 0) << emu.dump();
    }
    EmulatorProcess bad(dir.path(), {"--frobnicate"});
    EXPECT_GE(bad.wait_for("unknown option"), 0) << bad.dump();
}

TEST(HostE2e, RecordedOneShotHoldsItsToneAndEnds) {
    TempFolder dir;
    dir.write("slot.txt", "1\n");
    std::filesystem::create_directories(dir.path() / "data/1");
    std::vector<int16_t> s(32000 / 2);  // 0.5 s of 1 kHz
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (int16_t)(10000 * std::sin(2 * M_PI * 1000 * (double)i / 32000));
    ASSERT_TRUE(test_support::write_pcm_wav((dir.path() / "data/1/F3.wav").string(), s, 32000));
    std::string rec = (dir.path() / "take.wav").string();
    EmulatorProcess emu(dir.path(), {"--no-sound", "--record", rec});
    ASSERT_GE(emu.wait_for("Slot 1 loaded successfully"), 0) << emu.dump();
    emu.send("f3");
    ASSERT_GE(emu.wait_for("(ON) FADEIN=0"), 0) << emu.dump();
    ASSERT_GE(emu.wait_for("End of "), 0) << "the one-shot ends by itself\n" << emu.dump();
    std::this_thread::sleep_for(500ms);
    int status = emu.stop(SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

    auto wav = test_support::read_wav(rec);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.data_size, wav.samples.size() * 2) << "header finished on SIGTERM";
    // Count 50 ms windows dominated by 1 kHz: about 0.5 s of tone, then silence.
    int tone_windows = 0, after_tone_loud = 0;
    bool tone_ended = false;
    for (double pw : test_support::ToneDetector(32000, 1600).powers(wav.samples, 1000)) {
        if (pw > 1e4) {
            tone_windows++;
            if (tone_ended) after_tone_loud++;
        } else if (tone_windows > 0) {
            tone_ended = true;
        }
    }
    EXPECT_GE(tone_windows, 8);
    EXPECT_LE(tone_windows, 12);
    EXPECT_EQ(after_tone_loud, 0);
}

}  // namespace
