// Internals shared by the sound engine's source files.
#pragma once

#include <stdint.h>

#include "audio_ll.h"
#include "slot_data.h"

#define CV_BASE_LOAD 196
#define CV_ENGINE_LOAD_ACCEL 194
#define CV_ENGINE_LOAD_DECEL 195
#define CV_NEVER_BLOCKED 200
#define CV_SLOT 202
#define CV_MASTER_VOLUME 203
#define CV_FADE_TIME 204
#define CV_MUTE_FUNCTION 207
#define CV_LOGIC_DISABLE 208

extern i2s_ll_handle_t i2s_ll_handle;

// The drive function's transition sounds: START, STOP, ESTOP, DIR, LOOPD, ACCEL, DECEL, ACCELON
// and DECELON. Slot loading files them under the function's speed variant.
bool sound_is_drive_transition(play_type_t type);

// Fade time F = CV 204 x 10 ms.
uint16_t sound_fade_ms(void);
// Replays a key that is on after a slot load, even when it was recorded during the load.
void sound_replay_function(uint8_t id);
// Gives the readers of a function the volume written while the slot loaded, which the loader may
// have opened them without.
void sound_apply_volumes_written_while_loading(void);

// Test hooks of the sound tick.
void sound_tick_reset_for_test(void);
void sound_tick_run_for_test(void);
void load_calculation_handler(void);
bool speed_change_handler(void);
void engine_load_change_handler(bool accelerating);
