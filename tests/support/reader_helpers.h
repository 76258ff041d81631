// Audio readers in the tests without the mixer: a stand-in that drains a reader, and counted
// stop and end notifications. Header only: it needs the firmware, which only the tests of the
// audio pipeline link.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_reader.h"

namespace test_support {

// Stands in for the mixer: takes every buffer a reader releases and keeps a copy.
class Drainer {
public:
    explicit Drainer(audio_reader_handle_t reader, int pause_us = 200)
        : reader_(reader), pause_us_(pause_us), thread_([this] { run(); }) {}
    ~Drainer() { stop(); }
    // Stops taking buffers; a buffer still waiting in the slot (the last one of a play that
    // has ended) is taken as well.
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
            take_one();
        }
    }
    std::vector<std::vector<int16_t>> buffers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return buffers_;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return buffers_.size();
    }
    bool wait_for_count(size_t n, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return buffers_.size() >= n; });
    }

private:
    void take_one() {
        buf_item_t item = audio_reader_get_data(reader_);
        if (item.data == nullptr) return;
        std::vector<int16_t> copy(item.data, item.data + item.len / 2);
        free(item.data);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            buffers_.push_back(std::move(copy));
        }
        cv_.notify_all();
    }
    void run() {
        while (!stop_.load()) {
            take_one();
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us_));
        }
    }
    audio_reader_handle_t reader_;
    int pause_us_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::vector<int16_t>> buffers_;
    std::thread thread_;
};

// Counts the stop notifications of readers whose `param` points at it, and lets a test wait.
struct StopWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    int stops = 0;
    static void notify(audio_reader_handle_t, void *param) {
        auto *w = (StopWaiter *)param;
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->stops++;
        }
        w->cv.notify_all();
    }
    bool wait_for(int n, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return stops >= n; });
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex);
        return stops;
    }
};

// A reader with counted notifications.
struct TestReader {
    StopWaiter stops;
    std::mutex end_mutex;
    int end_calls = 0;
    uint32_t remaining_at_end_call = 0;
    bool end_answer = true;
    std::list<std::string> paths;
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
    // The reader keeps the path it was given: the object keeps every path it loads.
    bool load(const std::string &path, file_info_t **info = nullptr, uint8_t volume = AUDIO_VOLUME_NOT_GIVEN) {
        paths.push_back(path);
        return audio_reader_load(h, paths.back().c_str(), info, volume) == ESP_OK;
    }
    // Plays the loaded file once to its end (a fade-in of `fade_ms`, the end notification
    // `notify_ms` before the end), taking every buffer as the mixer would; the buffers taken.
    std::vector<std::vector<int16_t>> play_once(uint16_t fade_ms = 0, uint16_t notify_ms = 0) {
        const int stopped = stops.count();
        Drainer drain(h);
        EXPECT_EQ(audio_reader_play(h, false, fade_ms, notify_ms), ESP_OK);
        EXPECT_TRUE(stops.wait_for(stopped + 1));
        drain.stop();
        return drain.buffers();
    }
    // Loops the loaded file until `count` buffers have been taken, then stops it at once; the
    // buffers taken.
    std::vector<std::vector<int16_t>> loop(size_t count) {
        const int stopped = stops.count();
        Drainer drain(h);
        EXPECT_EQ(audio_reader_play(h, true, 0, 0), ESP_OK);
        EXPECT_TRUE(drain.wait_for_count(count));
        audio_reader_stop(h, 0);
        EXPECT_TRUE(stops.wait_for(stopped + 1));
        drain.stop();
        return drain.buffers();
    }
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

inline int open_descriptors() {
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        n++;
    }
    return n;
}

}  // namespace test_support
