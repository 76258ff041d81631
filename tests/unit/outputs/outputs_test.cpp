// The light outputs: dimming ramps, pulse, blinking, sequences, servo values and the state word.
#include <gtest/gtest.h>

#include <vector>

#include "board.h"
#include "board_time.h"
#include "callback.h"
#include "outputs.h"

namespace {

// What the drivers were sent, per driver and channel.
std::vector<uint16_t> sent[OUTPUTS_DRIVER_COUNT][16];
std::vector<uint32_t> state_words;

void sw_set(uint8_t ch, uint16_t v) {
    sent[DRIVER_SOFTWAREPWM][ch].push_back(v);
}
void hw_set(uint8_t ch, uint16_t v) {
    sent[DRIVER_HARDWAREPWM][ch].push_back(v);
}
void on_state(uint32_t word) {
    state_words.push_back(word);
}

const outDriver_t kDrivers[OUTPUTS_DRIVER_COUNT] = {
    {DRIVER_SOFTWAREPWM, nullptr, sw_set, nullptr, nullptr, nullptr},
    {DRIVER_HARDWAREPWM, nullptr, hw_set, nullptr, nullptr, nullptr},
};
// Output n: hardware channel n for outputs 0..3, software channel n for the rest.
const outDriverConf_t kMap[OUTPUTS_COUNT] = {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {0, 4},  {0, 5},
                                             {0, 6}, {0, 7}, {0, 8}, {0, 9}, {0, 10}, {0, 11}};

class Outputs : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto &driver : sent)
            for (auto &ch : driver)
                ch.clear();
        state_words.clear();
        Callback_SetDefaults();
        MillisecondCounter.store(0);
        Outputs_Init(kDrivers, kMap);
        for (uint8_t out = 0; out < OUTPUTS_COUNT; out++) {
            Outputs_SetMaxDuty(out, 255);
            Outputs_SetMinDuty(out, 0);
            Outputs_SetType(out, 0);
        }
        Outputs_LoadStates(0, on_state);
        for (auto &driver : sent)
            for (auto &ch : driver)
                ch.clear();
    }
    // Runs the millisecond clock until n more handler ticks have run.
    void run_ticks(int n, uint32_t period = 10) {
        for (uint32_t ms = 0; ms < n * period; ms++)
            Callback_Invoke(MillisecondCounter.fetch_add(1) + 1);
    }
    uint8_t duty(uint8_t out) { return Outputs_GetConf(out)->currduty; }
    const std::vector<uint16_t> &hw(uint8_t ch) { return sent[DRIVER_HARDWAREPWM][ch]; }
    const std::vector<uint16_t> &sw(uint8_t ch) { return sent[DRIVER_SOFTWAREPWM][ch]; }
};

TEST_F(Outputs, DimmedSwitchOnTakes51TicksAndLandsOnFullDuty) {
    Outputs_SetType(0, 0x30);  // steady, 500 ms lamp time
    EXPECT_EQ(Outputs_GetConf(0)->lamp_step, 81);
    Outputs_SetMax(0);
    int ticks = 0;
    while (!Outputs_GetState(0) && ticks < 100) {
        run_ticks(1);
        ticks++;
    }
    EXPECT_EQ(ticks, 51);
    EXPECT_EQ(duty(0), 255);
    ASSERT_EQ(hw(0).size(), 51u);
    EXPECT_EQ(hw(0)[49], 988) << "duty 253 before the last step";
    EXPECT_EQ(hw(0).back(), 1000);
    EXPECT_EQ(state_words, std::vector<uint32_t>{1});

    // Already on and idle: nothing to do.
    Outputs_SetMax(0);
    EXPECT_EQ(Outputs_GetConf(0)->switch_dir, 0);
    // Switching off, then on again half way: the ramp turns back.
    Outputs_SetMin(0);
    run_ticks(10);
    const uint8_t low = duty(0);
    EXPECT_LT(low, 255);
    Outputs_SetMax(0);
    run_ticks(10);
    EXPECT_EQ(duty(0), 255);
    EXPECT_TRUE(Outputs_GetState(0));
    EXPECT_EQ(state_words, std::vector<uint32_t>{1}) << "never reported off";
}

TEST_F(Outputs, LampTimeShorterThanOnePeriodSwitchesInOneTick) {
    Outputs_SetCallbackPeriod(20);
    Outputs_SetLampSwitchingTime(0, 1);  // 10 ms
    Outputs_SetType(4, 0x10);
    EXPECT_EQ(Outputs_GetLampSwitchingTime(0), 1);
    Outputs_SetMax(4);
    run_ticks(1, 20);
    EXPECT_EQ(duty(4), 255);
    EXPECT_TRUE(Outputs_GetState(4));
}

TEST_F(Outputs, PulseSwitchesItselfOff) {
    Outputs_SetType(5, 5);
    EXPECT_EQ(Outputs_GetConf(5)->type, 0x105);
    EXPECT_EQ(Outputs_GetRawType(5), 5);
    Outputs_SetOnTime(100);
    EXPECT_EQ(Outputs_GetOnTime(), 100);
    Outputs_SetMax(5);
    run_ticks(1);
    EXPECT_TRUE(Outputs_GetState(5));
    run_ticks(99);
    EXPECT_TRUE(Outputs_GetState(5));
    run_ticks(1);
    EXPECT_FALSE(Outputs_GetState(5)) << "off 100 ticks after it was enabled";
    EXPECT_EQ(sw(5).back(), 0);
    run_ticks(1000);
    EXPECT_EQ(Outputs_GetConf(5)->blinkPos, 1000) << "the position stops at its end";
}

TEST_F(Outputs, PulseLongerThanThePositionRangeStillEnds) {
    Outputs_SetCallbackPeriod(2);
    run_ticks(1);            // the handler takes the new period from its next rescheduling
    Outputs_SetOnTime(255);  // 2550 ms = 1275 ticks, beyond the 1000 positions
    Outputs_SetType(6, 5);
    Outputs_SetMax(6);
    run_ticks(1000, 2);
    EXPECT_TRUE(Outputs_GetState(6));
    run_ticks(1, 2);
    EXPECT_FALSE(Outputs_GetState(6));
}

TEST_F(Outputs, BlinkCycleLasts101TicksOnFor50) {
    Outputs_SetBlinkPeriod(0, 50);  // 500 ms, duty 50 %
    Outputs_SetType(7, 1);
    Outputs_SetType(8, 2);  // inverted
    Outputs_SetMax(7);
    Outputs_SetMax(8);
    std::vector<int> rises, falls;
    for (int t = 0; t < 400; t++) {
        const uint8_t before = duty(7);
        run_ticks(1);
        if (duty(7) > before) rises.push_back(t);
        if (duty(7) < before) falls.push_back(t);
        EXPECT_EQ(duty(7) == 255, duty(8) == 0) << "tick " << t;
    }
    ASSERT_GE(rises.size(), 3u);
    EXPECT_EQ(rises[2] - rises[1], 101);
    for (int fall : falls) {
        if (fall > rises[1]) {
            EXPECT_EQ(fall - rises[1], 50);
            break;
        }
    }
}

TEST_F(Outputs, SequenceFollowsItsPatternAndAnUnsetOneKeepsTheTarget) {
    Outputs_SetType(9, 6);
    Outputs_SetMax(9);
    run_ticks(50);
    EXPECT_EQ(duty(9), 0) << "no pattern yet";

    static const uint8_t pattern[13] = {0x05};  // steps 0 and 2 on
    Outputs_SetCustomSequence(0, pattern);
    Outputs_SetMin(9);
    run_ticks(1);
    Outputs_SetMax(9);  // restarts the output's position
    std::vector<uint8_t> duties;
    for (int t = 0; t < 1010; t++) {
        run_ticks(1);
        duties.push_back(duty(9));
    }
    EXPECT_EQ(duties[0], 255);
    EXPECT_EQ(duties[9], 255);
    EXPECT_EQ(duties[10], 0);
    EXPECT_EQ(duties[20], 255);
    EXPECT_EQ(duties[30], 0);
    EXPECT_EQ(duties[999], 0);
    EXPECT_EQ(duties[1000], 255) << "100 steps repeat every 1000 ticks";
}

TEST_F(Outputs, DutyValuesSentToTheDrivers) {
    Outputs_SetDutyFast(1, 128);
    EXPECT_EQ(hw(1).back(), 500);
    Outputs_SetDutyFast(1, 255);
    EXPECT_EQ(hw(1).back(), 1000);
    Outputs_SetDutyFast(4, 128);
    EXPECT_EQ(sw(4).back(), 128);

    Outputs_SetType(2, 9);
    Outputs_SetDutyFast(2, 255);
    EXPECT_EQ(hw(2).back(), 2095);
    Outputs_SetDutyFast(2, 0);
    EXPECT_EQ(hw(2).back(), 900);
    Outputs_SetType(10, 9);
    Outputs_SetDutyFast(10, 255);
    EXPECT_EQ(sw(10).back(), 105);
}

TEST_F(Outputs, ServoSettlesThirtyTicksAfterItsLastMove) {
    Outputs_SetType(3, 9);
    Outputs_SetMax(3);
    run_ticks(1);  // the move: the first of the 30 ticks
    EXPECT_EQ(hw(3).back(), 2095);
    run_ticks(25);
    EXPECT_EQ(hw(3).back(), 2095);
    run_ticks(1);
    EXPECT_EQ(hw(3).back(), 0) << "pulses stop 3 ticks before settling";
    EXPECT_FALSE(Outputs_GetState(3));
    run_ticks(2);
    EXPECT_FALSE(Outputs_GetState(3));
    run_ticks(1);
    EXPECT_TRUE(Outputs_GetState(3));

    // With continuous pulses nothing is switched off.
    Outputs_SetServoContinuous(true);
    const size_t before = hw(3).size();
    Outputs_SetMin(3);
    run_ticks(40);
    EXPECT_FALSE(Outputs_GetState(3));
    for (size_t i = before; i < hw(3).size(); i++)
        EXPECT_NE(hw(3)[i], 0);
}

TEST_F(Outputs, CallbackPeriodLimits) {
    Outputs_SetOnTime(7);
    Outputs_SetCallbackPeriod(1);
    Outputs_SetCallbackPeriod(101);
    EXPECT_EQ(Outputs_GetOnTime(), 7) << "period still 10 ms";
    Outputs_SetCallbackPeriod(20);
    EXPECT_EQ(Outputs_GetOnTime(), 6) << "70 ms is 3 whole ticks of 20 ms";
    run_ticks(1);

    // 30 / 20 ms: the servo pulses stop 1 tick before settling.
    Outputs_SetType(1, 9);
    Outputs_SetMax(1);
    run_ticks(1, 20);
    run_ticks(27, 20);
    EXPECT_EQ(hw(1).back(), 2095);
    run_ticks(1, 20);
    EXPECT_EQ(hw(1).back(), 0);
}

TEST_F(Outputs, MaxAndMinDutyMoveTheTarget) {
    Outputs_SetMax(0);
    run_ticks(1);
    Outputs_SetMaxDuty(0, 200);  // the target was the old maximum: it follows
    EXPECT_EQ(Outputs_GetConf(0)->targetduty, 200);
    Outputs_SetDuty(0, 100);
    Outputs_SetMaxDuty(0, 150);  // below the maximum: unchanged
    EXPECT_EQ(Outputs_GetConf(0)->targetduty, 100);
    Outputs_SetMaxDuty(0, 50);  // a new maximum below the target pulls it down
    EXPECT_EQ(Outputs_GetConf(0)->targetduty, 50);
    Outputs_SetMinDuty(0, 60);
    EXPECT_EQ(Outputs_GetConf(0)->targetduty, 60);
    EXPECT_EQ(Outputs_GetMinDuty(0), 60);
}

TEST_F(Outputs, NumbersBeyondTheTwelveOutputsAreIgnored) {
    for (uint8_t out : {12, 13, 200}) {
        Outputs_SetMax(out);
        Outputs_SetMin(out);
        Outputs_SetType(out, 9);
        Outputs_SetMaxDuty(out, 1);
        Outputs_SetMinDuty(out, 1);
        Outputs_SetDuty(out, 1);
        Outputs_SetDutyFast(out, 1);
        OutEnable(out, true);
        EXPECT_FALSE(Outputs_Pause(out));
        EXPECT_FALSE(Outputs_GetState(out));
        EXPECT_EQ(Outputs_GetMaxDuty(out), 0);
        EXPECT_EQ(Outputs_GetType(out), 0);
        EXPECT_EQ(Outputs_GetConf(out), nullptr);
    }
    Outputs_SetBlinkPeriod(2, 10);
    Outputs_SetLampSwitchingTime(2, 10);
    Outputs_SetCustomSequence(2, nullptr);
    run_ticks(5);
    EXPECT_EQ(Outputs_GetStateWord(), 0u);
    EXPECT_TRUE(state_words.empty());
}

}  // namespace
