// FreeRTOS software timers over the timer service. Every timer is one-shot.
#pragma once

#include "freertos/FreeRTOS.h"
#include "freertos/task.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tmrTimerControl *TimerHandle_t;
typedef void (*TimerCallbackFunction_t)(TimerHandle_t xTimer);

#define tmrCOMMAND_START_DONT_TRACE ((BaseType_t)0)
#define tmrCOMMAND_START ((BaseType_t)1)
#define tmrCOMMAND_RESET ((BaseType_t)2)
#define tmrCOMMAND_STOP ((BaseType_t)3)
#define tmrCOMMAND_CHANGE_PERIOD ((BaseType_t)4)
#define tmrCOMMAND_DELETE ((BaseType_t)5)

TimerHandle_t xTimerCreate(const char *pcTimerName, TickType_t xTimerPeriodInTicks, UBaseType_t xAutoReload,
                           void *pvTimerID, TimerCallbackFunction_t pxCallbackFunction);
BaseType_t xTimerGenericCommand(TimerHandle_t xTimer, BaseType_t xCommandID, TickType_t xOptionalValue,
                                BaseType_t *pxHigherPriorityTaskWoken, TickType_t xTicksToWait);
void *pvTimerGetTimerID(TimerHandle_t xTimer);

#define xTimerStart(xTimer, xTicksToWait) \
    xTimerGenericCommand((xTimer), tmrCOMMAND_START, xTaskGetTickCount(), NULL, (xTicksToWait))
#define xTimerStop(xTimer, xTicksToWait) \
    xTimerGenericCommand((xTimer), tmrCOMMAND_STOP, 0U, NULL, (xTicksToWait))
#define xTimerReset(xTimer, xTicksToWait) \
    xTimerGenericCommand((xTimer), tmrCOMMAND_RESET, xTaskGetTickCount(), NULL, (xTicksToWait))
#define xTimerChangePeriod(xTimer, xNewPeriod, xTicksToWait) \
    xTimerGenericCommand((xTimer), tmrCOMMAND_CHANGE_PERIOD, (xNewPeriod), NULL, (xTicksToWait))
#define xTimerDelete(xTimer, xTicksToWait) \
    xTimerGenericCommand((xTimer), tmrCOMMAND_DELETE, 0U, NULL, (xTicksToWait))

#ifdef __cplusplus
}
#endif
