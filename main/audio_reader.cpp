// Audio reader: the interface, and the control of the reader task (start, restart, delayed
// stop, the "audio_delay" timer, the trim of the ready slot). Loading is in audio_reader_load.cpp,
// the task and its ready stage in audio_reader_task.cpp, the decoders in audio_reader_wav.cpp
// and audio_reader_ogg.cpp.
#include <cstdlib>
#include <cstring>

#include "audio_reader_private.h"
#include "esp_log.h"

#define GAIN_PER_PERCENT 10737418u

std::atomic<audio_reader_trace_hook_t> reader_trace_hook{nullptr};

void audio_reader_set_trace_hook(audio_reader_trace_hook_t hook) {
    reader_trace_hook.store(hook);
}

static void trace_request(audio_reader_handle_t r, audio_reader_trace_kind_t kind, uint32_t fade_ms) {
    const audio_reader_trace_hook_t hook = reader_trace_hook.load(std::memory_order_relaxed);
    if (hook == nullptr) return;
    const audio_reader_trace_t event = {kind, r->tag, r->file.path,         fade_ms, nullptr,
                                        0,    0,      r->file.volume.load()};
    hook(&event);
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

// Waits until the task that ended (or is ending) has set its done bit.
bool reader_wait_task_done(audio_decoder *r, TickType_t ticks) {
    return (xEventGroupWaitBits(r->events, TASK_DONE_BIT, pdFALSE, pdTRUE, ticks) & TASK_DONE_BIT) != 0;
}

static esp_err_t run_task(audio_reader_handle_t r, bool prepare_only) {
    std::unique_lock<std::mutex> lock(r->state_lock);
    if (r->ending || (r->task_state.load() == TASK_IDLE && !(get_bits(r) & TASK_DONE_BIT))) {
        // The task is on its way out: a restart request would be lost, so wait for its end and
        // start a new one.
        lock.unlock();
        if (!reader_wait_task_done(r, TASK_END_WAIT_TICKS)) {
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
    vEventGroupKick(r->events);
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

esp_err_t audio_reader_play(audio_reader_handle_t r, bool loop, uint16_t fadein_ms,
                            uint16_t end_notification_ms) {
    if (r == nullptr) return ESP_FAIL;
    if (!r->file.available.load()) return ESP_ERR_NOT_SUPPORTED;
    trace_request(r, AUDIO_READER_TRACE_PLAY, fadein_ms);
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
        vEventGroupKick(r->events);
    } else {
        xEventGroupSetBits(r->events, RUN_BIT);
    }
    return ESP_OK;
}

esp_err_t audio_reader_stop(audio_reader_handle_t r, uint32_t fadeout_ms) {
    if (r == nullptr) return ESP_FAIL;
    trace_request(r, AUDIO_READER_TRACE_STOP, fadeout_ms);
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
    if (a > 200) a = 100;
    uint32_t v = a * fv / 100;
    // A volume of 0, or one that comes to 0 with the file's own, is silence. Taken for "no
    // volume given" (full volume), a dynamic volume at its low end played at full volume.
    uint32_t gain = v == 0 ? 0 : (v > 200 || v == 100) ? AUDIO_UNITY_VOLUME : v * GAIN_PER_PERCENT;
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
    if (out > AUDIO_MAX_BUFFER_BYTES) return;
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
