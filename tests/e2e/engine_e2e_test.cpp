// The sound engine end to end: the real emulator loads a slot made by the test, and console
// keys and speeds play its sounds (rendered in simulated time); the recording shows what was
// heard. Fifty slot reloads run in real time, where threads could pile up.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "audio_files.h"
#include "emulator_process.h"
#include "render.h"
#include "tone_detector.h"

namespace {

using namespace std::chrono_literals;
constexpr uint32_t RATE = 32000;

// 50 ms windows; a tone is heard above a power of 1e5.
const test_support::ToneDetector TONES(RATE, RATE / 20, 1e5);

std::vector<int16_t> tone(double freq, double seconds) {
    return test_support::tone(seconds, freq, RATE, 1, 12000);
}

// Which of `freqs` dominates each 50 ms window of the recording (-1: silence).
std::vector<int> dominant_tones(const std::vector<int16_t> &s, const std::vector<double> &freqs) {
    std::vector<int> out;
    const size_t win = TONES.window();
    for (size_t p = 0; p + win <= s.size(); p += win) {
        int best = -1;
        double best_power = 1e4;  // well above the idle buffers' level
        for (size_t f = 0; f < freqs.size(); f++) {
            double pw = TONES.power(&s[p], freqs[f]);
            if (pw > best_power) {
                best_power = pw;
                best = (int)f;
            }
        }
        out.push_back(best);
    }
    return out;
}

// The order in which tones first appear, each listed once.
std::vector<int> order_of_appearance(const std::vector<int> &windows) {
    std::vector<int> order;
    for (int t : windows) {
        if (t >= 0 && (order.empty() || order.back() != t)) order.push_back(t);
    }
    return order;
}

// The 50 ms window in which each of `freqs` is first heard (-1: never).
std::vector<int> first_heard(const std::vector<int16_t> &s, const std::vector<double> &freqs) {
    std::vector<int> first(freqs.size(), -1);
    const size_t win = TONES.window();
    for (size_t p = 0, w = 0; p + win <= s.size(); p += win, w++) {
        for (size_t f = 0; f < freqs.size(); f++) {
            if (first[f] < 0 && TONES.heard(s, p, freqs[f])) first[f] = (int)w;
        }
    }
    return first;
}

// Whether `freq` sounds in the last 50 ms window that holds any sound.
bool heard_at_end(const std::vector<int16_t> &s, double freq) {
    const size_t win = TONES.window();
    for (size_t p = (s.size() / win - 1) * win; p >= win; p -= win) {
        double energy = 0;
        for (size_t i = p; i < p + win; i++)
            energy += (double)s[i] * s[i];
        if (energy / win < 1e4) continue;
        return TONES.heard(s, p, freq);
    }
    return false;
}

int threads_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

TEST(EngineE2e, FunctionKeyPlaysOnLoopAndOffInOrder) {
    Project p;
    p.tones({{"F2_ON.wav", 0.6, 440}, {"F2_LOOP.wav", 0.5, 880}, {"F2_OFF.wav", 0.6, 1320}});
    const Render r = render(p.path(), "wait 0.5\nf2\nwait 2\nf2\nwait 1.2\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    ASSERT_EQ(r.count("(ON) FADEIN=0"), 1) << r.dump();
    ASSERT_EQ(r.count("(LOOP) FADEIN="), 1) << r.dump();
    ASSERT_EQ(r.count("(OFF) FADEIN="), 1) << r.dump();
    auto order = order_of_appearance(dominant_tones(r.audio, {440, 880, 1320}));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2})) << r.dump();
}

TEST(EngineE2e, FiftySlotReloadsLeaveTheEmulatorHealthy) {
    Project p;
    p.samples("F1_S0_LOOP.wav", tone(300, 0.3));
    p.samples("F1_S40_LOOP.wav", tone(500, 0.3));
    p.samples("F1_S40_OFF.wav", tone(700, 0.3));
    p.samples("F1_START.wav", tone(900, 0.3));
    p.samples("F2_LOOP.wav", tone(600, 0.3));
    EmulatorProcess emu(p.path(), {"--no-sound"});
    ASSERT_GE(emu.wait_for("Slot 1 loaded successfully"), 0) << emu.dump();
    emu.send("f2");
    emu.send("f1");
    std::this_thread::sleep_for(300ms);
    int threads_before = threads_of(emu.pid());
    for (int i = 1; i <= 50; i++) {
        emu.send("cv202=1");
        for (int wait = 0; wait < 1000 && emu.count("Slot 1 loaded successfully") < i + 1; wait++)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(emu.count("Slot 1 loaded successfully"), i + 1) << "reload " << i << "\n" << emu.dump();
    }
    std::this_thread::sleep_for(500ms);
    int threads_after = threads_of(emu.pid());
    EXPECT_EQ(emu.count("Timer table is full"), 0);
    EXPECT_EQ(emu.count("Error create"), 0);
    // The keys that are on sound again after every reload.
    EXPECT_GE(emu.count("Play"), 50);
    EXPECT_LE(threads_after, threads_before + 8)
        << "threads pile up: " << threads_before << " -> " << threads_after;
    emu.stop();
}

TEST(EngineE2e, EngineStartsRunsUpAndStops) {
    Project p;
    p.tones({{"F1_START.wav", 0.8, 400},
             {"F1_S0_LOOP.wav", 0.5, 200},
             {"F1_S40_LOOP.wav", 0.5, 600},
             {"F1_S40_OFF.wav", 0.8, 800},
             {"F1_STOP.wav", 1.5, 1000},
             {"F1_ACCELON.wav", 0.6, 1200}});
    const Render r = render(p.path(), "wait 0.5\nf1\nwait 0.5\ns30\nwait 3.5\ns60\nwait 3\ns0\nwait 8\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    EXPECT_EQ(r.count("F1: Wait for START track 1000 ms"), 1) << r.dump();
    EXPECT_EQ(r.count("F1: Wait for Start moving 1000 ms"), 1) << r.dump();
    EXPECT_EQ(r.count("(START) FADEIN="), 1) << r.dump();
    EXPECT_EQ(r.count("(ACCELON) FADEIN="), 1) << r.dump();
    EXPECT_GE(r.count("(STOP) FADEIN=") + r.count("(DRVOFF) FADEIN="), 1) << r.dump();
    // idle 200, start 400, level 600, drive-off 800, stop 1000, accelon 1200: when each tone is
    // first heard (sounds overlap in cross-fades, so presence is checked, not dominance).
    const std::vector<double> freqs = {200, 400, 600, 800, 1000, 1200};
    auto first = first_heard(r.audio, freqs);
    EXPECT_GE(first[0], 0);
    EXPECT_GT(first[1], first[0]) << "START after the idle level";
    EXPECT_GT(first[2], first[1] - 2) << "the running level with or after START";
    EXPECT_GT(first[5], first[2]) << "ACCELON after the running level";
    EXPECT_TRUE(first[4] > first[5] || first[3] > first[5]) << "STOP or drive-off while braking";
    EXPECT_TRUE(heard_at_end(r.audio, 200)) << "idle level at the end";
}

TEST(EngineE2e, LogicConditionSwitchesAFunctionForItsDuration) {
    Project p;
    p.tone("F6_LOOP.wav", 0.4, 700);
    p.tone("F2.wav", 0.2, 300);
    p.text("data/1/logic.txt", "F6_F2_ON_L1500\n");
    const Render r = render(p.path(), "wait 0.5\nf2\nwait 3\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    ASSERT_EQ(r.count("Trigger logic condition F6 type=ON param=1"), 1) << r.dump();
    const auto on = r.times("Logic condition F6 type=ON ON");
    const auto off = r.times("Logic condition F6 type=ON OFF");
    ASSERT_EQ(on.size(), 1u) << r.dump();
    ASSERT_EQ(off.size(), 1u) << r.dump();
    EXPECT_EQ(r.count("(LOOP) FADEIN="), 1) << r.dump();
    // Held for its 1.5 s, give or take the 100 ms of the logic's processing period.
    EXPECT_NEAR((double)(off[0] - on[0]), 1500, 100) << r.dump();
}

}  // namespace
