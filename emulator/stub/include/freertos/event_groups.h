// FreeRTOS event groups: 8 bits per group.
#pragma once

#include "freertos/FreeRTOS.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct EventGroupDef_t *EventGroupHandle_t;
typedef uint32_t EventBits_t;

EventGroupHandle_t xEventGroupCreate(void);
void vEventGroupDelete(EventGroupHandle_t xEventGroup);
// Returns the bits after setting.
EventBits_t xEventGroupSetBits(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToSet);
// Returns the bits before clearing.
EventBits_t xEventGroupClearBits(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToClear);
// Waits for any (or all) of the bits, at most xTicksToWait ms; returns the bits as they were
// when the wait ended, before any clear-on-exit.
EventBits_t xEventGroupWaitBits(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToWaitFor,
                                BaseType_t xClearOnExit, BaseType_t xWaitForAllBits, TickType_t xTicksToWait);
#define xEventGroupGetBits(xEventGroup) xEventGroupClearBits((xEventGroup), 0)

#ifdef __cplusplus
}
#endif
