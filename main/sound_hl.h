// The sound engine: slot loading, sound functions and engine control. Log tag "SOUND_HL".
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "esp_err.h"
#include "slot_data.h"

typedef struct mixer *mixer_handle_t;

// ---- global instances (one set per program) ----
extern slot_rom_t slot_data;
extern track_rom_t tracks_rom[MAX_TRACKS];
extern track_t tracks[MAX_TRACKS];
extern function_t functions[MAX_FUNCTIONS];
extern drive_function_t drive_functions[MAX_DRIVE_FUNCTIONS];
extern logic_condition_t logics[MAX_LOGICS];
extern loco_info_t loco_info;
extern short_gui_t short_gui;
extern uint8_t function_volume[MAX_FUNCTIONS];
extern size_t function_volume_len;
extern uint8_t function_dyn_volume[MAX_FUNCTIONS];
extern uint8_t info_functions_pos[MAX_INFO_FUNCTIONS];
extern slot_state_t slot_state;
extern mixer_handle_t mixer;
extern bool initialized;
extern bool drive_sounds_enabled;
extern uint8_t engine_load_value;
extern uint8_t target_load_value;
extern uint8_t engine_load_accel;
extern uint8_t engine_load_decel;
extern uint8_t engine_min_load;

// ---- engine control ----
void soundHL_start(void);
void soundHL_stop(void);
void soundHL_deinit(void);
void soundHL_movement_prepare(uint16_t delay);
void soundHL_movement_canceled(void);
void soundHL_movement_estop(void);
void soundHL_direction_changed(int8_t dir);
void soundHL_update_stop_speeds(void);
void soundHL_set_minimum_load(uint8_t min_load);
void soundHL_set_volume(uint8_t value);
uint8_t soundHL_get_function_volume(uint8_t func_id);
void soundHL_set_function_volume(uint8_t func_id, uint8_t value);
// Forgets every per-function volume (all back to full), in memory and in storage: the factory reset.
void soundHL_forget_function_volumes(void);
void soundHL_set_dyn_function_volume(uint8_t func_id, uint8_t value_pct);
void update_volume_for_function(uint8_t func_id, uint8_t value);
// The volume a function's tracks are loaded with: its function volume, or none given.
uint8_t soundHL_track_volume(uint8_t func_id);
uint8_t getDCCAType(uint16_t funcId);
void load_short_gui(void);

// ---- slot loading ----
esp_err_t soundHL_load_slot(uint32_t slot, bool reload);
void soundHL_unload_slot(void);
void soundHL_file_changed(char *filepath, bool added);
void soundHL_load_params_changed(void);
bool is_logic_enabled(uint8_t bit);

// ---- function keys ----
void soundHL_function_changed(uint8_t id, bool state);
void soundHL_logic_block_event(uint8_t func_id, bool state);
void soundHL_logic_trigger_event(uint8_t func_id, bool state);
void soundHL_input_changed(uint8_t id, bool state);
bool soundHL_get_input_state(uint8_t id);
bool soundHL_is_function_blocked(uint8_t id);
// True when func_id is 0..68 and that function is enabled and not blocked.
bool soundHL_get_function_state(int8_t func_id);

// ---- slot lookups and allocation ----
drive_function_t *drive_get_instance(int8_t func_id, uint8_t variant_id);
drive_function_t *drive_assign_instance(int8_t func_id, uint8_t variant_id);
complex_loop_t *drive_complex_loop_instance(int8_t func_id, uint8_t speed);
complex_loop_t *drive_assign_complex_loop(int8_t func_id, int8_t speed);
info_function_t *info_function_get_instance(int8_t func_id, bool *fwd);
info_function_t *assign_info_function(int8_t func_id);
multi_function_t *multi_function_get_instance(int8_t func_id);
multi_function_t *assign_multi_function(int8_t func_id);
int str2int(char *str);
// Current input value of a drive function: speed steps or engine load.
int32_t drive_get_speed(drive_function_t *drive_function);
void drive_init_max_values(drive_function_t *drive_function);
void reset_slot(void);
void reset_slot_ram(void);
void print_slot_summary(void);
void info_function_print(const char *tag, info_function_t *item);

// ---- track ends and drive enable bookkeeping ----
void function_changed_internal(uint8_t id, bool state, bool force);
void track_end_handle(int8_t int_id);
bool audio_end_notification(audio_reader_handle_t handle, void *param);
void audio_stop_notification(audio_reader_handle_t handle, void *param);
void drive_update_enable_state(void);
void drive_function_enable(drive_function_t *drive_function, bool state);
uint8_t shift_pos(uint8_t pos, int8_t shift, uint8_t max);
bool is_info_next(int8_t int_id);
void sound_shutdown(void);
