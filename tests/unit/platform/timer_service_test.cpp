// The timer service: due times, periodic catch-up, re-arming from callbacks, delete, table
// limits and the 32-bit microsecond wrap, all on the manual clock.
#include <gtest/gtest.h>

#include <vector>

#include "esp_timer.h"
#include "test_support.h"

namespace {

struct Counter {
    std::vector<int64_t> fired_at;
    esp_timer_handle_t self = nullptr;
    int action = 0;  // 1: stop own timer, 2: start one-shot again
};

void count_cb(void *arg) {
    auto *c = (Counter *)arg;
    c->fired_at.push_back(esp_timer_get_time());
    if (c->action == 1) esp_timer_stop(c->self);
    if (c->action == 2 && c->fired_at.size() < 3) esp_timer_start_once(c->self, 2000);
}

esp_timer_handle_t make_timer(Counter *c) {
    esp_timer_create_args_t args = {};
    args.callback = count_cb;
    args.arg = c;
    args.name = "test";
    esp_timer_handle_t h = nullptr;
    EXPECT_EQ(esp_timer_create(&args, &h), ESP_OK);
    c->self = h;
    return h;
}

// Polls once per millisecond from the current time up to `until_us`.
void run_ms(ManualClock &clock, int ms) {
    for (int i = 0; i < ms; i++) {
        clock.advance_ms(1);
        esp_timer_poll();
    }
}

class TimerService : public ::testing::Test {
protected:
    void SetUp() override { stub_timer_reset_all(); }
    void TearDown() override { stub_timer_reset_all(); }
};

TEST_F(TimerService, OneShotFiresOnceAtItsDueTime) {
    ManualClock clock(0);
    Counter c;
    auto h = make_timer(&c);
    esp_timer_start_once(h, 5000);
    EXPECT_TRUE(esp_timer_is_active(h));
    run_ms(clock, 4);
    EXPECT_TRUE(c.fired_at.empty());
    run_ms(clock, 1);
    ASSERT_EQ(c.fired_at.size(), 1u);
    EXPECT_EQ(c.fired_at[0], 5000);
    EXPECT_FALSE(esp_timer_is_active(h));
    run_ms(clock, 20);
    EXPECT_EQ(c.fired_at.size(), 1u);
}

TEST_F(TimerService, PeriodicCatchesUpAfterStallAndKeepsPhase) {
    ManualClock clock(0);
    Counter c;
    auto h = make_timer(&c);
    esp_timer_start_periodic(h, 10000);  // due at 10, 20, 30 ... ms
    run_ms(clock, 12);
    ASSERT_EQ(c.fired_at.size(), 1u);
    // The tick thread stalls for 35 ms: 20, 30 and 40 were missed.
    clock.advance_ms(35);  // now 47 ms
    esp_timer_poll();
    esp_timer_poll();
    esp_timer_poll();
    EXPECT_EQ(c.fired_at.size(), 4u);
    esp_timer_poll();
    EXPECT_EQ(c.fired_at.size(), 4u) << "one period made up per poll, no more than missed";
    run_ms(clock, 3);  // 50 ms: the original phase
    EXPECT_EQ(c.fired_at.size(), 5u);
    EXPECT_EQ(c.fired_at.back(), 50000);
    run_ms(clock, 10);
    EXPECT_EQ(c.fired_at.back(), 60000);
}

TEST_F(TimerService, CallbackMayStopOrRearmItsOwnTimer) {
    ManualClock clock(0);
    Counter stopper;
    stopper.action = 1;
    auto a = make_timer(&stopper);
    esp_timer_start_periodic(a, 1000);
    Counter rearm;
    rearm.action = 2;
    auto b = make_timer(&rearm);
    esp_timer_start_once(b, 1000);
    run_ms(clock, 20);
    EXPECT_EQ(stopper.fired_at.size(), 1u);
    EXPECT_FALSE(esp_timer_is_active(a));
    ASSERT_EQ(rearm.fired_at.size(), 3u);
    EXPECT_EQ(rearm.fired_at[1], 3000);
    EXPECT_EQ(rearm.fired_at[2], 5000);
}

TEST_F(TimerService, DeleteKeepsArmedTimerFiringAndReleasesIdleEntries) {
    ManualClock clock(0);
    Counter c;
    auto h = make_timer(&c);
    esp_timer_start_periodic(h, 2000);
    EXPECT_EQ(esp_timer_delete(h), ESP_OK);
    run_ms(clock, 10);
    EXPECT_EQ(c.fired_at.size(), 5u);
    EXPECT_EQ(stub_timer_entries_in_use(), 1);
    // Stopping the deleted timer releases its entry; an idle timer is released by delete.
    esp_timer_stop(h);
    EXPECT_EQ(stub_timer_entries_in_use(), 0);
    Counter d;
    auto h2 = make_timer(&d);
    EXPECT_EQ(stub_timer_entries_in_use(), 1);
    esp_timer_delete(h2);
    EXPECT_EQ(stub_timer_entries_in_use(), 0);
}

TEST_F(TimerService, RepeatedCreateDeleteNeverExhaustsTheTable) {
    for (int round = 0; round < 1000; round++) {
        Counter c;
        auto h = make_timer(&c);
        ASSERT_NE(h, nullptr);
        esp_timer_start_periodic(h, 1000);
        esp_timer_stop(h);
        esp_timer_delete(h);
    }
    EXPECT_EQ(stub_timer_entries_in_use(), 0);
}

TEST_F(TimerService, FullTableRefusesTheNextTimer) {
    LogCapture log;
    std::vector<Counter> counters(STUB_TIMER_TABLE_SIZE + 1);
    for (int i = 0; i < STUB_TIMER_TABLE_SIZE; i++)
        ASSERT_NE(make_timer(&counters[i]), nullptr);
    esp_timer_create_args_t args = {};
    args.callback = count_cb;
    args.arg = &counters.back();
    args.name = "one too many";
    esp_timer_handle_t h = nullptr;
    EXPECT_NE(esp_timer_create(&args, &h), ESP_OK);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(log.contains("Timer table is full")) << log.dump();
}

TEST_F(TimerService, CreateThroughSameHandleKeepsTheTimer) {
    Counter c1, c2;
    auto h = make_timer(&c1);
    esp_timer_create_args_t args = {};
    args.callback = count_cb;
    args.arg = &c2;
    esp_timer_handle_t same = h;
    EXPECT_EQ(esp_timer_create(&args, &same), ESP_OK);
    EXPECT_EQ(same, h);
    EXPECT_EQ(stub_timer_entries_in_use(), 1);
}

TEST_F(TimerService, NullHandlesAreRejected) {
    uint64_t expiry = 0;
    EXPECT_EQ(esp_timer_start_once(nullptr, 1), ESP_FAIL);
    EXPECT_EQ(esp_timer_start_periodic(nullptr, 1), ESP_FAIL);
    EXPECT_EQ(esp_timer_stop(nullptr), ESP_FAIL);
    EXPECT_EQ(esp_timer_get_expiry_time(nullptr, &expiry), ESP_FAIL);
    EXPECT_FALSE(esp_timer_is_active(nullptr));
    Counter c;
    auto h = make_timer(&c);
    EXPECT_EQ(esp_timer_get_expiry_time(h, nullptr), ESP_FAIL);
}

TEST_F(TimerService, PeriodicTimerKeepsRhythmAcrossThe32BitMicrosecondWrap) {
    const int64_t wrap = int64_t(1) << 32;
    ManualClock clock(wrap - 25000);  // 25 ms before the wrap
    Counter c;
    auto h = make_timer(&c);
    esp_timer_start_periodic(h, 10000);
    uint64_t expiry = 0;
    esp_timer_get_expiry_time(h, &expiry);
    EXPECT_EQ(expiry, (uint64_t)(wrap - 15000));
    run_ms(clock, 100);
    ASSERT_EQ(c.fired_at.size(), 10u);
    for (size_t i = 1; i < c.fired_at.size(); i++)
        EXPECT_EQ(c.fired_at[i] - c.fired_at[i - 1], 10000);
    EXPECT_GT(c.fired_at.back(), wrap);
}

}  // namespace
