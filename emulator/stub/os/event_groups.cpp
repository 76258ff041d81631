// FreeRTOS event groups: 8 bits under one mutex and condition variable. Waits time out on the
// platform clock.
#include <condition_variable>
#include <mutex>

#include "esp_timer.h"
#include "freertos/event_groups.h"
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
