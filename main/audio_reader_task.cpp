// Audio reader: the reader task, which plays a file pass by pass, and the ready stage that
// every produced buffer goes through on its way to the mixer.
#include <cstdlib>
#include <cstring>

#include "adpcm-lib.h"
#include "audio_reader_private.h"
#include "esp_log.h"

// ---------------------------------------------------------------- ready stage

static int16_t gained(int32_t g, int16_t sample) {
    int32_t s = (g * (int32_t)sample) / 16384;
    if (s > 32767) s = 32767;
    if (s < -32767) s = -32767;
    return (int16_t)s;
}

// The gain of one frame applies to all its channels, and a ramp moves once per frame, so that a
// fade lasts its time whatever the channel count.
static void apply_gain(audio_decoder *r, int16_t *data, uint32_t samples) {
    const uint32_t channels = frame_bytes(r) / 2;
    if (r->volume_step.load(std::memory_order_relaxed) == 0) {
        // No ramp: one gain for the whole buffer, in a loop the compiler can vectorise. A ramp
        // or a new gain set meanwhile by another task applies from the next buffer.
        const uint32_t vol = r->volume.load(std::memory_order_relaxed);
        if (vol == AUDIO_UNITY_VOLUME) return;
        const int32_t g = (int32_t)(vol >> 16);
        const uint32_t whole = channels == 0 ? 0 : samples - samples % channels;
        for (uint32_t i = 0; i < whole; i++)
            data[i] = gained(g, data[i]);
        return;
    }
    for (uint32_t i = 0; i + channels <= samples; i += channels) {
        uint32_t vol = r->volume.load(std::memory_order_relaxed);
        int32_t g = (int32_t)(vol >> 16);
        for (uint32_t c = 0; c < channels; c++)
            data[i + c] = gained(g, data[i + c]);
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

// A buffer waiting for the hand-over is dropped once delivery is allowed and the task is no
// longer running its play (a stop, a restart).
static bool handover_cancelled(EventBits_t bits, void *arg) {
    return (bits & RUN_BIT) && ((audio_decoder *)arg)->task_state.load() != TASK_RUN;
}

int reader_set_ready_buf(audio_decoder *r, buf_item_t buf) {
    const uint16_t out_len = r->out_buf_len.load();
    if (buf.len == 0) {
        free(buf.data);
        ESP_LOGE(TAG, "Prepare empty buffer");
        return STEP_ERROR;
    }
    r->pass_buffers++;
    const uint32_t d = bytes2us(r, buf.len);

    const audio_reader_trace_hook_t trace = reader_trace_hook.load(std::memory_order_relaxed);
    const uint32_t gain_first = trace != nullptr ? r->volume.load() : 0;
    apply_gain(r, buf.data, buf.len / 2);
    const uint32_t gain_last = trace != nullptr ? r->volume.load() : 0;

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
    // task drops the buffer anyway, so it does not wait for the mixer: a stop or restart request
    // kicks the group (reader_kick) rather than the task polling for it.
    xEventGroupWaitBitsWatched(r->events, RUN_BIT | BUF_EMPTY, HANDOVER_POLL_TICKS, handover_cancelled, r);
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
        if (trace != nullptr) {
            const audio_reader_trace_t event = {
                AUDIO_READER_TRACE_BUFFER, r->tag, r->file.path, 0, buf.data, gain_first, gain_last,
                r->file.volume.load()};
            trace(&event);
        }
    }
    if (r->req_buf_len == 0) {
        r->req_buf_len = out_len;
        return STEP_END;
    }
    return STEP_CONTINUE;
}

// ---------------------------------------------------------------- reader task

audio_reader_loop_pass_t audio_reader_get_loop_pass(audio_reader_handle_t r) {
    audio_reader_loop_pass_t pass = {0, 0, 0};
    if (r == nullptr || !r->file.available.load()) return pass;
    switch (r->file.format) {
        case AUDIO_FORMAT_ADPCM:
            pass.frames = r->end_frames;  // where the ready stage cuts a looping pass
            break;
        case AUDIO_FORMAT_OGG:
            pass.frames = reader_ogg_pass_frames(r);
            break;
        default:
            pass.frames = r->file.frames;
            break;
    }
    pass.ms = frames2ms(r, pass.frames);
    pass.file_ms = frames2ms(r, r->file.frames);
    return pass;
}

// Seeks to `position` for a new pass; false on failure.
static bool seek_pass(audio_decoder *r) {
    if (r->file.format == AUDIO_FORMAT_OGG) {
        if (reader_ogg_seek(r) != 0) {
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

void reader_task(void *arg) {
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
                    res = reader_pcm_step(r);
                    break;
                case AUDIO_FORMAT_ADPCM:
                    res = reader_adpcm_step(r);
                    break;
                case AUDIO_FORMAT_OGG:
                    res = reader_ogg_step(r);
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
