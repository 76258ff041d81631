// FreeRTOS event groups: 8 bits under one mutex and condition variable. Waits time out on the
// platform clock.
#include <condition_variable>
#include <mutex>

#include "esp_timer.h"
#include "freertos/event_groups.h"
#include "sim.h"
#include "stub.h"

struct EventGroupDef_t {
    std::mutex mutex;
    std::condition_variable cv;
    EventBits_t bits = 0;
};

static const EventBits_t EVENT_BITS_MASK = 0xFF;  // bits above 7 do not exist

EventGroupHandle_t xEventGroupCreate(void) {
    return new (std::nothrow) EventGroupDef_t();
}

void vEventGroupDelete(EventGroupHandle_t xEventGroup) {
    delete xEventGroup;
}

EventBits_t xEventGroupSetBits(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToSet) {
    EventBits_t result;
    {
        std::lock_guard<std::mutex> lock(xEventGroup->mutex);
        xEventGroup->bits |= (uxBitsToSet & EVENT_BITS_MASK);
        result = xEventGroup->bits;
    }
    stub_notify(xEventGroup->cv);
    return result;
}

EventBits_t xEventGroupClearBits(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToClear) {
    std::lock_guard<std::mutex> lock(xEventGroup->mutex);
    EventBits_t before = xEventGroup->bits;
    xEventGroup->bits &= ~(uxBitsToClear & EVENT_BITS_MASK);
    return before;
}

EventBits_t xEventGroupWaitBits(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToWaitFor,
                                BaseType_t xClearOnExit, BaseType_t xWaitForAllBits,
                                TickType_t xTicksToWait) {
    const EventBits_t wanted = uxBitsToWaitFor & EVENT_BITS_MASK;
    std::unique_lock<std::mutex> lock(xEventGroup->mutex);
    if (wanted != 0) {
        int64_t deadline = xTicksToWait == portMAX_DELAY
                               ? STUB_FOREVER
                               : esp_timer_get_time() + (int64_t)xTicksToWait * 1000;
        stub_wait_until(xEventGroup->cv, lock, deadline, [&] {
            EventBits_t set = xEventGroup->bits & wanted;
            return xWaitForAllBits == pdTRUE ? set == wanted : set != 0;
        });
    }
    // Clear-on-exit is not used by the firmware; the bits are returned as they were before it.
    EventBits_t result = xEventGroup->bits;
    if (xClearOnExit == pdTRUE) xEventGroup->bits &= ~wanted;
    return result;
}

namespace {
struct watched_wait {
    EventGroupDef_t *group;
    EventBits_t wanted;
    int64_t poll_us;
    EventGroupWatch_t watch;
    void *arg;
};

// One look of the polling task at `bits` at `now_us`: true when it goes on, false when it waits
// again until `deadline_us`.
bool watched_look(const watched_wait &w, EventBits_t bits, int64_t now_us, int64_t *deadline_us) {
    if ((bits & w.wanted) == w.wanted) return true;
    if (now_us < *deadline_us) return false;
    if (w.watch(bits, w.arg)) return true;
    *deadline_us = now_us + w.poll_us;
    return false;
}

// The same look taken by the scheduler of simulated time for the waiting task (sim.h).
bool watched_recheck(void *ctx, int64_t now_us, int64_t *deadline_us) {
    const auto &w = *(const watched_wait *)ctx;
    std::unique_lock<std::mutex> lock(w.group->mutex, std::try_to_lock);
    return !lock.owns_lock() || watched_look(w, w.group->bits, now_us, deadline_us);
}
}  // namespace

EventBits_t xEventGroupWaitBitsWatched(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToWaitFor,
                                       TickType_t watch_ticks, EventGroupWatch_t watch, void *arg) {
    const EventBits_t wanted = uxBitsToWaitFor & EVENT_BITS_MASK;
    std::unique_lock<std::mutex> lock(xEventGroup->mutex);
    if (stub_sim_active() && sim_self() != nullptr) {
        // The decoder's polling wait, time-out for time-out: a wait for the bits of `watch_ticks`,
        // then a look at `watch`, then the next wait. The scheduler takes the looks that end in
        // waiting again itself.
        const watched_wait w = {xEventGroup, wanted, (int64_t)watch_ticks * 1000, watch, arg};
        int64_t deadline = sim_now_us() + w.poll_us;
        while (!watched_look(w, xEventGroup->bits, sim_now_us(), &deadline)) {
            lock.unlock();
            sim_block_rechecked(&xEventGroup->cv, deadline, "an event", watched_recheck, (void *)&w);
            lock.lock();
        }
        return xEventGroup->bits;
    }
    // No time-out: whoever changes what `watch` looks at kicks the group.
    stub_wait_until(xEventGroup->cv, lock, STUB_FOREVER, [&] {
        const EventBits_t bits = xEventGroup->bits;
        return (bits & wanted) == wanted || watch(bits, arg);
    });
    return xEventGroup->bits;
}

void vEventGroupKick(EventGroupHandle_t xEventGroup) {
    // Taken and let go, so that a waiter is either still before its look at `watch` (and sees
    // the change) or already asleep (and is woken). Only waits on the host need it: in simulated
    // time the watched wait polls.
    { std::lock_guard<std::mutex> lock(xEventGroup->mutex); }
    xEventGroup->cv.notify_all();
}
