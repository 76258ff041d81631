// The whole firmware started under the manual clock four seconds before a wrap: the platform
// clock passing 2^32 microseconds (about 71.6 minutes of run time), or the firmware's 32-bit
// millisecond counter passing 2^32 (49.7 days of run time). The 100 ms sound tick, the DCC
// speed-store timer, a drive function's start-sound and begin-moving timers and the motor's
// callbacks must keep their times across that point, and the tick loop's next deadline must
// never lie in the past (it would spin). The test thread is the tick thread: it moves the clock
// one millisecond at a time and runs the tick hook, so every timer fires at an exact millisecond.
//
// Each test starts the whole firmware, whose threads (readers, mixer) pace themselves on the
// manual clock and stay running: each runs in a process of its own (as ctest runs them), and this
// file comes last among the host's tests when they all run in one.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio_files.h"
#include "audio_ll.h"
#include "dcc_hl.h"
#include "decoder.h"
#include "emulator.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "files.h"
#include "freertos/task.h"
#include "fw_lock.h"
#include "log_line.h"
#include "memory.h"
#include "movement.h"
#include "sound_hl.h"
#include "test_support.h"

namespace {

constexpr int64_t WRAP_US = int64_t(1) << 32;
constexpr uint32_t RATE = 32000;

void write_tone(const std::filesystem::path &file, double seconds, double freq) {
    ASSERT_TRUE(
        test_support::write_pcm_wav(file.string(), test_support::tone(seconds, freq, RATE, 1, 8000), RATE));
}

// A log line with its time stamp taken relative to the start.
struct Stamped {
    int64_t rel_ms;
    std::string text;
};

// The log's stamps are the 32-bit millisecond time stamp of the platform clock.
std::vector<Stamped> stamped(const LogCapture &log, int64_t start_ms) {
    std::vector<Stamped> out;
    LogLine parsed;
    for (const auto &l : log.lines())
        if (parse_log_line(l, &parsed))
            out.push_back({(int64_t)(uint32_t)((uint32_t)parsed.ms - (uint32_t)start_ms), parsed.text});
    return out;
}

std::vector<int64_t> times_of(const std::vector<Stamped> &lines, const std::string &text) {
    std::vector<int64_t> t;
    for (const auto &l : lines)
        if (l.text.find(text) != std::string::npos) t.push_back(l.rel_ms);
    return t;
}

class ClockWrap : public ::testing::Test {
protected:
    // Moves the clock to `rel_ms` after the start, one millisecond per tick, and records the
    // times at which the engine load changes (each change is one pass of the sound tick).
    void run_to(int64_t rel_ms) {
        while (now_rel_ms_ < rel_ms) {
            stub_clock_advance_us(1000);
            now_rel_ms_++;
            vApplicationTickHook();
            if (vApplicationTickDueUs() <= esp_timer_get_time() && spins_++ == 0)
                ADD_FAILURE() << "the tick loop's next deadline lies in the past at +" << now_rel_ms_
                              << " ms";
            fw_lock();
            uint8_t load = engine_load_value;
            fw_unlock();
            if (load != last_load_) load_steps_ms_.push_back(now_rel_ms_);
            last_load_ = load;
            // Let the readers and the mixer keep up with the moving clock.
            if (now_rel_ms_ % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    static void console(void (*action)()) {
        fw_lock();
        action();
        fw_unlock();
    }

    // The drive across a wrap: the clock starts at `start_us`, the firmware's millisecond counter
    // at `counter_start`, and the wrap comes `wrap_rel_ms` after the start.
    void drive_across_wrap(int64_t start_us, uint32_t counter_start, int64_t wrap_rel_ms);

    int64_t now_rel_ms_ = 0;
    int spins_ = 0;
    uint8_t last_load_ = 0;
    std::vector<int64_t> load_steps_ms_;
};

void ClockWrap::drive_across_wrap(int64_t start_us, uint32_t counter_start, int64_t wrap_rel_ms) {
    const int64_t WRAP_REL_MS = wrap_rel_ms;
    test_support::WorkFolder folder;
    test_support::write_file("slot.txt", "1\n");
    std::filesystem::create_directories("data/1");
    write_tone("data/1/F1_START.wav", 0.5, 400);
    write_tone("data/1/F1_S0_LOOP.wav", 0.6, 200);
    write_tone("data/1/F1_S50_LOOP.wav", 0.6, 600);
    write_tone("data/1/F1_STOP.wav", 0.8, 1000);

    LogCapture log;
    stub_clock_use_manual(start_us);
    MillisecondCounter.store(counter_start);
    i2s_ll_set_no_device(true);
    emulator_init();
    esp_log_level_set("DRV_FUNC", ESP_LOG_INFO);
    // The slot loads on its own task while the clock stands still.
    for (int i = 0; i < 2000; i++) {
        fw_lock();
        bool loading = slot_state == SLOT_LOADING;
        fw_unlock();
        if (!loading) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(log.contains("Slot 1 loaded successfully")) << log.dump();
    const uint32_t start_delay_ms = Memory_LoadU8(63) * 100u;
    ASSERT_GT(start_delay_ms, 0u);

    run_to(100);
    console([] { DCC_ChangeFunction(1); });  // the engine sound on: its standstill level plays
    run_to(500);
    // A minimum load of 100 % with a rise of 1 % per tick: from here the engine load grows by one
    // step on every pass of the sound tick for ten seconds, across the wrap.
    console([] {
        Memory_SaveU8(194, 10);
        soundHL_load_params_changed();
    });
    soundHL_set_minimum_load(100);
    // Speed 70 % shortly before the wrap: the movement delay runs across it, and the motor then
    // climbs past the running level's 50 %.
    run_to(WRAP_REL_MS - (int64_t)start_delay_ms / 2);
    decoder_set_speed(71);
    run_to(WRAP_REL_MS + 7000);
    decoder_set_speed(1);  // stop
    run_to(WRAP_REL_MS + 14000);
    stub_clock_use_real();

    const auto lines = stamped(log, start_us / 1000);
    std::string dump = log.dump();

    // The sound tick: one load step every 100 ms on the grid set up at start, before and after
    // the wrap.
    ASSERT_GE(load_steps_ms_.size(), 50u) << dump;
    EXPECT_LT(load_steps_ms_.front(), WRAP_REL_MS);
    EXPECT_GT(load_steps_ms_.back(), WRAP_REL_MS + 1000);
    for (size_t i = 0; i < load_steps_ms_.size(); i++) {
        EXPECT_EQ(load_steps_ms_[i] % 100, 0) << "sound tick off its grid at +" << load_steps_ms_[i] << " ms";
        if (i > 0) {
            EXPECT_EQ(load_steps_ms_[i] - load_steps_ms_[i - 1], 100) << "at +" << load_steps_ms_[i] << " ms";
        }
    }

    // The DCC speed-store timer: it stores (and logs) on large speed changes; every store after
    // the wrap still falls on its 100 ms grid.
    auto stores = times_of(lines, "Saving current speed");
    int after_wrap = 0;
    for (int64_t t : stores) {
        EXPECT_EQ(t % 100, 0) << "speed store off its grid at +" << t << " ms";
        after_wrap += t > WRAP_REL_MS ? 1 : 0;
    }
    EXPECT_GE(after_wrap, 2) << dump;

    // The drive function's two timers were started before the wrap and fire after it, exactly
    // when they were asked to.
    auto prepared = times_of(lines, "F1: Wait for START track");
    ASSERT_EQ(prepared.size(), 1u) << dump;
    const int64_t t_prepare = prepared[0];
    EXPECT_LT(t_prepare, WRAP_REL_MS);
    // The number after a text in the first line that holds it, -1 if none.
    auto number_after = [&](const std::string &text) -> int64_t {
        for (const auto &l : lines) {
            size_t at = l.text.find(text);
            if (at != std::string::npos) return std::stoll(l.text.substr(at + text.size()));
        }
        return -1;
    };
    const int64_t start_wait = number_after("F1: Wait for START track ");
    const int64_t begin_wait = number_after("F1: Wait for Start moving ");
    ASSERT_GT(start_wait, 0) << dump;
    ASSERT_GT(begin_wait, 0) << dump;
    EXPECT_GT(t_prepare + start_wait, WRAP_REL_MS);
    EXPECT_EQ(times_of(lines, "(START) FADEIN="), (std::vector<int64_t>{t_prepare + start_wait})) << dump;
    EXPECT_EQ(times_of(lines, "F1: Begin moving"), (std::vector<int64_t>{t_prepare + begin_wait})) << dump;

    // The drive sound follows the movement after the wrap: the running level's loop plays once
    // the motor runs, and the stop sound when it has stopped again.
    int running_level = -1, stop_track = -1;
    for (int i = 0; i < MAX_TRACKS; i++) {
        std::string p = tracks_rom[i].filepath;
        if (p == "data/1/F1_S50_LOOP.wav") running_level = i;
        if (p == "data/1/F1_STOP.wav") stop_track = i;
    }
    ASSERT_GE(running_level, 0);
    ASSERT_GE(stop_track, 0);
    auto level_plays = times_of(lines, "Play " + std::to_string(running_level) + "(");
    ASSERT_FALSE(level_plays.empty()) << dump;
    EXPECT_GE(level_plays.front(), t_prepare + begin_wait);
    auto stop_plays = times_of(lines, "Play " + std::to_string(stop_track) + "(STOP)");
    ASSERT_FALSE(stop_plays.empty()) << dump;
    EXPECT_GT(stop_plays.front(), WRAP_REL_MS + 7000);
    // The motor's callbacks kept running: it came to a stand again after the wrap.
    fw_lock();
    EXPECT_EQ(EngineParams.CurSpeed, 0) << dump;
    fw_unlock();
}

TEST_F(ClockWrap, TimersAndTheDriveSoundKeepTheirTimesAcrossTheMicrosecondWrap) {
    // Four seconds before the wrap, on a whole millisecond; the clock passes the wrap inside the
    // millisecond that ends WRAP_US / 1000 - start after the start.
    const int64_t start_us = (WRAP_US - 4000000) / 1000 * 1000;
    drive_across_wrap(start_us, 0, (WRAP_US - start_us) / 1000);
}

TEST_F(ClockWrap, TheHostKeepsTimeWhenTheFirmwaresMillisecondCounterWraps) {
    // As after 49.7 days of running: the counter passes 2^32 four seconds after the start.
    drive_across_wrap(10'000'000, (uint32_t)(WRAP_US - 4000), 4000);
}

}  // namespace
