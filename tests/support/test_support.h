// Helpers shared by the unit tests: a log capture, the manual clock and a timer pump.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "esp_timer.h"
#include "log.h"
#include "stub.h"

// Collects every log line written while it is alive (and prints none of them): a log sink that
// keeps what it gets.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    // Lines that contain `text`.
    int count(const std::string &text) const;
    bool contains(const std::string &text) const { return count(text) > 0; }
    void clear();
    std::string dump() const;

private:
    log_sink_id sink_;
};

// Switches the platform to the manual clock for the life of the object.
class ManualClock {
public:
    explicit ManualClock(int64_t start_us = 0) { stub_clock_use_manual(start_us); }
    ~ManualClock() { stub_clock_use_real(); }
    void advance_us(int64_t us) { stub_clock_advance_us(us); }
    void advance_ms(int64_t ms) { stub_clock_advance_us(ms * 1000); }
};

// Calls `work` on a thread of its own every millisecond while it lives.
class EveryMillisecond {
public:
    explicit EveryMillisecond(void (*work)())
        : thread_([this, work] {
              while (!stop_.load()) {
                  work();
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~EveryMillisecond() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Polls the timer service every millisecond, as the tick thread does.
class TimerPump : public EveryMillisecond {
public:
    TimerPump() : EveryMillisecond(esp_timer_poll) {}
};
