// A mixer writing to the output device on the no-device path, with the device recording what
// the mixer writes; readers playing constant or prepared files as its inputs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "audio_files.h"
#include "audio_ll.h"
#include "files.h"
#include "mixer.h"
#include "reader_helpers.h"

namespace mixer_test {

using namespace test_support;

struct StatusLog {
    static std::mutex mutex;
    static std::vector<bool> calls;
    static void callback(bool status) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(status);
    }
    static std::vector<bool> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }
};
inline std::mutex StatusLog::mutex;
inline std::vector<bool> StatusLog::calls;

class MixerRig {
public:
    static constexpr uint32_t RATE = 32000;

    MixerRig() {
        StatusLog::clear();
        i2s_ll_set_no_device(true);
        i2s_ll_cfg_t icfg = {nullptr, 44100, 16, 2};
        i2s_ = i2s_ll_init(&icfg);
        EXPECT_EQ(i2s_ll_record_start(recording().c_str()), ESP_OK);
        mixer_stream_cfg_t cfg = {4096, 3072, 0, 10};
        mixer_ = mixer_init(&cfg);
        EXPECT_NE(mixer_, nullptr);
        mixer_set_status_handler(mixer_, StatusLog::callback);
        mixer_set_i2s_handler(mixer_, (mixer_handle_t)i2s_);
        mixer_set_stream_info(mixer_, RATE, 1);
    }
    ~MixerRig() {
        finish();
        for (auto &r : readers_)
            audio_reader_deinit(r);
    }

    // A reader on input `id` playing `samples` (interleaved) in a loop or once.
    audio_reader_handle_t add_input(int id, const std::vector<int16_t> &samples, uint16_t channels, bool loop,
                                    int buf_len = 4096, uint8_t mixer_channels = 0) {
        std::string path = dir_.file("in" + std::to_string(id) + ".wav");
        EXPECT_TRUE(write_pcm_wav(path, samples, RATE, channels));
        paths_.push_back(path);
        audio_reader_cfg_t cfg = {};
        cfg.buf_data_len = buf_len;
        cfg.task_prio = 5;
        cfg.param = &stops;
        cfg.stop_notification = StopWaiter::notify;
        audio_reader_handle_t r = audio_reader_init(&cfg, ("wav" + std::to_string(id)).c_str());
        readers_.push_back(r);
        EXPECT_EQ(audio_reader_load(r, paths_.back().c_str(), nullptr, AUDIO_VOLUME_NOT_GIVEN), ESP_OK);
        EXPECT_EQ(mixer_connect_element(mixer_, id, r), ESP_OK);
        mixer_set_file_info(mixer_, id, RATE, mixer_channels ? mixer_channels : (uint8_t)channels);
        loops_.push_back(loop);
        return r;
    }

    void play_all() {
        for (size_t i = 0; i < readers_.size(); i++)
            EXPECT_EQ(audio_reader_play(readers_[i], loops_[i], 0, 0), ESP_OK);
    }

    void stop_all() {
        for (auto &r : readers_)
            audio_reader_stop(r, 0);
    }

    // Waits until the recording holds `count` samples of `value`.
    bool wait_for_samples(int16_t value, size_t count, int timeout_ms = 10000) {
        for (int t = 0; t < timeout_ms; t += 20) {
            WavData w = read_wav(recording());
            size_t n = 0;
            for (int16_t s : w.samples)
                n += s == value ? 1 : 0;
            if (n >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Ends the mixer and the recording; the recorded samples.
    std::vector<int16_t> finish() {
        if (mixer_ != nullptr) {
            mixer_deinit(mixer_);
            mixer_ = nullptr;
            i2s_ll_record_stop();
        }
        return read_wav(recording()).samples;
    }

    std::string recording() const { return dir_.file("rec.wav"); }
    mixer_handle_t mixer() const { return mixer_; }
    StopWaiter stops;

private:
    TempFolder dir_;
    i2s_ll_handle_t i2s_ = nullptr;
    mixer_handle_t mixer_ = nullptr;
    std::vector<audio_reader_handle_t> readers_;
    std::vector<std::string> paths_;
    std::vector<bool> loops_;
};

// The distinct values of a recording.
inline std::set<int16_t> values_of(const std::vector<int16_t> &samples) {
    return std::set<int16_t>(samples.begin(), samples.end());
}

}  // namespace mixer_test
