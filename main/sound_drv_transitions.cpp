// Drive-function transitions: the engine sound follows the current speed (or load) through its
// levels, each level entered through its ON track and left through its OFF track, with the
// special sounds around a change: ACCELON/DECELON, whole-range ACCEL/DECEL transition tracks,
// speed-banded acceleration and deceleration tracks, LOOPD, TURBO, STOP, DRVOFF, ESTOP and DIR.
//
// Called on the tick thread (speed, target, emergency stop, direction, timers) and, through the
// track-end handling of the sound engine, on reader tasks. Each call runs to completion on one
// drive function.
#include <stdlib.h>

#include "dcc_hl.h"
#include "esp_cpu.h"
#include "esp_log.h"
#include "sound_drv_function.h"
#include "sound_drv_private.h"
#include "sound_function.h"
#include "sound_hl.h"

static const char *TAG = DRV_TAG;

// A level change waits until this long after the previous accepted speed update.
#define LEVEL_CHANGE_HOLD_MS 500
// TURBO stops at the first non-accelerating update at least this long after the last
// accelerating one.
#define TURBO_HOLD_MS 1001
#define TURBO_FADE_MS 1000

static uint32_t now_ms(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}

static uint16_t clamp_u16(int64_t v) {
    return v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : (uint16_t)v;
}

static bool track_playing(int8_t id) {
    return drive_track_valid(id) && tracks[id].state;
}

static void set_position(int8_t id, int64_t position_ms) {
    if (drive_track_valid(id)) audio_reader_set_position(tracks[id].audio_reader, clamp_u16(position_ms));
}

static bool cv206_function_on(void) {
    return DCC_GetFunctionState(Memory_LoadU8(206));
}

static void stop_if_set(int8_t id, uint16_t fade) {
    if (drive_track_valid(id)) track_stop(id, fade);
}

// ---------------------------------------------------------------- small helpers

uint32_t track_spd2pos(int8_t int_id, uint32_t currentSpeed, uint32_t max_speed) {
    // Without a range there is no matching point in the track: start it at the beginning.
    if (max_speed == 0) return 0;
    return (uint32_t)((uint64_t)track_get_duration(int_id) * currentSpeed / max_speed);
}

uint8_t get_random(uint8_t max_value) {
    if (max_value == 0) return 0;
    return (uint8_t)(esp_cpu_get_cycle_count() % max_value);
}

// ---------------------------------------------------------------- speed updates

bool drive_function_speed_changed(drive_function_t *drive_function, uint32_t spd, uint32_t last_spd,
                                  bool is_starting, bool is_accelerating) {
    drive_function_t *df = drive_function;
    drive_function_rom_t *rom = df->rom;
    const uint32_t now = now_ms();
    const uint16_t fade = drive_fade_ms();

    // After the begin-moving jump the sound already plays the first running level: the motor's
    // climb through the lower speeds is ignored until it passes that speed or stops.
    if (is_starting) {
        rom->min_speed = spd;
    } else if (spd != 0 && spd < rom->min_speed) {
        return true;
    } else {
        rom->min_speed = 0;
    }

    if (spd == 0) {
        esp_timer_stop(df->start_sound_timer);
        esp_timer_stop(df->begin_moving_timer);
    }
    update_periodic_timer(df, 0, (int32_t)spd);

    if (df->target_spd == (int32_t)spd) {
        if (rom->variant == DRIVE_VARIANT_SPEED) ESP_LOGI(TAG, "SPD Reached target speed");
        df->accelon_started_id = -1;
        df->decelon_started_id = -1;
        df->accel_sgn = 0;
        if (df->last_accdcl_id != -1) {
            stop_if_set(df->last_accdcl_id, fade);
            df->last_accdcl_id = -1;
        }
    }

    if (!drive_is_enabled(df)) return true;

    if (llabs((int64_t)df->target_spd - (int64_t)spd) >= (int64_t)rom->accdcl_min_spd_diff)
        drive_function_play_accel(df, (int32_t)spd);

    if (drive_track_valid(rom->turbo_id)) {
        if (spd > rom->turbo_min_speed && is_accelerating) {
            if (df->turbo_start_time_ms == 0) track_play(rom->turbo_id, "TURBO", TURBO_FADE_MS, 0);
            // 0 means "not playing": a start at time 0 is noted as 1 ms.
            df->turbo_start_time_ms = now != 0 ? now : 1;
        } else if (df->turbo_start_time_ms != 0 && now - df->turbo_start_time_ms >= TURBO_HOLD_MS &&
                   !is_accelerating) {
            df->turbo_start_time_ms = 0;
            ESP_LOGI(TAG, "F%u: Stop TURBO", drive_fid(df));
            track_stop(rom->turbo_id, TURBO_FADE_MS);
        }
    }

    // Braking to a stand.
    if (spd < last_spd && spd != 0 && df->target_spd == 0 && df->decel != 0) {
        if (drive_track_valid(rom->stop_id) && !cv206_function_on() && !df->stop_started &&
            rom->stop_speed >= spd) {
            // Enter the STOP track so that it ends when a deceleration at the current rate
            // reaches 0, less the track's own delay.
            int64_t start = (int64_t)track_get_duration(rom->stop_id) -
                            (int64_t)drive_function_decel_spd2ms(df, spd) -
                            (int64_t)tracks_rom[rom->stop_id].delay_ms;
            if (start < 0) start = 0;
            df->stop_started = true;
            ESP_LOGI(TAG, "F%u: Play STOP track id=%i from %lu ms", drive_fid(df), (int)rom->stop_id,
                     (unsigned long)start);
            set_position(rom->stop_id, start);
            track_play(rom->stop_id, "STOP", fade, fade);
        }
        if (drive_track_valid(rom->drv_off_id) && !df->drv_off_started && !df->drv_off_done &&
            rom->drv_off_speed >= spd) {
            df->drv_off_started = true;
            df->last_int_id = rom->drv_off_id;
            ESP_LOGI(TAG, "F%u: Play DRVOFF track id=%i", drive_fid(df), (int)rom->drv_off_id);
            drive_function_stop(df, fade);
            track_play(rom->drv_off_id, "DRVOFF", fade, fade);
        }
    }

    if (last_spd < spd && df->stop_started) {
        // Speeding up again: the stop is off.
        stop_if_set(rom->stop_id, fade);
        df->stop_started = false;
    }
    if (spd == 0) df->stop_started = false;
    // The drive-off sound plays once per braking: it may end before the stand (its speed is
    // reckoned less a fade), and the next braking update played it again.
    if (spd == 0 || last_spd < spd) df->drv_off_done = false;

    const int pos = drive_get_pos(df, spd);
    if (pos != df->current_pos && now - df->level_change_time_ms < LEVEL_CHANGE_HOLD_MS) return false;
    df->level_change_time_ms = now;
    df->target_pos = (int8_t)pos;
    drive_function_play_next(df, (int32_t)spd);
    return true;
}

// ---------------------------------------------------------------- target changes

// Starts one of the ACCELON (or DECELON) variants, picked at random, unless one is running or
// the START track plays; true when one started.
static bool play_random_variant(drive_function_t *df, const int8_t *ids, uint8_t len, int8_t *started_id,
                                const char *name) {
    if (len == 0 || *started_id != -1 || drive_is_start_playing(df)) return false;
    const uint8_t n = len < MAX_ACCELON_VARIANTS ? len : MAX_ACCELON_VARIANTS;
    const int8_t id = ids[get_random(n)];
    *started_id = id;
    track_play(id, name, 0, 0);
    return true;
}

void drive_function_target_speed_changed(drive_function_t *drive_function, uint32_t newTargetSpeed,
                                         uint32_t currentSpeed) {
    drive_function_t *df = drive_function;
    drive_function_rom_t *rom = df->rom;
    if (!drive_is_enabled(df)) return;
    const uint16_t fade = drive_fade_ms();
    const bool up = currentSpeed < newTargetSpeed;

    ESP_LOGI(TAG, "F%u: %s new target %lu%%", drive_fid(df), drive_variant2str(rom->variant),
             (unsigned long)drive_function_val2pct(df, (int32_t)newTargetSpeed));
    df->target_spd = (int32_t)newTargetSpeed;
    df->accel_sgn = up ? 1 : -1;
    if (df->period_ms != 0) update_periodic_timer(df, 0, (int32_t)drive_heard_speed(df, currentSpeed));

    const int64_t diff = llabs((int64_t)currentSpeed - (int64_t)newTargetSpeed);
    if (diff >= (int64_t)rom->accdcl_min_spd_diff) {
        bool started = false;
        if (!up) {
            started = play_random_variant(df, rom->decelon_ids, df->decelon_len, &df->decelon_started_id,
                                          "DECELON");
            // LOOPD accompanies a deceleration; it does not count as a started sound.
            if (drive_track_valid(rom->loopd_id) && !tracks[rom->loopd_id].state)
                track_play(rom->loopd_id, "LOOPD", fade, 0);
        } else {
            started = play_random_variant(df, rom->accelon_ids, df->accelon_len, &df->accelon_started_id,
                                          "ACCELON");
        }
        if (drive_function_play_accel(df, (int32_t)currentSpeed)) started = true;
        if (started) return;
    }

    if (newTargetSpeed == currentSpeed && track_playing(rom->loopd_id)) track_stop(rom->loopd_id, fade);

    const int8_t id = up ? rom->accel_id : rom->decel_id;
    if (drive_track_valid(id)) {
        // The whole-range transition track is entered at the point that matches the current
        // speed; the levels wait (block_loop) until the target is reached or the track ends.
        df->block_loop = true;
        const uint32_t cur = currentSpeed < df->max_speed ? currentSpeed : df->max_speed;
        const uint32_t offset = track_spd2pos(id, up ? cur : df->max_speed - cur, df->max_speed);
        ESP_LOGI(TAG, "F%u: Play Transition from %lu ms", drive_fid(df), (unsigned long)offset);
        set_position(id, offset);
        drive_function_stop(df, fade);
        track_play(id, "ACCEL", fade, fade);
    }
}

// ---------------------------------------------------------------- banded tracks

bool drive_function_play_accel(drive_function_t *drive_function, int32_t cur_speed) {
    drive_function_t *df = drive_function;
    const drive_function_rom_t *rom = df->rom;
    if (drive_is_start_playing(df)) return false;

    int k = -1;
    int8_t id = -1;
    const char *name = nullptr;
    if (df->accel_sgn == 1 && rom->acc_items_len > 0) {
        k = drive_accel_pos(df, cur_speed);
        if (k >= 0) id = rom->acc_items[k].id;
        name = "ACCEL";
    } else if (df->accel_sgn == -1 && rom->dcl_items_len > 0) {
        k = drive_decel_pos(df, cur_speed);
        if (k >= 0) id = rom->dcl_items[k].id;
        name = "DECEL";
    }
    if (k < 0 || !drive_track_valid(id)) return false;
    if (id == df->last_accdcl_id) return false;

    uint16_t fade = drive_fade_ms();
    if (df->last_accdcl_id != -1) {
        // Cross-fade from the band's previous track over twice the fade time.
        fade = (uint16_t)(2 * fade);
        stop_if_set(df->last_accdcl_id, fade);
    }
    df->last_accdcl_id = id;
    // Kept as the speed heard, which is what a track end compares it with: a raw speed below
    // the begin-moving jump never matched, and a band track that ends at once started again.
    df->accdcl_speed = (int32_t)drive_heard_speed(df, (uint32_t)cur_speed);

    if (df->accel_sgn == -1) {
        // Enter the DECEL track so that it ends, with its fade, when the speed reaches the lower
        // edge of its band.
        int64_t start =
            (int64_t)track_get_duration(id) -
            (int64_t)drive_function_decel_spd2ms(df, (uint32_t)(cur_speed - rom->dcl_items[k].min)) -
            (int64_t)fade;
        if (start < 0) start = 0;
        ESP_LOGI(TAG, "F%u: Play DECEL track id=%i from %lu ms", drive_fid(df), (int)id,
                 (unsigned long)start);
        set_position(id, start);
    }
    track_play(id, name, fade, 0);
    return true;
}

// ---------------------------------------------------------------- level state machine

// A running speed as heard: below the first running level's start it sounds as that start.
static int64_t heard_if_running(const drive_function_t *df, int64_t speed) {
    return speed > 0 ? (int64_t)drive_heard_speed(df, (uint32_t)speed) : speed;
}

// Cross-fade time for a level change: the time the speed needs to cross the level (limited by the
// remaining distance to the target), scaled by CV 205 when slowing down. Both speeds are taken as
// heard: callers pass the speed heard, or the target; a raw target below the first running level
// made a steady speed look like a deceleration, and a level came in over the braking time.
static uint32_t level_change_time(drive_function_t *df, int32_t cur_speed, uint16_t fade) {
    int64_t diff = get_drive_spd_diff(df);
    if (diff < 0) diff = 0;
    const int64_t target =
        df->target_spd > 0 ? heard_if_running(df, df->target_spd) : llabs((int64_t)df->target_spd);
    const int64_t cur = heard_if_running(df, cur_speed);
    const int64_t limit = llabs(target - cur);
    if (diff > limit) diff = limit;
    const int64_t r = target - cur;
    int64_t t;
    if (r == -1) {
        t = df->start_delay_ms;
    } else if (r > 0) {
        // A rate of 0 would never cross the level: use the plain fade time.
        t = df->accel != 0 ? diff * 1000 / df->accel : fade;
    } else {
        t = df->decel != 0 ? (diff * 1000 / df->decel) * Memory_LoadU8(205) / 100 : fade;
    }
    if (df->last_int_id != -1 && drive_track_valid(df->last_int_id)) {
        const int64_t remaining = audio_reader_get_remaining_time(tracks[df->last_int_id].audio_reader);
        if (t > remaining) t = remaining;
    }
    return (uint32_t)(t < 0 ? 0 : t);
}

// The level state machine. The cross-fade of a level change is reckoned from `fade_speed`, and
// a loop of parts is timed from `cur_speed`; both are the current speed but where a whole-range
// transition track hands back (below).
static void play_next(drive_function_t *drive_function, int32_t fade_speed, int32_t cur_speed) {
    drive_function_t *df = drive_function;
    const drive_function_rom_t *rom = df->rom;
    function_t *const entry = drive_get_item(df);  // the level playing on entry
    function_t *next = nullptr;
    if (!drive_is_enabled(df)) return;

    // The main function's own loop plays under all levels.
    const int8_t main_loop = df->main_item->rom != nullptr ? df->main_item->rom->ids[FUNCTION_LOOP] : -1;
    if (drive_track_valid(main_loop) && !tracks[main_loop].state) track_play(main_loop, "SPD_LOOP", 0, 0);

    if (df->block_loop) {
        if (fade_speed != df->target_spd) return;
        df->block_loop = false;
        stop_if_set(rom->accel_id, 0);
        stop_if_set(rom->decel_id, 0);
    }
    if (df->drv_off_started) return;

    const uint16_t fade = drive_fade_ms();
    uint32_t xfade = fade;
    uint16_t notify = fade;

    // Each pass either moves one level or advances one state, so this bound is never reached by a
    // consistent model; it keeps a corrupted one from spinning.
    int guard = 4 * (MAX_SPEED_ITEMS + 2);
    if (df->target_pos == df->current_pos) {
        next = entry;
        if (next != nullptr && next->state == FUNCTION_IDLE)
            next->state = function_get_next_state(next, FUNCTION_IDLE);
    } else if (df->target_pos > df->current_pos) {
        // Levels passed on the way up (no ON track stops the climb there) are left IDLE.
        function_t *cur = entry;
        while (df->current_pos < df->target_pos && guard-- > 0) {
            if (cur != nullptr) cur->state = FUNCTION_IDLE;
            next = drive_update_pos(df, 1);
            if (next == nullptr) {
                ESP_LOGE(TAG, "Wrong current pos=%i on increment", (int)df->current_pos);
                return;
            }
            next->state = function_get_next_state(next, FUNCTION_IDLE);
            // A level with an ON track stops the climb until its ON track has played.
            if (next->state != FUNCTION_LOOP) break;
            cur = next;
        }
    } else {
        // Stepping down, the level playing on entry decides: its OFF track finishes first, and
        // once it has ended (or has none) the levels below are passed until the level of the
        // current speed, which plays its LOOP (or its OFF track while the commanded target is
        // further down still). A level only passed is not played and is left IDLE: following
        // it instead of the entry level would stop on a passed level's OFF state and leave the
        // engine silent, or play the OFF track of a level that never sounded.
        while (df->current_pos > df->target_pos && guard-- > 0) {
            // The level of the commanded target relative to the current level (target_pos is
            // the level of the current speed).
            const int8_t d = (int8_t)(drive_get_pos(df, (uint32_t)df->target_spd) - df->current_pos);
            if (entry != nullptr) {
                // The OFF track finishes first, when it plays: a level left in OFF without it
                // (no OFF track) would hold the engine silent for good.
                if (entry->state == FUNCTION_OFF && d >= -1 && track_playing(entry->rom->ids[FUNCTION_OFF]))
                    return;
                if (entry->state != FUNCTION_IDLE) {
                    entry->state = function_get_next_state(entry, entry->state);
                    // Only one missing state is skipped there (and a loop of parts counts as
                    // missing): from ON it can give an OFF that has no track. Left there, the
                    // level would hold the steps down until the speed climbed above it.
                    if (entry->state == FUNCTION_OFF && entry->rom->ids[FUNCTION_OFF] == -1)
                        entry->state = FUNCTION_IDLE;
                }
            }
            if (entry == nullptr || entry->state == FUNCTION_IDLE) {
                if (next != nullptr && next != entry) next->state = FUNCTION_IDLE;
                next = drive_update_pos(df, -1);
                if (next == nullptr) break;
                const function_state_t s = (df->last_int_id != -1 && d < -1) ? FUNCTION_LOOP : FUNCTION_ON;
                next->state = function_get_next_state(next, s);
                if (next->rom->ids[next->state] == -1) next->state = FUNCTION_LOOP;
                if (df->last_int_id == -1 && next->state != FUNCTION_LOOP) break;
            } else {
                next = entry;
                if (next->state != FUNCTION_LOOP) break;
            }
        }
    }

    // Whether `next` has a track (or a complex loop) to play in its state.
    const bool playable = next != nullptr && next->rom->ids[next->state] != -1;
    if (playable) {
        if (track_playing(next->rom->ids[next->state])) return;
        const uint32_t t = level_change_time(df, fade_speed, fade);
        if (next->state == FUNCTION_ON || next->state == FUNCTION_OFF) {
            if (df->last_int_id != -1 && t > xfade) xfade = t;
        } else if (next->state == FUNCTION_LOOP) {
            if (df->last_int_id == -1 && t > xfade) xfade = t;
            notify = 0;
        }
    }
    const uint16_t xf = clamp_u16(xfade);

    if (entry != nullptr) {
        for (int s = 0; s < 4; s++)
            stop_if_set(entry->rom->ids[s], xf);
        if (entry != next) entry->state = FUNCTION_IDLE;
    }

    if (!playable) return;
    const int8_t id = next->rom->ids[next->state];
    if (next->state == FUNCTION_LOOP && id < -1) {
        // A complex loop: the periodic timer plays its parts in turn.
        const int c = -2 - id;
        df->last_int_id = -1;
        if (c < MAX_COMPLEX_LOOPS && df->complex_loops != nullptr) {
            const int8_t first = df->complex_loops[c].ids[0];
            if (drive_track_valid(first)) {
                track_stop_group((uint8_t)first, xf);
                update_periodic_timer(df, tracks_rom[first].period_ms, cur_speed);
            }
        }
        return;
    }
    df->last_int_id = (next->state == FUNCTION_ON || next->state == FUNCTION_OFF) ? id : -1;
    track_play(id, state2str(next->state), xf, notify);
}

void drive_function_play_next(drive_function_t *drive_function, int32_t cur_speed) {
    play_next(drive_function, cur_speed, cur_speed);
}

void drive_function_transition_ended(drive_function_t *drive_function, int32_t heard_speed) {
    // The transition track stood for the change to the target: the level it hands to cross-fades
    // in the fade time, as the track itself fades out. Reckoned from the speed heard while the
    // target is still ahead, the level faded in over seconds, for as long as the speed needs to
    // cross it. A loop of parts plays at the speed heard: timed for the target, it fell silent
    // for a target of 0 while the loco still moved.
    drive_function->block_loop = false;
    play_next(drive_function, drive_function->target_spd, heard_speed);
}

// ---------------------------------------------------------------- stops and events

void drive_function_stop(drive_function_t *drive_function, uint16_t transition_time_ms) {
    drive_function_t *df = drive_function;
    const drive_function_rom_t *rom = df->rom;
    ESP_LOGI(TAG, "F%u: Stop ALL", drive_fid(df));
    esp_timer_stop(df->start_sound_timer);
    esp_timer_stop(df->begin_moving_timer);
    const uint8_t len = rom->items_len < MAX_SPEED_ITEMS ? rom->items_len : MAX_SPEED_ITEMS;
    for (uint8_t k = 0; k < len; k++)
        function_stop(&df->items[k], transition_time_ms);
    stop_if_set(rom->accel_id, transition_time_ms);
    stop_if_set(df->accelon_started_id, transition_time_ms);
    stop_if_set(df->decelon_started_id, transition_time_ms);
    stop_if_set(rom->decel_id, transition_time_ms);
}

void drive_function_estop(drive_function_t *drive_function) {
    drive_function_t *df = drive_function;
    const bool silenced = cv206_function_on();
    drive_function_stop(df, 0);
    df->current_pos = (int8_t)drive_get_pos(df, 0);
    df->target_pos = df->current_pos;
    // The loco stands at once: that is the target now. Left at the speed commanded before, the
    // idle level was taken for one on the way up to it and faded in over seconds.
    df->target_spd = 0;
    if (!silenced && drive_is_enabled(df)) {
        if (drive_track_valid(df->rom->estop_id)) track_play(df->rom->estop_id, "ESTOP", 0, 0);
        drive_function_play_next(df, 0);
    }
}

void drive_function_dir_changed(drive_function_t *drive_function) {
    if (drive_is_enabled(drive_function) && drive_track_valid(drive_function->rom->dir_id))
        track_play(drive_function->rom->dir_id, "DIR", 0, 0);
}

// Track time less its delay, never negative.
static uint32_t track_time_less_delay(int8_t id) {
    const int64_t t = (int64_t)track_get_duration(id) - (int64_t)tracks_rom[id].delay_ms;
    return t < 0 ? 0 : (uint32_t)t;
}

void drive_function_calculate_off_speed(drive_function_t *drive_function) {
    drive_function_t *df = drive_function;
    drive_function_rom_t *rom = df->rom;
    if (drive_track_valid(rom->drv_off_id)) {
        uint32_t speed = drive_function_decel_ms2spd(df, track_time_less_delay(rom->drv_off_id));
        const uint8_t k = (rom->items_len > 0 && rom->items[0].min == 0) ? 1 : 0;
        if (k < rom->items_len && k < MAX_SPEED_ITEMS && (uint16_t)rom->items[k].max < speed)
            speed = (uint16_t)rom->items[k].max;
        // The sound starts one fade time earlier. Floored at 0: a wrap-around would start the
        // drive-off sound at the first braking update.
        const uint32_t lead = drive_function_decel_ms2spd(df, drive_fade_ms());
        rom->drv_off_speed = speed > lead ? speed - lead : 0;
    }
    if (drive_track_valid(rom->stop_id))
        rom->stop_speed = drive_function_decel_ms2spd(df, track_time_less_delay(rom->stop_id));
}
