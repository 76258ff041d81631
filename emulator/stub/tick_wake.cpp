// The tick loop's wake-up: whatever may bring the next due moment forward (a timer armed, a
// callback scheduled, a command) wakes the loop, which then works out its deadline again.
#include <atomic>

#include "stub.h"

// Counts the wake-ups; the tick loop sleeps while the count is the one it read before it
// computed its deadline, so a wake-up between the two is never lost.
static std::atomic<uint32_t> s_tick_wakeups{0};
// The wake-ups that came from other threads than the tick loop's own (a command, a sound
// engine task), and whether the calling thread is the tick loop's.
static std::atomic<uint32_t> s_outside_wakeups{0};
static thread_local bool t_tick_thread;
static std::mutex &s_tick_mutex = *new std::mutex;
static std::condition_variable &s_tick_cv = *new std::condition_variable;

void stub_tick_wake() {
    {
        std::lock_guard<std::mutex> lock(s_tick_mutex);
        s_tick_wakeups.fetch_add(1);
    }
    if (!t_tick_thread) s_outside_wakeups.fetch_add(1, std::memory_order_relaxed);
    stub_notify(s_tick_cv);
}

uint32_t stub_tick_wakeups() {
    return s_tick_wakeups.load();
}

uint32_t stub_tick_outside_wakeups() {
    return s_outside_wakeups.load(std::memory_order_relaxed);
}

void stub_tick_mark_thread() {
    t_tick_thread = true;
}

bool stub_tick_wait_until(int64_t deadline_us, uint32_t seen) {
    std::unique_lock<std::mutex> lock(s_tick_mutex);
    return stub_wait_until(s_tick_cv, lock, deadline_us, [seen] { return s_tick_wakeups.load() != seen; });
}
