// The drive (engine) sound: speed levels with hysteresis, acceleration and deceleration
// sounds, start, stop, drive-off, turbo, emergency-stop and direction sounds. Log tag "DRV_FUNC".
#pragma once

#include <stdint.h>

#include "slot_data.h"

// ---- model ----
const char *drive_variant2str(drive_variant_t variant);
uint32_t drive_function_val2pct(drive_function_t *drive_function, int32_t spd);
uint32_t drive_function_pct2val(drive_function_t *drive_function, uint32_t percent);
uint16_t drive_function_accel_ms2spd(drive_function_t *drive_function, uint32_t ms);
uint16_t drive_function_decel_ms2spd(drive_function_t *drive_function, uint32_t ms);
uint32_t drive_function_accel_spd2ms(drive_function_t *drive_function, uint32_t spd);
uint32_t drive_function_decel_spd2ms(drive_function_t *drive_function, uint32_t spd);
void drive_sort_speed_items(drive_function_t *drive_function);
function_t *drive_get_item(drive_function_t *drive_function);
function_t *drive_update_pos(drive_function_t *drive_function, int8_t shift);
bool drive_is_enabled(drive_function_t *drive_function);
bool drive_is_start_playing(drive_function_t *drive_function);
int drive_get_pos(drive_function_t *drive_function, uint32_t speed);
int drive_accel_pos(drive_function_t *drive_function, int32_t speed);
int drive_decel_pos(drive_function_t *drive_function, int32_t speed);
void drive_function_reset_ram(drive_function_t *drive_function);
void drive_function_reset(drive_function_t *drive_function);
void drive_init_start_timer(drive_function_t *drive_function);
void drive_init_begin_timer(drive_function_t *drive_function);
void drive_init_periodic_timer(drive_function_t *drive_function);
void start_sound_handler(void *arg);
void begin_moving_handler(void *arg);
void periodic_handler(void *arg);
void update_periodic_timer(drive_function_t *drive_function, uint32_t period_ms, int32_t speed);
// The speed the sound follows: after the begin-moving jump the sound already plays the first
// running level and ignores the motor below that speed until it passes it or stops. Loops of
// parts are timed from this speed; timed from the motor's, near 0 there, they play nothing.
uint32_t drive_heard_speed(const drive_function_t *drive_function, uint32_t speed);
bool drive_assign_track(drive_function_t *drive_function, int8_t *var, int8_t value, const char *name);
int32_t get_drive_spd_diff(drive_function_t *drive_function);
void drive_function_print(const char *tag, drive_function_t *drive_function);

// ---- transitions ----
// New current speed (or load); false when a level change was held back and must be offered again.
bool drive_function_speed_changed(drive_function_t *drive_function, uint32_t spd, uint32_t last_spd,
                                  bool is_starting, bool is_accelerating);
void drive_function_target_speed_changed(drive_function_t *drive_function, uint32_t newTargetSpeed,
                                         uint32_t currentSpeed);
void drive_function_play_next(drive_function_t *drive_function, int32_t cur_speed);
// A whole-range ACCEL/DECEL track has ended: the levels it held back go on.
void drive_function_transition_ended(drive_function_t *drive_function, int32_t heard_speed);
bool drive_function_play_accel(drive_function_t *drive_function, int32_t cur_speed);
void drive_function_stop(drive_function_t *drive_function, uint16_t transition_time_ms);
void drive_function_estop(drive_function_t *drive_function);
void drive_function_dir_changed(drive_function_t *drive_function);
void drive_function_calculate_off_speed(drive_function_t *drive_function);
uint32_t track_spd2pos(int8_t int_id, uint32_t currentSpeed, uint32_t max_speed);
uint8_t get_random(uint8_t max_value);
