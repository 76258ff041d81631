// FreeRTOS software timers over the timer service: each timer owns one timer-service entry
// and fires on the tick thread. Every timer is one-shot; records are never freed.
#include <cstdio>
#include <cstdlib>

#include "esp_timer.h"
#include "freertos/timers.h"

struct tmrTimerControl {
    const char *pcTimerName;
    uint32_t xTimerPeriodInTicks;
    void *pvTimerID;
    TimerCallbackFunction_t pxCallbackFunction;
    esp_timer_handle_t handle;
};

static void timer_trampoline(void *arg) {
    auto *timer = (tmrTimerControl *)arg;
    timer->pxCallbackFunction(timer);
}

TimerHandle_t xTimerCreate(const char *pcTimerName, TickType_t xTimerPeriodInTicks, UBaseType_t xAutoReload,
                           void *pvTimerID, TimerCallbackFunction_t pxCallbackFunction) {
    (void)xAutoReload;
    auto *timer = (tmrTimerControl *)calloc(1, sizeof(tmrTimerControl));
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
        free(timer);
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
        case tmrCOMMAND_DELETE:
            esp_timer_stop(xTimer->handle);
            break;
        case tmrCOMMAND_CHANGE_PERIOD:
            xTimer->xTimerPeriodInTicks = xOptionalValue;
            break;
        default:
            break;
    }
    return pdPASS;
}

void *pvTimerGetTimerID(TimerHandle_t xTimer) { return xTimer ? xTimer->pvTimerID : nullptr; }
