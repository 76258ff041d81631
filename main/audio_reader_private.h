// Internals shared by the audio reader's source files: the reader record, the results of the
// decode steps and the small conversions every part of the reader uses.
//
// Threads: callers (play, stop, load, unload, volume, position) on the sound engine's threads,
// the reader's own task (decoding, the ready stage, both notifications), the mixer task
// (audio_reader_get_data) and the tick thread (the "audio_delay" timer). Fields they share are
// atomics; the ready slot has its own lock around take, trim and deliver; `state_lock` makes
// the task's decision to end and a caller's restart request mutually exclusive, so that a play
// arriving while a task ends is never lost.
#pragma once

#include <cstdlib>
#include <mutex>

#include "audio_reader.h"
#include "esp_timer.h"
#include "freertos/FreeRTOS.h"
#include "freertos/event_groups.h"
#include "freertos/task.h"
#include "freertos/timers.h"

static const char *const TAG = "WAV_READER";

// Results of the decode steps and the ready stage.
#define STEP_CONTINUE 0
#define STEP_END (-10)
#define STEP_ERROR (-1)
#define STEP_NO_MEM 257

// Bound for waiting until a reader task has ended. A task blocked handing over its buffer is
// released within one buffer's play time, which at low sample rates is well over 100 ms.
#define TASK_END_WAIT_TICKS 2000
// The reader task re-checks its state at this interval while it waits to hand over a buffer
// (in simulated time, as on the decoder; in real time a stop or restart wakes it instead).
#define HANDOVER_POLL_TICKS 20

struct audio_decoder {
    int task_prio;
    int task_core;
    char tag[12];
    std::atomic<TaskHandle_t> task_handle;
    EventGroupHandle_t events;
    TimerHandle_t timer;
    std::atomic<task_state_t> task_state;
    bool internal;
    std::atomic<bool> loop;
    std::atomic<bool> delayed_stop;
    std::atomic<bool> timer_armed;
    file_info_t file;
    std::atomic<uint16_t> buf_len;
    std::atomic<uint16_t> out_buf_len;
    uint16_t req_buf_len;      // task only
    buf_item_t ready_buf;      // under ready_lock
    buf_item_t remaining_buf;  // task only
    std::atomic<uint32_t> start_tick;
    std::atomic<uint32_t> play_tick;
    std::atomic<uint32_t> time_pos_us;
    std::atomic<uint32_t> notification_time_ms;
    std::atomic<uint32_t> volume;
    std::atomic<int32_t> volume_step;
    std::atomic<uint32_t> position;
    void *param;
    stop_notification_t stop_notification;
    end_notification_t end_notification;
    void *codec_ctx;
    buf_item_t temp_buf;  // task only

    std::mutex ready_lock;
    std::mutex state_lock;
    bool ending;                         // under state_lock: the task has decided to end
    std::atomic<bool> loop_stop_issued;  // the "_L" stop of this play was requested
    uint32_t pass_buffers;               // task only: buffers produced in the current pass
    uint32_t out_frames;                 // task only: frames produced so far in the current pass
    uint32_t decoded_frames;             // task only, ADPCM: frames decoded so far in the pass
    uint32_t end_frames;  // ADPCM: where a looping pass ends (the file's frames, or "_T" if shorter)
    int64_t ogg_bytes;    // Ogg: the file's length when it was opened
};

// ---------------------------------------------------------------- small helpers

static inline uint32_t now_ms(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}

// Bytes of one frame of decoded audio: a 16-bit sample of every channel. Time is counted in
// frames: counting bytes as mono samples made a stereo file last twice as long to the reader,
// so its end notification came half-way through and its fades and lead times were doubled.
static inline uint32_t frame_bytes(const audio_decoder *r) {
    return 2u * (r->file.channels != 0 ? r->file.channels : 1u);
}

static inline uint32_t bytes2us(const audio_decoder *r, uint32_t len) {
    uint32_t div = r->file.sample_rate / 100;
    if (div == 0) return 0;  // rates below 100 Hz are refused at load
    uint64_t us = (uint64_t)(len / frame_bytes(r)) * 10000 / div;
    return us > UINT32_MAX ? UINT32_MAX : (uint32_t)us;
}

// Milliseconds of `frames` frames. 64-bit: 32 bits overflow for files longer than about 134 s
// at 32 kHz.
static inline uint32_t frames2ms(const audio_decoder *r, uint64_t frames) {
    if (r->file.sample_rate == 0) return 0;
    uint64_t ms = frames * 1000 / r->file.sample_rate;
    return ms > UINT32_MAX ? UINT32_MAX : (uint32_t)ms;
}

static inline uint32_t us2bytes(const audio_decoder *r, uint64_t t) {
    uint64_t bytes = (uint64_t)(r->file.sample_rate / 100) * t / 10000 * frame_bytes(r);
    return bytes > UINT32_MAX ? UINT32_MAX : (uint32_t)bytes;
}

// Frames (per channel) an IMA ADPCM block holds: the header sample and two per data byte.
static inline uint32_t adpcm_frames_per_block(const audio_decoder *r) {
    return audio_adpcm_frames_per_block(r->file.blockSize, r->file.channels);
}

static inline uint16_t slack_bytes(const audio_decoder *r) {
    return (uint16_t)(r->file.channels * 16);
}

// Every produced buffer gets room for a full output buffer plus the decoder's slack, so that a
// short buffer held at a loop end can be completed in place.
static inline int16_t *alloc_buffer(const audio_decoder *r, uint32_t len) {
    uint32_t out = r->out_buf_len.load();
    uint32_t cap = (len > out ? len : out) + slack_bytes(r);
    return (int16_t *)malloc(cap == 0 ? 1 : cap);
}

static inline EventBits_t get_bits(const audio_decoder *r) {
    return xEventGroupGetBits(r->events);
}

// ---------------------------------------------------------------- across the reader's files

// The trace hook of audio_reader_set_trace_hook (null: no trace).
extern std::atomic<audio_reader_trace_hook_t> reader_trace_hook;

// Control (audio_reader.cpp): waits until the task that ended (or is ending) has set its done bit.
bool reader_wait_task_done(audio_decoder *r, TickType_t ticks);

// The reader task and its ready stage (audio_reader_task.cpp). The ready stage takes every
// produced buffer: gain, end notification, loop length, loop join and cut, hand-over.
void reader_task(void *arg);
int reader_set_ready_buf(audio_decoder *r, buf_item_t buf);

// Loading (audio_reader_load.cpp): the file is loaded and the reader idle, ready to play.
void reader_loaded(audio_decoder *r);

// WAV data (audio_reader_wav.cpp): one decode step each.
int reader_pcm_step(audio_decoder *r);
int reader_adpcm_step(audio_decoder *r);

// Ogg Vorbis through Tremor (audio_reader_ogg.cpp): open and learn the stream, one decode step,
// the frames of a pass, the seek at the start of a pass (0 on success) and the release of the
// decoder state.
esp_err_t reader_load_ogg(audio_decoder *r, const char *path);
int reader_ogg_step(audio_decoder *r);
uint32_t reader_ogg_pass_frames(const audio_decoder *r);
int reader_ogg_seek(audio_decoder *r);
void reader_ogg_clear(audio_decoder *r);
