// Audio reader: loading a file (the WAV header and the reader's limits; Ogg streams are opened
// in audio_reader_ogg.cpp), the file-name parameters and the release of a loaded file.
#include <cstdlib>
#include <cstring>

#include "adpcm-lib.h"
#include "audio_reader_private.h"
#include "esp_log.h"
#include "wav_header.h"

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

// Stops any play and releases the file. Fails, touching nothing, while a task still runs.
static esp_err_t wait_for_stop(audio_decoder *r) {
    if (!r->file.available.load()) return ESP_OK;
    if (r->task_state.load() != TASK_IDLE || !(get_bits(r) & TASK_DONE_BIT)) {
        if (r->task_state.load() != TASK_IDLE) audio_reader_stop(r, 0);
        if (!reader_wait_task_done(r, TASK_END_WAIT_TICKS)) {
            ESP_LOGE(TAG, "[%s] Failed to wait for TASK idle", r->tag);
            return ESP_FAIL;
        }
    }
    r->file.available.store(false);
    if (r->file.format == AUDIO_FORMAT_OGG && r->codec_ctx != nullptr) reader_ogg_clear(r);
    if (r->file.file != nullptr) {
        fclose(r->file.file);
        r->file.file = nullptr;
    }
    free(r->codec_ctx);
    r->codec_ctx = nullptr;
    return ESP_OK;
}

void reader_loaded(audio_decoder *r) {
    r->file.available.store(true);
    if (r->task_state.load() != TASK_IDLE) ESP_LOGE(TAG, "[%s] Task is not IDLE at loading", r->tag);
    r->task_state.store(TASK_IDLE);
    ESP_LOGI(TAG, "[%s] Len = %lu", r->tag, (unsigned long)r->file.length_ms.load());
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
        if (info.bits != AUDIO_PCM_BITS) {
            ESP_LOGE(TAG, "[%s] Not supported PCM file. Bits=%u", r->tag, (unsigned)info.bits);
            return ESP_FAIL;
        }
    } else if (info.audioFormat == AUDIO_FORMAT_ADPCM) {
        if (info.bits != AUDIO_ADPCM_BITS) {
            ESP_LOGE(TAG, "[%s] Not supported ADPCM file. Bits=%u", r->tag, (unsigned)info.bits);
            return ESP_FAIL;
        }
        // The decoder state holds two channels, and a block must hold more than its headers.
        if (info.channels == 0 || info.channels > AUDIO_ADPCM_MAX_CHANNELS) {
            ESP_LOGE(TAG, "[%s] Not supported ADPCM file. Channels=%u", r->tag, (unsigned)info.channels);
            return ESP_FAIL;
        }
        if (info.blockAlign <= AUDIO_ADPCM_GROUP_BYTES * info.channels) {
            ESP_LOGE(TAG, "[%s] Not supported ADPCM file. Align=%u", r->tag, (unsigned)info.blockAlign);
            return ESP_FAIL;
        }
    } else {
        ESP_LOGE(TAG, "[%s] Not supported format = %u", r->tag, (unsigned)info.audioFormat);
        return ESP_FAIL;
    }
    if (!audio_rate_supported(info.sampleRate)) {
        ESP_LOGE(TAG, "[%s] Not supported sample rate = %lu", r->tag, (unsigned long)info.sampleRate);
        return ESP_FAIL;
    }
    if (!audio_channels_supported(info.channels, r->buf_len.load())) {
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
        const uint64_t group = (uint64_t)AUDIO_ADPCM_GROUP_BYTES * info.channels;
        const uint64_t rest = r->file.frames % per_block;
        uint64_t extent = (uint64_t)(r->file.frames / per_block) * info.blockAlign;
        if (rest > 0) extent += group + (rest - 1 + 7) / 8 * group;
        r->file.data_len = extent > UINT32_MAX ? UINT32_MAX : (uint32_t)extent;
    }
    r->file.length_ms.store(frames2ms(r, r->file.frames));
    ESP_LOGI(TAG, "[%s] Header len = %u", r->tag, (unsigned)r->file.header_len);
    reader_loaded(r);
    return ESP_OK;
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
    esp_err_t result = is_ogg ? reader_load_ogg(r, path) : load_wav(r, path);

    uint32_t out = (uint32_t)r->buf_len.load() * r->file.channels;
    r->out_buf_len.store(out <= AUDIO_MAX_BUFFER_BYTES ? (uint16_t)out : 0);
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
