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

// Host platform additions, for a task that waits for bits and must also notice a change of its
// own state (a request to stop) that sets no bit. On the decoder such a task waits with a
// time-out of `watch_ticks` and looks at its state on each time-out.
//
// Waits until all of `uxBitsToWaitFor` are set or `watch(bits, arg)` holds; returns the bits as
// they were then. `watch` runs with the group locked and must only read. In simulated time this
// is that polling wait, time-out for time-out, so that a run replays as it always has; in real
// time the task sleeps until a bit changes or the group is kicked, and looks at `watch` then.
typedef bool (*EventGroupWatch_t)(EventBits_t bits, void *arg);
EventBits_t xEventGroupWaitBitsWatched(EventGroupHandle_t xEventGroup, EventBits_t uxBitsToWaitFor,
                                       TickType_t watch_ticks, EventGroupWatch_t watch, void *arg);
// Wakes a watched wait on the group to look at `watch` again, changing no bit: call it after a
// change that `watch` looks at. In simulated time the wait polls and a kick changes nothing.
void vEventGroupKick(EventGroupHandle_t xEventGroup);

#ifdef __cplusplus
}
#endif
