// The motor model: ramp arithmetic, zero crossing, stopping, power sequence.
#include <gtest/gtest.h>

#include "board.h"
#include "board_time.h"
#include "callback.h"
#include "dcc_hl.h"
#include "movement.h"

namespace {

class Motor : public ::testing::Test {
protected:
    void SetUp() override {
        Callback_SetDefaults();
        MillisecondCounter.store(0);
        Engine_Init();
        DCC_MotorDirHandler(1);
        run_ms(5);  // the first driver step clears the start-up emergency stop
    }
    // One firmware millisecond of the motor: callbacks, then the driver step.
    void run_ms(int n) {
        for (int i = 0; i < n; i++) {
            const uint32_t now = MillisecondCounter.fetch_add(1) + 1;
            Callback_Invoke(now);
            engine_drv_main();
        }
    }
    // Sets out for `speed` and runs until the motor has reached it.
    void reach(int32_t speed) {
        Engine_MoveToDirection(speed);
        while (EngineParams.CurSpeed != speed)
            run_step();
    }
    void stop_to_a_stand() {
        Engine_Stop();
        while (Engine_IsMoving())
            run_step();
    }
    // Runs to just after the next movement step (they fall on 1, 11, 21, ... ms).
    void run_step() {
        do
            run_ms(1);
        while (Time() % 10 != 1);
    }
};

TEST_F(Motor, FullScaleRampTakes850StepsWithFractionsCarried) {
    ASSERT_EQ(EngineParams.Accel, 7680u);
    Engine_MoveToDirection(65280);
    EXPECT_TRUE(Engine_IsMoving());
    EXPECT_EQ(Engine_GetRunFlag(), FL_WAIT_POWER);
    run_step();  // power confirmed, first step
    EXPECT_EQ(EngineParams.CurSpeed, 76);
    int steps = 1;
    int32_t previous = EngineParams.CurSpeed;
    while (EngineParams.CurSpeed != 65280 && steps < 2000) {
        run_step();
        const int32_t delta = EngineParams.CurSpeed - previous;
        EXPECT_TRUE(delta == 76 || delta == 77) << "step " << steps << ": " << delta;
        previous = EngineParams.CurSpeed;
        steps++;
    }
    EXPECT_EQ(steps, 850);
    EXPECT_TRUE(EngineParams.AtTargetSpeed);
    run_step();
    EXPECT_EQ(EngineParams.CurSpeed, 65280);
}

TEST_F(Motor, StartRightAfterAStandstillReportIsNotTakenForAStop) {
    run_step();
    run_ms(9);  // the driver step has just reported standstill; the next movement step is due
    ASSERT_TRUE(EngineParams.Stopped);
    Engine_MoveToDirection(10000);
    run_step();
    EXPECT_TRUE(Engine_IsMoving());
    EXPECT_GT(EngineParams.CurSpeed, 0);
}

TEST_F(Motor, ZeroSpeedRequestAndStopWithoutMovement) {
    Engine_MoveToDirection(0);
    EXPECT_FALSE(Engine_IsMoving());
    EXPECT_EQ(EngineParams.SetSpeed, 0);

    Engine_MoveToDirection(1000);
    run_step();
    ASSERT_TRUE(EngineParams.PowerOK);
    Engine_EStop();
    run_ms(1);
    EXPECT_EQ(EngineParams.CurSpeed, 0);
    EXPECT_TRUE(EngineParams.Stopped);
    run_step();
    EXPECT_FALSE(Engine_IsMoving());
    EXPECT_EQ(Engine_GetRunFlag(), FL_FINISHED);
    EXPECT_TRUE(EngineParams.PowerOK);
    Engine_Stop();
    EXPECT_FALSE(EngineParams.PowerOK) << "no movement in progress: power off";
}

TEST_F(Motor, ReversingBrakesCrossesZeroAndReportsTheDirection) {
    EngineParams.Accel = 50000;
    EngineParams.Decel = 30000;
    reach(2000);
    ASSERT_EQ(DCC_GetCurrentDirection(), 1);

    Engine_MoveToDirection(-2000);
    std::vector<int32_t> speeds;
    for (int i = 0; i < 12; i++) {
        run_step();
        speeds.push_back(EngineParams.CurSpeed);
        EXPECT_EQ(DCC_GetCurrentDirection(), EngineParams.CurSpeed < 0 ? -1 : 1) << i;
    }
    // 300 per step while braking, 500 per step after the crossing (fractions carried).
    EXPECT_EQ(speeds[0], 1700);
    EXPECT_EQ(speeds[5], 200);
    EXPECT_EQ(speeds[6], -100);
    EXPECT_EQ(speeds[7], -600);
    EXPECT_EQ(speeds.back(), -2000) << "clamped at the target";
}

TEST_F(Motor, StoppingNeverCarriesTheSpeedBelowZero) {
    reach(300);
    EngineParams.Decel = 65280;  // one step would be -652
    Engine_Stop();
    run_step();
    EXPECT_EQ(EngineParams.CurSpeed, 0);
    run_step();
    EXPECT_EQ(EngineParams.CurSpeed, 0);
    EXPECT_FALSE(Engine_IsMoving());
}

TEST_F(Motor, ImmediateMoveJumpsAndReportsDirection) {
    Engine_MoveToDirectionImmediate(-(int32_t)EngineParams.NomSpeed);
    EXPECT_EQ(EngineParams.CurSpeed, -32512);
    EXPECT_EQ(EngineParams.SetSpeed, -32512);
    EXPECT_EQ(DCC_GetCurrentDirection(), -1);
    run_step();
    run_step();
    EXPECT_EQ(EngineParams.CurSpeed, -32512);
}

TEST_F(Motor, PowerOffAfterStopWhenAsked) {
    EngineParams.OffOnStop = true;
    reach(500);
    stop_to_a_stand();
    EXPECT_TRUE(EngineParams.PowerOK);
    run_ms(1498);
    EXPECT_TRUE(EngineParams.PowerOK);
    run_ms(2);
    EXPECT_FALSE(EngineParams.PowerOK);

    // A new start cancels a pending power-off.
    reach(500);
    stop_to_a_stand();
    Engine_MoveToDirection(500);
    run_ms(2000);
    EXPECT_TRUE(EngineParams.PowerOK);
}

}  // namespace
