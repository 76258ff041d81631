// Event groups, software timers, tasks and queues of the host port.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "esp_timer.h"
#include "freertos/event_groups.h"
#include "freertos/queue.h"
#include "freertos/task.h"
#include "freertos/timers.h"
#include "stub.h"
#include "test_support.h"

namespace {

TEST(EventGroups, SetClearAndWaitReturnTheDocumentedBits) {
    EventGroupHandle_t g = xEventGroupCreate();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(xEventGroupSetBits(g, 0x1), 0x1u);
    EXPECT_EQ(xEventGroupSetBits(g, 0x4), 0x5u) << "result shows bits already set";
    EXPECT_EQ(xEventGroupClearBits(g, 0), 0x5u) << "clearing nothing reads the bits";
    EXPECT_EQ(xEventGroupClearBits(g, 0x1), 0x5u) << "returns the bits before clearing";
    EXPECT_EQ(xEventGroupClearBits(g, 0), 0x4u);
    // Bits of 8 and above do not exist.
    EXPECT_EQ(xEventGroupSetBits(g, 0x100), 0x4u);
    // A wait for no existing bit returns at once with the current bits.
    EXPECT_EQ(xEventGroupWaitBits(g, 0x100, pdFALSE, pdFALSE, portMAX_DELAY), 0x4u);
    // Clear-on-exit returns the bits as they were before clearing.
    EXPECT_EQ(xEventGroupWaitBits(g, 0x4, pdTRUE, pdFALSE, 0), 0x4u);
    EXPECT_EQ(xEventGroupClearBits(g, 0), 0x0u);
    vEventGroupDelete(g);
}

TEST(EventGroups, WaitAllReturnsOnlyWhenEveryBitIsSet) {
    EventGroupHandle_t g = xEventGroupCreate();
    xEventGroupSetBits(g, 0x80);
    std::atomic<EventBits_t> result{0};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        result = xEventGroupWaitBits(g, 0x3, pdFALSE, pdTRUE, portMAX_DELAY);
        done = true;
    });
    xEventGroupSetBits(g, 0x1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    xEventGroupSetBits(g, 0x2);
    waiter.join();
    EXPECT_EQ(result.load(), 0x83u) << "the result also shows the other bits";
    vEventGroupDelete(g);
}

TEST(EventGroups, WaitTimesOutOnThePlatformClock) {
    ManualClock clock(0);
    EventGroupHandle_t g = xEventGroupCreate();
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        EXPECT_EQ(xEventGroupWaitBits(g, 0x2, pdFALSE, pdFALSE, 100), 0x0u);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load()) << "the manual clock has not moved";
    // Stepped until it is over: on a busy machine the waiter may take its deadline only after the
    // first step, and it would then wait for ever.
    while (!done) {
        clock.advance_ms(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waiter.join();
    vEventGroupDelete(g);
}

void timer_cb(TimerHandle_t t) {
    (*(int *)pvTimerGetTimerID(t))++;
}

TEST(SoftwareTimers, OneShotPerStartAndChangePeriodDoesNotStart) {
    ManualClock clock(0);
    int fired = 0;
    TimerHandle_t t = xTimerCreate("t", 10, pdTRUE, &fired, timer_cb);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(xTimerStart(t, 0), pdPASS);
    for (int i = 0; i < 50; i++) {
        clock.advance_ms(1);
        esp_timer_poll();
    }
    EXPECT_EQ(fired, 1) << "auto-reload is ignored: one call per start";
    EXPECT_EQ(xTimerChangePeriod(t, 5, 0), pdPASS);
    for (int i = 0; i < 20; i++) {
        clock.advance_ms(1);
        esp_timer_poll();
    }
    EXPECT_EQ(fired, 1);
    xTimerStart(t, 0);
    for (int i = 0; i < 5; i++) {
        clock.advance_ms(1);
        esp_timer_poll();
    }
    EXPECT_EQ(fired, 2) << "the new period applies from the next start";
    xTimerStart(t, 0);
    EXPECT_EQ(xTimerDelete(t, 0), pdPASS);
    for (int i = 0; i < 20; i++) {
        clock.advance_ms(1);
        esp_timer_poll();
    }
    EXPECT_EQ(fired, 2) << "delete stops the timer";
    EXPECT_EQ(xTimerGenericCommand(nullptr, tmrCOMMAND_START, 0, nullptr, 0), pdFAIL);
}

// Readers and other modules create and delete timers over a long run: each delete must give
// the service entry back, and a timer created afterwards must fire on its own entry only.
TEST(SoftwareTimers, DeleteGivesTheEntryBackAndRecreatedTimersStayApart) {
    ManualClock clock(0);
    const int in_use = stub_timer_entries_in_use();
    for (int i = 0; i < 3 * STUB_TIMER_TABLE_SIZE; i++) {
        TimerHandle_t t = xTimerCreate("cycle", 5, pdFALSE, nullptr, timer_cb);
        ASSERT_NE(t, nullptr) << "cycle " << i;
        xTimerStart(t, 0);
        ASSERT_EQ(xTimerDelete(t, 0), pdPASS);
    }
    EXPECT_EQ(stub_timer_entries_in_use(), in_use);

    int fired_a = 0, fired_b = 0;
    TimerHandle_t a = xTimerCreate("a", 5, pdFALSE, &fired_a, timer_cb);
    xTimerDelete(a, 0);
    TimerHandle_t b = xTimerCreate("b", 5, pdFALSE, &fired_b, timer_cb);
    TimerHandle_t c = xTimerCreate("c", 7, pdFALSE, &fired_a, timer_cb);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    xTimerStart(b, 0);
    for (int i = 0; i < 6; i++) {
        clock.advance_ms(1);
        esp_timer_poll();
    }
    EXPECT_EQ(fired_b, 1);
    EXPECT_EQ(fired_a, 0) << "c was not started";
    xTimerDelete(b, 0);
    xTimerDelete(c, 0);
    EXPECT_EQ(stub_timer_entries_in_use(), in_use);
}

std::atomic<int> g_task_runs{0};
void short_task(void *arg) {
    g_task_runs++;
    if (arg != nullptr) {
        auto *gate = (std::atomic<bool> *)arg;
        while (!gate->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    vTaskDelete(nullptr);
}

TEST(Tasks, StateFollowsTheThreadAndRecordsAreRecycled) {
    EXPECT_EQ(eTaskGetState(nullptr), eInvalid);
    std::atomic<bool> gate{false};
    TaskHandle_t h = nullptr;
    ASSERT_EQ(xTaskCreate(short_task, "gated", 2048, &gate, 5, &h), pdPASS);
    EXPECT_EQ(eTaskGetState(h), eRunning);
    gate = true;
    for (int i = 0; i < 2000 && eTaskGetState(h) == eRunning; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(eTaskGetState(h), eDeleted);

    // Far more short tasks than the pool holds: records are recycled, and the old handle of a
    // recycled record still reads deleted.
    g_task_runs = 0;
    for (int i = 0; i < 3000; i++) {
        TaskHandle_t t = nullptr;
        ASSERT_EQ(xTaskCreatePinnedToCore(short_task, "short", 2048, nullptr, 8, &t, 1), pdPASS) << i;
        while (eTaskGetState(t) == eRunning)
            std::this_thread::yield();
    }
    EXPECT_EQ(g_task_runs.load(), 3000);
    EXPECT_EQ(eTaskGetState(h), eDeleted);
    EXPECT_EQ(stub_tasks_running(), 0);
}

TEST(Tasks, DelaySleepsOnThePlatformClock) {
    ManualClock clock(0);
    std::atomic<bool> done{false};
    std::atomic<bool> started{false};
    std::thread t([&] {
        started = true;
        vTaskDelay(50);
        done = true;
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach its sleep
    clock.advance_ms(49);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    while (!done) {  // one step, or more if the thread reached its sleep only after the first
        clock.advance_ms(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    t.join();
}

TEST(Queues, ItemsArriveInOrderAndReceiveTimesOut) {
    ManualClock clock(0);
    QueueHandle_t q = xQueueCreate(2, sizeof(int));
    int a = 1, b = 2, c = 3, out = 0;
    EXPECT_EQ(xQueueSend(q, &a, 0), pdPASS);
    EXPECT_EQ(xQueueSend(q, &b, 0), pdPASS);
    EXPECT_EQ(xQueueSend(q, &c, 0), pdFAIL) << "full queue, no wait";
    EXPECT_EQ(xQueueReceive(q, &out, 0), pdPASS);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(xQueueReceive(q, &out, 0), pdPASS);
    EXPECT_EQ(out, 2);
    // The clock moves on until the receive has timed out: on a busy machine the thread may start
    // waiting only after a first step, and a single step would then leave it waiting for ever.
    std::atomic<bool> done{false};
    std::thread t([&] {
        EXPECT_EQ(xQueueReceive(q, &out, 10), pdFAIL);
        done = true;
    });
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        clock.advance_ms(10);
    }
    t.join();
    vQueueDelete(q);
}

}  // namespace
