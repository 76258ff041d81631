// The millisecond callback scheduler.
#include <gtest/gtest.h>

#include <vector>

#include "board.h"
#include "board_time.h"
#include "callback.h"

namespace {

std::vector<int> calls;
void slot0() {
    calls.push_back(0);
}
void slot1() {
    calls.push_back(1);
}
void slot2() {
    calls.push_back(2);
}
// Schedules slot 2 (a later slot) and slot 0 (an earlier one) for the current millisecond.
void slot1_schedules_now() {
    calls.push_back(1);
    Callback_SetCalltime(ENGINE_INDEX, Time());
    Callback_SetCalltime(POWEROFF_INDEX, Time());
}

class Callbacks : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        Callback_SetDefaults();
        MillisecondCounter.store(0);
    }
    void run_to(uint32_t t) {
        while (Time() < t)
            Callback_Invoke(MillisecondCounter.fetch_add(1) + 1);
    }
};

TEST_F(Callbacks, FiresOnceAtItsDueTime) {
    Callback_SetHandler(ENGINE_INDEX, slot2);
    run_to(500);
    Callback_SetDelay(ENGINE_INDEX, 10);
    EXPECT_EQ(Callback_GetDelay(ENGINE_INDEX), 10u);
    run_to(509);
    EXPECT_TRUE(calls.empty());
    run_to(510);
    EXPECT_EQ(calls, std::vector<int>{2});
    run_to(2000);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(Callbacks, ZeroDelayCallsAtOnceAndKeepsTheDueTime) {
    Callback_SetHandler(POWEROK_INDEX, slot1);
    Callback_SetDelay(POWEROK_INDEX, 20);
    Callback_SetDelay(POWEROK_INDEX, 0);
    EXPECT_EQ(calls, std::vector<int>{1});
    run_to(20);
    EXPECT_EQ(calls, (std::vector<int>{1, 1}));
}

TEST_F(Callbacks, CancelPreventsTheCall) {
    Callback_SetHandler(POWEROFF_INDEX, slot0);
    Callback_SetDelay(POWEROFF_INDEX, 5);
    Callback_CancelDelay(POWEROFF_INDEX);
    run_to(100);
    EXPECT_TRUE(calls.empty());
    Callback_SetDelay(POWEROFF_INDEX, 5);
    run_to(200);
    Callback_CancelDelay(POWEROFF_INDEX);
    EXPECT_EQ(calls.size(), 1u);
    Callback_SetDelay((callback_t)7, 1);  // no such slot
    Callback_SetHandler((callback_t)7, slot0);
}

TEST_F(Callbacks, SlotsRunInIndexOrderWithinOneMillisecond) {
    Callback_SetHandler(POWEROFF_INDEX, slot0);
    Callback_SetHandler(POWEROK_INDEX, slot1_schedules_now);
    Callback_SetHandler(ENGINE_INDEX, slot2);
    Callback_SetDelay(POWEROK_INDEX, 3);
    run_to(3);
    // The later slot runs in the same pass; the earlier one has been passed and waits.
    EXPECT_EQ(calls, (std::vector<int>{1, 2}));
    run_to(1000);
    EXPECT_EQ(calls.size(), 2u);
}

}  // namespace
