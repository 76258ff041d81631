// The mixer task: takes one buffer per connected reader per cycle, sums them, applies the
// master volume with saturation and writes the result to the output device.
//
// Fields that other threads write (volume, input formats, inputs, the device handle, the
// status callback, task_run) are atomics read by the task; the stream format is only recorded.
#include "mixer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "audio_ll.h"
#include "esp_log.h"
#include "freertos/FreeRTOS.h"
#include "freertos/task.h"

static const char *TAG = "MIXER";

struct mixer {
    std::atomic<uint16_t> stream_samplerate;
    std::atomic<uint8_t> stream_channels;
    std::atomic<uint16_t> samplerate[MIXER_MAX_INPUTS];
    std::atomic<uint8_t> channels[MIXER_MAX_INPUTS];
    std::atomic<bool> task_run;
    std::atomic<TaskHandle_t> task_handle;
    std::atomic<audio_reader_handle_t> audio_handle[MIXER_MAX_INPUTS];
    uint8_t *outbuf;
    uint16_t outbuf_len;
    int32_t *tempbuf;
    std::atomic<mixer_handle_t> i2s;
    bool last_status;  // mixer task only
    std::atomic<uint16_t> volume;
    std::atomic<mixer_status_callback_t> status_callback;
};
typedef struct mixer mixer_t;

static std::atomic<mixer_trace_hook_t> s_trace_hook{nullptr};

void mixer_set_trace_hook(mixer_trace_hook_t hook) {
    s_trace_hook.store(hook);
}

static void set_status(mixer_t *m, bool status) {
    if (m->last_status == status) return;
    m->last_status = status;
    mixer_status_callback_t cb = m->status_callback.load();
    if (cb != nullptr) cb(status);
}

static void mixer_task(void *arg) {
    auto *m = (mixer_t *)arg;
    buf_item_t pending[MIXER_MAX_INPUTS] = {};
    bool channel_error_logged = false;
    const uint32_t samples = m->outbuf_len / 2;
    auto *out = (int16_t *)m->outbuf;

    while (m->task_run.load()) {
        auto i2s = (i2s_ll_handle_t)m->i2s.load();
        if (i2s == nullptr) {
            vTaskDelay(10);
            continue;
        }

        bool have_data = false;
        for (int id = 0; id < MIXER_MAX_INPUTS; id++) {
            audio_reader_handle_t reader = m->audio_handle[id].load();
            if (reader != nullptr && pending[id].data == nullptr) pending[id] = audio_reader_get_data(reader);
            if (pending[id].data == nullptr) continue;
            uint32_t limit = (uint32_t)m->outbuf_len * m->channels[id].load();
            if (pending[id].len > limit) {
                ESP_LOGW(TAG, "Cut wav buffer id=%u, buf_len=%u", (unsigned)id, (unsigned)pending[id].len);
                pending[id].len = (uint16_t)limit;
            }
            have_data = true;
        }
        if (mixer_trace_hook_t trace = s_trace_hook.load(std::memory_order_relaxed); trace != nullptr)
            trace(pending, MIXER_MAX_INPUTS, m->volume.load());

        if (!have_data) {
            set_status(m, false);
            // Near-silent rather than zero samples keep the output device fed while idle.
            for (uint32_t k = 0; k < samples; k++)
                out[k] = 1;
            i2s_ll_write(i2s, (char *)m->outbuf, m->outbuf_len);
            vTaskDelay(1);
            continue;
        }

        set_status(m, true);
        memset(m->tempbuf, 0, samples * sizeof(int32_t));
        for (int id = 0; id < MIXER_MAX_INPUTS; id++) {
            buf_item_t &item = pending[id];
            if (item.data == nullptr) continue;
            uint8_t ch = m->channels[id].load();
            if (ch == 1) {
                uint32_t n = item.len / 2;
                if (n > samples) n = samples;
                for (uint32_t k = 0; k < n; k++)
                    m->tempbuf[k] += item.data[k];
            } else if (ch == 2) {
                // Only the first channel of each frame is mixed.
                uint32_t n = item.len / 4;
                if (n > samples) n = samples;
                for (uint32_t k = 0; k < n; k++)
                    m->tempbuf[k] += item.data[2 * k];
            } else if (item.len > 0 && !channel_error_logged) {
                channel_error_logged = true;
                ESP_LOGE(TAG, "Wrong number of channels, id=%u, ch=%u", (unsigned)id, (unsigned)ch);
            }
            free(item.data);
            item = {nullptr, 0};
        }

        const int32_t volume = m->volume.load();
        for (uint32_t k = 0; k < samples; k++) {
            int32_t v = (volume * m->tempbuf[k]) / 256;
            if (v > 32767) v = 32767;
            if (v < -32767) v = -32767;
            out[k] = (int16_t)v;
        }
        i2s_ll_write(i2s, (char *)m->outbuf, m->outbuf_len);
    }
    for (auto &item : pending)
        free(item.data);
    vTaskDelete(nullptr);
}

mixer_handle_t mixer_init(mixer_stream_cfg_t *config) {
    if (config == nullptr) return nullptr;
    // The output buffer length is a 16-bit byte count of whole samples.
    if (config->buffer_len <= 0 || config->buffer_len > 65534 || (config->buffer_len & 1) != 0) {
        ESP_LOGE(TAG, "Input validation fail(line %d)", 120);
        return nullptr;
    }
    auto *m = new (std::nothrow) mixer_t();
    if (m == nullptr) {
        ESP_LOGE(TAG, "calloc failed");
        return nullptr;
    }
    m->outbuf_len = (uint16_t)config->buffer_len;
    m->last_status = false;
    m->volume.store(64);
    m->outbuf = (uint8_t *)calloc(m->outbuf_len, 1);
    if (m->outbuf == nullptr) {
        ESP_LOGE(TAG, "Failed to audio_calloc of mixer->outbuf. (line %d)", 225);
        delete m;
        return nullptr;
    }
    m->tempbuf = (int32_t *)calloc(m->outbuf_len / 2, sizeof(int32_t));
    if (m->tempbuf == nullptr) {
        ESP_LOGE(TAG, "Failed to audio_calloc of mixer->tempbuf. (line %d)", 231);
        free(m->outbuf);
        delete m;
        return nullptr;
    }
    m->task_run.store(true);
    TaskHandle_t handle = nullptr;
    BaseType_t ret = xTaskCreatePinnedToCore(mixer_task, "mixer", 3072, m, (UBaseType_t)config->task_prio,
                                             &handle, config->task_core);
    if (ret != pdPASS) {
        ESP_LOGE(TAG, "Error create task ret = %d", (int)ret);
        free(m->tempbuf);
        free(m->outbuf);
        delete m;
        return nullptr;
    }
    m->task_handle.store(handle);
    return m;
}

esp_err_t mixer_deinit(mixer_handle_t self) {
    if (self == nullptr) return ESP_FAIL;
    self->task_run.store(false);
    // The task ends within one cycle (a write paces it by at most one buffer's play time).
    while (eTaskGetState(self->task_handle.load()) == eRunning)
        vTaskDelay(1);
    free(self->outbuf);
    free(self->tempbuf);
    delete self;
    return ESP_OK;
}

esp_err_t mixer_connect_element(mixer_handle_t self, int id, audio_reader_handle_t audio_handle) {
    if (self == nullptr || audio_handle == nullptr || id < 0 || id >= MIXER_MAX_INPUTS) {
        ESP_LOGE(TAG, "Input validation fail(line %d)", 154);
        return ESP_FAIL;
    }
    self->audio_handle[id].store(audio_handle);
    return ESP_OK;
}

esp_err_t mixer_set_master_volume(mixer_handle_t self, uint8_t val) {
    if (self == nullptr || val == 0) {
        ESP_LOGE(TAG, "Input validation fail(line %d)", 167);
        return ESP_FAIL;
    }
    self->volume.store(val);
    ESP_LOGI(TAG, "Master volume is set to %u", (unsigned)val);
    return ESP_OK;
}

esp_err_t mixer_set_stream_info(mixer_handle_t self, uint16_t sample_rate, uint8_t ch) {
    if (self == nullptr) {
        ESP_LOGE(TAG, "mixer is NULL(line %d)", 180);
        return ESP_FAIL;
    }
    self->stream_samplerate.store(sample_rate);
    self->stream_channels.store(ch);
    // The device serialises the stream reopen against the mixer task's writes.
    i2s_ll_set_stream_data((i2s_ll_handle_t)self->i2s.load(), sample_rate, 16, ch);
    ESP_LOGI(TAG, "stream info ch=%d, rate=%u", (int)ch, (unsigned)sample_rate);
    return ESP_OK;
}

esp_err_t mixer_set_file_info(mixer_handle_t self, int id, uint16_t sample_rate, uint8_t ch) {
    if (self == nullptr) {
        ESP_LOGE(TAG, "mixer is NULL(line %d)", 197);
        return ESP_FAIL;
    }
    // Ids outside the input table are refused like the other invalid inputs.
    if (id < 0 || id >= MIXER_MAX_INPUTS) {
        ESP_LOGE(TAG, "Input validation fail(line %d)", 199);
        return ESP_FAIL;
    }
    self->samplerate[id].store(sample_rate);
    self->channels[id].store(ch);
    ESP_LOGI(TAG, "file info id=%d, ch=%d", id, (int)ch);
    return ESP_OK;
}

esp_err_t mixer_set_i2s_handler(mixer_handle_t self, mixer_handle_t i2s) {
    if (self == nullptr) return ESP_FAIL;
    self->i2s.store(i2s);
    return ESP_OK;
}

esp_err_t mixer_set_status_handler(mixer_handle_t self, mixer_status_callback_t callback) {
    if (self == nullptr) return ESP_FAIL;
    self->status_callback.store(callback);
    return ESP_OK;
}

esp_err_t mixer_get_info(mixer_handle_t self, mixer_info_t *info) {
    if (self == nullptr || info == nullptr) return ESP_FAIL;
    info->stream_samplerate = self->stream_samplerate.load();
    info->stream_channels = self->stream_channels.load();
    for (int i = 0; i < MIXER_MAX_INPUTS; i++) {
        info->samplerate[i] = self->samplerate[i].load();
        info->channels[i] = self->channels[i].load();
    }
    return ESP_OK;
}
