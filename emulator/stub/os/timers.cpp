// FreeRTOS software timers over the timer service: each timer owns one timer-service entry
// and fires on the tick thread. Every timer is one-shot. A deleted timer gives its entry back
// to the service; its record is kept for the next timer created, never returned to the heap.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "esp_timer.h"
#include "freertos/timers.h"

struct tmrTimerControl {
    const char *pcTimerName;
    uint32_t xTimerPeriodInTicks;
    void *pvTimerID;
    TimerCallbackFunction_t pxCallbackFunction;
    esp_timer_handle_t handle;
    tmrTimerControl *next_free;
};

// Records of deleted timers. They are reused rather than freed because the service may have
// taken a timer's callback from its table just before the delete and still call it: that
// call reads the record, so the record's memory must stay valid.
static std::mutex s_free_mutex;
static tmrTimerControl *s_free_records;

static tmrTimerControl *take_record(void) {
    {
        std::lock_guard<std::mutex> lock(s_free_mutex);
        tmrTimerControl *t = s_free_records;
        if (t != nullptr) {
            s_free_records = t->next_free;
            *t = {};
            return t;
        }
    }
    return (tmrTimerControl *)calloc(1, sizeof(tmrTimerControl));
}

static void give_record(tmrTimerControl *t) {
    std::lock_guard<std::mutex> lock(s_free_mutex);
    t->next_free = s_free_records;
    s_free_records = t;
}

static void timer_trampoline(void *arg) {
    auto *timer = (tmrTimerControl *)arg;
    timer->pxCallbackFunction(timer);
}

TimerHandle_t xTimerCreate(const char *pcTimerName, TickType_t xTimerPeriodInTicks, UBaseType_t xAutoReload,
                           void *pvTimerID, TimerCallbackFunction_t pxCallbackFunction) {
    (void)xAutoReload;
    // A cleared record: its handle is null, so the service hands out an entry of its own.
    tmrTimerControl *timer = take_record();
    if (timer == nullptr) {
        printf("pxNewTimer is NULL\n");
        return nullptr;
    }
    timer->pcTimerName = pcTimerName;
    timer->xTimerPeriodInTicks = xTimerPeriodInTicks;
    timer->pvTimerID = pvTimerID;
    timer->pxCallbackFunction = pxCallbackFunction;
    esp_timer_create_args_t args = {};
    args.callback = timer_trampoline;
    args.arg = timer;
    args.dispatch_method = ESP_TIMER_TASK;
    args.name = pcTimerName;
    args.skip_unhandled_events = false;
    if (esp_timer_create(&args, &timer->handle) != ESP_OK) {
        give_record(timer);
        printf("pxNewTimer is NULL\n");
        return nullptr;
    }
    return timer;
}

BaseType_t xTimerGenericCommand(TimerHandle_t xTimer, BaseType_t xCommandID, TickType_t xOptionalValue,
                                BaseType_t *pxHigherPriorityTaskWoken, TickType_t xTicksToWait) {
    (void)pxHigherPriorityTaskWoken;
    (void)xTicksToWait;
    if (xTimer == nullptr) {
        printf("pxNewTimer is NULL\n");
        return pdFAIL;
    }
    switch (xCommandID) {
        case tmrCOMMAND_START_DONT_TRACE:
        case tmrCOMMAND_START:
        case tmrCOMMAND_RESET:
            esp_timer_start_once(xTimer->handle, (uint64_t)xTimer->xTimerPeriodInTicks * 1000);
            break;
        case tmrCOMMAND_STOP:
            esp_timer_stop(xTimer->handle);
            break;
        case tmrCOMMAND_DELETE:
            // Stopped and given back: a program that creates and deletes timers (a reader per
            // sound file, say) would otherwise fill the service's fixed table and then have
            // every new timer refused.
            esp_timer_stop(xTimer->handle);
            esp_timer_delete(xTimer->handle);
            xTimer->handle = nullptr;
            give_record(xTimer);
            break;
        case tmrCOMMAND_CHANGE_PERIOD:
            xTimer->xTimerPeriodInTicks = xOptionalValue;
            break;
        default:
            break;
    }
    return pdPASS;
}

void *pvTimerGetTimerID(TimerHandle_t xTimer) {
    return xTimer ? xTimer->pvTimerID : nullptr;
}
