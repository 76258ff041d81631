// An audio reader plays one sound file at a time: a task of its own decodes the file (16-bit
// PCM WAV, IMA ADPCM WAV or Ogg Vorbis) into PCM buffers, applies volume and fades, and hands
// the buffers one at a time to the mixer through a single ready slot. Looping with seamless
// joins, fade-in, fade-out ending on a zero crossing, start positions, an end notification
// given a set time before the end, and per-file duration ("_T"), loop length ("_L") and volume
// ("_V") from the file name. Log tag "WAV_READER".
#pragma once

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "audio_format.h"
#include "esp_err.h"
#include "slot_data.h"

// A buffer of 16-bit samples on the heap; whoever holds it owns (and frees) its memory.
typedef struct {
    int16_t *data;
    uint16_t len;  // bytes
} buf_item_t;

typedef enum {
    TASK_RUN = 0,
    TASK_RESTART = 1,
    TASK_STOP = 2,
    TASK_IDLE = 3,
} task_state_t;

// Event bits of a reader.
#define RUN_BIT (1u << 0)        // produced buffers may be released to the mixer
#define BUF_EMPTY (1u << 1)      // the ready slot is empty
#define TASK_DONE_BIT (1u << 2)  // no reader task is running

#define AUDIO_UNITY_VOLUME 0x40000000u
// The volume (per cent) for a play at the file's own volume, when the caller has none to give.
// Any volume above 200 % means the same; a volume of 0 is silence.
#define AUDIO_VOLUME_NOT_GIVEN 255

// The loaded file. Fields the reader task and callers read at the same time are atomic.
typedef struct file_info {
    FILE *file;        // open stream or null
    const char *path;  // the caller's string, kept by pointer
    std::atomic<bool> available;
    uint8_t channels;
    uint16_t header_len;  // offset of the audio data in the file; 0 for Ogg
    uint32_t data_len;    // WAV: read limit in bytes of the data chunk; Ogg: total PCM frames
    uint32_t frames;      // frames of audio (one sample of every channel each)
    uint32_t sample_rate;
    uint8_t format;      // AUDIO_FORMAT_*
    uint16_t blockSize;  // ADPCM block size, 0 otherwise
    std::atomic<uint32_t> length_ms;
    uint32_t loop_length_ms;       // 0 = none
    std::atomic<uint32_t> volume;  // the file's target gain, AUDIO_UNITY_VOLUME = 100 %
} file_info_t;

typedef void (*stop_notification_t)(audio_reader_handle_t handle, void *param);
// Returns true to make the reader fade out (over the notification time) and stop.
typedef bool (*end_notification_t)(audio_reader_handle_t handle, void *param);

typedef struct {
    int task_core;
    int task_prio;
    int buf_data_len;  // buffer size per channel in bytes
    void *param;       // passed to the notifications
    stop_notification_t stop_notification;
    end_notification_t end_notification;
} audio_reader_cfg_t;

audio_reader_handle_t audio_reader_init(audio_reader_cfg_t *config, const char *tag);
void audio_reader_deinit(audio_reader_handle_t handle);
esp_err_t audio_reader_load(audio_reader_handle_t handle, const char *path, file_info_t **file_info_ptr,
                            uint8_t volume);
esp_err_t audio_reader_unload(audio_reader_handle_t handle);
esp_err_t audio_reader_play(audio_reader_handle_t handle, bool loop, uint16_t fadein_ms,
                            uint16_t end_notification_ms);
esp_err_t audio_reader_stop(audio_reader_handle_t handle, uint32_t fadeout_ms);
esp_err_t audio_reader_run(audio_reader_handle_t handle, uint16_t delay_time_ms);
esp_err_t audio_reader_set_position(audio_reader_handle_t handle, uint16_t position_ms);
esp_err_t audio_reader_set_volume(audio_reader_handle_t handle, uint8_t volume);
void audio_reader_set_buf_size(audio_reader_handle_t handle, uint16_t size);
uint32_t audio_reader_get_duration(audio_reader_handle_t handle);
uint32_t audio_reader_get_remaining_time(audio_reader_handle_t handle);
bool audio_reader_status(audio_reader_handle_t handle);
// Mixer side: takes the ready buffer (the caller owns it), or {null, 0}.
buf_item_t audio_reader_get_data(audio_reader_handle_t handle);

// The value of a two-character file-name key ("_T", "_L", "_V") followed by decimal digits
// (at most 10), or 0 when there is none.
uint32_t audio_reader_name_param(const char *path, const char *key);
// Current gain (AUDIO_UNITY_VOLUME = 100 %) and task state, for diagnostics and tests.
uint32_t audio_reader_get_volume(audio_reader_handle_t handle);
task_state_t audio_reader_get_task_state(audio_reader_handle_t handle);

// One pass of a loop of the loaded file, as this reader plays it: a PCM pass is the whole file,
// an IMA ADPCM pass is cut at the "_T" duration when that is shorter, and an Ogg pass ends with
// its last whole output buffer (the partial one after it is dropped). All 0 when no file is
// loaded. Ask from the thread that loads the reader: the load writes these facts unguarded.
typedef struct {
    uint32_t frames;   // frames of one pass
    uint32_t ms;       // the pass in milliseconds
    uint32_t file_ms;  // the file's own audio in milliseconds ("_T" not counted)
} audio_reader_loop_pass_t;
audio_reader_loop_pass_t audio_reader_get_loop_pass(audio_reader_handle_t handle);

// What a reader is doing, for views of the engine from outside (the web panel): plain reads
// of the reader's atomics, from any thread, without waiting for the reader.
typedef struct {
    task_state_t task_state;
    uint32_t position_ms;  // time played in the current pass
    uint32_t length_ms;    // the file's length as the reader works with it ("_T" included)
    uint32_t volume;       // gain now, AUDIO_UNITY_VOLUME = 100 %
    uint32_t target;       // the file's gain a fade-in rises to
    int32_t volume_step;   // gain change per sample: > 0 fading in, < 0 fading out
} audio_reader_view_t;
audio_reader_view_t audio_reader_get_view(audio_reader_handle_t handle);

// What the readers do, for a trace kept by the host: every play and stop request, and every
// buffer handed to the mixer with the gains applied to it. Off (null) by default, and then it
// costs one load of the hook per event.
typedef enum {
    AUDIO_READER_TRACE_PLAY,    // a play was asked for; `fade_ms` is its fade-in
    AUDIO_READER_TRACE_STOP,    // a stop was asked for; `fade_ms` is its fade-out
    AUDIO_READER_TRACE_BUFFER,  // `data` was put in the ready slot for the mixer
} audio_reader_trace_kind_t;
typedef struct {
    audio_reader_trace_kind_t kind;
    const char *tag;   // the reader's name ("wav" and its track number)
    const char *path;  // the loaded file
    uint32_t fade_ms;
    const int16_t *data;  // buffer: its samples (the mixer takes and frees them)
    uint32_t gain_first;  // buffer: the gain of its first produced frame (AUDIO_UNITY_VOLUME = 100 %)
    uint32_t gain_last;   // buffer: the gain after its last frame
    uint32_t target;      // the file's gain, which a fade-in rises to
} audio_reader_trace_t;
// Called on the thread of the event (a caller of play or stop, or the reader's task, with its
// ready slot locked): it must copy what it needs and return at once, without waiting.
typedef void (*audio_reader_trace_hook_t)(const audio_reader_trace_t *event);
void audio_reader_set_trace_hook(audio_reader_trace_hook_t hook);
