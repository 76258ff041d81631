// Event groups, software timers, tasks and queues of the host port.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "esp_timer.h"
#include "freertos/event_groups.h"
#include "freertos/queue.h"
#include "freertos/task.h"
#include "freertos/timers.h"
#include "stub.h"
#include "test_support.h"

namespace {

// A thread that runs one timed wait and reads the platform clock before and after it; the test
// steps the manual clock until the wait is over.
class TimedWait {
public:
    explicit TimedWait(std::function<void()> wait)
        : thread_([this, wait] {
              before_us_ = esp_timer_get_time();
              wait();
              after_us_ = esp_timer_get_time();
              done_ = true;
          }) {}
    ~TimedWait() {
        if (thread_.joinable()) thread_.join();
    }
    bool done() const { return done_; }

    // Steps the clock by `step_ms` until the wait is over and returns how long it took on the
    // platform clock (ms), or -1 when it did not end within a few hundred steps. The time is
    // measured from the waiter's own start: on a loaded machine it may start only after some
    // steps. After each step it has up to 100 ms of real time to wake before the next.
    int64_t step_until_done(ManualClock &clock, int64_t step_ms) {
        for (int i = 0; i < 300 && !done_; i++) {
            clock.advance_ms(step_ms);
            for (int w = 0; w < 100 && !done_; w++)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool ended = done_;
        if (!ended) clock.advance_ms(1000000000);  // let it end, so that it can be joined
        thread_.join();
        return ended ? (after_us_ - before_us_) / 1000 : -1;
    }

private:
    std::atomic<int64_t> before_us_{0}, after_us_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

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
    TimedWait waiter([&] { EXPECT_EQ(xEventGroupWaitBits(g, 0x2, pdFALSE, pdFALSE, 100), 0x0u); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(waiter.done()) << "the manual clock has not moved";
    // It ends at the first step that reaches its deadline (one step more if it took its start
    // time just before a step).
    const int64_t took = waiter.step_until_done(clock, 25);
    ASSERT_NE(took, -1) << "the wait never ended";
    EXPECT_GE(took, 100);
    EXPECT_LE(took, 125);
    vEventGroupDelete(g);
}

// In real time a watched wait does not poll: a kick after the change it watches for ends it, long
// before its (here ten-second) time-out would have.
TEST(EventGroups, AKickEndsAWatchedWaitWithoutItsTimeOut) {
    EventGroupHandle_t g = xEventGroupCreate();
    std::atomic<bool> stop{false};
    std::thread asker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.store(true);
        vEventGroupKick(g);
    });
    const auto t0 = std::chrono::steady_clock::now();
    const auto watch = [](EventBits_t, void *arg) { return ((std::atomic<bool> *)arg)->load(); };
    EXPECT_EQ(xEventGroupWaitBitsWatched(g, 0x1, 10000, watch, &stop), 0x0u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    asker.join();
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
    TimedWait t([] { vTaskDelay(50); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach its sleep
    clock.advance_ms(49);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(t.done());
    const int64_t took = t.step_until_done(clock, 1);
    ASSERT_NE(took, -1) << "the delay never ended";
    EXPECT_GE(took, 50);
    EXPECT_LE(took, 51);
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
    TimedWait t([&] { EXPECT_EQ(xQueueReceive(q, &out, 10), pdFAIL); });
    const int64_t took = t.step_until_done(clock, 5);
    ASSERT_NE(took, -1) << "the receive never timed out";
    EXPECT_GE(took, 10);
    EXPECT_LE(took, 15);
    vQueueDelete(q);
}

}  // namespace
