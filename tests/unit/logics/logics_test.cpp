// Logic conditions, kind by kind, on a table filled by the real logic-line parser, with the manual
// clock and recorded engine calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <utility>

#include "fake_engine.h"
#include "file_io.h"
#include "logics.h"
#include "movement.h"
#include "test_support.h"

namespace {

using fake_engine::of;

class Logics : public ::testing::Test {
protected:
    ManualClock clock{1'000'000};
    LogCapture log;
    logic_condition_rom_t roms[MAX_LOGICS]{};
    logic_condition_t table[MAX_LOGICS]{};
    int count = 0;
    uint32_t last_spd = 0;
    uint8_t disable = 0;

    void SetUp() override {
        EngineParams.MaxSpeed = 255 * 256;
        for (int i = 0; i < MAX_LOGICS; i++)
            table[i].rom = &roms[i];
        logics_reset(table);
        // Module state back to a vehicle standing after a normal start, without load.
        logics_movement_prepare(table);
        logics_speed_changed(table, 0, 0, 0, 0);
        logics_load_changed(table, 0, 0, 0);
        fake_engine::reset();
        log.clear();
    }

    void add(const char *line) {
        std::string s = line;
        ASSERT_EQ(parseLogicLine(s.data(), &table[count]), 0) << line << log.dump();
        count++;
    }
    void pass(bool moving = false, bool driving = true) {
        clock.advance_ms(100);
        logics_process(table, driving, moving, disable, 100);
    }
    void key(uint8_t id, bool state) {
        fake_engine::function_on[id] = state;
        logics_function_changed(table, id, state, disable);
    }
    void speed(uint32_t spd) {
        logics_speed_changed(table, spd, last_spd, spd, disable);
        last_spd = spd;
    }
    int fn_calls(int id, bool state) const {
        int n = 0;
        for (const EngineCall &c : of("fn"))
            n += c.id == id && c.value == state;
        return n;
    }
};

// ---------------------------------------------------------------- repeats

TEST_F(Logics, RepeatsOnFiresAfterTheThirdSwitchOnAbsorbsTheSurplusAndHolds) {
    add("F6_F2_ON_R3_D300_L1500");
    key(2, true), key(2, false), key(2, true), key(2, false);
    pass();
    EXPECT_FALSE(log.contains("Trigger logic condition"));
    key(2, true), key(2, false), key(2, true);  // the third and a fourth before the pass
    pass();
    EXPECT_EQ(log.count("LOGICS: Trigger logic condition F6 type=ON param=4"), 1) << log.dump();
    pass(), pass();
    EXPECT_TRUE(of("fn").empty()) << "the 300 ms delay has not passed";
    pass();
    EXPECT_EQ(of("fn"), (std::vector<EngineCall>{{"fn", 6, 1}}));
    EXPECT_TRUE(log.contains("LOGICS: Logic condition F6 type=ON ON"));

    key(2, false), key(2, true);  // one switch-on after the reset: not yet three
    for (int i = 0; i < 14; i++)
        pass();
    EXPECT_EQ(log.count("Trigger logic condition"), 1);
    EXPECT_EQ(fn_calls(6, false), 0) << "held 1400 ms of 1500";
    pass();
    EXPECT_EQ(fn_calls(6, false), 1);
    EXPECT_TRUE(log.contains("LOGICS: Logic condition F6 type=ON OFF"));
}

TEST_F(Logics, RepeatKindsCountTheirOwnEdges) {
    struct Case {
        const char *line;
        std::vector<int> firing_passes;  // passes 1..4 after: on, off, on, off
    };
    const Case cases[] = {
        {"F6_F2_ON_R2_L100", {3}},
        {"F6_F2_OFF_R2_L100", {4}},
        {"F6_F2_ONOFF_R2_L100", {2, 4}},
    };
    for (const Case &c : cases) {
        SetUp();
        count = 0;
        add(c.line);
        std::vector<int> fired;
        for (int p = 1; p <= 4; p++) {
            key(2, p % 2 == 1);
            int before = log.count("Trigger logic condition");
            pass();
            if (log.count("Trigger logic condition") > before) fired.push_back(p);
        }
        EXPECT_EQ(fired, c.firing_passes) << c.line;
    }
}

// ---------------------------------------------------------------- acceleration and braking

TEST_F(Logics, AccelerationThresholdsAreConvertedToSpeedUnitsAndAccumulate) {
    add("F7_ACC_S10_L1000_INMOVE");
    add("F8_DCL_S10_L1000");
    add("F9_ACCDCL_S20_L1000");
    logics_slot_loading(table);
    EXPECT_EQ(roms[0].param, 26) << "10 % of 255";
    EXPECT_EQ(roms[2].param, 51);

    speed(30);  // one increase of 30 units
    pass(true);
    EXPECT_EQ(log.count("Trigger logic condition F7 type=ACC param=30"), 1) << log.dump();
    EXPECT_FALSE(log.contains("type=ACCDCL"));
    EXPECT_FALSE(log.contains("type=DCL"));

    // Increases below the threshold accumulate across passes.
    speed(40), speed(50);
    pass(true);
    EXPECT_EQ(log.count("type=ACC param"), 1);
    speed(56);
    pass(true);
    EXPECT_EQ(log.count("Trigger logic condition F7 type=ACC param=26"), 1);
    EXPECT_EQ(log.count("Trigger logic condition F9 type=ACCDCL param=56"), 1);

    // An event that may not play (INMOVE only, standing pass) is dropped, not kept for later.
    speed(90);
    pass(false);
    pass(true);
    EXPECT_EQ(log.count("type=ACC param"), 2);

    speed(60);
    pass(true);
    EXPECT_EQ(log.count("Trigger logic condition F8 type=DCL param=30"), 1);
}

// ---------------------------------------------------------------- start, stop, emergency stop

TEST_F(Logics, StopIsSilentAfterAnEmergencyStopUntilTheNextStart) {
    add("F3_START_L500");
    add("F4_STOP_L500");
    add("F5_ESTOP_L500");
    auto fired = [&](const char *type) { return log.count(std::string("type=") + type + " param"); };

    logics_movement_prepare(table);
    speed(40);
    pass(true);
    speed(0);
    pass();
    EXPECT_EQ(fired("START"), 1);
    EXPECT_EQ(fired("STOP"), 1);
    EXPECT_EQ(fired("ESTOP"), 0);

    logics_movement_prepare(table);
    speed(40);
    logics_movement_stop(table, true);
    speed(0);
    pass();
    speed(10), speed(0);  // still no start since the emergency stop
    pass();
    EXPECT_EQ(fired("ESTOP"), 1);
    EXPECT_EQ(fired("STOP"), 1);

    logics_movement_prepare(table);
    speed(20), speed(0);
    pass();
    EXPECT_EQ(fired("STOP"), 2);
}

// ---------------------------------------------------------------- holding a function

TEST_F(Logics, TwoConditionsHoldingOneFunctionReleaseItTogether) {
    add("F5_SPD_S20_E60");
    add("F5_LOAD_S10_E90");
    speed(102);  // 40 %
    logics_load_changed(table, 50, 0, 0);
    EXPECT_EQ(fn_calls(5, true), 2);

    speed(204);  // 80 %: out of the speed range, switched off at the next pass
    pass();
    EXPECT_TRUE(log.contains("LOGICS: Logic condition F5 type=SPD OFF skipped, counter=1")) << log.dump();
    EXPECT_EQ(fn_calls(5, false), 0);

    logics_load_changed(table, 95, 50, 0);
    pass();
    EXPECT_TRUE(log.contains("LOGICS: Logic condition F5 type=LOAD OFF"));
    EXPECT_EQ(fn_calls(5, false), 1);
}

TEST_F(Logics, SpeedRangeSwitchesOffAfterItsEndDelayUnlessTheSpeedReturns) {
    add("F5_SPD_S20_E60_D2000");
    speed(51);  // exactly 20 %: the bounds are outside the range
    EXPECT_EQ(fn_calls(5, true), 0);
    speed(102);  // 40 %
    EXPECT_EQ(fn_calls(5, true), 1);

    log.clear();
    speed(179);  // 70 %
    EXPECT_EQ(log.count("LOGICS: F5: SPD logic end delay 2000 ms"), 1) << log.dump();
    for (int i = 0; i < 19; i++)
        pass(true);
    EXPECT_EQ(fn_calls(5, false), 0);
    pass(true);
    EXPECT_EQ(fn_calls(5, false), 1);

    speed(128);  // 50 %: back on
    speed(179);
    for (int i = 0; i < 10; i++)
        pass(true);
    speed(128);  // returns within the delay: the switch-off is cancelled
    for (int i = 0; i < 30; i++)
        pass(true);
    EXPECT_EQ(fn_calls(5, true), 2);
    EXPECT_EQ(fn_calls(5, false), 1);

    // After an emergency stop the range no longer holds.
    logics_movement_stop(table, true);
    speed(127);
    for (int i = 0; i < 20; i++)
        pass(true);
    EXPECT_EQ(fn_calls(5, false), 2);
}

// ---------------------------------------------------------------- durations

TEST_F(Logics, DurationMinusOneSwitchesOffAndZeroSwitchesOnForGood) {
    add("F6_F2_ON_LOFF");
    add("F7_F3_ON_LON");
    key(2, true);
    pass();
    EXPECT_EQ(of("fn"), (std::vector<EngineCall>{{"fn", 6, 0}}));
    EXPECT_TRUE(log.contains("Logic condition F6 type=ON OFF"));

    key(3, true);
    pass();
    for (int i = 0; i < 50; i++)
        pass();
    key(3, false), key(3, true);  // firing again keeps it on
    for (int i = 0; i < 50; i++)
        pass();
    EXPECT_EQ(fn_calls(7, true), 2);
    EXPECT_EQ(fn_calls(7, false), 0);

    // Fired twice, the condition still holds F7 only once: one off pulse releases it.
    add("F7_F4_ON_LOFF");
    key(4, true);
    pass();
    EXPECT_EQ(fn_calls(7, false), 1) << log.dump();
}

TEST_F(Logics, RetriggerDuringTheHoldRestartsItAfterTheDelay) {
    add("F8_F4_ON_L1000_D500");
    key(4, true);
    for (int i = 0; i < 6; i++)
        pass();  // trigger pass + 500 ms
    ASSERT_EQ(fn_calls(8, true), 1);
    pass(), pass(), pass();
    key(4, false), key(4, true);
    pass();  // the new start lies 500 ms ahead; the function stays on meanwhile
    for (int i = 0; i < 14; i++)
        pass();
    EXPECT_EQ(fn_calls(8, false), 0) << "held 1000 ms from the new start";
    pass();
    EXPECT_EQ(fn_calls(8, false), 1);
    EXPECT_EQ(fn_calls(8, true), 1) << "counted once";
}

// ---------------------------------------------------------------- minimum load and the 0xFFFF kinds

TEST_F(Logics, MinimumLoadSetsTheLoadAndWithParamZeroFiresOnEveryPass) {
    add("F3_MINLOAD_F5_V30");
    add("F4_MINLOAD_F6");
    add("F7_BLOCK_F8");
    add("F9_BLOCKDRV");
    add("F10_TOGETHER_F11");
    key(3, true), key(3, false);
    EXPECT_EQ(of("minload"), (std::vector<EngineCall>{{"minload", -1, 30}, {"minload", -1, 0}}));

    for (int i = 0; i < 5; i++)
        pass();
    EXPECT_EQ(log.count("Trigger logic condition F6 type=MINLOAD param=0"), 5);
    EXPECT_EQ(fn_calls(6, true), 5);
    EXPECT_EQ(log.count("Trigger logic condition"), 5) << "BLOCK, BLOCKDRV and TOGETHER never reach 0xFFFF";
}

// ---------------------------------------------------------------- random

static std::vector<unsigned long> periods(const LogCapture &log) {
    std::vector<unsigned long> out;
    for (const std::string &l : log.lines()) {
        size_t at = l.find("RAND 9 next period ");
        if (at != std::string::npos) out.push_back(std::stoul(l.substr(at + 19)));
    }
    return out;
}

TEST_F(Logics, RandomPeriodsLieBetweenTheBoundsEitherWayRound) {
    for (const char *line : {"F9_RANDOM_R5_E10_L1000", "F9_RANDOM_R10_E5_L1000"}) {
        SetUp();
        count = 0;
        add(line);
        for (int i = 0; i < 1200; i++)
            pass();  // 120 s
        std::vector<unsigned long> p = periods(log);
        ASSERT_GE(p.size(), 12u) << line;
        for (unsigned long ms : p) {
            EXPECT_GE(ms, 5000u) << line;
            EXPECT_LE(ms, 10000u) << line;
        }
        EXPECT_GE(fn_calls(9, true), 11) << line;
        EXPECT_EQ(fn_calls(9, true) - fn_calls(9, false), of("fn").back().value) << line;
    }
}

TEST_F(Logics, RandomIsSuppressedByDisableBitOneAndWithoutDriveSound) {
    add("F9_RANDOM_R1_E2_L100");
    pass();  // a period is drawn
    ASSERT_EQ(periods(log).size(), 1u);
    disable = 2;
    for (int i = 0; i < 100; i++)
        pass();
    disable = 0;
    for (int i = 0; i < 100; i++)
        pass(false, false);
    EXPECT_TRUE(of("fn").empty());
    pass();  // allowed again: the pending time was cleared, a new period is drawn
    EXPECT_EQ(periods(log).size(), 2u);
}

// ---------------------------------------------------------------- block and together

TEST_F(Logics, BlockFollowsItsTriggerAndBlockDrvTheStandstill) {
    add("F7_BLOCK_F2");
    add("F3_BLOCKDRV");
    add("F8_BLOCK_F4_INMOVE");
    key(7, true), key(7, false);
    EXPECT_EQ(of("block"), (std::vector<EngineCall>{{"block", 2, 1}, {"block", 2, 0}}));

    fake_engine::reset();
    key(8, true);  // standing: may not play
    speed(10);     // leaving standstill re-evaluates every block
    speed(20);     // not a standstill change
    speed(0);
    EXPECT_EQ(of("block"), (std::vector<EngineCall>{{"block", 4, 0},
                                                    {"block", 2, 0},
                                                    {"block", 3, 1},
                                                    {"block", 4, 1},
                                                    {"block", 2, 0},
                                                    {"block", 3, 0},
                                                    {"block", 4, 0}}));

    fake_engine::reset();
    disable = 4;
    key(7, true);
    speed(10);
    EXPECT_TRUE(of("block").empty());
}

TEST_F(Logics, TogetherFollowsItsTriggerWithDelayAndWithdrawsAPendingSwitchOn) {
    add("F4_TOGETHER_F5_D500");
    add("F6_TOGETHER_F8");
    key(6, true);
    EXPECT_EQ(of("trigger"), (std::vector<EngineCall>{{"trigger", 8, 1}}));

    fake_engine::reset();
    key(4, true);
    for (int i = 0; i < 4; i++)
        pass();
    EXPECT_TRUE(of("trigger").empty());
    pass();
    EXPECT_EQ(of("trigger"), (std::vector<EngineCall>{{"trigger", 5, 1}}));
    key(4, false);
    EXPECT_EQ(of("trigger").back(), (EngineCall{"trigger", 5, 0}));

    fake_engine::reset();
    key(4, true);
    pass();
    key(4, false);  // released before the delay
    for (int i = 0; i < 10; i++)
        pass();
    EXPECT_EQ(of("trigger"), (std::vector<EngineCall>{{"trigger", 5, 0}}));
}

// ---------------------------------------------------------------- volumes, dimming, fan

TEST_F(Logics, VolumeDimmingAndDynamicVolumeCurves) {
    add("F3_VOL_V80");
    add("F2_DIM_F5_V40");
    add("F4_DIM_O2_V50");
    add("F6_VOLSPD_V20_E80");
    add("F7_VOLSPD_V90_E10");  // falling curve
    add("F8_VOLLOAD_V0_E100");
    key(3, true), key(3, false), key(2, true), key(2, false), key(4, true);
    EXPECT_EQ(fake_engine::calls,
              (std::vector<EngineCall>{
                  {"volume", -1, 80}, {"volume", -1, 0}, {"dim", 5, 40}, {"dim", 5, 0}, {"dimout", 1, 50}}));
    struct Case {
        uint32_t spd;
        int rising, falling;
    };
    for (const Case &c : {Case{0, 20, 90}, Case{255, 80, 10}, Case{128, 50, 50}, Case{64, 35, 70}}) {
        fake_engine::reset();
        speed(c.spd);
        EXPECT_EQ(of("dynvol"), (std::vector<EngineCall>{{"dynvol", 6, c.rising}, {"dynvol", 7, c.falling}}))
            << "speed " << c.spd;
    }
    fake_engine::reset();
    logics_load_changed(table, 37, 0, 0);
    key(6, true);  // the function itself: back to the low end
    EXPECT_EQ(of("dynvol"), (std::vector<EngineCall>{{"dynvol", 8, 37}, {"dynvol", 6, 20}}));
}

TEST_F(Logics, FanRunsUnderLoadAtLowSpeedWithoutEmergencyStop) {
    add("F9_FAN_V30_E50");
    logics_load_changed(table, 40, 0, 0);
    speed(102);  // 40 %
    EXPECT_EQ(fn_calls(9, true), 1);
    logics_load_changed(table, 20, 40, 0);
    EXPECT_EQ(fn_calls(9, false), 1);
    logics_load_changed(table, 40, 20, 0);
    speed(179);  // 70 %
    EXPECT_EQ(fn_calls(9, false), 2);
    speed(100);
    logics_movement_stop(table, true);
    logics_load_changed(table, 45, 40, 0);
    EXPECT_EQ(fn_calls(9, true), 3);
    EXPECT_EQ(fn_calls(9, false), 3);
}

// ---------------------------------------------------------------- ids outside the function table

TEST_F(Logics, IdsOutsideTheFunctionTableNeverReachIt) {
    add("F70_F2_ON_L100");
    add("I1_F2_ON_L100");  // an input as the target
    add("F2_VOLSPD_V10_E20");
    roms[2].func_id = (int8_t)200;  // a number that wrapped in the 8-bit field
    add("F7_BLOCK_F70");
    add("F6_I1_ON_L100");  // inputs stay valid as triggers
    add("I2_BLOCK_F5");
    key(2, true);
    speed(100);
    key(7, true);
    fake_engine::input_on[1] = true;
    logics_input_changed(table, 1, true, 0);
    logics_input_changed(table, 0, true, 0x20);  // inputs ignored
    pass(true);
    // Only the input-triggered block of F5 (released at the standstill change, then set).
    EXPECT_EQ(fake_engine::calls, (std::vector<EngineCall>{{"block", 5, 0}, {"block", 5, 1}})) << log.dump();
    logics_input_changed(table, 0, true, 0);
    for (int i = 0; i < 3; i++)
        pass();
    EXPECT_EQ(fn_calls(6, true), 1);
    EXPECT_EQ(fn_calls(6, false), 1);
    EXPECT_EQ(of("fn").size(), 2u);

    logics_print("SOUND_HL", table);
    EXPECT_TRUE(log.contains("SOUND_HL: F70(100ms): type=ON, trig=2, param=1 flags=3"));
    EXPECT_TRUE(log.contains("SOUND_HL: F200: type=VOLSPD, min=10 max=20"));
}

// ---------------------------------------------------------------- slot dump, resets

TEST_F(Logics, SlotDumpWritesOneLinePerConditionInItsFormat) {
    const std::pair<const char *, const char *> cases[] = {
        {"F7_ACC_S10_L1000", "SOUND_HL: F7(1000ms): type=ACC, param=10"},
        {"F7_BLOCK_F2", "SOUND_HL: F2: type=BLOCK, trig=F7"},
        {"F3_BLOCKDRV", "SOUND_HL: F3: type=BLOCKDRV"},
        {"F5_F3_OFF_L2000", "SOUND_HL: F5(2000ms): type=OFF, trig=3, param=1 flags=3"},
        {"F3_VOL_V80", "SOUND_HL: Type=VOL, trig=F3 param=80"},
        {"F3_MINLOAD_F5_V30_INSTOP", "SOUND_HL: Type=MINLOAD, trig=F3 param=30"},
        {"F6_VOLLOAD_V20_E80", "SOUND_HL: F6: type=VOLLOAD, min=20 max=80"},
        {"F5_LOAD_S20_E60", "SOUND_HL: F5: type=LOAD, range=(20, 60)"},
        {"F4_DIM_O2_V50", "SOUND_HL: F2: Type=DIMOUT, trig=F4 param=50"},
        {"F9_RANDOM_R5_E10_L1000_INMOVE", "LOGICS: F9(1000ms): type=RANDOM, min 5s max 10s flags=2"},
        {"F4_TOGETHER_F5_D500", "SOUND_HL: F5: type=TOGETHER, trig=F4 delay=500"},
        {"F9_FAN_V30_E50", "SOUND_HL: F9: type=FAN, minLoad=30 maxSpeed=50"},
        {"F3_STOP_L500_R2", "SOUND_HL: F3(500ms): type=STOP, param=2 flags=3"},
    };
    for (const auto &c : cases)
        add(c.first);
    logics_slot_loading(table);
    log.clear();
    logics_print("SOUND_HL", table);
    EXPECT_EQ(log.lines().size(), std::size(cases)) << log.dump();
    for (const auto &c : cases)
        EXPECT_EQ(log.count(c.second), 1) << c.second << "\n" << log.dump();
    EXPECT_STREQ(logics_type2str(LOGIC_MAX), "");
    EXPECT_STREQ(logics_type2str(LOGIC_TOGETHER), "TOGETHER");
}

TEST_F(Logics, ResetsClearCountersPendingTimesAndTheTable) {
    add("F6_F2_ON_R2_L100");
    add("F5_SPD_S20_E60");
    count = 3;
    add("F4_F2_ON_L100");
    table[2].rom = nullptr;  // a missing description is reported and passed over
    key(2, true);
    EXPECT_TRUE(log.contains("LOGICS: rom is null for logic 2"));
    speed(102);
    logics_reset_ram(table);
    key(2, true);
    pass();
    EXPECT_EQ(log.count("Trigger logic condition F6"), 0) << "the first switch-on was forgotten";
    EXPECT_EQ(log.count("Trigger logic condition F4"), 1);

    logics_reset(table);
    EXPECT_EQ(roms[0].type, LOGIC_NONE);
    EXPECT_EQ(roms[3].type, LOGIC_NONE);
    fake_engine::reset();
    key(2, true);
    pass();
    EXPECT_TRUE(fake_engine::calls.empty());
}

}  // namespace
