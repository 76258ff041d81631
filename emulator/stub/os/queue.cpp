// FreeRTOS queues and recursive mutexes on host primitives. Time-outs use the platform clock.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "esp_timer.h"
#include "freertos/queue.h"
#include "freertos/semphr.h"
#include "sim.h"
#include "stub.h"

struct QueueDefinition {
    std::mutex mutex;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    std::vector<uint8_t> storage;
    UBaseType_t length = 0;
    UBaseType_t item_size = 0;
    UBaseType_t head = 0;
    UBaseType_t count = 0;
};

static int64_t deadline_for(TickType_t ticks) {
    return ticks == portMAX_DELAY ? STUB_FOREVER : esp_timer_get_time() + (int64_t)ticks * 1000;
}

QueueHandle_t xQueueCreate(UBaseType_t uxQueueLength, UBaseType_t uxItemSize) {
    if (uxQueueLength == 0 || uxItemSize == 0) return nullptr;
    auto *q = new (std::nothrow) QueueDefinition();
    if (q == nullptr) return nullptr;
    q->storage.resize((size_t)uxQueueLength * uxItemSize);
    q->length = uxQueueLength;
    q->item_size = uxItemSize;
    return q;
}

void vQueueDelete(QueueHandle_t xQueue) {
    delete xQueue;
}

BaseType_t xQueueSend(QueueHandle_t q, const void *pvItemToQueue, TickType_t xTicksToWait) {
    if (q == nullptr) return pdFAIL;
    std::unique_lock<std::mutex> lock(q->mutex);
    if (!stub_wait_until(q->not_full, lock, deadline_for(xTicksToWait), [&] { return q->count < q->length; }))
        return pdFAIL;
    UBaseType_t tail = (q->head + q->count) % q->length;
    memcpy(&q->storage[(size_t)tail * q->item_size], pvItemToQueue, q->item_size);
    q->count++;
    lock.unlock();
    stub_notify(q->not_empty);
    return pdPASS;
}

BaseType_t xQueueReceive(QueueHandle_t q, void *pvBuffer, TickType_t xTicksToWait) {
    if (q == nullptr) return pdFAIL;
    std::unique_lock<std::mutex> lock(q->mutex);
    if (!stub_wait_until(q->not_empty, lock, deadline_for(xTicksToWait), [&] { return q->count > 0; }))
        return pdFAIL;
    memcpy(pvBuffer, &q->storage[(size_t)q->head * q->item_size], q->item_size);
    q->head = (q->head + 1) % q->length;
    q->count--;
    lock.unlock();
    stub_notify(q->not_full);
    return pdPASS;
}

UBaseType_t uxQueueMessagesWaiting(QueueHandle_t q) {
    if (q == nullptr) return 0;
    std::lock_guard<std::mutex> lock(q->mutex);
    return q->count;
}

// In real time a host recursive mutex. In simulated time a thread that finds the mutex held by
// another must hand its turn back while it waits, or the holder could never run to release it:
// there the mutex is an owner and a count, waited for through the scheduler.
struct SemaphoreDef_t {
    std::recursive_timed_mutex mutex;
    sim_thread *owner = nullptr;  // simulated time only
    uint32_t count = 0;
};

SemaphoreHandle_t xSemaphoreCreateRecursiveMutex(void) {
    return new (std::nothrow) SemaphoreDef_t();
}

static BaseType_t sim_take(SemaphoreHandle_t m, TickType_t ticks) {
    sim_thread *self = sim_self();
    const int64_t deadline = deadline_for(ticks);
    while (m->owner != nullptr && m->owner != self) {
        if (esp_timer_get_time() >= deadline) return pdFAIL;
        sim_block_on(m, deadline, "a lock", m->owner);
    }
    m->owner = self;
    m->count++;
    return pdPASS;
}

static BaseType_t sim_give(SemaphoreHandle_t m) {
    if (m->owner != sim_self() || m->count == 0) return pdFAIL;
    if (--m->count == 0) {
        m->owner = nullptr;
        sim_wake(m);
    }
    return pdPASS;
}

BaseType_t xSemaphoreTakeRecursive(SemaphoreHandle_t xMutex, TickType_t xTicksToWait) {
    if (xMutex == nullptr) return pdFAIL;
    if (sim_self() != nullptr) return sim_take(xMutex, xTicksToWait);
    if (xTicksToWait == portMAX_DELAY) {
        xMutex->mutex.lock();
        return pdPASS;
    }
    // Mutex time-outs are short and only used for try-locks: real time is good enough here.
    return xMutex->mutex.try_lock_for(std::chrono::milliseconds(xTicksToWait)) ? pdPASS : pdFAIL;
}

BaseType_t xSemaphoreGiveRecursive(SemaphoreHandle_t xMutex) {
    if (xMutex == nullptr) return pdFAIL;
    if (sim_self() != nullptr) return sim_give(xMutex);
    xMutex->mutex.unlock();
    return pdPASS;
}
