// The scheduler of simulated time: which ready task runs next, and a run that cannot go on ends
// with a report instead of hanging. Simulated time stays on for the life of a process, so each
// case runs in a child process of its own (a death test).
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "esp_timer.h"
#include "freertos/event_groups.h"
#include "freertos/semphr.h"
#include "freertos/task.h"
#include "stub.h"

namespace {

class SimulatedTime : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

EventGroupHandle_t g_go;
std::string g_order;

void note_when_going(void *name) {
    xEventGroupWaitBits(g_go, 1, pdFALSE, pdTRUE, portMAX_DELAY);
    g_order += (const char *)name;
}

// Tasks woken together run by priority, and among equals in the order they began to wait; the
// simulated clock stands still while they run.
TEST_F(SimulatedTime, ReadyTasksRunByPriorityThenInTheOrderTheyBecameReady) {
    EXPECT_EXIT(
        {
            stub_sim_start("main", 1);
            g_go = xEventGroupCreate();
            xTaskCreate(note_when_going, "a", 4096, (void *)"a", 5, nullptr);
            xTaskCreate(note_when_going, "b", 4096, (void *)"b", 8, nullptr);
            xTaskCreate(note_when_going, "c", 4096, (void *)"c", 5, nullptr);
            vTaskDelay(1);  // all three wait now
            const int64_t before = esp_timer_get_time();
            xEventGroupSetBits(g_go, 1);
            vTaskDelay(1);
            fprintf(stderr, "order %s after %lld us\n", g_order.c_str(),
                    (long long)(esp_timer_get_time() - before));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "order bac after 1000 us");
}

std::atomic<bool> g_stop;

void note_the_stop(void *group) {
    xEventGroupWaitBitsWatched((EventGroupHandle_t)group, 1, 20,
                               [](EventBits_t, void *) { return g_stop.load(); }, nullptr);
    fprintf(stderr, "stop seen at %lld us\n", (long long)esp_timer_get_time());
    exit(0);
}

// In simulated time a watched wait is the decoder's polling wait: it sees a change only at its
// next time-out, kicked or not, so that runs replay as they did when the task polled.
TEST_F(SimulatedTime, AWatchedWaitSeesAChangeAtItsNextTimeOut) {
    EXPECT_EXIT(
        {
            stub_sim_start("main", 1);
            EventGroupHandle_t group = xEventGroupCreate();
            xTaskCreate(note_the_stop, "watcher", 4096, group, 5, nullptr);
            vTaskDelay(45);  // its looks at 20 and 40 ms find nothing
            g_stop.store(true);
            vEventGroupKick(group);
            vTaskDelay(100);
        },
        ::testing::ExitedWithCode(0), "stop seen at 60000 us");
}

void wait_forever(void *group) {
    xEventGroupWaitBits((EventGroupHandle_t)group, 1, pdFALSE, pdTRUE, portMAX_DELAY);
}

TEST_F(SimulatedTime, ARunWhereEveryTaskWaitsForNothingDueNamesTheTasks) {
    EXPECT_EXIT(
        {
            stub_sim_start("main", 1);
            EventGroupHandle_t never = xEventGroupCreate();
            xTaskCreate(wait_forever, "waiter", 4096, never, 5, nullptr);
            vTaskDelay(20);
            xEventGroupWaitBits(never, 2, pdFALSE, pdTRUE, portMAX_DELAY);
        },
        ::testing::ExitedWithCode(3),
        "cannot go on at 20 ms: every task waits and nothing is due.*main waits for an event, with no "
        "time-out.*waiter waits for an event, with no time-out");
}

SemaphoreHandle_t g_lock;

void hold_the_lock(void *) {
    xSemaphoreTakeRecursive(g_lock, portMAX_DELAY);
    for (;;)
        vTaskDelay(100);  // never lets go, but wakes up: time goes on
}

TEST_F(SimulatedTime, ALockHeldForMinutesNamesItsHolder) {
    EXPECT_EXIT(
        {
            stub_sim_start("main", 1);
            g_lock = xSemaphoreCreateRecursiveMutex();
            xTaskCreate(hold_the_lock, "holder", 4096, nullptr, 5, nullptr);
            vTaskDelay(1);
            xSemaphoreTakeRecursive(g_lock, portMAX_DELAY);
        },
        ::testing::ExitedWithCode(3),
        "a task has waited for a lock for minutes.*main waits for a lock held by holder");
}

}  // namespace
