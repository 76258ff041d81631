// The drive sound against a recorded-calls track layer, on the manual clock.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "drive_fakes.h"
#include "esp_timer.h"
#include "memory.h"
#include "sound_drv_function.h"
#include "sound_function.h"
#include "sound_hl.h"
#include "test_support.h"

namespace {

constexpr int F = 200;  // CV 204 = 20

class Drive : public ::testing::Test {
protected:
    ManualClock clock{100'000'000};  // 100 s: far from the level-change stamp 0
    LogCapture log;
    drive_function_t *df = &drive_functions[0];
    drive_function_rom_t *rom = &slot_data.drive_functions[0];

    void SetUp() override {
        fake::reset();
        Memory_ResetForTest();
        Memory_SaveU8(204, 20);
        Memory_SaveU8(205, 100);
        Memory_SaveU8(206, 22);
        Memory_SaveU8(210, 100);
        memset(tracks_rom, 0, sizeof tracks_rom);
        for (int f = 0; f < MAX_FUNCTIONS; f++) {
            functions[f] = {};
            functions[f].rom = &slot_data.functions[f];
            memset(slot_data.functions[f].ids, -1, 4);
        }
        df->rom = rom;
        for (int k = 0; k < MAX_SPEED_ITEMS; k++) {
            df->items[k] = {};
            df->items[k].rom = &rom->items[k].item;
            memset(rom->items[k].item.ids, -1, 4);
        }
        drive_function_reset(df);  // also discards the timers of the previous test
        for (auto &c : slot_data.complex_loops)
            complex_loop_reset(&c);
        rom->fid = 1;
        rom->variant = DRIVE_VARIANT_SPEED;
        rom->min_speed = 0;
        rom->stop_speed = 0;
        rom->drv_off_speed = 0;
        rom->accdcl_min_spd_diff = 0;
        rom->turbo_min_speed = 0;
        df->main_item = &functions[1];
        functions[1].enabled = true;
        df->complex_loops = slot_data.complex_loops;
        df->max_speed = 100;
        df->accel = 10;
        df->decel = 10;
        df->period_ms = 0;
        df->start_delay_ms = 0;
        df->level_change_time_ms = 0;
        drive_init_start_timer(df);
        drive_init_begin_timer(df);
        drive_init_periodic_timer(df);
    }

    void TearDown() override { drive_function_reset_ram(df); }

    void level(int k, uint16_t min, int16_t max, int on, int loop, int off) {
        rom->items[k].min = min;
        rom->items[k].max = max;
        rom->items[k].item.ids[FUNCTION_ON] = (int8_t)on;
        rom->items[k].item.ids[FUNCTION_LOOP] = (int8_t)loop;
        rom->items[k].item.ids[FUNCTION_OFF] = (int8_t)off;
        rom->items_len = (uint8_t)std::max<int>(rom->items_len, k + 1);
    }

    struct Level {
        uint16_t min;
        int16_t max;
        int on, loop, off;
    };
    // Levels 0, 1, ... in this order.
    void levels(std::initializer_list<Level> list) {
        int k = 0;
        for (const Level &l : list)
            level(k++, l.min, l.max, l.on, l.loop, l.off);
    }

    // Puts level k in state s with its track playing, as after an earlier transition.
    void playing(int k, function_state_t s) {
        df->current_pos = df->target_pos = (int8_t)k;
        df->items[k].state = s;
        tracks[rom->items[k].item.ids[s]].state = true;
        if (s != FUNCTION_LOOP) df->last_int_id = rom->items[k].item.ids[s];
    }

    // Level `from` in state `s`, then the next step towards level `to` and speed `target`, at
    // `speed`.
    void heading_for(int from, function_state_t s, int32_t target, int to, int32_t speed) {
        playing(from, s);
        df->target_spd = target;
        df->target_pos = (int8_t)to;
        drive_function_play_next(df, speed);
    }

    // What the sound engine does when a level's ON or OFF track ends.
    void level_track_ends(int k, uint32_t speed) {
        function_t *item = &df->items[k];
        tracks[item->rom->ids[item->state]].state = false;
        item->state = function_next_track(item->state);
        drive_function_play_next(df, (int32_t)speed);
    }

    // Role, fade and notification time of each play of track `id`.
    using Plays = std::vector<std::tuple<std::string, int, int>>;
    static Plays plays_of(int id) {
        Plays out;
        for (const TrackCall &c : fake::find("play", id))
            out.emplace_back(c.name, c.fade, c.notify);
        return out;
    }

    std::vector<int> played_ids() {
        std::vector<int> ids;
        for (auto &c : fake::find("play"))
            ids.push_back(c.id);
        return ids;
    }
};

TEST_F(Drive, ConversionsAndTheirZeroGuards) {
    EXPECT_EQ(drive_function_val2pct(df, -50), 50u);
    df->max_speed = 255;
    EXPECT_EQ(drive_function_pct2val(df, 4), 10u);  // (1020 + 50) / 100
    EXPECT_EQ(drive_function_val2pct(df, 128), 50u);
    EXPECT_EQ(drive_function_accel_ms2spd(df, 3000), 30);
    EXPECT_EQ(drive_function_decel_ms2spd(df, 4500), 45);
    EXPECT_EQ(drive_function_decel_spd2ms(df, 30), 3000u);

    // Zero ranges and rates: no division, the value 0.
    df->max_speed = 0;
    df->accel = 0;
    df->decel = 0;
    EXPECT_EQ(drive_function_val2pct(df, 50), 0u);
    EXPECT_EQ(drive_function_accel_spd2ms(df, 30), 0u);
    EXPECT_EQ(drive_function_decel_spd2ms(df, 30), 0u);
    fake::duration_ms[8] = 8000;
    EXPECT_EQ(track_spd2pos(8, 20, 0), 0u);
    EXPECT_EQ(track_spd2pos(8, 20, 100), 1600u);

    EXPECT_EQ(get_random(0), 0);
    for (int i = 0; i < 20; i++)
        EXPECT_LT(get_random(3), 3);
}

TEST_F(Drive, LevelChoiceWithHysteresis) {
    levels({{0, 20, -1, 10, -1}, {20, 50, -1, 12, -1}, {50, 100, -1, 13, -1}});
    // At level 1 the band is 17..53 (3 % below, 3 % above).
    df->current_pos = 1;
    struct {
        uint32_t speed;
        int pos;
    } walk[] = {{18, 1}, {17, 0}, {53, 1}, {54, 2}, {20, 1}};
    for (auto &w : walk)
        EXPECT_EQ(drive_get_pos(df, w.speed), w.pos) << "speed " << w.speed;
    df->current_pos = 2;
    EXPECT_EQ(drive_get_pos(df, 48), 2);
    EXPECT_EQ(drive_get_pos(df, 47), 1);
    // The idle level never holds.
    df->current_pos = 0;
    EXPECT_EQ(drive_get_pos(df, 20), 1);

    // A level below 4 % widens only upwards.
    rom->items[1].min = 2;
    df->current_pos = 1;
    EXPECT_EQ(drive_get_pos(df, 1), 0);
    EXPECT_EQ(drive_get_pos(df, 53), 1);

    // Clamping at the last level.
    df->current_pos = 1;
    EXPECT_EQ(drive_update_pos(df, 5), &df->items[2]);
    EXPECT_EQ(df->current_pos, 2);

    // Below the first level when it does not start at 0.
    rom->items[0].min = 10;
    df->current_pos = -1;
    EXPECT_EQ(drive_get_pos(df, 5), -1);
    EXPECT_EQ(drive_get_item(df), nullptr);
    EXPECT_EQ(get_drive_spd_diff(df), 0);
}

TEST_F(Drive, SortingKeepsEqualSpeedsInOrder) {
    levels({{50, -1, -1, 1, -1}, {0, -1, -1, 2, -1}, {20, -1, -1, 3, -1}, {20, -1, -1, 4, -1}});
    rom->acc_items[0] = {30, 60};
    rom->acc_items[1] = {31, 10};
    rom->acc_items_len = 2;
    drive_sort_speed_items(df);
    const int loops[] = {2, 3, 4, 1};
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(rom->items[k].item.ids[FUNCTION_LOOP], loops[k]);
    EXPECT_EQ(rom->acc_items[0].id, 31);
    EXPECT_EQ(drive_accel_pos(df, 9), -1);
    EXPECT_EQ(drive_accel_pos(df, 59), 0);
    EXPECT_EQ(drive_accel_pos(df, 60), 1);
}

TEST_F(Drive, ComplexLoopPartsInTurn) {
    complex_loop_t &c = slot_data.complex_loops[0];
    c.ids[0] = 30;
    c.ids[1] = 31;
    c.ids[2] = 32;
    c.ids_dcl[0] = 40;
    for (int id : {30, 31, 32, 40})
        tracks_rom[id].period_ms = 1000;
    level(0, 0, 100, -1, -2, -1);  // LOOP = complex loop 0
    df->current_pos = 0;
    df->items[0].state = FUNCTION_LOOP;

    for (int i = 0; i < 7; i++)
        periodic_handler(df);
    EXPECT_EQ(played_ids(), (std::vector<int>{30, 31, 32, 30, 30, 31, 32}));
    for (auto &p : fake::find("play")) {
        EXPECT_EQ(p.name, "LOOP");
        EXPECT_EQ(p.fade, 100);
        EXPECT_EQ(p.notify, 100);
    }

    // Decelerating: the LOOPD parts, wrapping to the first accelerating part.
    fake::calls.clear();
    df->periodic_pos = 0;
    df->accel_sgn = -1;
    for (int i = 0; i < 3; i++)
        periodic_handler(df);
    EXPECT_EQ(played_ids(), (std::vector<int>{40, 30, 40}));

    // Not looping: a warning, nothing played.
    fake::calls.clear();
    df->items[0].state = FUNCTION_ON;
    periodic_handler(df);
    EXPECT_TRUE(fake::calls.empty());
    EXPECT_TRUE(log.contains("Periodic item is NULL or is not LOOP"));
}

TEST_F(Drive, PeriodicTimerFollowsSpeedAndCv210) {
    const int64_t now = esp_timer_get_time();
    uint64_t expiry = 0;
    update_periodic_timer(df, 1000, 50);  // 1000 x 100 / 50 / 100 = 20, raised to 100
    EXPECT_EQ(df->period_ms, 100u);
    ASSERT_TRUE(esp_timer_is_active(df->periodic_timer));
    esp_timer_get_expiry_time(df->periodic_timer, &expiry);
    EXPECT_EQ((int64_t)expiry, now + 10000);

    update_periodic_timer(df, 0, 5);  // the remembered base: 1000 x 100 / 5 / 100 = 200
    EXPECT_EQ(df->period_ms, 200u);
    uint64_t moved = 0;
    esp_timer_get_expiry_time(df->periodic_timer, &moved);
    EXPECT_EQ(moved, expiry + 100000);  // the next expiry moves by the change of the period

    Memory_SaveU8(210, 200);
    update_periodic_timer(df, 0, 5);
    EXPECT_EQ(df->period_ms, 400u);

    update_periodic_timer(df, 0, 0);
    EXPECT_FALSE(esp_timer_is_active(df->periodic_timer));
}

TEST_F(Drive, ResetStopsAndClearsTheTimers) {
    complex_loop_t &c = slot_data.complex_loops[0];
    c.ids[0] = 30;
    tracks_rom[30].period_ms = 1000;
    level(0, 0, 100, -1, -2, -1);
    df->current_pos = 0;
    df->items[0].state = FUNCTION_LOOP;
    update_periodic_timer(df, 1000, 50);
    clock.advance_ms(20);
    esp_timer_poll();
    ASSERT_EQ(played_ids(), std::vector<int>{30});  // the timer does fire

    esp_timer_handle_t old = df->periodic_timer;
    drive_function_reset_ram(df);
    EXPECT_EQ(df->periodic_timer, nullptr);
    EXPECT_EQ(df->start_sound_timer, nullptr);
    EXPECT_EQ(df->begin_moving_timer, nullptr);
    EXPECT_FALSE(esp_timer_is_active(old));
    df->current_pos = 0;  // a reloaded slot with the same level
    for (int i = 0; i < 10; i++) {
        clock.advance_ms(100);
        esp_timer_poll();
    }
    EXPECT_EQ(played_ids(), std::vector<int>{30});
}

TEST_F(Drive, StartSoundThenBeginMovingJumpAndLowSpeedGate) {
    levels({{0, 20, -1, 10, -1}, {20, 50, 11, 12, -1}, {50, 100, -1, 13, -1}});
    rom->start_id = 5;
    playing(0, FUNCTION_LOOP);
    esp_timer_start_once(df->start_sound_timer, 1000 * 1000);
    esp_timer_start_once(df->begin_moving_timer, 1000 * 1000);
    clock.advance_ms(999);
    esp_timer_poll();
    EXPECT_TRUE(fake::calls.empty());
    clock.advance_ms(1);
    esp_timer_poll();

    EXPECT_EQ(fake::find("play").size(), 2u);
    EXPECT_EQ(plays_of(5), (Plays{{"START", F, F}}));
    EXPECT_TRUE(log.contains("F1: Begin moving"));
    // The level with the first non-zero speed is entered through its ON track.
    auto on = fake::find("play", 11);
    ASSERT_EQ(on.size(), 1u);
    EXPECT_EQ(on[0].name, "ON");
    EXPECT_EQ(df->current_pos, 1);
    EXPECT_EQ(fake::find("stop", 10).size(), 1u);
    EXPECT_EQ(rom->min_speed, 20u);

    // The motor's climb below the jump speed is ignored.
    fake::calls.clear();
    clock.advance_ms(1000);
    for (uint32_t s = 1; s < 20; s++)
        EXPECT_TRUE(drive_function_speed_changed(df, s, s - 1, false, true));
    EXPECT_TRUE(fake::calls.empty());
    EXPECT_EQ(df->current_pos, 1);
    // A stand clears the gate.
    drive_function_speed_changed(df, 0, 1, false, false);
    EXPECT_EQ(rom->min_speed, 0u);
}

TEST_F(Drive, StopTrackEndsAtStandstill) {
    rom->stop_id = 6;
    fake::duration_ms[6] = 5000;
    tracks_rom[6].delay_ms = 500;
    drive_function_calculate_off_speed(df);
    EXPECT_EQ(rom->stop_speed, 45u);  // 10 x 4500 / 1000

    df->target_spd = 0;
    drive_function_speed_changed(df, 30, 31, false, false);
    auto pos = fake::find("position", 6);
    ASSERT_EQ(pos.size(), 1u);
    EXPECT_EQ(pos[0].fade, 1500);  // 5000 - 30 x 1000 / 10 - 500
    EXPECT_EQ(plays_of(6), (Plays{{"STOP", F, F}}));
    EXPECT_TRUE(log.contains("F1: Play STOP track id=6 from 1500 ms"));

    drive_function_speed_changed(df, 29, 30, false, false);
    EXPECT_EQ(fake::find("play", 6).size(), 1u);  // once per stop
    drive_function_speed_changed(df, 30, 29, false, true);
    ASSERT_EQ(fake::find("stop", 6).size(), 1u);  // speeding up again cancels it
    EXPECT_EQ(fake::find("stop", 6)[0].fade, F);

    // The CV 206 function silences it.
    fake::function_on[22] = true;
    drive_function_speed_changed(df, 29, 30, false, false);
    EXPECT_EQ(fake::find("play", 6).size(), 1u);
}

TEST_F(Drive, DriveOffSpeedAndSound) {
    levels({{0, 20, -1, 10, -1}, {20, 50, -1, 12, -1}});
    rom->drv_off_id = 7;
    fake::duration_ms[7] = 3000;
    drive_function_calculate_off_speed(df);
    EXPECT_EQ(rom->drv_off_speed, 28u);  // 10 x 3000 / 1000, less 10 x 200 / 1000

    rom->items[1].max = 25;
    drive_function_calculate_off_speed(df);
    EXPECT_EQ(rom->drv_off_speed, 23u);  // limited by the first running level's end

    // A fade longer than the track: floored at 0, not wrapped round.
    Memory_SaveU8(204, 255);
    fake::duration_ms[7] = 1000;
    drive_function_calculate_off_speed(df);
    EXPECT_EQ(rom->drv_off_speed, 0u);
    df->target_spd = 0;
    playing(1, FUNCTION_LOOP);
    drive_function_speed_changed(df, 5, 6, false, false);
    EXPECT_TRUE(fake::find("play", 7).empty());

    // Braking to a stand from the first running level.
    Memory_SaveU8(204, 20);
    fake::duration_ms[7] = 3000;
    rom->items[1].max = 50;
    drive_function_calculate_off_speed(df);
    ASSERT_EQ(rom->drv_off_speed, 28u);
    fake::reset();
    fake::duration_ms[7] = 3000;
    df->items[0].state = FUNCTION_IDLE;
    playing(1, FUNCTION_LOOP);
    clock.advance_ms(1000);
    drive_function_speed_changed(df, 28, 29, false, false);
    EXPECT_TRUE(log.contains("F1: Play DRVOFF track id=7"));
    EXPECT_TRUE(log.contains("F1: Stop ALL"));
    EXPECT_EQ(fake::find("stop", 12).size(), 1u);
    EXPECT_EQ(played_ids(), std::vector<int>{7});
    EXPECT_EQ(fake::find("play", 7)[0].name, "DRVOFF");

    // Levels wait while it plays; its end brings back the idle level.
    clock.advance_ms(600);
    drive_function_speed_changed(df, 0, 28, false, false);
    EXPECT_EQ(played_ids(), std::vector<int>{7});
    tracks[7].state = false;
    df->drv_off_started = false;
    drive_function_play_next(df, 0);
    EXPECT_EQ(played_ids(), (std::vector<int>{7, 10}));
    EXPECT_EQ(fake::find("play", 10)[0].name, "LOOP");
    EXPECT_EQ(df->current_pos, 0);
}

TEST_F(Drive, LevelChangeHeldBackThenOfferedAgain) {
    levels({{0, 20, -1, 10, -1}, {20, 50, -1, 12, -1}, {50, 100, -1, 13, -1}});
    playing(1, FUNCTION_LOOP);
    df->target_spd = 60;
    // The caller keeps its previous speed while a change is held back, as the sound tick does.
    uint32_t last = 29;
    auto offer = [&](uint32_t spd) {
        const bool ok = drive_function_speed_changed(df, spd, last, false, true);
        if (ok) last = spd;
        return ok;
    };
    EXPECT_TRUE(offer(30));
    clock.advance_ms(100);
    EXPECT_TRUE(offer(31));  // same level: accepted, and the hold-back restarts from here
    for (int t = 200; t < 600; t += 100) {
        clock.advance_ms(100);
        EXPECT_FALSE(offer(55)) << "at +" << t << " ms";
        EXPECT_EQ(last, 31u);
    }
    EXPECT_TRUE(fake::find("play", 13).empty());
    clock.advance_ms(99);
    EXPECT_FALSE(offer(55));
    clock.advance_ms(1);
    EXPECT_TRUE(offer(55));
    EXPECT_EQ(fake::find("play", 13).size(), 1u);
    EXPECT_EQ(df->current_pos, 2);
}

TEST_F(Drive, CrossFadeTimesFollowRatesAndCv205) {
    levels({{0, 20, -1, 10, -1}, {20, 40, -1, 12, -1}, {40, 100, -1, 13, -1}});

    // Up into a level without ON track: 20 units at 10 units/s.
    heading_for(0, FUNCTION_LOOP, 55, 1, 25);
    ASSERT_EQ(fake::find("stop", 10).size(), 1u);
    EXPECT_EQ(fake::find("stop", 10)[0].fade, 2000);
    EXPECT_EQ(plays_of(12), (Plays{{"LOOP", 2000, 0}}));

    // Down from a level without OFF track: (20 x 1000 / 20) x 50 / 100.
    fake::reset();
    df->items[1].state = FUNCTION_IDLE;
    df->decel = 20;
    Memory_SaveU8(205, 50);
    heading_for(2, FUNCTION_LOOP, 9, 1, 39);
    ASSERT_EQ(fake::find("stop", 13).size(), 1u);
    EXPECT_EQ(fake::find("stop", 13)[0].fade, 500);
    auto down = fake::find("play", 12);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].fade, 500);
    EXPECT_EQ(df->items[2].state, FUNCTION_IDLE);
    EXPECT_EQ(df->items[1].state, FUNCTION_LOOP);

    // Without rates the plain fade time is used.
    fake::reset();
    df->items[1].state = FUNCTION_IDLE;
    df->accel = 0;
    heading_for(0, FUNCTION_LOOP, 55, 1, 25);
    EXPECT_EQ(fake::find("play", 12)[0].fade, F);
}

TEST_F(Drive, OffTrackFinishesFirstUnlessTheTargetIsFarBelow) {
    levels({{0, 20, -1, 10, -1}, {20, 40, -1, 12, -1}, {40, 60, -1, 13, 23}, {60, 100, -1, 14, 24}});

    // Target one level below: the OFF track plays on.
    heading_for(3, FUNCTION_OFF, 50, 2, 55);
    EXPECT_TRUE(fake::calls.empty());

    // Target three levels below: when the OFF track ends the sound goes to the current speed's
    // level, its LOOP; the level passed on the way is not played.
    df->target_spd = 0;
    df->target_pos = 1;
    level_track_ends(3, 30);
    EXPECT_EQ(played_ids(), std::vector<int>{12});
    EXPECT_EQ(fake::find("play", 12)[0].name, "LOOP");
    EXPECT_EQ(df->current_pos, 1);
    EXPECT_EQ(df->items[2].state, FUNCTION_IDLE);
    EXPECT_EQ(df->items[3].state, FUNCTION_IDLE);
    EXPECT_EQ(df->last_int_id, -1);
}

TEST_F(Drive, SteppingDownThroughOffTracks) {
    levels({{0, 20, -1, 10, -1}, {20, 60, -1, 12, 22}, {60, 100, -1, 13, 23}});
    heading_for(2, FUNCTION_LOOP, 0, 1, 55);
    // The current level leaves through its OFF track.
    auto off = fake::find("play", 23);
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].name, "OFF");
    EXPECT_EQ(off[0].notify, F);
    EXPECT_EQ(df->last_int_id, 23);
    // When it ends, with the commanded target two levels below, the level below is passed
    // through: straight to its OFF track, its LOOP is not played.
    level_track_ends(2, 45);
    auto next = fake::find("play");
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[1].id, 22);
    EXPECT_EQ(next[1].name, "OFF");
    EXPECT_EQ(df->current_pos, 1);
    // Its end, with the speed now in the idle level, brings the idle level's LOOP.
    df->target_pos = 0;
    level_track_ends(1, 5);
    EXPECT_EQ(played_ids(), (std::vector<int>{23, 22, 10}));
    EXPECT_EQ(df->last_int_id, -1);
}

TEST_F(Drive, TransitionTrackEnteredAtTheMatchingOffset) {
    levels({{0, 20, -1, 10, -1}, {20, 50, -1, 12, -1}, {50, 100, -1, 13, -1}});
    rom->accel_id = 8;
    fake::duration_ms[8] = 8000;
    rom->accdcl_min_spd_diff = 10;
    playing(1, FUNCTION_LOOP);

    drive_function_target_speed_changed(df, 80, 20);
    EXPECT_TRUE(log.contains("F1: SPD new target 80%"));
    EXPECT_TRUE(log.contains("F1: Play Transition from 1600 ms"));
    auto pos = fake::find("position", 8);
    ASSERT_EQ(pos.size(), 1u);
    EXPECT_EQ(pos[0].fade, 1600);
    EXPECT_EQ(fake::find("stop", 12).size(), 1u);  // all levels stopped
    EXPECT_EQ(plays_of(8), (Plays{{"ACCEL", F, F}}));
    EXPECT_TRUE(df->block_loop);

    // Levels wait for the target speed.
    clock.advance_ms(600);
    EXPECT_TRUE(drive_function_speed_changed(df, 55, 50, false, true));
    EXPECT_TRUE(fake::find("play", 13).empty());
    clock.advance_ms(600);
    EXPECT_TRUE(drive_function_speed_changed(df, 80, 75, false, true));
    EXPECT_FALSE(df->block_loop);
    EXPECT_EQ(fake::find("stop", 8).back().fade, 0);
    EXPECT_EQ(fake::find("play", 13).size(), 1u);

    // Down: the DECEL track from the point that matches max - speed.
    fake::calls.clear();
    rom->decel_id = 9;
    fake::duration_ms[9] = 8000;
    drive_function_target_speed_changed(df, 0, 80);
    EXPECT_EQ(fake::find("position", 9)[0].fade, 1600);
    EXPECT_EQ(fake::find("play", 9)[0].name, "ACCEL");
}

TEST_F(Drive, BandedDecelTracksCrossFade) {
    rom->dcl_items[0] = {20, 0};
    rom->dcl_items[1] = {21, 40};
    rom->dcl_items_len = 2;
    fake::duration_ms[20] = 5000;
    fake::duration_ms[21] = 6000;
    df->accel_sgn = -1;

    EXPECT_TRUE(drive_function_play_accel(df, 50));
    EXPECT_EQ(fake::find("position", 21)[0].fade, 4800);  // 6000 - (50 - 40) x 100 - 200
    EXPECT_TRUE(log.contains("F1: Play DECEL track id=21 from 4800 ms"));
    EXPECT_EQ(fake::find("play", 21)[0].fade, F);
    EXPECT_FALSE(drive_function_play_accel(df, 45));  // same band: already playing

    EXPECT_TRUE(drive_function_play_accel(df, 39));
    ASSERT_EQ(fake::find("stop", 21).size(), 1u);
    EXPECT_EQ(fake::find("stop", 21)[0].fade, 2 * F);
    EXPECT_EQ(fake::find("position", 20)[0].fade, 700);  // 5000 - 3900 - 400
    EXPECT_EQ(plays_of(20), (Plays{{"DECEL", 2 * F, 0}}));

    // Nothing while the START track plays.
    df->last_accdcl_id = -1;
    rom->start_id = 5;
    tracks[5].state = true;
    EXPECT_FALSE(drive_function_play_accel(df, 50));
}

TEST_F(Drive, AccelonDecelonAndLoopd) {
    rom->accelon_ids[0] = 15;
    rom->accelon_ids[1] = 16;
    df->accelon_len = 2;
    rom->decelon_ids[0] = 17;
    df->decelon_len = 1;
    rom->loopd_id = 18;
    rom->accdcl_min_spd_diff = 10;

    drive_function_target_speed_changed(df, 60, 20);
    auto on = fake::find("play");
    ASSERT_EQ(on.size(), 1u);
    EXPECT_TRUE(on[0].id == 15 || on[0].id == 16);
    EXPECT_EQ(on[0].name, "ACCELON");
    EXPECT_EQ(df->accelon_started_id, on[0].id);
    drive_function_target_speed_changed(df, 70, 30);  // one per acceleration
    EXPECT_EQ(fake::find("play").size(), 1u);
    drive_function_target_speed_changed(df, 75, 70);  // below the minimum difference
    EXPECT_EQ(fake::find("play").size(), 1u);

    drive_function_target_speed_changed(df, 0, 50);
    EXPECT_EQ(fake::find("play", 17)[0].name, "DECELON");
    auto loopd = fake::find("play", 18);
    ASSERT_EQ(loopd.size(), 1u);
    EXPECT_EQ(loopd[0].fade, F);
    EXPECT_EQ(df->accel_sgn, -1);

    // Reaching the target ends the acceleration phase; LOOPD stops when the target is the speed.
    drive_function_speed_changed(df, 0, 1, false, false);
    EXPECT_EQ(df->decelon_started_id, -1);
    EXPECT_EQ(df->accel_sgn, 0);
    drive_function_target_speed_changed(df, 0, 0);
    EXPECT_EQ(fake::find("stop", 18).size(), 1u);

    // No ACCELON while the START track plays.
    fake::calls.clear();
    rom->start_id = 5;
    tracks[5].state = true;
    df->accelon_started_id = -1;
    drive_function_target_speed_changed(df, 60, 20);
    EXPECT_TRUE(fake::find("play").empty());
}

TEST_F(Drive, TurboWhileAcceleratingAboveItsSpeed) {
    rom->turbo_id = 9;
    rom->turbo_min_speed = 50;
    drive_function_speed_changed(df, 50, 49, false, true);
    EXPECT_TRUE(fake::find("play", 9).empty());
    clock.advance_ms(100);
    drive_function_speed_changed(df, 51, 50, false, true);
    clock.advance_ms(100);
    drive_function_speed_changed(df, 52, 51, false, true);
    auto plays = fake::find("play", 9);
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].name, "TURBO");
    EXPECT_EQ(plays[0].fade, 1000);

    clock.advance_ms(1000);
    drive_function_speed_changed(df, 51, 52, false, false);
    EXPECT_TRUE(fake::find("stop", 9).empty());
    clock.advance_ms(1);
    drive_function_speed_changed(df, 50, 51, false, false);
    auto stops = fake::find("stop", 9);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].fade, 1000);
    EXPECT_TRUE(log.contains("F1: Stop TURBO"));
}

TEST_F(Drive, EmergencyStopWithAndWithoutTheSilencingFunction) {
    levels({{0, 20, -1, 10, -1}, {20, 100, -1, 12, -1}});
    rom->estop_id = 4;
    df->target_spd = 0;

    playing(1, FUNCTION_LOOP);
    drive_function_estop(df);
    EXPECT_EQ(fake::find("stop", 12)[0].fade, 0);
    EXPECT_EQ(df->current_pos, 0);
    EXPECT_EQ(played_ids(), (std::vector<int>{4, 10}));
    EXPECT_EQ(fake::find("play", 4)[0].name, "ESTOP");

    fake::reset();
    df->items[0].state = FUNCTION_IDLE;
    fake::function_on[22] = true;
    playing(1, FUNCTION_LOOP);
    drive_function_estop(df);
    EXPECT_EQ(fake::find("stop", 12)[0].fade, 0);
    EXPECT_TRUE(fake::find("play").empty());
}

TEST_F(Drive, DirectionSoundOnlyWhileEnabled) {
    rom->dir_id = 3;
    drive_function_dir_changed(df);
    functions[1].blocked = true;
    drive_function_dir_changed(df);
    EXPECT_EQ(played_ids(), std::vector<int>{3});
    EXPECT_EQ(fake::find("play", 3)[0].name, "DIR");
}

TEST_F(Drive, LoadVariantFollowsTheLoadPercent) {
    rom->variant = DRIVE_VARIANT_LOAD;
    levels({{0, 30, -1, 10, -1}, {30, 100, -1, 12, -1}});
    playing(0, FUNCTION_LOOP);
    drive_function_target_speed_changed(df, 100, 0);
    EXPECT_TRUE(log.contains("F1: LOAD new target 100%"));
    drive_function_speed_changed(df, 35, 25, false, true);
    EXPECT_EQ(fake::find("play", 12).size(), 1u);
    drive_function_speed_changed(df, 100, 35, false, true);
    EXPECT_FALSE(log.contains("Reached target speed"));  // a speed-only line
    EXPECT_EQ(df->accel_sgn, 0);
}

TEST_F(Drive, TrackAssignmentRefusesASecondFile) {
    EXPECT_FALSE(drive_assign_track(nullptr, &rom->start_id, 3, "START"));
    EXPECT_TRUE(log.contains("Drive function is NULL"));
    EXPECT_TRUE(drive_assign_track(df, &rom->start_id, 3, "START"));
    EXPECT_FALSE(drive_assign_track(df, &rom->start_id, 4, "START"));
    EXPECT_EQ(rom->start_id, 3);
    EXPECT_TRUE(log.contains("F1: START file already present"));
    auto unloads = fake::find("unload");
    ASSERT_EQ(unloads.size(), 1u);
    EXPECT_EQ(unloads[0].id, 4);
}

TEST_F(Drive, DiagnosticDump) {
    levels({{0, 20, 1, 10, 2}, {20, 50, -1, 12, -1}, {50, 100, -1, -2, -1}});
    slot_data.complex_loops[0].ids[0] = 30;
    slot_data.complex_loops[0].ids[1] = 31;
    tracks_rom[30].period_ms = 1000;
    tracks_rom[31].period_ms = 500;
    rom->acc_items[0] = {25, 10};
    rom->acc_items_len = 1;
    rom->accelon_ids[0] = 15;
    rom->accelon_ids[1] = 16;
    rom->start_id = 5;
    rom->stop_id = 6;
    rom->stop_speed = 45;
    rom->turbo_id = 9;
    rom->turbo_min_speed = 60;
    drive_function_print("SOUND_HL", df);
    const char *expected[] = {
        "F1: SPD 1 10 2",
        "F1: SPD 20-50%: -1 12 -1",
        "F1: SPD 50-100%: -1 |0| -1",
        "F1: MULTIPLE LOOP #0: 30(1000),31(500),",
        "F1: ACCEL SPD 10-100%: 25",
        "F1: ACCELONs 15,16,",
        "F1: SPD TURBO 9, Min Speed 60%",
        "F1: SPD START 5, STOP 6, ESTOP -1",
        "F1: STOP Speed 45%",
    };
    for (const char *e : expected)
        EXPECT_TRUE(log.contains(e)) << e << "\n" << log.dump();
    EXPECT_FALSE(log.contains("DECELONs"));
    EXPECT_FALSE(log.contains("DIR"));
    EXPECT_FALSE(log.contains("MULTIPLE LOOPD"));
    EXPECT_FALSE(log.contains("ACCEL -1"));
}

}  // namespace
