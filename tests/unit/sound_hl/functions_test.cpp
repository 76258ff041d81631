// Sound functions: the ON/LOOP/OFF chain with its fade and notification times, interruption,
// MULTI variants, INFO stepping, blocking, and the engine-load model of the sound tick.
#include "engine_fixture.h"
#include "esp_timer.h"
#include "movement.h"
#include "sound_hl_private.h"

namespace {

using Functions = EngineTest;

TEST_F(Functions, OnLoopOffChainWithFadeAndNotificationTimes) {
    write_tone("F2_ON.wav", 4.0);
    write_tone("F2_LOOP.wav", 1.0);
    write_tone("F2_OFF.wav", 0.4);
    Memory_SaveU8(204, 80);  // fade 800 ms
    load();
    const int on = track_of("F2_ON.wav"), loop = track_of("F2_LOOP.wav"), off = track_of("F2_OFF.wav");
    key(2, true);
    // The ON track asks to be told min(800, 1000 / 2) ms before its end.
    EXPECT_TRUE(wait_log("Play " + std::to_string(on) + "(ON) FADEIN=0 NOTIFICATION=500")) << log_.dump();
    // Switched off while ON plays: the ON track finishes, then OFF, and the loop never starts.
    key(2, false);
    EXPECT_TRUE(wait_log("Play " + std::to_string(off) + "(OFF)", 8000)) << log_.dump();
    EXPECT_FALSE(log_.contains("Play " + std::to_string(loop) + "(LOOP)"));
    EXPECT_TRUE(wait_log("End of " + std::to_string(off)));
    log_.clear();
    // Again, staying on: the loop fades in over 500 ms when the ON track ends.
    key(2, true);
    EXPECT_TRUE(wait_log("Play " + std::to_string(loop) + "(LOOP) FADEIN=500 NOTIFICATION=0", 8000))
        << log_.dump();
    key(2, false);
    EXPECT_TRUE(wait_log("Play " + std::to_string(off) + "(OFF) FADEIN=200")) << log_.dump();
    Memory_SaveU8(204, 35);
}

TEST_F(Functions, LoopOnlyFunctionStartsInLoopAndStopsAtOnce) {
    write_tone("F3_LOOP.wav", 1.0);
    load();
    const int loop = track_of("F3_LOOP.wav");
    key(3, true);
    EXPECT_TRUE(wait_log("Play " + std::to_string(loop) + "(LOOP) FADEIN=350")) << log_.dump();
    key(3, false);
    EXPECT_TRUE(wait_log("End of " + std::to_string(loop), 2000)) << "a loop without OFF stops at once";
    fw_lock();
    EXPECT_EQ(functions[3].state, FUNCTION_IDLE);
    fw_unlock();
}

TEST_F(Functions, MultiPicksAVariantOnlyFromIdle) {
    write_tone("F4A_LOOP.wav", 1.0, 400);
    write_tone("F4B_LOOP.wav", 1.0, 500);
    write_tone("F4C_LOOP.wav", 1.0, 600);
    write_tone("F4A_OFF.wav", 1.0, 700);
    write_tone("F4B_OFF.wav", 1.0, 700);
    write_tone("F4C_OFF.wav", 1.0, 700);
    load();
    key(4, true);
    EXPECT_TRUE(wait_log("F4: MULTI switched to variant")) << log_.dump();
    key(4, false);  // OFF plays; pressing again while it plays keeps the variant
    key(4, true);
    EXPECT_TRUE(wait_log("F4: MULTI is playing. Skip random selection")) << log_.dump();
    key(4, false);
}

TEST_F(Functions, InfoKeysWalkTheAnnouncements) {
    for (int n = 1; n <= 3; n++) {
        write_tone("F8_INFONEXT" + std::to_string(n) + ".wav", 0.2);
        write_tone("F8_INFO" + std::to_string(n) + ".wav", 0.2);
    }
    load();
    fw_lock();
    info_function_t *info = info_function_get_instance(8, nullptr);
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->len, 6);
    info->activated = true;
    fw_unlock();
    auto step = [&](uint8_t key_id, uint8_t from) {
        fw_lock();
        info_functions_pos[0] = from;
        fw_unlock();
        key(key_id, true);
        key(key_id, false);
        fw_lock();
        uint8_t pos = info_functions_pos[0];
        fw_unlock();
        return (int)pos;
    };
    EXPECT_EQ(step(9, 3), 0) << "backward from INFO 2 to INFONEXT 1";
    EXPECT_EQ(step(9, 1), 4) << "backward from INFO 1 wraps to INFONEXT 3";
    EXPECT_EQ(step(9, 4), 5) << "backward from an INFONEXT steps to its INFO";
    EXPECT_EQ(step(8, 5), 0) << "forward wraps";
    EXPECT_EQ(step(8, 200), 1) << "a stored position beyond the list starts over";
    // Both keys on: back to the start, and the first announcement plays.
    DCC_SetFunctionState(9, true);
    fw_lock();
    info_functions_pos[0] = 3;
    fw_unlock();
    log_.clear();
    key(8, true);
    EXPECT_TRUE(log_.contains("F8: Reset INFO pos to start")) << log_.dump();
    fw_lock();
    EXPECT_EQ(info_functions_pos[0], 0);
    fw_unlock();
    key(8, false);
    DCC_SetFunctionState(9, false);
}

TEST_F(Functions, BlockingStopsAndUnblockingRestarts) {
    write_tone("F2_LOOP.wav", 1.0);
    load();
    const std::string play = "Play " + std::to_string(track_of("F2_LOOP.wav")) + "(LOOP)";
    soundHL_logic_block_event(2, true);
    key(2, true);
    run_ms(200);
    EXPECT_FALSE(log_.contains(play)) << "a blocked function stays silent";
    EXPECT_FALSE(soundHL_get_function_state(2));
    EXPECT_TRUE(soundHL_is_function_blocked(2));
    soundHL_logic_block_event(2, false);
    EXPECT_TRUE(wait_log(play)) << log_.dump();
    EXPECT_TRUE(soundHL_get_function_state(2));
    key(2, false);
}

TEST_F(Functions, EngineLoadModel) {
    fw_lock();  // the sound tick waits while the test drives the model by hand
    sound_tick_reset_for_test();
    const uint32_t max_speed = EngineParams.MaxSpeed;
    const int32_t cur = EngineParams.CurSpeed;
    engine_load_accel = 50;
    engine_load_decel = 50;
    engine_min_load = 0;
    EngineParams.CurSpeed = 10 * 256;
    load_calculation_handler();
    EngineParams.CurSpeed = 20 * 256;  // speeding up: target 100, +5 per tick
    std::vector<int> loads;
    for (int i = 0; i < 25; i++) {
        load_calculation_handler();
        EngineParams.CurSpeed += 256;
        loads.push_back(engine_load_value);
    }
    EXPECT_EQ(target_load_value, 100);
    EXPECT_EQ(loads[0], 10);
    EXPECT_EQ(loads[1], 15);
    EXPECT_EQ(loads.back(), 95) << "100 is not above 95 + 5: the load stops at 95";

    engine_load_accel = 9;  // a rise step of 0: the load never rises
    engine_load_value = 0;
    load_calculation_handler();
    EXPECT_EQ(engine_load_value, 0);

    // Constant speed 64 of 128 with a base load of 20: 20 + 64 * 80 / 128 = 60.
    Memory_SaveU8(196, 20);
    EngineParams.MaxSpeed = 128 * 256;
    EngineParams.CurSpeed = 64 * 256;
    load_calculation_handler();
    load_calculation_handler();
    EXPECT_EQ(target_load_value, 60);
    // A base above 100 % is taken as 100 %; a top speed below one step divides by nothing.
    Memory_SaveU8(196, 250);
    load_calculation_handler();
    EXPECT_EQ(target_load_value, 100);
    EngineParams.MaxSpeed = 100;
    load_calculation_handler();
    EXPECT_LE(target_load_value, 100);
    Memory_SaveU8(196, 0);

    // A minimum load raises the slowing-down target of 0.
    EngineParams.MaxSpeed = max_speed;
    soundHL_set_minimum_load(30);
    EngineParams.CurSpeed = 10 * 256;
    load_calculation_handler();
    EXPECT_EQ(target_load_value, 30);
    soundHL_set_minimum_load(0);
    EngineParams.CurSpeed = cur;
    sound_tick_reset_for_test();
    fw_unlock();
}

TEST_F(Functions, VolumesAndMute) {
    write_tone("F2_LOOP.wav", 1.0);
    load();
    soundHL_set_function_volume(2, 50);
    EXPECT_EQ(soundHL_get_function_volume(2), 50);
    EXPECT_EQ(soundHL_get_function_volume(69), 0);
    fw_lock();
    EXPECT_GE(function_volume_len, 3u);
    fw_unlock();
    // The line is written at most every 500 ms, counted from the start of the run.
    while (esp_timer_get_time() < 600000)
        run_ms(10);
    soundHL_set_dyn_function_volume(2, 40);
    EXPECT_TRUE(log_.contains("Set dynamic volume for F2 to 40%"));
    soundHL_set_function_volume(2, 0);
    // The mute key (CV 207) mutes the output whether or not a slot is loaded.
    key(Memory_LoadU8(207), true);
    key(Memory_LoadU8(207), false);
    Memory_SaveU8(203, 0);
    soundHL_set_volume(0);
    EXPECT_TRUE(log_.contains("Input validation fail")) << "master volume 0 is refused by the mixer";
    Memory_SaveU8(203, 255);
    soundHL_set_volume(0);
}

}  // namespace
