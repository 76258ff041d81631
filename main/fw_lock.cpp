#include "fw_lock.h"

#include "freertos/FreeRTOS.h"
#include "freertos/semphr.h"

static SemaphoreHandle_t fw_mutex(void) {
    static SemaphoreHandle_t mutex = xSemaphoreCreateRecursiveMutex();
    return mutex;
}

void fw_lock(void) {
    xSemaphoreTakeRecursive(fw_mutex(), portMAX_DELAY);
}

void fw_unlock(void) {
    xSemaphoreGiveRecursive(fw_mutex());
}
