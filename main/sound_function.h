// The per-function state machine: ON, LOOP and OFF tracks cross-faded into each other.
#pragma once

#include <stdint.h>

#include "slot_data.h"

// IDLE -> ON -> LOOP -> OFF -> IDLE.
function_state_t function_next_track(function_state_t state);
// The next state after `state`, skipping one state whose track is missing.
function_state_t function_get_next_state(function_t *item, function_state_t state);
// Plays the track of the item's current state (fade and end-notification times from CV 204).
void function_play_next(function_t *item);
// Stops all four tracks of the item with the fade, then the item is IDLE.
void function_stop(function_t *item, uint16_t transition_time);
void function_reset_ram(function_t *item);
void function_reset_rom(function_rom_t *item);
void function_reset(function_t *item);
void multi_function_reset(multi_function_t *item);
void function_print(const char *tag, function_t *item, int8_t id);
void multi_function_print(const char *tag, multi_function_t *item);
