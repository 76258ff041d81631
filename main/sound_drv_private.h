// Internals shared by the two halves of the drive-function module (model and transitions).
#pragma once

#include <stdint.h>

#include "esp_err.h"
#include "memory.h"
#include "slot_data.h"

// The track layer and the audio reader, as far as the drive sound uses them.
esp_err_t track_play(int16_t id, const char *state, uint16_t transition_time_ms,
                     uint16_t notification_time_ms);
esp_err_t track_stop(int16_t id, uint16_t transition_time_ms);
void track_stop_group(uint8_t int_id, uint16_t transition_time_ms);
uint32_t track_get_duration(int8_t int_id);
esp_err_t audio_reader_unload(audio_reader_handle_t handle);
esp_err_t audio_reader_set_position(audio_reader_handle_t handle, uint16_t position_ms);
uint32_t audio_reader_get_remaining_time(audio_reader_handle_t handle);

#define DRV_TAG "DRV_FUNC"

// The fade time of the engine sound (CV 204, in units of 10 ms).
static inline uint16_t drive_fade_ms(void) {
    return (uint16_t)(Memory_LoadU8(204) * 10);
}

static inline bool drive_track_valid(int8_t id) {
    return id >= 0 && id < MAX_TRACKS;
}

// The function number of the drive function, for the log lines.
static inline unsigned drive_fid(const drive_function_t *df) {
    return (unsigned)(uint8_t)df->rom->fid;
}
