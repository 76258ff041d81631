// Engine state kept across power cycles in the key-value store (namespace "storage"): one
// operation per value; each opens the namespace, does one thing, commits if it wrote and
// closes again. Log tag "nvs_hl". All return 0 on success, -1 on failure.
//
// For blob loads the caller presets the length variable with its buffer's capacity; after a
// successful load it holds the stored length. The wrappers never check that length: callers do.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "esp_err.h"

esp_err_t nvsHL_get_u8(const char *key, uint8_t *value);
esp_err_t nvsHL_set_u8(const char *key, uint8_t value);

esp_err_t nvsHL_get_slot_load_attempt(uint8_t *value);
esp_err_t nvsHL_set_slot_load_attempt(uint8_t value);
esp_err_t nvsHL_get_hw_flags(uint8_t *value);
esp_err_t nvsHL_set_hw_flags(uint8_t value);
// Bits of the file-update flags ("file_update"); 255 (a slot switch, a factory reset) sets both.
#define FILE_UPDATE_CV_FILE 1  // apply the slot's CV file at the next parse
#define FILE_UPDATE_RESCAN 2   // files of the slot folder changed: the next load parses it
#define FILE_UPDATE_ALL 255    // a slot switch or a factory reset: parse and apply everything
esp_err_t nvsHL_get_file_update_flags(uint8_t *value);
esp_err_t nvsHL_set_file_update_flags(uint8_t value);

// Speed step in the low byte, direction + 1 in the high byte. Either pointer may be null.
esp_err_t nvsHL_get_speed_and_dir(uint8_t *value, int8_t *dir);
esp_err_t nvsHL_set_speed_and_dir(uint8_t value, int8_t dir);

// "slot_blob" and "tracks_blob", committed together.
esp_err_t nvsHL_save_slot_data(void *data, size_t len, void *tracks, size_t tracks_len);
// An open failure counts as success with the buffers untouched.
esp_err_t nvsHL_load_slot_data(void *data, size_t *len, void *tracks, size_t *tracks_len);

esp_err_t nvsHL_save_raw_data(const char *key, void *data, size_t len);
// An open failure counts as success with the buffer untouched; a missing key gives -1.
esp_err_t nvsHL_load_raw_data(const char *key, void *data, size_t *len);

esp_err_t nvsHL_save_info_function_pos(void *data, size_t len);
esp_err_t nvsHL_load_info_function_pos(void *data, size_t *len);
esp_err_t nvsHL_save_function_volume(void *data, size_t len);
esp_err_t nvsHL_load_function_volume(void *data, size_t *len);
esp_err_t nvsHL_save_loco_info(void *data, size_t len);
esp_err_t nvsHL_load_loco_info(void *data, size_t *len);
esp_err_t nvsHL_erase_function_volume(void);
