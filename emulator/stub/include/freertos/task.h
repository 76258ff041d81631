// FreeRTOS tasks on host threads.
#pragma once

#include "freertos/FreeRTOS.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tskTaskControlBlock *TaskHandle_t;
typedef void (*TaskFunction_t)(void *);

typedef enum {
    eRunning = 0,
    eReady = 1,
    eBlocked = 2,
    eSuspended = 3,
    eDeleted = 4,
    eInvalid = 5,
} eTaskState;

// Priority 0..4 runs as a normal thread, 5..9 above normal, 10 and more highest (best effort).
BaseType_t xTaskCreate(TaskFunction_t pxTaskCode, const char *pcName, configSTACK_DEPTH_TYPE usStackDepth,
                       void *pvParameters, UBaseType_t uxPriority, TaskHandle_t *pxCreatedTask);
BaseType_t xTaskCreatePinnedToCore(TaskFunction_t pxTaskCode, const char *pcName,
                                   configSTACK_DEPTH_TYPE usStackDepth, void *pvParameters,
                                   UBaseType_t uxPriority, TaskHandle_t *pxCreatedTask, BaseType_t xCoreID);
// Does not stop a thread: a task ends when its function returns.
void vTaskDelete(TaskHandle_t xTaskToDelete);
void vTaskDelay(TickType_t xTicksToDelay);
// eRunning while the task's thread runs, eDeleted once it ended, eInvalid for a null handle.
eTaskState eTaskGetState(TaskHandle_t xTask);
UBaseType_t uxTaskGetStackHighWaterMark(TaskHandle_t xTask);
TickType_t xTaskGetTickCount(void);
// The tick loop: the calling thread becomes the tick thread; never returns.
void vTaskStartScheduler(void);

#ifdef __cplusplus
}
#endif
