// The platform clock's state, shared by the platform's own files (the clock and the waits on
// it). The firmware and the host see the clock only through esp_timer.h and stub.h.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// True while the platform clock is the manual one or simulated time: it moves only when told
// to, not with the host's own clock.
bool clock_is_virtual();
// The host's monotonic time point of platform time `us` (the real clock's origin plus `us`).
std::chrono::steady_clock::time_point clock_real_time_point(int64_t us);
// The lock and condition variable that a move of the manual clock notifies.
std::mutex &clock_mutex();
std::condition_variable &clock_cv();
