// DCC commands: functions, speed packets, start delay, shunting, speed curve, emergency stop and
// the stored speed.
#include "dcc_fixture.h"

namespace {

TEST_F(Decoder, ConsoleTogglesLogChangesExceptOutOfTheResetState) {
    EXPECT_TRUE(isDccFunctionReset(1));
    DCC_ChangeFunction(1);
    EXPECT_TRUE(getDccFunctionState(1));
    EXPECT_TRUE(DCC_GetFunctionState(1));
    EXPECT_TRUE(functions[1].enabled) << "the sound engine hears of the change";
    EXPECT_FALSE(log.contains("Function 1 Changed"));
    DCC_ChangeFunction(1);
    EXPECT_FALSE(DCC_GetFunctionState(1));
    EXPECT_FALSE(functions[1].enabled);
    DCC_ChangeFunction(1);
    EXPECT_EQ(log.count("Function 1 Changed to 0"), 1);
    EXPECT_EQ(log.count("Function 1 Changed to 1"), 1);

    // Switching a function off that never had a state changes nothing.
    DCC_SetFunctionState(5, false);
    EXPECT_TRUE(isDccFunctionReset(5));
    DCC_ChangeFunction(69);
    DCC_ChangeFunction(255);
    EXPECT_FALSE(DCC_GetFunctionState(69));
}

TEST_F(Decoder, FunctionPacketsNeedTwoEqualPacketsToChange) {
    // Out of the reset state the first packet is enough.
    notifyDccFunc(3, FN_0_4, 0x10 | 0x01);
    EXPECT_TRUE(getDccFunctionState(0));
    EXPECT_TRUE(getDccFunctionState(1));
    EXPECT_TRUE(isDccFunctionReset(2));
    notifyDccFunc(3, FN_0_4, 0x10 | 0x01);

    notifyDccFunc(3, FN_0_4, 0x10);
    EXPECT_TRUE(getDccFunctionState(1)) << "one packet is not a change yet";
    notifyDccFunc(3, FN_0_4, 0x10);
    EXPECT_FALSE(getDccFunctionState(1));
    EXPECT_TRUE(getDccFunctionState(0));
    EXPECT_EQ(log.count("Function 1 Changed to 0"), 1);

    // Groups above F12 hold 8 functions each, bit b for the group's first function + b.
    notifyDccFunc(3, FN_13_20, 0x04);
    EXPECT_TRUE(getDccFunctionState(15));
    notifyDccFunc(3, FN_61_68, 0x80);
    EXPECT_TRUE(getDccFunctionState(68));
    notifyDccFunc(3, FN_9_12, 0x08);
    EXPECT_TRUE(getDccFunctionState(12));
    notifyDccFunc(3, (FN_GROUP)11, 0xFF);  // no such group
    notifyDccFunc(3, (FN_GROUP)0, 0xFF);
}

TEST_F(Decoder, SpeedTakesEffectOnTheSecondEqualPacket) {
    write_cv(63, 0);
    run_ms(20);
    console_speed(100);
    run_ms(10);
    EXPECT_TRUE(log.contains("New speed 7f")) << log.dump();
    EXPECT_EQ(EngineParams.SetSpeed, 0);
    run_ms(10);
    EXPECT_EQ(EngineParams.SetSpeed, -65280);
    EXPECT_EQ(log.count("New speed 7f"), 1);

    // A negative console speed selects direction 1.
    console_speed(-51);
    run_ms(10);
    EXPECT_TRUE(log.contains("New speed 13f"));
}

TEST_F(Decoder, StartDelayAndItsCancellation) {
    write_cv(63, 20);
    run_ms(20);
    console_speed(50);
    run_ms(20);  // second packet at 40 ms: the sound engine is told, the motor waits
    run_ms(1999);
    EXPECT_EQ(EngineParams.SetSpeed, 0);
    run_ms(1);
    EXPECT_EQ(EngineParams.SetSpeed, -126 * 256) << "2000 ms after the start request";

    console_speed(0);
    run_ms(3000);
    ASSERT_EQ(EngineParams.CurSpeed, 0);

    // Asked to start, then called off: the next start waits its full delay again.
    console_speed(50);
    run_ms(20);
    const uint32_t start = Time();
    run_ms(1000);
    console_speed(0);
    run_ms(20);
    console_speed(50);
    run_ms(20);
    const uint32_t restart = Time();
    while (EngineParams.SetSpeed == 0 && Time() < start + 5000)
        run_ms(1);
    EXPECT_EQ(Time() - restart, 2000u) << "started " << (Time() - start) << " ms after the first request";
}

TEST_F(Decoder, ShuntingHalvesTheSpeedSkipsTheDelayAndSwapsRates) {
    DCC_ChangeFunction(6);  // CV 165: the shunting function
    EXPECT_TRUE(isShuntingMode());
    EXPECT_EQ(EngineParams.Accel, 102u * 256);
    EXPECT_EQ(EngineParams.Decel, 102u * 256);

    run_ms(20);
    console_speed(50);
    run_ms(20);
    EXPECT_EQ(EngineParams.SetSpeed, -126 * 256 / 2) << "no start delay while shunting";

    DCC_ChangeFunction(6);
    EXPECT_FALSE(isShuntingMode());
    EXPECT_EQ(EngineParams.Accel, 7680u);
    EXPECT_EQ(EngineParams.Decel, 10240u);
    write_cv(61, 0);
    DCC_ChangeFunction(6);
    EXPECT_EQ(EngineParams.Accel, 65280u);
}

TEST_F(Decoder, SpeedCurve) {
    // Three points: CV 2 at the bottom, CV 6 in the middle, CV 5 at the top.
    EXPECT_EQ(getSpeed(0), 3);
    EXPECT_EQ(getSpeed(126), 126);
    EXPECT_EQ(getSpeed(127), 127);
    EXPECT_EQ(getSpeed(255), 255);
    write_cv(5, 200);
    EXPECT_EQ(getSpeed(255), 200);
    EXPECT_EQ(getSpeed(191), 163);

    // Speed table (CV 29 bit 4), half scale, interpolated, capped at 255.
    write_cv(29, 10 | 16);
    EXPECT_EQ(getSpeed(0), 3);
    EXPECT_EQ(getSpeed(128), 130);
    EXPECT_EQ(getSpeed(255), 255);
    write_cv(94, 20);
    EXPECT_EQ(getSpeed(255), 54) << "falling table segment";
}

TEST_F(Decoder, PacketsWithoutRunningStepsOrBeyondTheirScale) {
    write_cv(63, 0);
    run_ms(20);
    for (uint8_t max : {0, 1}) {
        notifyDccSpeed(3, 50, false, max);
        notifyDccSpeed(3, 50, false, max);
        EXPECT_EQ(EngineParams.SetSpeed, 0) << int(max);
    }
    // A step above the announced maximum is full speed, not a wrapped index.
    notifyDccSpeed(3, 127, false, 28);
    notifyDccSpeed(3, 127, false, 28);
    EXPECT_EQ(EngineParams.SetSpeed, -65280);
}

TEST_F(Decoder, EmergencyStopWhileMoving) {
    write_cv(63, 0);
    run_ms(20);
    console_speed(100);
    run_ms(1980);
    ASSERT_TRUE(Engine_IsMoving());
    ASSERT_LT(EngineParams.CurSpeed, -51 * 256);
    EXPECT_NE(fake_nvs.u16("speed_dir") & 0xFF, 0) << "the speed was stored while accelerating";

    decoder_set_speed(0);  // the console's "estop"
    run_ms(10);
    EXPECT_TRUE(log.contains("New speed 0"));
    EXPECT_FALSE(EngineParams.ImmediateStop);
    run_ms(10);
    EXPECT_TRUE(EngineParams.ImmediateStop);
    EXPECT_EQ(fake_nvs.u16("speed_dir"), 0x0000) << "speed 0 stored at once";
    run_ms(1);
    EXPECT_EQ(EngineParams.CurSpeed, 0);
    EXPECT_EQ(EngineParams.SetSpeed, 0);
    run_ms(20);
    EXPECT_FALSE(Engine_IsMoving());
}

TEST_F(Decoder, SpeedAndDirectionAreStored) {
    run_ms(20);
    console_speed(-100);  // direction 1; the motor waits out the start delay
    run_ms(20);
    EXPECT_EQ(DCC_GetCurrentDirection(), 1);
    run_ms(100);
    EXPECT_TRUE(log.contains("Saving current speed 0 last=0")) << "a direction change is stored";
    EXPECT_EQ(fake_nvs.u16("speed_dir"), 0x0200);

    // Stored again only after a change of 51 or more.
    int saves = log.count("Saving current speed");
    while (EngineParams.CurSpeed < 50 * 256)
        run_ms(10);
    EXPECT_EQ(log.count("Saving current speed"), saves);
    while (EngineParams.CurSpeed < 52 * 256)
        run_ms(10);
    run_ms(100);
    EXPECT_EQ(log.count("Saving current speed"), saves + 1);
    const uint16_t word = fake_nvs.u16("speed_dir");
    EXPECT_EQ(word >> 8, 2);
    EXPECT_GE(word & 0xFF, 51);

    // Reaching standstill is stored whatever the change.
    console_speed(0);
    while (Engine_IsMoving())
        run_ms(10);
    run_ms(100);
    EXPECT_EQ(fake_nvs.u16("speed_dir"), 0x0200);
}

TEST_F(Decoder, ReversalWhileMovingStopsFirst) {
    write_cv(63, 0);
    run_ms(20);
    console_speed(30);
    run_ms(500);
    ASSERT_LT(EngineParams.CurSpeed, 0);
    console_speed(-30);
    run_ms(20);
    EXPECT_EQ(EngineParams.SetSpeed, 0) << "brakes before turning";
    EXPECT_EQ(DCC_GetCurrentDirection(), -1);
    while (Engine_IsMoving() && Time() < 20000)
        run_ms(10);
    run_ms(30);
    EXPECT_EQ(DCC_GetCurrentDirection(), 1);
    run_ms(1500);
    EXPECT_GT(EngineParams.CurSpeed, 0) << "then moves the other way";
}

TEST_F(Decoder, AbcBrakeSectionHoldsTheLoco) {
    write_cv(63, 0);
    write_cv(27, 1);
    run_ms(20);
    notifyABC(1);
    EXPECT_TRUE(log.contains("ABC S=1 DIR=-1"));
    console_speed(50);
    run_ms(50);
    EXPECT_EQ(EngineParams.SetSpeed, 0);
    notifyABC(0);
    run_ms(20);
    EXPECT_NE(EngineParams.SetSpeed, 0);
}

TEST_F(Decoder, AnalogueModeChangeForgetsTheFunctionStates) {
    DCC_ChangeFunction(3);
    ASSERT_TRUE(getDccFunctionState(3));
    notifyModeChange(false);  // no change of mode: nothing happens
    EXPECT_TRUE(getDccFunctionState(3));
    notifyModeChange(true);  // analogue operation is not enabled on this board: the motor stops
    EXPECT_EQ(line_with("Analog mode 1").rfind("W (", 0), 0u) << log.dump();
    for (uint8_t f = 0; f < 69; f++)
        EXPECT_TRUE(isDccFunctionReset(f)) << int(f);
    EXPECT_EQ(EngineParams.SetSpeed, 0);
    notifyModeChange(false);
    EXPECT_TRUE(log.contains("Analog mode 0"));
}

}  // namespace
