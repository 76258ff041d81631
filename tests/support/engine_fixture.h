// A running sound engine for unit tests: the firmware is started once per test program in a
// folder of its own (no sound device) and in simulated time, and each test writes its slot folder
// and loads it. The test thread is the first thread of the scheduler: while it runs, the firmware
// stands still; it lets the firmware run for a while with run_ms, and waits with wait_log, both
// on the simulated clock. So every test sees one execution, whatever the machine's load. Header
// only: it needs the host, which only the tests of the engine and its features link.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "audio_files.h"
#include "audio_ll.h"
#include "dcc_hl.h"
#include "emulator.h"
#include "esp_log.h"
#include "files.h"
#include "freertos/task.h"
#include "decoder.h"
#include "fw_lock.h"
#include "memory.h"
#include "sound_hl.h"
#include "test_support.h"

class EngineTest : public ::testing::Test {
public:
    static constexpr uint32_t RATE = 32000;

    static void SetUpTestSuite() {
        static bool started = false;
        if (started) return;
        started = true;
        static test_support::TempFolder folder("engine");
        std::filesystem::current_path(folder.path());
        std::filesystem::create_directories("data");
        i2s_ll_set_no_device(true);
        stub_sim_start("test", 1);
        emulator_init();  // the whole start-up; CV 202 is 1, data/1 is empty
        // The tick loop, as on the tick thread: timers, motor, speed packets.
        xTaskCreate([](void *) { stub_tick_loop(); }, "tick", 4096, nullptr, 50, nullptr);
        wait_loaded();
    }

    // Lets the firmware run for `ms` of simulated time.
    static void run_ms(int64_t ms) { stub_sleep_us(ms * 1000); }

    void SetUp() override {
        clear_slot_folder();
        log_.clear();
    }

    static std::filesystem::path slot_dir() { return std::filesystem::current_path() / "data/1"; }

    static void clear_slot_folder() {
        std::filesystem::create_directories(slot_dir());
        for (auto &e : std::filesystem::directory_iterator(slot_dir()))
            std::filesystem::remove_all(e.path());
    }

    static void write_tone(const std::string &name, double seconds, double freq = 440, uint32_t rate = RATE,
                           uint16_t channels = 1) {
        ASSERT_TRUE(test_support::write_pcm_wav((slot_dir() / name).string(),
                                                test_support::tone(seconds, freq, rate, channels, 8000), rate,
                                                channels));
    }

    static slot_state_t state() { return decoder_slot_state(); }

    static void wait_loaded() {
        if (!decoder_wait_loaded(10 * 1000000LL, 5000)) FAIL() << "slot load did not end";
    }

    // Loads slot 1 anew (the folder is parsed again).
    static void load() {
        ASSERT_EQ(soundHL_load_slot(0, true), ESP_OK);
        wait_loaded();
    }

    // Track id of a file of the loaded slot, -1 if none.
    static int track_of(const std::string &name) {
        for (int i = 0; i < MAX_TRACKS; i++) {
            std::string p = tracks_rom[i].filepath;
            if (p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0 &&
                p[p.size() - name.size() - 1] == '/')
                return i;
        }
        return -1;
    }

    // Waits (in simulated time) for a log line containing `text`.
    bool wait_log(const std::string &text, int timeout_ms = 5000) {
        for (int i = 0; i < timeout_ms / 5; i++) {
            if (log_.contains(text)) return true;
            run_ms(5);
        }
        return log_.contains(text);
    }

    static void key(uint8_t f, bool on) { soundHL_function_changed(f, on); }

protected:
    LogCapture log_;
};
