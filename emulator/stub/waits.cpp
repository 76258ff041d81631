// The platform's waits on its clock: sleeps and condition waits with a deadline. Each takes one
// of three ways: a thread of the simulated-time scheduler waits through the scheduler; on a
// virtual clock (manual, or simulated time seen from a thread the scheduler does not know) the
// wait polls the clock every millisecond; on the real clock it waits on the host.
#include <chrono>
#include <thread>

#include "clock.h"
#include "esp_timer.h"
#include "os/sim.h"
#include "rom/ets_sys.h"
#include "stub.h"

// A thread of the scheduler in simulated time: its waits go through the scheduler. Threads it
// does not know (a test's own) wait on the host as with the manual clock.
static bool sim_thread_here() {
    return stub_sim_active() && sim_self() != nullptr;
}

void stub_notify(std::condition_variable &cv) {
    if (stub_sim_active()) sim_wake(&cv);
    cv.notify_all();
}

void stub_sleep_until_us(int64_t deadline_us) {
    if (sim_thread_here()) {
        while (sim_now_us() < deadline_us)
            sim_block(nullptr, deadline_us, "the end of a delay");
        return;
    }
    if (!clock_is_virtual()) {
        std::this_thread::sleep_until(clock_real_time_point(deadline_us));
        return;
    }
    std::unique_lock<std::mutex> lock(clock_mutex());
    while (clock_is_virtual() && esp_timer_get_time() < deadline_us) {
        clock_cv().wait_for(lock, std::chrono::milliseconds(1));
    }
    if (!clock_is_virtual()) {
        lock.unlock();
        std::this_thread::sleep_until(clock_real_time_point(deadline_us));
    }
}

void stub_sleep_us(int64_t us) {
    if (us <= 0) return;
    if (!clock_is_virtual()) {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
        return;
    }
    stub_sleep_until_us(esp_timer_get_time() + us);
}

bool stub_wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, int64_t deadline_us,
                     const std::function<bool()> &pred) {
    if (sim_thread_here()) {
        while (!pred()) {
            if (sim_now_us() >= deadline_us) return false;
            // Nothing else runs between the unlock and the block, so no wake-up is missed.
            lock.unlock();
            sim_block(&cv, deadline_us, "an event");
            lock.lock();
        }
        return true;
    }
    while (!pred()) {
        int64_t now = esp_timer_get_time();
        if (now >= deadline_us) return false;
        if (clock_is_virtual()) {
            // The manual clock moves without notifying this condition variable: poll it.
            cv.wait_for(lock, std::chrono::milliseconds(1));
        } else if (deadline_us == STUB_FOREVER) {
            cv.wait(lock);
        } else {
            cv.wait_for(lock, std::chrono::microseconds(deadline_us - now));
        }
    }
    return true;
}

void ets_delay_us(uint32_t us) {
    stub_sleep_us(us);
}
