// Internals shared by the two halves of the drive-function module (model and transitions).
#pragma once

#include <stdint.h>

#include "audio_reader.h"
#include "audio_track.h"
#include "esp_err.h"
#include "memory.h"
#include "slot_data.h"

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
