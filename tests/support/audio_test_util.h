// Helpers for the audio tests: temporary folders, WAV files written sample by sample, WAV
// reading, a stand-in for the mixer that drains readers, and a timer pump.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_reader.h"
#include "esp_timer.h"

namespace audio_test {

class TempFolder {
public:
    TempFolder() {
        // No underscore before the random part: "_T", "_L" and "_V" followed by digits in a
        // folder name would count as file-name parameters.
        char tmpl[] = "/tmp/audiotest-XXXXXX";
        char *p = mkdtemp(tmpl);
        path_ = p ? p : "/tmp";
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back((uint8_t)x);
    v.push_back((uint8_t)(x >> 8));
}
inline void put32(std::vector<uint8_t> &v, uint32_t x) {
    put16(v, (uint16_t)x);
    put16(v, (uint16_t)(x >> 16));
}

// `seconds` of a sine of `freq` Hz at `rate` Hz with `amplitude`, in `channels` interleaved
// channels that all carry it.
inline std::vector<int16_t> tone(double seconds, double freq, uint32_t rate, uint16_t channels = 1,
                                 double amplitude = 10000) {
    std::vector<int16_t> s((size_t)(seconds * rate) * channels);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (int16_t)(amplitude * std::sin(2 * M_PI * freq * (double)(i / channels) / rate));
    return s;
}

// A canonical 16-bit PCM WAV file (any rate, any channel count, interleaved samples).
inline bool write_pcm_wav(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate,
                          uint16_t channels = 1) {
    std::vector<uint8_t> h;
    uint32_t data = (uint32_t)samples.size() * 2;
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    put32(h, 36 + data);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(h, 16);
    put16(h, 1);
    put16(h, channels);
    put32(h, rate);
    put32(h, rate * channels * 2);
    put16(h, (uint16_t)(channels * 2));
    put16(h, 16);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    put32(h, data);
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    fwrite(h.data(), 1, h.size(), f);
    if (!samples.empty()) fwrite(samples.data(), 2, samples.size(), f);
    fclose(f);
    return true;
}

struct WavData {
    bool ok = false;
    uint16_t format = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint32_t riff_size = 0;
    uint32_t data_size = 0;  // as the header says
    std::vector<int16_t> samples;
};

// Reads a 16-bit WAV file: the chunk sizes as written and the samples of the data chunk.
inline WavData read_wav(const std::string &path) {
    WavData w;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return w;
    std::vector<uint8_t> b;
    uint8_t tmp[65536];
    size_t n;
    while ((n = fread(tmp, 1, sizeof tmp, f)) > 0)
        b.insert(b.end(), tmp, tmp + n);
    fclose(f);
    auto u16 = [&](size_t p) { return (uint16_t)(b[p] | b[p + 1] << 8); };
    auto u32 = [&](size_t p) { return (uint32_t)(u16(p) | (uint32_t)u16(p + 2) << 16); };
    if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0) return w;
    w.riff_size = u32(4);
    size_t p = 12;
    while (p + 8 <= b.size()) {
        uint32_t size = u32(p + 4);
        if (memcmp(b.data() + p, "fmt ", 4) == 0 && p + 24 <= b.size()) {
            w.format = u16(p + 8);
            w.channels = u16(p + 10);
            w.rate = u32(p + 12);
        } else if (memcmp(b.data() + p, "data", 4) == 0) {
            w.data_size = size;
            size_t avail = b.size() - (p + 8);
            size_t take = size < avail ? size : avail;
            w.samples.resize(take / 2);
            if (take >= 2) memcpy(w.samples.data(), b.data() + p + 8, (take / 2) * 2);
            w.ok = true;
            return w;
        }
        p += 8 + size + (size & 1);
    }
    return w;
}

inline bool sox(const std::string &args) {
    std::string cmd = std::string(SOX_PATH) + " " + args + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// Power of one frequency in a block of samples (Goertzel), normalised by the block length.
inline double tone_power(const int16_t *s, size_t n, double freq, double rate) {
    double w = 2.0 * M_PI * freq / rate;
    double c = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; i++) {
        double s0 = s[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double p = s1 * s1 + s2 * s2 - c * s1 * s2;
    return p / ((double)n * (double)n);
}

// Calls the timer service on its own thread every millisecond, as the tick thread does.
class TimerPump {
public:
    TimerPump()
        : thread_([this] {
              while (!stop_.load()) {
                  esp_timer_poll();
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~TimerPump() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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

inline int open_descriptors() {
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        n++;
    }
    return n;
}

}  // namespace audio_test
