// A reader with counted notifications, for the reader tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "audio_test_util.h"
#include "freertos/event_groups.h"

namespace audio_test {

struct TestReader {
    StopWaiter stops;
    std::mutex end_mutex;
    int end_calls = 0;
    uint32_t remaining_at_end_call = 0;
    bool end_answer = true;
    audio_reader_handle_t h = nullptr;

    explicit TestReader(int buf_len = 4096, bool with_end = false) {
        audio_reader_cfg_t cfg = {};
        cfg.task_prio = 5;
        cfg.buf_data_len = buf_len;
        cfg.param = this;
        cfg.stop_notification = [](audio_reader_handle_t, void *p) {
            StopWaiter::notify(nullptr, &((TestReader *)p)->stops);
        };
        if (with_end) {
            cfg.end_notification = [](audio_reader_handle_t r, void *p) {
                auto *t = (TestReader *)p;
                std::lock_guard<std::mutex> lock(t->end_mutex);
                t->end_calls++;
                t->remaining_at_end_call = audio_reader_get_remaining_time(r);
                return t->end_answer;
            };
        }
        h = audio_reader_init(&cfg, "wav0");
    }
    ~TestReader() { audio_reader_deinit(h); }
    int ends() {
        std::lock_guard<std::mutex> lock(end_mutex);
        return end_calls;
    }
};

// All samples of the buffers, in order.
inline std::vector<int16_t> concat(const std::vector<std::vector<int16_t>> &buffers) {
    std::vector<int16_t> all;
    for (auto &b : buffers)
        all.insert(all.end(), b.begin(), b.end());
    return all;
}

}  // namespace audio_test
