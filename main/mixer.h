// The mixer: one task that sums the next ready buffer of every connected audio reader into one
// mono stream of 16-bit samples, applies the master volume with saturation and writes the
// result to the audio output device. Log tag "MIXER".
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "audio_reader.h"
#include "esp_err.h"
#include "sound_hl.h"

#define MIXER_MAX_INPUTS 101

typedef struct {
    uint16_t stream_samplerate;
    uint8_t stream_channels;
    uint16_t samplerate[MIXER_MAX_INPUTS];
    uint8_t channels[MIXER_MAX_INPUTS];
} mixer_info_t;

typedef struct {
    int buffer_len;  // output buffer size in bytes
    int task_stack;  // not used: the task has a fixed stack depth
    int task_core;
    int task_prio;
} mixer_stream_cfg_t;

// Called from the mixer task on each change between audio present (true) and idle (false).
typedef void (*mixer_status_callback_t)(bool status);

mixer_handle_t mixer_init(mixer_stream_cfg_t *config);
esp_err_t mixer_deinit(mixer_handle_t self);
esp_err_t mixer_connect_element(mixer_handle_t self, int id, audio_reader_handle_t audio_handle);
esp_err_t mixer_set_master_volume(mixer_handle_t self, uint8_t val);
esp_err_t mixer_set_stream_info(mixer_handle_t self, uint16_t sample_rate, uint8_t ch);
esp_err_t mixer_set_file_info(mixer_handle_t self, int id, uint16_t sample_rate, uint8_t ch);
// `i2s` is the output device handle (i2s_ll_handle_t), passed as an opaque handle.
esp_err_t mixer_set_i2s_handler(mixer_handle_t self, mixer_handle_t i2s);
esp_err_t mixer_set_status_handler(mixer_handle_t self, mixer_status_callback_t callback);
// What the mixer mixes, for a trace kept by the host: called by the mixer task once per output
// buffer, just before it is written, with the buffer taken from each of the `count` inputs
// (data null where an input had none) and the master volume (256 = unity). It must return at
// once, without waiting, and leave the buffers alone. Off (null) by default, and then it costs
// one load of the hook per output buffer.
typedef void (*mixer_trace_hook_t)(const buf_item_t *inputs, int count, uint16_t master_volume);
void mixer_set_trace_hook(mixer_trace_hook_t hook);
// Copy of the recorded stream and input formats.
esp_err_t mixer_get_info(mixer_handle_t self, mixer_info_t *info);
