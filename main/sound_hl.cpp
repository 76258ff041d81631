// Sound engine state and the entry points the DCC layer calls.
//
// Until the engine has started (soundHL_start) it only records function keys; movement events
// do nothing and no slot is loaded.
#include "sound_hl.h"

#include "memory.h"

static const char *TAG = "SOUND_HL";

static bool direction_changed;

void soundHL_function_changed(uint8_t id, bool state) {
    if (id >= MAX_FUNCTIONS || functions[id].enabled == state) return;
    functions[id].enabled = state;
    if (!initialized || slot_state != SLOT_LOADED) return;
}

bool soundHL_is_function_blocked(uint8_t id) {
    return id < MAX_FUNCTIONS && slot_state == SLOT_LOADED && functions[id].blocked;
}

bool soundHL_get_function_state(int8_t func_id) {
    if (func_id < 0 || func_id >= MAX_FUNCTIONS) return false;
    return functions[func_id].enabled && !functions[func_id].blocked;
}

void soundHL_movement_prepare(uint16_t delay) {
    (void)delay;
    if (!initialized) return;
}

void soundHL_movement_canceled(void) {
    if (!initialized) return;
}

void soundHL_movement_estop(void) {
    if (!initialized) return;
}

void soundHL_direction_changed(int8_t dir) {
    if (dir != 0) direction_changed = true;
}

void soundHL_update_stop_speeds(void) {}

esp_err_t soundHL_load_slot(uint32_t slot, bool reload) {
    (void)slot;
    (void)reload;
    if (!initialized) return ESP_FAIL;
    return ESP_FAIL;
}

void soundHL_load_params_changed(void) {
    engine_load_accel = Memory_LoadU8(194);
    engine_load_decel = Memory_LoadU8(195);
}

uint8_t soundHL_get_function_volume(uint8_t func_id) {
    return func_id < MAX_FUNCTIONS ? function_volume[func_id] : 0;
}

void soundHL_set_function_volume(uint8_t func_id, uint8_t value) {
    if (func_id >= MAX_FUNCTIONS || function_volume[func_id] == value) return;
    function_volume[func_id] = value;
}

void soundHL_set_volume(uint8_t value) {
    if (value == 0) value = Memory_LoadU8(203);
    (void)TAG;
}

// ---- calls of the logic conditions: placeholders until the engine lands ----
// They only record what the real engine keeps in the same globals, so that the logic conditions
// link and their effects are visible; none of them plays, blocks or fades a sound.

void soundHL_logic_block_event(uint8_t func_id, bool state) {  // placeholder until the engine lands
    if (func_id < MAX_FUNCTIONS) functions[func_id].blocked = state;
}

void soundHL_logic_trigger_event(uint8_t func_id, bool state) {  // placeholder until the engine lands
    if (func_id < MAX_FUNCTIONS) functions[func_id].enabled = state;
}

bool soundHL_get_input_state(uint8_t id) {  // placeholder until the engine lands
    (void)id;
    return false;
}

void soundHL_set_minimum_load(uint8_t min_load) {  // placeholder until the engine lands
    engine_min_load = min_load;
}

void soundHL_set_dyn_function_volume(uint8_t func_id,
                                     uint8_t value_pct) {  // placeholder until the engine lands
    if (func_id < MAX_FUNCTIONS) function_dyn_volume[func_id] = value_pct;
}
