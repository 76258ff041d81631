// Audio reader: one task per play that decodes a file into PCM buffers and hands them to the
// mixer through a single ready slot.
//
// Threads: callers (play, stop, load, unload, volume, position) on the sound engine's threads,
// the reader's own task (decoding, the ready stage, both notifications), the mixer task
// (audio_reader_get_data) and the tick thread (the "audio_delay" timer). Fields they share are
// atomics; the ready slot has its own lock around take, trim and deliver; `state_lock` makes
// the task's decision to end and a caller's restart request mutually exclusive, so that a play
// arriving while a task ends is never lost.
#include "audio_reader.h"

#include <tremor/ivorbisfile.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "adpcm-lib.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "freertos/FreeRTOS.h"
#include "freertos/event_groups.h"
#include "freertos/task.h"
#include "freertos/timers.h"
#include "wav_header.h"

static const char *TAG = "WAV_READER";

// Results of the decode steps and the ready stage.
#define STEP_CONTINUE 0
#define STEP_END (-10)
#define STEP_ERROR (-1)
#define STEP_NO_MEM 257

// Bound for waiting until a reader task has ended. A task blocked handing over its buffer is
// released within one buffer's play time, which at low sample rates is well over 100 ms.
#define TASK_END_WAIT_TICKS 2000
// The reader task re-checks its state at this interval while it waits to hand over a buffer.
#define HANDOVER_POLL_TICKS 20

#define GAIN_PER_PERCENT 10737418u

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
};

static esp_err_t run_task(audio_reader_handle_t r, bool prepare_only);
static void delayed_stop_now(audio_reader_handle_t r);

// ---------------------------------------------------------------- small helpers

static uint32_t now_ms(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}

// Bytes of one frame of decoded audio: a 16-bit sample of every channel. Time is counted in
// frames: counting bytes as mono samples made a stereo file last twice as long to the reader,
// so its end notification came half-way through and its fades and lead times were doubled.
static uint32_t frame_bytes(const audio_decoder *r) {
    return 2u * (r->file.channels != 0 ? r->file.channels : 1u);
}

static uint32_t bytes2us(const audio_decoder *r, uint32_t len) {
    uint32_t div = r->file.sample_rate / 100;
    if (div == 0) return 0;  // rates below 100 Hz are refused at load
    uint64_t us = (uint64_t)(len / frame_bytes(r)) * 10000 / div;
    return us > UINT32_MAX ? UINT32_MAX : (uint32_t)us;
}

static uint32_t us2bytes(const audio_decoder *r, uint64_t t) {
    uint64_t bytes = (uint64_t)(r->file.sample_rate / 100) * t / 10000 * frame_bytes(r);
    return bytes > UINT32_MAX ? UINT32_MAX : (uint32_t)bytes;
}

// Frames (per channel) an IMA ADPCM block holds: the header sample and two per data byte.
static uint32_t adpcm_frames_per_block(const audio_decoder *r) {
    const uint32_t ch = r->file.channels != 0 ? r->file.channels : 1u;
    return ((uint32_t)r->file.blockSize - 4 * ch) * 2 / ch + 1;
}

static uint16_t slack_bytes(const audio_decoder *r) {
    return (uint16_t)(r->file.channels * 16);
}

// Every produced buffer gets room for a full output buffer plus the decoder's slack, so that a
// short buffer held at a loop end can be completed in place.
static int16_t *alloc_buffer(const audio_decoder *r, uint32_t len) {
    uint32_t out = r->out_buf_len.load();
    uint32_t cap = (len > out ? len : out) + slack_bytes(r);
    return (int16_t *)malloc(cap == 0 ? 1 : cap);
}

static EventBits_t get_bits(const audio_decoder *r) {
    return xEventGroupGetBits(r->events);
}

uint32_t audio_reader_name_param(const char *path, const char *key) {
    if (path == nullptr || key == nullptr || key[0] == '\0' || key[1] == '\0') return 0;
    const char *p = path;
    while ((p = strstr(p, key)) != nullptr) {
        const char *d = p + 2;
        uint64_t value = 0;
        int digits = 0;
        while (digits < 10 && d[digits] >= '0' && d[digits] <= '9') {
            value = value * 10 + (uint64_t)(d[digits] - '0');
            digits++;
        }
        if (digits > 0) return value > UINT32_MAX ? UINT32_MAX : (uint32_t)value;
        p = p + 1;
    }
    return 0;
}

static int32_t calculate_volume_step(const audio_decoder *r, uint32_t fade_ms, uint32_t start, uint32_t end) {
    uint64_t n = (uint64_t)fade_ms * r->file.sample_rate / 1000;
    if (n == 0) return 0;
    int64_t step = ((int64_t)end - (int64_t)start) / (int64_t)n;
    if (step == 0) step = start < end ? 1 : -1;
    return (int32_t)step;
}

// Index of the first zero crossing of the first channel, or 0 when there is none.
static uint32_t fadeout(const int16_t *data, uint32_t samples, uint32_t channels) {
    if (channels == 0) channels = 1;
    if (samples == 0 || data[0] == 0) return 0;
    bool positive = data[0] > 0;
    for (uint32_t i = channels; i < samples; i += channels) {
        if (positive ? data[i] <= 0 : data[i] >= 0) return i;
    }
    return 0;
}

// Cuts the buffer waiting in the ready slot at its first zero crossing, so that a stopped or
// restarted sound ends without a click.
static void fadeout_ready_buf(audio_decoder *r) {
    std::lock_guard<std::mutex> lock(r->ready_lock);
    if (get_bits(r) & BUF_EMPTY) return;
    if (r->ready_buf.data == nullptr) {
        ESP_LOGW(TAG, "[%s] cannot fade-out empty buffer", r->tag);
        return;
    }
    uint32_t index = fadeout(r->ready_buf.data, r->ready_buf.len / 2, r->file.channels);
    if (index == 0) {
        free(r->ready_buf.data);
        r->ready_buf = {nullptr, 0};
        xEventGroupSetBits(r->events, BUF_EMPTY);
    } else {
        r->ready_buf.len = (uint16_t)(2 * index);
    }
}

// ---------------------------------------------------------------- Ogg callbacks

static size_t ogg_read_cb(void *ptr, size_t size, size_t nmemb, void *ds) {
    auto *r = (audio_decoder *)ds;
    if (r->file.file == nullptr) return 0;
    return fread(ptr, size, nmemb, r->file.file);
}

static int ogg_seek_cb(void *ds, ogg_int64_t offset, int whence) {
    auto *r = (audio_decoder *)ds;
    if (r->file.file == nullptr) return -1;
    return fseeko(r->file.file, (off_t)offset, whence);
}

// Does nothing when the stream is already closed (ov_clear after the task closed the file).
static int ogg_close_cb(void *ds) {
    auto *r = (audio_decoder *)ds;
    if (r->file.file != nullptr) {
        fclose(r->file.file);
        r->file.file = nullptr;
    }
    return 0;
}

static long ogg_tell_cb(void *ds) {
    auto *r = (audio_decoder *)ds;
    if (r->file.file == nullptr) return -1;
    return ftell(r->file.file);
}

// ---------------------------------------------------------------- ready stage

// The gain of one frame applies to all its channels, and a ramp moves once per frame, so that a
// fade lasts its time whatever the channel count.
static void apply_gain(audio_decoder *r, int16_t *data, uint32_t samples) {
    if (r->volume_step.load(std::memory_order_relaxed) == 0 &&
        r->volume.load(std::memory_order_relaxed) == AUDIO_UNITY_VOLUME) {
        return;
    }
    const uint32_t channels = frame_bytes(r) / 2;
    for (uint32_t i = 0; i + channels <= samples; i += channels) {
        uint32_t vol = r->volume.load(std::memory_order_relaxed);
        int32_t g = (int32_t)(vol >> 16);
        for (uint32_t c = 0; c < channels; c++) {
            int32_t s = (g * (int32_t)data[i + c]) / 16384;
            if (s > 32767) s = 32767;
            if (s < -32767) s = -32767;
            data[i + c] = (int16_t)s;
        }
        int32_t step = r->volume_step.load(std::memory_order_relaxed);
        if (step != 0) {
            // 64-bit sum: near 200 % gain a 32-bit sum would wrap negative and silence the sound.
            int64_t v = (int64_t)vol + step;
            uint32_t target = r->file.volume.load(std::memory_order_relaxed);
            // A fade-out goes on down to silence whatever the file gain is now: stopped at a gain
            // lowered while it ran, the sound held that gain until the stop timer cut it.
            const bool fading_out = step < 0 && r->delayed_stop.load(std::memory_order_relaxed) &&
                                    r->timer_armed.load(std::memory_order_relaxed);
            if (v <= 0) {
                r->volume.store(0, std::memory_order_relaxed);
                r->volume_step.store(0, std::memory_order_relaxed);
            } else if (v >= (int64_t)target && !fading_out) {
                r->volume.store(target, std::memory_order_relaxed);
                r->volume_step.store(0, std::memory_order_relaxed);
            } else {
                r->volume.store((uint32_t)v, std::memory_order_relaxed);
            }
        }
    }
}

static int set_ready_buf(audio_decoder *r, buf_item_t buf) {
    const uint16_t out_len = r->out_buf_len.load();
    if (buf.len == 0) {
        free(buf.data);
        ESP_LOGE(TAG, "Prepare empty buffer");
        return STEP_ERROR;
    }
    r->pass_buffers++;
    const uint32_t d = bytes2us(r, buf.len);

    apply_gain(r, buf.data, buf.len / 2);

    // End notification, once per play.
    if (!r->loop.load()) {
        uint32_t nt = r->notification_time_ms.load();
        if (nt != 0 && r->end_notification != nullptr) {
            int64_t remaining = (int64_t)r->file.length_ms.load() - (int64_t)(r->time_pos_us.load() / 1000);
            if (remaining < (int64_t)nt) {
                if (r->end_notification(r, r->param)) audio_reader_stop(r, nt);
                // A play from inside the callback has set a new lead time: keep it.
                r->notification_time_ms.compare_exchange_strong(nt, 0);
            }
        }
    }

    // Loop length: request the fade-out once per play. Re-arming its 1000 ms timer on every
    // buffer would postpone the stop for ever.
    if (r->loop.load() && r->file.loop_length_ms != 0 && !r->loop_stop_issued.load()) {
        if (now_ms() - r->start_tick.load() >= r->file.loop_length_ms) {
            r->loop_stop_issued.store(true);
            audio_reader_stop(r, 1000);
        }
    }

    r->time_pos_us.fetch_add(d);
    const uint32_t frames = buf.len / frame_bytes(r);
    r->out_frames += frames;

    // Loop join: the short last buffer of the previous pass is completed by this one.
    if (r->remaining_buf.data != nullptr) {
        uint8_t *dst = (uint8_t *)r->remaining_buf.data;
        if ((uint32_t)r->remaining_buf.len + buf.len == out_len) {
            memcpy(dst + r->remaining_buf.len, buf.data, buf.len);
        } else {
            ESP_LOGE(TAG, "Wrong loop sync remaining=%i, current=%i", (int)r->remaining_buf.len,
                     (int)buf.len);
            // The part after the held samples would be undefined: silence instead.
            if (r->remaining_buf.len < out_len)
                memset(dst + r->remaining_buf.len, 0, out_len - r->remaining_buf.len);
        }
        free(buf.data);
        buf = {r->remaining_buf.data, out_len};
        r->req_buf_len = out_len;
        r->remaining_buf = {nullptr, 0};
    }

    // Loop end: hold a short (or long) last buffer to be completed by the next pass, so that a
    // looping sound reaches the mixer in full buffers only.
    if (r->loop.load() && buf.len != out_len) {
        r->remaining_buf = buf;
        int req = (int)out_len - (int)buf.len;
        if (req <= 0) {
            ESP_LOGE(TAG, "Req len is zero");
            req = out_len;
        }
        r->req_buf_len = (uint16_t)req;
        return STEP_END;
    }

    // ADPCM loop cut: end the next buffer exactly at the end of a pass, counted in frames so
    // that a pass is the whole file to the sample (or its "_T" duration when that is shorter).
    if (r->loop.load() && r->file.format == AUDIO_FORMAT_ADPCM) {
        const int64_t rest = (int64_t)r->end_frames - (int64_t)r->out_frames;
        if (rest < (int64_t)frames) {
            // Produced audio already past the end (start position, short "_T"): this buffer
            // is the last of the pass.
            r->req_buf_len = rest > 0 ? (uint16_t)(rest * frame_bytes(r)) : 0;
            ESP_LOGI(TAG, "Cut at %lu len=%lu, req_len=%i", (unsigned long)r->time_pos_us.load(),
                     (unsigned long)r->file.length_ms.load(), (int)r->req_buf_len);
        }
    }

    // Hand-over: wait until delivery is allowed and the slot is free. A stopping or restarting
    // task drops the buffer anyway, so it does not wait for the mixer.
    for (;;) {
        EventBits_t bits =
            xEventGroupWaitBits(r->events, RUN_BIT | BUF_EMPTY, pdFALSE, pdTRUE, HANDOVER_POLL_TICKS);
        if ((bits & (RUN_BIT | BUF_EMPTY)) == (RUN_BIT | BUF_EMPTY)) break;
        if ((bits & RUN_BIT) && r->task_state.load() != TASK_RUN) break;
    }
    if (r->task_state.load() != TASK_RUN) {
        free(buf.data);
        return STEP_END;
    }

    {
        std::lock_guard<std::mutex> lock(r->ready_lock);
        if (r->ready_buf.data != nullptr) {
            free(r->ready_buf.data);
            ESP_LOGE(TAG, "[%s] buf is not empty while applying new value\n", r->tag);
        }
        r->ready_buf = buf;
        xEventGroupClearBits(r->events, BUF_EMPTY);
    }
    if (r->req_buf_len == 0) {
        r->req_buf_len = out_len;
        return STEP_END;
    }
    return STEP_CONTINUE;
}

// ---------------------------------------------------------------- decode steps

// Reads up to `len` bytes of audio data, a whole number of `unit`-byte units.
static int read_buf(audio_decoder *r, uint16_t len, uint32_t unit, buf_item_t *out) {
    int16_t *buf = alloc_buffer(r, len);
    if (buf == nullptr) {
        ESP_LOGE(TAG, "[%s] Buffer allocation failed line: %u", r->tag, 270u);
        return STEP_ERROR;
    }
    size_t count = r->file.file != nullptr ? fread(buf, 1, len, r->file.file) : 0;
    uint32_t pos = r->position.load();
    uint64_t left = pos < r->file.data_len ? (uint64_t)r->file.data_len - pos : 0;
    if (count > left) count = (size_t)left;
    // A file cut short inside a sample frame ends with its last whole frame: a part frame
    // handed on would shift the bytes and channels of every sample the mixer takes after it
    // (and of the next pass of a loop, which completes this buffer).
    if (unit > 1) count -= count % unit;
    r->position.store(pos + (uint32_t)count);
    if (count == 0) {
        free(buf);
        ESP_LOGE(TAG, "[%s] Unexpected end of file = %s at %lu of %lu", r->tag, r->file.path,
                 (unsigned long)r->position.load(), (unsigned long)r->file.data_len);
        return STEP_ERROR;
    }
    *out = {buf, (uint16_t)count};
    return STEP_CONTINUE;
}

static int pcm_step(audio_decoder *r) {
    buf_item_t buf;
    int res = read_buf(r, r->req_buf_len, 2u * r->file.channels, &buf);
    if (res != STEP_CONTINUE) return res;
    return set_ready_buf(r, buf);
}

static int ogg_step(audio_decoder *r) {
    const uint32_t req = r->req_buf_len;
    int16_t *buf = alloc_buffer(r, req);
    if (buf == nullptr) {
        ESP_LOGE(TAG, "[%s] Buffer allocation failed line: %u", r->tag, 325u);
        return STEP_ERROR;
    }
    auto *vf = (OggVorbis_File *)r->codec_ctx;
    uint32_t got = 0;
    while (got < req) {
        int bitstream = 0;
        long n = ov_read(vf, (char *)buf + got, (int)(req - got), &bitstream);
        if (n == 0) {
            // End of stream: the partial last buffer is dropped.
            free(buf);
            return STEP_END;
        }
        if (n < 0) {
            ESP_LOGE(TAG, "Ogg read ret=%i", (int)n);
            free(buf);
            return STEP_ERROR;
        }
        got += (uint32_t)n;
    }
    return set_ready_buf(r, {buf, (uint16_t)req});
}

static int adpcm_step(audio_decoder *r) {
    const uint32_t out_len = r->out_buf_len.load();
    const uint32_t f = (uint32_t)r->file.channels * 2;
    buf_item_t in;
    int res = read_buf(r, (uint16_t)(out_len / 2), 1, &in);
    if (res != STEP_CONTINUE) return res;
    const uint8_t *p = (const uint8_t *)in.data;
    size_t avail = in.len;
    int result = STEP_CONTINUE;
    for (;;) {
        int16_t *out;
        uint32_t filled;
        if (r->temp_buf.data != nullptr) {
            out = r->temp_buf.data;
            filled = r->temp_buf.len;
            r->temp_buf = {nullptr, 0};
        } else {
            out = alloc_buffer(r, out_len);
            if (out == nullptr) {
                ESP_LOGE(TAG, "[%s] Buffer allocation failed line: %u", r->tag, 376u);
                result = STEP_NO_MEM;
                break;
            }
            filled = 0;
        }
        const uint32_t req = r->req_buf_len;
        // A carry longer than a shortened request is handed over without decoding: the frame
        // count asked of the decoder is never negative.
        if (filled < req) {
            uint32_t frames_req = (req - filled) / f;
            int frames =
                adpcm_decode_block((uint16_t)frames_req, out + filled / 2, &p, &avail, r->file.channels,
                                   r->file.blockSize, (adcm_state_t *)r->codec_ctx);
            if (frames > 0) {
                // The last group of the data decodes whole 8-frame groups: what lies past the
                // file's sample count is not part of the sound.
                uint32_t n = (uint32_t)frames;
                const uint32_t left =
                    r->file.frames > r->decoded_frames ? r->file.frames - r->decoded_frames : 0;
                if (n >= left) {
                    n = left;
                    r->position.store(r->file.data_len);
                }
                r->decoded_frames += n;
                filled += n * f;
            }
        }
        if (filled < req) {
            if (filled > 0 && r->position.load() < r->file.data_len) {
                r->temp_buf = {out, (uint16_t)filled};
                result = STEP_CONTINUE;
            } else if (filled > 0) {
                result = set_ready_buf(r, {out, (uint16_t)filled});
            } else {
                free(out);
                result = STEP_CONTINUE;
            }
            break;
        }
        uint32_t excess = filled - req;
        if (excess > 0) {
            int16_t *carry = alloc_buffer(r, out_len);
            if (carry == nullptr) {
                ESP_LOGE(TAG, "[%s] Buffer allocation failed line: %u", r->tag, 402u);
                free(out);
                result = STEP_NO_MEM;
                break;
            }
            memcpy(carry, (uint8_t *)out + req, excess);
            r->temp_buf = {carry, (uint16_t)excess};
        }
        result = set_ready_buf(r, {out, (uint16_t)req});
        if (result != STEP_CONTINUE) break;
    }
    free(in.data);
    if (result != STEP_CONTINUE && r->temp_buf.data != nullptr) {
        free(r->temp_buf.data);
        r->temp_buf = {nullptr, 0};
    }
    return result;
}

// ---------------------------------------------------------------- reader task

// Seeks to `position` for a new pass; false on failure.
static bool seek_pass(audio_decoder *r) {
    if (r->file.format == AUDIO_FORMAT_OGG) {
        auto *vf = (OggVorbis_File *)r->codec_ctx;
        uint32_t pos = r->position.load();
        int rc = pos != 0 ? ov_pcm_seek(vf, pos / frame_bytes(r)) : ov_raw_seek(vf, 0);
        if (rc != 0) {
            ESP_LOGE(TAG, "[%s] lseek error", r->tag);
            return false;
        }
        return true;
    }
    if (r->file.format == AUDIO_FORMAT_ADPCM) {
        uint32_t pos = r->position.load();
        r->position.store(r->file.blockSize * ((pos / frame_bytes(r)) / adpcm_frames_per_block(r)));
    }
    if (r->file.file == nullptr ||
        fseeko(r->file.file, (off_t)r->file.header_len + (off_t)r->position.load(), SEEK_SET) != 0) {
        ESP_LOGE(TAG, "[%s] lseek error", r->tag);
        return false;
    }
    return true;
}

// Play position at the start of a pass, in frames. For ADPCM the position is a compressed
// offset after the seek: the frames of the blocks before it count, so that the end notification
// and the loop cut of a play from a start position come on time.
static uint32_t pass_start_frames(const audio_decoder *r) {
    uint32_t pos = r->position.load();
    if (r->file.format != AUDIO_FORMAT_ADPCM || r->file.blockSize == 0) return pos / frame_bytes(r);
    uint64_t frames = (uint64_t)(pos / r->file.blockSize) * adpcm_frames_per_block(r);
    return frames > UINT32_MAX ? UINT32_MAX : (uint32_t)frames;
}

static void mark_ending(audio_decoder *r) {
    std::lock_guard<std::mutex> lock(r->state_lock);
    r->ending = true;
}

static void reader_task(void *arg) {
    auto *r = (audio_decoder *)arg;
    r->start_tick.store(now_ms());
    r->req_buf_len = r->out_buf_len.load();
    r->remaining_buf = {nullptr, 0};
    ESP_LOGI(TAG, "[%s] Start time = %lu File len = %lu", r->tag, (unsigned long)r->start_tick.load(),
             (unsigned long)r->file.data_len);
    {
        std::lock_guard<std::mutex> lock(r->ready_lock);
        if (!(get_bits(r) & BUF_EMPTY)) {
            if (r->ready_buf.data == nullptr)
                ESP_LOGE(TAG, "[%s] BUF_EMPTY and buffer pointer both zero", r->tag);
            free(r->ready_buf.data);
            r->ready_buf = {nullptr, 0};
            xEventGroupSetBits(r->events, BUF_EMPTY);
        }
    }

    const bool counted = r->file.format == AUDIO_FORMAT_PCM || r->file.format == AUDIO_FORMAT_ADPCM;
    for (;;) {
        {
            // A stop that arrived between two passes ends the task here.
            std::lock_guard<std::mutex> lock(r->state_lock);
            if (r->task_state.load() == TASK_STOP) {
                r->ending = true;
                break;
            }
            r->task_state.store(TASK_RUN);
        }
        const uint32_t pass_start = r->position.load();
        if (!seek_pass(r)) {
            mark_ending(r);
            break;
        }
        r->out_frames = pass_start_frames(r);
        r->decoded_frames = r->out_frames;
        r->time_pos_us.store(bytes2us(r, r->out_frames * frame_bytes(r)));
        if (r->req_buf_len == 0) r->req_buf_len = r->out_buf_len.load();
        if (r->file.format == AUDIO_FORMAT_ADPCM) {
            if (r->temp_buf.data != nullptr) {
                ESP_LOGE(TAG, "Temp buffer pointer not zero");
                free(r->temp_buf.data);
                r->temp_buf = {nullptr, 0};
            }
            memset(r->codec_ctx, 0, sizeof(adcm_state_t));
        }
        r->pass_buffers = 0;

        int res = STEP_CONTINUE;
        bool end_of_data = false;
        for (;;) {
            // A read position at or past the data length (a start position beyond the data)
            // is the end of the data, never a huge read.
            if (counted && r->position.load() >= r->file.data_len) {
                end_of_data = true;
                break;
            }
            switch (r->file.format) {
                case AUDIO_FORMAT_PCM:
                    res = pcm_step(r);
                    break;
                case AUDIO_FORMAT_ADPCM:
                    res = adpcm_step(r);
                    break;
                case AUDIO_FORMAT_OGG:
                    res = ogg_step(r);
                    break;
                default:
                    res = STEP_ERROR;
                    break;
            }
            if (res != STEP_CONTINUE) break;
        }
        if (res != STEP_END && !end_of_data) {
            mark_ending(r);
            break;
        }
        {
            std::lock_guard<std::mutex> lock(r->state_lock);
            if (!r->loop.load() && r->task_state.load() != TASK_RESTART) {
                r->ending = true;
                ESP_LOGI(TAG, "[%s] Stopping task. File time = %lu", r->tag,
                         (unsigned long)(now_ms() - r->start_tick.load()));
                break;
            }
            // A pass from the start that produced nothing (invalid ADPCM blocks, an empty Ogg
            // stream) would repeat for ever without audio.
            if (pass_start == 0 && r->pass_buffers == 0 && r->remaining_buf.data == nullptr) {
                r->ending = true;
                ESP_LOGE(TAG, "[%s] No audio in the file, stopping task", r->tag);
                break;
            }
        }
        uint32_t now = now_ms();
        uint32_t len = r->file.length_ms.load();
        if (r->play_tick.load() + len / 2 < now) r->play_tick.fetch_add(len);
        r->position.store(0);
    }

    free(r->remaining_buf.data);
    r->remaining_buf = {nullptr, 0};
    free(r->temp_buf.data);
    r->temp_buf = {nullptr, 0};
    r->position.store(0);
    ESP_LOGI(TAG, "[%s] Stack = %u", r->tag, (unsigned)uxTaskGetStackHighWaterMark(nullptr));
    // The file is closed before the state turns idle: a caller that sees the idle state may
    // open it again for the next task.
    if (r->file.file != nullptr) {
        fclose(r->file.file);
        r->file.file = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(r->state_lock);
        r->task_state.store(TASK_IDLE);
        r->ending = false;
    }
    xEventGroupSetBits(r->events, TASK_DONE_BIT);
    // Told after the reader is idle: a notification that plays this reader again starts a new
    // task at once instead of waiting for the end of the task that calls it.
    if (r->stop_notification != nullptr) r->stop_notification(r, r->param);
    vTaskDelete(nullptr);
}

// Waits until the task that ended (or is ending) has set its done bit.
static bool wait_task_done(audio_decoder *r, TickType_t ticks) {
    return (xEventGroupWaitBits(r->events, TASK_DONE_BIT, pdFALSE, pdTRUE, ticks) & TASK_DONE_BIT) != 0;
}

static esp_err_t run_task(audio_reader_handle_t r, bool prepare_only) {
    std::unique_lock<std::mutex> lock(r->state_lock);
    if (r->ending || (r->task_state.load() == TASK_IDLE && !(get_bits(r) & TASK_DONE_BIT))) {
        // The task is on its way out: a restart request would be lost, so wait for its end and
        // start a new one.
        lock.unlock();
        if (!wait_task_done(r, TASK_END_WAIT_TICKS)) {
            ESP_LOGW(TAG, "[%s] Failed to wait for TASK idle", r->tag);
            return ESP_FAIL;
        }
        lock.lock();
    }
    task_state_t state = r->task_state.load();
    if (state == TASK_STOP) {
        // The stopping task has not decided to end yet: it restarts from the beginning.
        r->task_state.store(TASK_RESTART);
        state = TASK_RESTART;
    }
    if (state == TASK_IDLE) {
        if (r->file.file == nullptr) {
            r->file.file = fopen(r->file.path, "rb");
            if (r->file.file == nullptr) {
                ESP_LOGE(TAG, "[%s] Failed to open file for reading", r->tag);
                return ESP_FAIL;
            }
        }
        r->task_state.store(TASK_RUN);
        r->ending = false;
        xEventGroupClearBits(r->events, TASK_DONE_BIT);
        if (prepare_only) {
            xEventGroupClearBits(r->events, RUN_BIT);
        } else {
            xEventGroupSetBits(r->events, RUN_BIT);
        }
        TaskHandle_t handle = nullptr;
        BaseType_t ret = xTaskCreatePinnedToCore(reader_task, r->tag, 2560, r, (UBaseType_t)r->task_prio,
                                                 &handle, r->task_core);
        if (ret != pdPASS) {
            ESP_LOGE(TAG, "[%s] Error create task ret = %d", r->tag, (int)ret);
            r->task_state.store(TASK_IDLE);
            if (r->file.format != AUDIO_FORMAT_OGG && r->file.file != nullptr) {
                fclose(r->file.file);
                r->file.file = nullptr;
            }
            xEventGroupSetBits(r->events, TASK_DONE_BIT);
            return ESP_FAIL;
        }
        r->task_handle.store(handle);
        return ESP_OK;
    }
    if (!prepare_only) xEventGroupSetBits(r->events, RUN_BIT);
    return ESP_OK;
}

static void delayed_stop_now(audio_reader_handle_t r) {
    bool trim = false;
    {
        std::lock_guard<std::mutex> lock(r->state_lock);
        task_state_t state = r->task_state.load();
        // A restart that has not begun yet is stopped as well: otherwise the stop would be lost
        // and the restarted sound would play on.
        if (state != TASK_RUN && state != TASK_RESTART) return;
        r->loop.store(false);
        r->task_state.store(TASK_STOP);
        if (get_bits(r) & RUN_BIT) {
            trim = true;
        } else {
            xEventGroupSetBits(r->events, RUN_BIT);
        }
    }
    if (trim) fadeout_ready_buf(r);
}

static void timer_handler(TimerHandle_t timer) {
    auto *r = (audio_decoder *)pvTimerGetTimerID(timer);
    if (r == nullptr) return;
    r->timer_armed.store(false);
    if (r->delayed_stop.load()) {
        delayed_stop_now(r);
    } else {
        run_task(r, true);
    }
}

// Stops any play and releases the file. Fails, touching nothing, while a task still runs.
static esp_err_t wait_for_stop(audio_decoder *r) {
    if (!r->file.available.load()) return ESP_OK;
    if (r->task_state.load() != TASK_IDLE || !(get_bits(r) & TASK_DONE_BIT)) {
        if (r->task_state.load() != TASK_IDLE) audio_reader_stop(r, 0);
        if (!wait_task_done(r, TASK_END_WAIT_TICKS)) {
            ESP_LOGE(TAG, "[%s] Failed to wait for TASK idle", r->tag);
            return ESP_FAIL;
        }
    }
    r->file.available.store(false);
    if (r->file.format == AUDIO_FORMAT_OGG && r->codec_ctx != nullptr) {
        // Closes the file through the close callback when it is still open.
        ov_clear((OggVorbis_File *)r->codec_ctx);
    }
    if (r->file.file != nullptr) {
        fclose(r->file.file);
        r->file.file = nullptr;
    }
    free(r->codec_ctx);
    r->codec_ctx = nullptr;
    return ESP_OK;
}

// ---------------------------------------------------------------- load

// Rates below 100 Hz would make the time conversions divide by zero; rates above 65535 Hz do
// not fit the 16-bit stream-rate fields of the mixer.
static bool rate_supported(uint32_t rate) {
    return rate >= 100 && rate <= 65535;
}

// The output buffer size (bytes per channel times channels) must be a non-zero 16-bit count.
static bool channels_supported(const audio_decoder *r, uint32_t channels) {
    uint32_t out = (uint32_t)r->buf_len.load() * channels;
    return channels > 0 && out > 0 && out <= 65535;
}

static esp_err_t load_wav(audio_decoder *r, const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        ESP_LOGE(TAG, "[%s] Failed to open file for reading", r->tag);
        return ESP_FAIL;
    }
    free(r->codec_ctx);
    r->codec_ctx = nullptr;
    r->file.available.store(false);
    uint8_t header[128];
    size_t n = fread(header, 1, sizeof header, f);
    fclose(f);
    if (n == 0) {
        ESP_LOGE(TAG, "[%s] No more data to parse header", r->tag);
        return ESP_FAIL;
    }
    wav_info_t info = {};
    if (get_wav_info(header, (uint8_t)n, &info) < 0) {
        ESP_LOGE(TAG, "[%s] Error parse wav header", r->tag);
        return ESP_FAIL;
    }
    r->file.header_len = (uint16_t)info.dataShift;
    r->file.data_len = info.dataSize;
    r->file.sample_rate = info.sampleRate;
    r->file.channels = (uint8_t)info.channels;
    r->file.format = (uint8_t)info.audioFormat;
    r->file.blockSize = info.blockAlign;
    ESP_LOGI(TAG,
             "[%s] audioFormat=%u, header_len=%lu, data_len=%lu, sample_rate=%lu, channels=%u, bits=%u, "
             "bitRate=%lu, align=%u",
             r->tag, (unsigned)info.audioFormat, (unsigned long)info.dataShift, (unsigned long)info.dataSize,
             (unsigned long)info.sampleRate, (unsigned)info.channels, (unsigned)info.bits,
             (unsigned long)info.bitRate, (unsigned)info.blockAlign);
    if (info.audioFormat == AUDIO_FORMAT_PCM) {
        if (info.bits != 16) {
            ESP_LOGE(TAG, "[%s] Not supported PCM file. Bits=%u", r->tag, (unsigned)info.bits);
            return ESP_FAIL;
        }
    } else if (info.audioFormat == AUDIO_FORMAT_ADPCM) {
        if (info.bits != 4) {
            ESP_LOGE(TAG, "[%s] Not supported ADPCM file. Bits=%u", r->tag, (unsigned)info.bits);
            return ESP_FAIL;
        }
        // The decoder state holds two channels, and a block must hold more than its headers.
        if (info.channels == 0 || info.channels > 2) {
            ESP_LOGE(TAG, "[%s] Not supported ADPCM file. Channels=%u", r->tag, (unsigned)info.channels);
            return ESP_FAIL;
        }
        if (info.blockAlign <= 4u * info.channels) {
            ESP_LOGE(TAG, "[%s] Not supported ADPCM file. Align=%u", r->tag, (unsigned)info.blockAlign);
            return ESP_FAIL;
        }
    } else {
        ESP_LOGE(TAG, "[%s] Not supported format = %u", r->tag, (unsigned)info.audioFormat);
        return ESP_FAIL;
    }
    if (!rate_supported(info.sampleRate)) {
        ESP_LOGE(TAG, "[%s] Not supported sample rate = %lu", r->tag, (unsigned long)info.sampleRate);
        return ESP_FAIL;
    }
    if (!channels_supported(r, info.channels)) {
        ESP_LOGE(TAG, "[%s] Not supported number of channels = %u", r->tag, (unsigned)info.channels);
        return ESP_FAIL;
    }
    if (info.audioFormat == AUDIO_FORMAT_ADPCM) {
        r->codec_ctx = calloc(1, sizeof(adcm_state_t));
        if (r->codec_ctx == nullptr) {
            ESP_LOGE(TAG, "Failed to allocate codec_ctx_t");
            return ESP_FAIL;
        }
    }
    // Frames of the file: the data size counts the samples of every channel.
    const uint64_t frames = (uint64_t)info.dataSize * 8 / info.bits / info.channels;
    r->file.frames = frames > UINT32_MAX ? UINT32_MAX : (uint32_t)frames;
    if (info.audioFormat == AUDIO_FORMAT_ADPCM) {
        // The data size leaves out the block headers: as a read limit it would stop about 1.5 %
        // before the end of the data, and every loop would jump at its join. The limit is the
        // data through the 8-frame group that holds the last sample.
        const uint64_t per_block = adpcm_frames_per_block(r);
        const uint64_t group = 4ull * info.channels;
        const uint64_t rest = r->file.frames % per_block;
        uint64_t extent = (uint64_t)(r->file.frames / per_block) * info.blockAlign;
        if (rest > 0) extent += group + (rest - 1 + 7) / 8 * group;
        r->file.data_len = extent > UINT32_MAX ? UINT32_MAX : (uint32_t)extent;
    }
    // 64-bit: 32 bits overflow for files longer than about 134 s at 32 kHz.
    uint64_t length = (uint64_t)r->file.frames * 1000 / info.sampleRate;
    r->file.length_ms.store(length > UINT32_MAX ? UINT32_MAX : (uint32_t)length);
    ESP_LOGI(TAG, "[%s] Header len = %u", r->tag, (unsigned)r->file.header_len);
    r->file.available.store(true);
    if (r->task_state.load() != TASK_IDLE) ESP_LOGE(TAG, "[%s] Task is not IDLE at loading", r->tag);
    r->task_state.store(TASK_IDLE);
    ESP_LOGI(TAG, "[%s] Len = %lu", r->tag, (unsigned long)r->file.length_ms.load());
    return ESP_OK;
}

static esp_err_t load_ogg(audio_decoder *r, const char *path) {
    auto *vf = (OggVorbis_File *)calloc(1, sizeof(OggVorbis_File));
    if (vf == nullptr) {
        ESP_LOGE(TAG, "Failed to allocate codec_ctx_t");
        return ESP_FAIL;
    }
    r->codec_ctx = vf;
    r->file.file = fopen(path, "rb");
    if (r->file.file == nullptr) {
        ESP_LOGE(TAG, "[%s] Could not open file", r->tag);
        free(vf);
        r->codec_ctx = nullptr;
        return ESP_FAIL;
    }
    ov_callbacks callbacks = {ogg_read_cb, ogg_seek_cb, ogg_close_cb, ogg_tell_cb};
    if (ov_open_callbacks(r, vf, nullptr, 0, callbacks) < 0) {
        // A failed open has released the decoder state but leaves the file to its owner.
        ESP_LOGE(TAG, "[%s] Input does not appear to be an Ogg bitstream", r->tag);
        ogg_close_cb(r);
        free(vf);
        r->codec_ctx = nullptr;
        return ESP_FAIL;
    }
    vorbis_info *vi = ov_info(vf, -1);
    ogg_int64_t total = ov_pcm_total(vf, -1);
    esp_err_t result = ESP_OK;
    if (vi == nullptr || total < 0) {
        ESP_LOGE(TAG, "[%s] Input does not appear to be an Ogg bitstream", r->tag);
        result = ESP_FAIL;
    } else if (!rate_supported((uint32_t)vi->rate)) {
        ESP_LOGE(TAG, "[%s] Not supported sample rate = %lu", r->tag, (unsigned long)vi->rate);
        result = ESP_FAIL;
    } else if (!channels_supported(r, (uint32_t)vi->channels) || vi->channels > 255) {
        ESP_LOGE(TAG, "[%s] Not supported number of channels = %u", r->tag, (unsigned)vi->channels);
        result = ESP_FAIL;
    }
    if (result != ESP_OK) {
        ov_clear(vf);  // closes the file through the close callback
        ogg_close_cb(r);
        free(vf);
        r->codec_ctx = nullptr;
        return result;
    }
    r->file.header_len = 0;
    r->file.data_len = total > UINT32_MAX ? UINT32_MAX : (uint32_t)total;
    r->file.frames = r->file.data_len;
    r->file.sample_rate = (uint32_t)vi->rate;
    r->file.channels = (uint8_t)vi->channels;
    r->file.format = AUDIO_FORMAT_OGG;
    r->file.blockSize = 0;
    uint64_t length = (uint64_t)r->file.data_len * 1000 / r->file.sample_rate;
    r->file.length_ms.store(length > UINT32_MAX ? UINT32_MAX : (uint32_t)length);
    r->file.available.store(true);
    if (r->task_state.load() != TASK_IDLE) ESP_LOGE(TAG, "[%s] Task is not IDLE at loading", r->tag);
    r->task_state.store(TASK_IDLE);
    ESP_LOGI(TAG, "[%s] Len = %lu", r->tag, (unsigned long)r->file.length_ms.load());
    return ESP_OK;
}

// ---------------------------------------------------------------- interface

audio_reader_handle_t audio_reader_init(audio_reader_cfg_t *config, const char *tag) {
    if (config == nullptr || tag == nullptr) return nullptr;
    auto *r = new (std::nothrow) audio_decoder();
    if (r == nullptr) {
        ESP_LOGE(TAG, "Failed to allocate device memory");
        return nullptr;
    }
    snprintf(r->tag, sizeof r->tag, "%s", tag);
    r->task_prio = config->task_prio;
    r->task_core = config->task_core;
    r->buf_len.store((uint16_t)config->buf_data_len);
    r->param = config->param;
    r->stop_notification = config->stop_notification;
    r->end_notification = config->end_notification;
    r->events = xEventGroupCreate();
    r->timer = xTimerCreate("audio_delay", 10, pdFALSE, r, timer_handler);
    if (r->events == nullptr || r->timer == nullptr) {
        ESP_LOGE(TAG, "Failed to allocate device memory");
        if (r->events != nullptr) vEventGroupDelete(r->events);
        delete r;
        return nullptr;
    }
    xEventGroupSetBits(r->events, BUF_EMPTY | TASK_DONE_BIT);
    r->task_state.store(TASK_IDLE);
    return r;
}

void audio_reader_deinit(audio_reader_handle_t r) {
    if (r == nullptr) return;
    if (r->task_state.load() != TASK_IDLE) audio_reader_stop(r, 0);
    // A reader whose task never started has a null handle, reported as invalid: no wait.
    int waited = 0;
    for (;;) {
        eTaskState st = eTaskGetState(r->task_handle.load());
        if (st == eDeleted || st == eInvalid) break;
        if (waited++ >= TASK_END_WAIT_TICKS) {
            ESP_LOGE(TAG, "[%s] Failed to wait for TASK idle", r->tag);
            return;  // the task still uses the reader: leave it allocated
        }
        vTaskDelay(1);
    }
    xTimerStop(r->timer, 0);
    r->timer_armed.store(false);
    audio_reader_unload(r);
    {
        std::lock_guard<std::mutex> lock(r->ready_lock);
        free(r->ready_buf.data);
        r->ready_buf = {nullptr, 0};
    }
    // The timer was stopped above, so it never fires for the freed reader.
    xTimerDelete(r->timer, 0);
    vEventGroupDelete(r->events);
    delete r;
}

esp_err_t audio_reader_load(audio_reader_handle_t r, const char *path, file_info_t **file_info_ptr,
                            uint8_t volume) {
    if (r == nullptr || path == nullptr) return ESP_FAIL;
    if (wait_for_stop(r) != ESP_OK) return ESP_FAIL;
    r->file.path = path;
    r->file.loop_length_ms = 0;
    r->file.length_ms.store(0);
    const bool is_ogg = strstr(path, ".ogg") != nullptr;
    ESP_LOGI(TAG, "[%s] Opening file:%s", r->tag, path);
    esp_err_t result = is_ogg ? load_ogg(r, path) : load_wav(r, path);

    uint32_t out = (uint32_t)r->buf_len.load() * r->file.channels;
    r->out_buf_len.store(out <= 65535 ? (uint16_t)out : 0);
    r->end_frames = r->file.frames;
    uint32_t duration = audio_reader_name_param(path, "_T");
    if (duration != 0) {
        ESP_LOGI(TAG, "[%s] Custom duration %lu", r->tag, (unsigned long)duration);
        r->file.length_ms.store(duration == UINT32_MAX ? UINT32_MAX : duration + 1);
        const uint64_t custom = (uint64_t)r->file.length_ms.load() * r->file.sample_rate / 1000;
        if (custom < r->end_frames) r->end_frames = (uint32_t)custom;
    }
    uint32_t loop_length = audio_reader_name_param(path, "_L");
    if (loop_length != 0) {
        ESP_LOGW(TAG, "[%s] Custom loop length %lu", r->tag, (unsigned long)loop_length);
        r->file.loop_length_ms = loop_length;
    }
    audio_reader_set_volume(r, volume);
    if (file_info_ptr != nullptr) *file_info_ptr = &r->file;
    return result;
}

esp_err_t audio_reader_unload(audio_reader_handle_t r) {
    if (r == nullptr) return ESP_FAIL;
    return wait_for_stop(r);
}

esp_err_t audio_reader_play(audio_reader_handle_t r, bool loop, uint16_t fadein_ms,
                            uint16_t end_notification_ms) {
    if (r == nullptr) return ESP_FAIL;
    if (!r->file.available.load()) return ESP_ERR_NOT_SUPPORTED;
    r->play_tick.store(now_ms());
    r->loop.store(loop);
    r->notification_time_ms.store(end_notification_ms);
    r->loop_stop_issued.store(false);
    if (fadein_ms > 0) {
        r->volume.store(0);
        r->volume_step.store(calculate_volume_step(r, fadein_ms, 0, r->file.volume.load()));
    } else {
        r->volume.store(r->file.volume.load());
        r->volume_step.store(0);
    }
    if (r->timer_armed.load()) {
        if (xTimerStop(r->timer, 0) != pdPASS) ESP_LOGE(TAG, "[%s] (Play)Failed to stop timer", r->tag);
        r->timer_armed.store(false);
    }
    std::unique_lock<std::mutex> lock(r->state_lock);
    if (r->task_state.load() != TASK_RUN || r->ending) {
        lock.unlock();
        return run_task(r, false);
    }
    if (get_bits(r) & RUN_BIT) {
        // Audible play in progress: the task finishes its pass and starts again from the beginning.
        r->task_state.store(TASK_RESTART);
        lock.unlock();
        fadeout_ready_buf(r);
    } else {
        xEventGroupSetBits(r->events, RUN_BIT);
    }
    return ESP_OK;
}

esp_err_t audio_reader_stop(audio_reader_handle_t r, uint32_t fadeout_ms) {
    if (r == nullptr) return ESP_FAIL;
    if (r->timer_armed.load()) {
        if (xTimerStop(r->timer, 0) != pdPASS) ESP_LOGE(TAG, "[%s] (Stop)Failed to stop timer", r->tag);
        r->timer_armed.store(false);
    }
    uint64_t n = (uint64_t)r->file.sample_rate * fadeout_ms / 1000;
    r->volume_step.store(n > 0 ? -(int32_t)(r->file.volume.load() / n) : 0);
    if (fadeout_ms > 0) {
        r->delayed_stop.store(true);
        r->timer_armed.store(true);
        if (xTimerChangePeriod(r->timer, fadeout_ms, 0) != pdPASS) {
            ESP_LOGE(TAG, "[%s] (Stop)Could not reload timer", r->tag);
        }
        if (xTimerReset(r->timer, 0) != pdPASS) ESP_LOGE(TAG, "[%s] (Stop)Could not reset timer", r->tag);
    } else {
        delayed_stop_now(r);
    }
    return ESP_OK;
}

esp_err_t audio_reader_run(audio_reader_handle_t r, uint16_t delay_time_ms) {
    if (r == nullptr) return ESP_FAIL;
    // The timer fires 100 ms before the wanted start; with 100 ms or less there is no time to
    // wait, so the task prepares at once.
    if (delay_time_ms <= 100) return run_task(r, true);
    r->delayed_stop.store(false);
    r->timer_armed.store(true);
    if (xTimerChangePeriod(r->timer, delay_time_ms - 100, 0) != pdPASS) {
        ESP_LOGE(TAG, "[%s] (Run)Could not reload timer", r->tag);
    }
    if (xTimerReset(r->timer, 0) != pdPASS) ESP_LOGE(TAG, "[%s] (Run)Could not reset timer", r->tag);
    return ESP_OK;
}

esp_err_t audio_reader_set_position(audio_reader_handle_t r, uint16_t position_ms) {
    if (r == nullptr) return ESP_FAIL;
    uint32_t bytes = us2bytes(r, (uint64_t)position_ms * 1000);
    // A position beyond the track's length starts at its end.
    uint32_t length_bytes = us2bytes(r, (uint64_t)r->file.length_ms.load() * 1000);
    if (r->file.available.load() && bytes > length_bytes) bytes = length_bytes;
    r->position.store(bytes);
    return ESP_OK;
}

esp_err_t audio_reader_set_volume(audio_reader_handle_t r, uint8_t volume) {
    if (r == nullptr) return ESP_FAIL;
    if (!r->file.available.load()) return ESP_ERR_NOT_SUPPORTED;
    uint32_t fv = audio_reader_name_param(r->file.path, "_V");
    if (fv == 0 || fv > 200) fv = 100;
    uint32_t a = volume;
    if (a == 0 || a > 200) a = 100;
    uint32_t v = a * fv / 100;
    uint32_t gain = (v == 0 || v > 200 || v == 100) ? AUDIO_UNITY_VOLUME : v * GAIN_PER_PERCENT;
    uint32_t old = r->file.volume.load();
    if (gain != old) {
        r->file.volume.store(gain);
        // The ramp starts from the gain the sound has now. From the old file gain, a step down
        // during a fade-in (gain still near 0) went below 0 at once and left the sound silent
        // for good. A fade-out in progress goes on to its end.
        const bool fading_out = r->delayed_stop.load() && r->timer_armed.load();
        const uint32_t now = r->volume.load();
        if (!fading_out) r->volume_step.store(now == gain ? 0 : calculate_volume_step(r, 500, now, gain));
    }
    return ESP_OK;
}

void audio_reader_set_buf_size(audio_reader_handle_t r, uint16_t size) {
    if (r == nullptr || size == 0) return;  // a zero size would make every buffer empty
    uint32_t out = (uint32_t)size * (r->file.channels ? r->file.channels : 1);
    if (out > 65535) return;
    r->buf_len.store(size);
    r->out_buf_len.store((uint16_t)out);
}

uint32_t audio_reader_get_duration(audio_reader_handle_t r) {
    if (r == nullptr) return 0xFFFFFFFFu;
    return r->file.length_ms.load();
}

uint32_t audio_reader_get_remaining_time(audio_reader_handle_t r) {
    if (r == nullptr) return 0xFFFFFFFFu;
    uint32_t len = r->file.length_ms.load();
    uint32_t pos = r->time_pos_us.load() / 1000;
    // Past the (custom) length nothing remains; the difference must not wrap.
    return pos < len ? len - pos : 0;
}

bool audio_reader_status(audio_reader_handle_t r) {
    return r != nullptr && r->task_state.load() == TASK_RUN;
}

buf_item_t audio_reader_get_data(audio_reader_handle_t r) {
    buf_item_t item = {nullptr, 0};
    if (r == nullptr) return item;
    {
        std::lock_guard<std::mutex> lock(r->ready_lock);
        if (get_bits(r) & BUF_EMPTY) return item;
        item = r->ready_buf;
        r->ready_buf = {nullptr, 0};
        xEventGroupSetBits(r->events, BUF_EMPTY);
    }
    if (item.len == 0) {
        free(item.data);
        ESP_LOGE(TAG, "[%s] Sending buffer with zero len", r->tag);
        return {nullptr, 0};
    }
    return item;
}

uint32_t audio_reader_get_volume(audio_reader_handle_t r) {
    return r ? r->volume.load() : 0;
}

task_state_t audio_reader_get_task_state(audio_reader_handle_t r) {
    return r ? r->task_state.load() : TASK_IDLE;
}

audio_reader_view_t audio_reader_get_view(audio_reader_handle_t r) {
    audio_reader_view_t v = {TASK_IDLE, 0, 0, 0, 0, 0};
    if (r == nullptr) return v;
    v.task_state = r->task_state.load(std::memory_order_relaxed);
    v.position_ms = r->time_pos_us.load(std::memory_order_relaxed) / 1000;
    v.length_ms = r->file.length_ms.load(std::memory_order_relaxed);
    v.volume = r->volume.load(std::memory_order_relaxed);
    v.target = r->file.volume.load(std::memory_order_relaxed);
    v.volume_step = r->volume_step.load(std::memory_order_relaxed);
    return v;
}
