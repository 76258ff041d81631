// Whole drives: a slot folder made by the test, driven the way a user drives it (keys, speeds,
// CV writes) and rendered in simulated time; what is checked is what is heard: the track lines
// of the log and the recording. The mixer's buffers lie on a 64 ms grid of the clock, so a time
// in the recording is the log's time of the same moment, within a buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "render.h"

namespace {

std::string play(int track, const std::string &role) {
    return "Play " + std::to_string(track) + "(" + role + ")";
}

// Fades, notifications and recording offsets make a few tens of milliseconds of slack.
constexpr int64_t SLACK_MS = 80;

// The first time in `times` at or after `from`, or -1.
int64_t first_after(const std::vector<int64_t> &times, int64_t from) {
    for (int64_t t : times)
        if (t >= from) return t;
    return -1;
}

// Mean square of the recording over 20 ms from `t_ms`.
double power_at(const Render &r, int64_t t_ms) {
    const size_t p = (size_t)t_ms * 32, n = 640;
    double e = 0;
    for (size_t i = p; i < p + n && i < r.audio.size(); i++)
        e += (double)r.audio[i] * r.audio[i];
    return e / n;
}

// A drive function on F1: the idle level (200 Hz) and running levels from 10, 30, 50 and 70 %
// (300, 400, 500 and 600 Hz); the levels in `offs` have an OFF track 50 Hz above their loop.
void running_levels_on_f1(const Project &p, const std::set<int> &offs) {
    p.tone("F1_S0_LOOP.wav", 1, 200);
    for (int speed = 10, freq = 300; speed <= 70; speed += 20, freq += 100) {
        p.tone("F1_S" + std::to_string(speed) + "_LOOP.wav", 1, freq);
        if (offs.count(speed)) p.tone("F1_S" + std::to_string(speed) + "_OFF.wav", 0.8, freq + 50);
    }
}

TEST(WholeDrive, DroppingSeveralLevelsGoesStraightToTheLevelOfTheSpeed) {
    {
        // Every running level has an OFF track. From full speed to 35 % at once: the top level's
        // OFF track bridges the drop, then the 30 % level plays its loop. The levels passed on
        // the way are not played, and the engine never falls silent.
        Project p;
        running_levels_on_f1(p, {30, 50, 70});
        const Render r = render(p.path(), "cv3=0\ncv4=0\nwait 0.5\nf1\nwait 2\ns100\nwait 5\ns35\nwait 6\n");
        ASSERT_EQ(r.status, 0) << r.dump();
        const int s30_loop = r.level_track("F1: SPD 30-50%:", "LOOP");
        const int s50_off = r.level_track("F1: SPD 50-70%:", "OFF");
        const int s70_off = r.level_track("F1: SPD 70-100%:", "OFF");
        const auto off = r.times(play(s70_off, "OFF"));
        ASSERT_EQ(off.size(), 1u) << r.dump();
        const auto loop = r.times(play(s30_loop, "LOOP"));
        ASSERT_FALSE(loop.empty()) << "the level of the speed never plays\n" << r.dump();
        EXPECT_GT(loop.back(), off[0]);
        EXPECT_EQ(r.count(play(s50_off, "OFF")), 0) << r.dump();
        EXPECT_EQ(r.count("Mixer = 0"), 0) << r.dump();
        EXPECT_LT(r.longest_silence(1000, r.length_ms()), 150);
        EXPECT_TRUE(r.heard(400, r.length_ms() - 500));
    }
    {
        // Only the 30 % level has an OFF track. From full speed to 15 % at once: its OFF track
        // must not play, since that level never sounded; the 10 % level's loop follows the top
        // level's.
        Project p;
        running_levels_on_f1(p, {30});
        const Render r = render(p.path(), "cv3=0\ncv4=0\nwait 0.5\nf1\nwait 2\ns100\nwait 5\ns15\nwait 6\n");
        ASSERT_EQ(r.status, 0) << r.dump();
        const int s10_loop = r.level_track("F1: SPD 10-30%:", "LOOP");
        const int s30_off = r.level_track("F1: SPD 30-50%:", "OFF");
        EXPECT_EQ(r.count(play(s30_off, "OFF")), 0) << r.dump();
        EXPECT_FALSE(r.times(play(s10_loop, "LOOP")).empty()) << r.dump();
        EXPECT_TRUE(r.heard(300, r.length_ms() - 500));
        EXPECT_EQ(r.first_heard(450), -1) << "the passed level's OFF track sounded";
    }
}

TEST(WholeDrive, WholeRangeAccelAndDecelTracksHandBackToTheLevels) {
    Project p;
    p.tones({{"F1_S0_LOOP.wav", 1, 200},
             {"F1_S30_LOOP.wav", 1, 300},
             {"F1_ACCEL.wav", 3, 700},
             {"F1_DECEL.wav", 3, 800}});
    // The engine key goes off and on again at 10.5 s, while driving in the console's normal
    // direction (the motor's speed is negative).
    const Render r = render(p.path(), "wait 0.5\nf1\nwait 2\ns60\nwait 8\nf1\nf1\nwait 4\ns0\nwait 12\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    ASSERT_EQ(r.count("(ACCEL)"), 2) << "the acceleration and the braking each play their track\n"
                                     << r.dump();
    // When a transition track ends (the acceleration's before the target speed), a level plays
    // on in the same millisecond, cross-fading in the fade time as the track fades out.
    const auto ends = r.times("Ending of");
    ASSERT_EQ(ends.size(), 2u) << "the acceleration and the braking track each end\n" << r.dump();
    EXPECT_GT(power_at(r, ends[0] + 500) / power_at(r, 10000), 0.7);
    for (int64_t t : ends) {
        bool level_follows = false;
        for (int64_t l : r.times("(LOOP) FADEIN=350"))
            level_follows |= l == t;
        EXPECT_TRUE(level_follows) << "no level fades in at the end at " << t << " ms\n" << r.dump();
    }
    EXPECT_EQ(r.count("Mixer = 0"), 0) << r.dump();
    EXPECT_LT(r.longest_silence(1000, r.length_ms()), 150);
    EXPECT_TRUE(r.heard(300, 12000)) << "cruising at 60 %: the 30 % level";
    EXPECT_GT(power_at(r, 11000) / power_at(r, 10000), 0.7) << "back within the fade time";
    EXPECT_TRUE(r.heard(200, r.length_ms() - 500)) << "standing: the idle level";
}

TEST(WholeDrive, AFunctionSwitchedOnAgainDuringItsOnTrackReachesItsLoop) {
    Project p;
    p.tones({{"F2_ON.wav", 1.5, 500}, {"F2_LOOP.wav", 1, 600}, {"F2_OFF.wav", 0.5, 700}});
    // On, off while the ON track plays, and on again: the key's last state is on.
    const Render r = render(p.path(), "wait 0.5\nf2\nwait 0.4\nf2\nwait 0.3\nf2\nwait 4\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    EXPECT_EQ(r.count("(OFF)"), 0) << r.dump();
    EXPECT_EQ(r.count("(LOOP)"), 1) << r.dump();
    EXPECT_TRUE(r.heard(600, r.length_ms() - 500));
    EXPECT_EQ(r.first_heard(700), -1);
}

TEST(WholeDrive, StereoFilesKeepTheirTime) {
    Project p;
    // A stereo Ogg ON track before a mono loop, and a stereo WAV ON track before a stereo loop.
    // With a fade of 350 ms each loop starts 350 ms before its ON track ends.
    p.tones({{"F2_ON.ogg", 2.0, 500, 2},
             {"F2_LOOP.wav", 1, 600},
             {"F3_ON.wav", 1.0, 700, 2},
             {"F3_LOOP.wav", 1, 800, 2}});
    const Render r = render(p.path(), "wait 0.5\nf2\nwait 3.5\nf2\nwait 1\nf3\nwait 3\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    const int64_t on2 = r.first_heard(500), loop2 = r.first_heard(600);
    ASSERT_GE(on2, 0) << r.dump();
    EXPECT_NEAR(loop2 - on2, 2000 - 350, SLACK_MS) << r.dump();
    const int64_t on3 = r.first_heard(700), loop3 = r.first_heard(800);
    ASSERT_GE(on3, 0) << r.dump();
    EXPECT_NEAR(loop3 - on3, 1000 - 350, SLACK_MS) << r.dump();
    // The stereo ON track sounds for its whole length, not half of it.
    EXPECT_TRUE(r.heard(500, on2 + 1500)) << r.dump();
}

// A looping ADPCM file must play whole: 950 ms of silence and a 50 ms burst at its end, so that
// each pass shows as one burst, and the bursts come exactly one file length apart.
TEST(WholeDrive, AnAdpcmLoopPassIsExactlyTheFile) {
    constexpr size_t FILE_FRAMES = 32000, BURST = 1600;
    std::vector<int16_t> s(FILE_FRAMES, 0);
    for (size_t i = FILE_FRAMES - BURST; i < FILE_FRAMES; i++)
        s[i] = (int16_t)(12000 * std::sin(2 * M_PI * 1000.0 * (double)i / 32000));
    Project p;
    p.samples("F3_LOOP.wav", s, true);
    const Render r = render(p.path(), "wait 0.5\nf3\nwait 6\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    // Onsets: a loud sample after at least 100 ms of quiet; a burst ends at its last loud sample.
    std::vector<size_t> onsets, ends;
    size_t quiet = 0;
    for (size_t i = 0; i < r.audio.size(); i++) {
        const int v = std::abs((int)r.audio[i]);
        if (v > 3000) {
            if (quiet >= 3200) onsets.push_back(i);
            if (!onsets.empty()) ends.resize(onsets.size(), 0), ends.back() = i;
            quiet = 0;
        } else if (v < 1000) {
            quiet++;
        }
    }
    ASSERT_GE(onsets.size(), 5u) << r.dump();
    for (size_t k = 1; k < onsets.size(); k++)
        EXPECT_NEAR((double)(onsets[k] - onsets[k - 1]), (double)FILE_FRAMES, 16) << "pass " << k;
    // The last burst may be cut by the end of the recording.
    for (size_t k = 0; k + 1 < onsets.size(); k++)
        EXPECT_NEAR((double)(ends[k] - onsets[k]), (double)BURST, 32) << "burst " << k;
}

// Nothing of the unloaded slot sounds again: neither its loop of parts nor a key pressed after.
TEST(WholeDrive, SlotZeroUnloadsTheSlotAndSilencesIt) {
    Project p;
    p.tone("F3_LOOP.wav", 1, 600);
    p.tone("F1_S30_P500_LOOP1.wav", 0.3, 300);
    const Render r = render(p.path(), "wait 0.5\nf3\nf1\ns60\nwait 5\ncv202=0\nwait 1\nf3\nf3\nwait 2\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    EXPECT_EQ(r.count("Slot is invalid id = 0"), 1) << r.dump();
    EXPECT_TRUE(r.heard(600, 1200) && r.heard(300, 5000));
    EXPECT_GT(r.longest_silence(5500 + SLACK_MS, r.length_ms()), r.length_ms() - 5600 - SLACK_MS) << r.dump();
}

TEST(WholeDrive, TheRecordingIsSilentWhileMuted) {
    Project p;
    p.tone("F3_LOOP.wav", 1, 600);
    // F23 mutes (CV 207).
    const Render r = render(p.path(), "wait 0.5\nf3\nwait 1\nf23\nwait 1\nf23\nwait 1\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    // In step with time: the recording is as long as the drive.
    EXPECT_NEAR((double)r.length_ms(), 3500, 100);
    EXPECT_TRUE(r.heard(600, 1200));
    for (size_t i = (1500 + SLACK_MS) * 32; i < (2500 - SLACK_MS) * 32; i++)
        ASSERT_EQ(r.audio[i], 0) << "sound recorded while muted, at " << i / 32 << " ms";
    EXPECT_TRUE(r.heard(600, 3000));
}

// The DCC layer's movement events as the sound engine hears them: a start cancelled during the
// start delay, a reversal during the delay, an emergency stop, a start with shunting on (no start
// delay) and braking to a stand from a reverse speed.
TEST(WholeDrive, MovementEventsReachTheEngineSound) {
    Project p;
    p.tone("F1_S0_LOOP.wav", 1, 200);
    p.tone("F1_S20_LOOP.wav", 1, 300);
    p.tone("F1_S20_OFF.wav", 1, 800);  // the drive-off sound
    p.tones({{"F1_START.wav", 1.5, 400},
             {"F1_DIR.wav", 0.5, 500},
             {"F1_ESTOP.wav", 0.8, 600},
             {"F1_STOP.wav", 2, 700}});
    p.text("data/1/logic.txt", "F5_ESTOP_L1000\n");
    const Render r = render(p.path(),
                            "wait 0.5\nf1\n"
                            "wait 1\ns40\nwait 0.3\ns0\n"      // 1.5 s: start, cancelled in the delay
                            "wait 1.7\ns40\nwait 0.3\ns-41\n"  // 3.5 s: start, reversed in the delay
                            "wait 4.7\nestop\n"                // 8.5 s: emergency stop while moving
                            "wait 2.5\nf6\nwait 0.5\ns40\n"    // 11.5 s: shunting, no start delay
                            "wait 4.5\nf6\ns-51\n"             // 16 s: turn round, 50 % in reverse
                            "wait 6\ns0\nwait 10\n");          // 22 s: brake to a stand
    ASSERT_EQ(r.status, 0) << r.dump();
    const auto start = r.times("(START)"), saves = r.times("Saving current speed");
    // Cancelled: no start sound and no movement until the next start.
    EXPECT_EQ(first_after(start, 0), first_after(start, 3500)) << r.dump();
    EXPECT_EQ(first_after(saves, 1500), first_after(saves, 3500)) << r.dump();
    EXPECT_TRUE(r.heard(200, 3000)) << "the idle level plays on";
    // Reversed during the delay: the direction sound, then the start after the delay, and the
    // running level as the loco moves off.
    EXPECT_NE(first_after(r.times("(DIR)"), 3800), -1) << r.dump();
    EXPECT_NEAR((double)first_after(start, 3500), 3520 + 1000, 20) << r.dump();
    const int running = r.level_track("F1: SPD 20-100%:", "LOOP");
    EXPECT_NE(first_after(r.times(play(running, "LOOP")), 4500), -1) << r.dump();
    EXPECT_TRUE(r.heard(300, 7500));
    // Emergency stop: its sound at once, once (as its one logic event), the running level stops,
    // the idle level returns.
    EXPECT_EQ(r.count("(ESTOP)"), r.count("type=ESTOP param=1")) << r.dump();
    const int64_t estop = first_after(r.times("(ESTOP)"), 8500);
    EXPECT_NEAR((double)estop, 8520, 20) << r.dump();
    EXPECT_TRUE(r.heard(600, estop + 100));
    EXPECT_FALSE(r.heard(300, estop + 400));
    EXPECT_EQ(first_after(r.times("(LOOP) FADEIN=350"), 8500), estop) << "the idle level in the fade time";
    EXPECT_TRUE(r.heard(200, estop + 150));
    EXPECT_TRUE(r.heard(200, 11000));
    // Shunting: the start sound and the movement without the start delay.
    EXPECT_NEAR((double)first_after(start, 11500), 11520, 20) << r.dump();
    EXPECT_LT(first_after(saves, 11500), 11500 + 1000) << r.dump();
    // Braking from the reverse speed: the stop and drive-off sounds, then the idle level.
    const int64_t stop = first_after(r.times("(STOP)"), 22000);
    const int64_t drvoff = first_after(r.times("(DRVOFF)"), 22000);
    EXPECT_NE(stop, -1) << r.dump();
    EXPECT_GT(drvoff, stop) << r.dump();
    EXPECT_TRUE(r.heard(700, stop + 300));
    EXPECT_TRUE(r.heard(200, r.length_ms() - 500));
}

// The track-end handling of the drive sounds: an ACCELON or DECELON sound that ends leaves the
// levels playing and the next change picks again; the drive-off sound hands back to the idle
// level when it ends. F3's volume follows the speed, from 0 % (silence) at a stand.
TEST(WholeDrive, DriveSoundsThatEndHandBackToTheLevels) {
    Project p;
    p.tones({{"F1_S0_LOOP.wav", 1, 200},
             {"F1_S20_LOOP.wav", 1, 300},
             {"F1_S20_OFF.wav", 0.8, 800},
             {"F1A_ACCELON.wav", 0.6, 500},
             {"F1B_ACCELON.wav", 0.6, 550},
             {"F1A_DECELON.wav", 0.6, 600},
             {"F1B_DECELON.wav", 0.6, 650},
             {"F3_LOOP.wav", 1, 900}});
    p.text("data/1/logic.txt", "F3_VOLSPD_V0_E100\n");
    const Render r =
        render(p.path(), "wait 0.5\nf1\nf3\nwait 1\ns50\nwait 8\ns30\nwait 6\ns70\nwait 6\ns0\nwait 10\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    EXPECT_EQ(r.count("(ACCELON)"), 2) << r.dump();
    EXPECT_EQ(r.count("(DECELON)"), 2) << r.dump();
    EXPECT_EQ(r.count("(DRVOFF)"), 1) << r.dump();
    EXPECT_EQ(r.count("Mixer = 0"), 0) << r.dump();
    EXPECT_LT(r.longest_silence(1000, r.length_ms()), 150);
    const int64_t drvoff = r.times("(DRVOFF)").at(0);
    EXPECT_NE(first_after(r.times("(LOOP)"), drvoff + 1), -1) << "the idle level after the drive-off sound";
    EXPECT_TRUE(r.heard(200, r.length_ms() - 500));
    EXPECT_TRUE(r.heard(900, 21000) && !r.heard(900, 1000) && !r.heard(900, r.length_ms() - 500));
}

// The drive-off sound is reckoned to end a fade before the stand, so its end may come while the
// loco still brakes below its speed: it plays once, and the idle level follows it.
TEST(WholeDrive, TheDriveOffSoundPlaysOncePerBraking) {
    Project p;
    p.drive_on_f1(1.0);
    const Render r = render(p.path(), "wait 0.7\nf1\nwait 2.5\ns50\nwait 8.5\ns0\nwait 6\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    EXPECT_EQ(r.count("(DRVOFF)"), 1) << r.dump();
    EXPECT_TRUE(r.heard(200, r.length_ms() - 500)) << "the idle level after the drive-off sound";
}

// An emergency stop during the start delay calls the start off, as a stop does: the engine stays
// at its idle level, and the next start has its delay and its start sound again.
TEST(WholeDrive, AnEmergencyStopDuringTheStartDelayCallsTheStartOff) {
    Project p;
    p.drive_on_f1(1.0);
    const Render r = render(p.path(), "wait 0.7\nf1\nwait 2.5\ns50\nwait 0.3\nestop\nwait 4\ns50\nwait 4\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    // At a stand after the emergency stop: the idle level (200 Hz), not the running one (400 Hz).
    EXPECT_TRUE(r.heard(200, 6500)) << r.dump();
    EXPECT_FALSE(r.heard(400, 6500)) << r.dump();
    // The start sound plays once: for the second start (7.5 s), after its delay of 1 s.
    const auto start = r.times("(START)");
    ASSERT_EQ(start.size(), 1u) << r.dump();
    EXPECT_NEAR((double)start[0], 7520 + 1000, 30) << r.dump();
    EXPECT_EQ(r.count("Wait for Start moving"), 2) << r.dump();
    EXPECT_TRUE(r.heard(400, r.length_ms() - 500)) << r.dump();
}

// A function's volume (CV 192 selects it, CV 193 sets it) changed while it plays: a step down is
// heard at once, a step up rises over half a second.
TEST(WholeDrive, AVolumeChangeStepsDownAtOnceAndRampsUp) {
    Project p;
    p.tone("F3_LOOP.wav", 1, 600);
    const Render r =
        render(p.path(), "wait 0.5\nf3\nwait 1\ncv192=3\ncv193=50\nwait 1\ncv193=100\nwait 1.5\n");
    ASSERT_EQ(r.status, 0) << r.dump();
    const double full = power_at(r, 1300), half = power_at(r, 2300);
    ASSERT_GT(full, 1e6) << r.dump();
    // Half the gain is a quarter of the power.
    EXPECT_NEAR(half / full, 0.25, 0.03);
    // The readers work up to two buffers (128 ms) ahead of the buffer being heard, so a change is
    // heard up to three buffers later. The step down is complete at once.
    constexpr int64_t AHEAD_MS = 200;
    EXPECT_NEAR(power_at(r, 1500 + AHEAD_MS) / full, 0.25, 0.03);
    // The step up: on its way a quarter second in, complete after half a second.
    const double rising = power_at(r, 2500 + AHEAD_MS + 250);
    EXPECT_GT(rising / full, 0.35);
    EXPECT_LT(rising / full, 0.9);
    EXPECT_NEAR(power_at(r, 2500 + AHEAD_MS + 550) / full, 1.0, 0.05);
}

}  // namespace
