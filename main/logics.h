// Logic conditions: functions tied to driving events, to each other, to inputs, speed and load
// ranges and random timers. Log tag "LOGICS".
#pragma once

#include <stdint.h>

#include "slot_data.h"

const char *logics_type2str(logic_type_t type);
void logics_reset(logic_condition_t *logics);
void logics_reset_ram(logic_condition_t *logics);
// Converts the speed thresholds of ACC, DCL and ACCDCL from percent to speed units.
void logics_slot_loading(logic_condition_t *logics);
void logics_print(const char *tag, logic_condition_t *logics);
void logics_function_changed(logic_condition_t *logics, uint8_t id, bool state, uint8_t disable_flags);
void logics_input_changed(logic_condition_t *logics, uint8_t id, bool state, uint8_t disable_flags);
void logics_speed_changed(logic_condition_t *logics, uint32_t spd, uint32_t last_spd, uint32_t target_spd,
                          uint8_t disable_flags);
void logics_load_changed(logic_condition_t *logics, uint16_t load, uint16_t last_load, uint8_t disable_flags);
void logics_movement_prepare(logic_condition_t *logics);
void logics_movement_stop(logic_condition_t *logics, bool estop);
void logics_process(logic_condition_t *logics, bool driving_enabled, bool moving, uint8_t disable_flags,
                    uint16_t call_period_ms);
