// Audio tracks: playing audio files by track id (0..99) with fades, loops, channel groups and
// end notifications. Each track owns one audio reader for the life of the program; its file is
// loaded on first use. Log tag "AUDIO_TRACK".
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "esp_err.h"
#include "slot_data.h"

esp_err_t track_load(int8_t id);
// `state` is a label for the log only (the role of the sound: "START", "LOOPD", "INFO", ...).
esp_err_t track_play(int16_t id, const char *state, uint16_t transition_time_ms,
                     uint16_t notification_time_ms);
esp_err_t track_stop(int16_t id, uint16_t transition_time_ms);
esp_err_t play_note(uint8_t int_id, bool state, uint16_t transition_time_ms, uint16_t notification_time_ms);
// Stops every other playing track of int_id's channel group.
void track_stop_group(uint8_t int_id, uint16_t transition_time_ms);
uint32_t track_get_duration(int8_t int_id);
bool track_is_drv_item(play_type_t type);
bool track_is_multi_possible(play_type_t type);
