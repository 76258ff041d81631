// RIFF/WAVE header parsing.
//
// The parser sees only the first bytes of a file (at most 255) and walks its chunks until the
// "data" chunk. Malformed input is refused with one error line and -1; it never reads outside
// the given bytes, never divides by a field of the file that may be 0, and never loops: every
// position is computed in 64 bits, so a chunk size near 2^32 cannot wrap the position backwards.
#include "wav_header.h"

#include <string.h>

#include "audio_format.h"
#include "esp_log.h"

static const char *TAG = "wav_header";

static const uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

static uint16_t wav_read_u16(const uint8_t *p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

static uint32_t wav_read_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Fields of the "fmt " body. A field that lies (partly) beyond the chunk's own size reads as 0,
// so a short chunk never picks up bytes of the chunk that follows it.
static uint16_t fmt_u16(const uint8_t *body, uint32_t size, uint32_t offset) {
    return offset + 2 <= size ? wav_read_u16(body + offset) : 0;
}

static uint32_t fmt_u32(const uint8_t *body, uint32_t size, uint32_t offset) {
    return offset + 4 <= size ? wav_read_u32(body + offset) : 0;
}

// Chunk ids go into a log line; a control byte (a newline, say) would break the line.
static char wav_printable(uint8_t c) {
    return (c >= 0x20 && c < 0x7F) ? (char)c : '?';
}

int get_wav_info(const uint8_t *data, uint8_t len, wav_info_t *info) {
    if (info == NULL) return -1;
    // A stale record from an earlier parse must not pass for a format chunk seen in this one.
    memset(info, 0, sizeof *info);
    if (data == NULL || len <= 12) {
        ESP_LOGE(TAG, "Unexpected end of header");
        return -1;
    }
    if (memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "WAVE", 4) != 0) {
        ESP_LOGE(TAG, "data is not a valid .WAV file!");
        return -1;
    }

    const uint64_t end = len;
    uint64_t p = 12;
    uint32_t fact_samples = 0;
    uint32_t samples_per_block = 0;
    uint16_t raw_channels = 0;

    for (;;) {
        if (p + 8 >= end) {
            ESP_LOGE(TAG, "Unexpected end of header");
            return -1;
        }
        const uint8_t *hdr = data + p;
        const uint32_t ck_size = wav_read_u32(hdr + 4);
        const uint64_t b = p + 8;
        const uint8_t *body = data + b;

        if (memcmp(hdr, "fmt ", 4) == 0) {
            if (ck_size < 16 || ck_size > 40) {
                ESP_LOGE(TAG, "Data is not a valid .WAV file!");
                return -1;
            }
            if (b + ck_size >= end) {
                ESP_LOGE(TAG, "Unexpected end of header");
                return -1;
            }
            const uint16_t format_tag = fmt_u16(body, ck_size, 0);
            const uint16_t num_channels = fmt_u16(body, ck_size, 2);
            const uint32_t sample_rate = fmt_u32(body, ck_size, 4);
            const uint32_t bytes_per_second = fmt_u32(body, ck_size, 8);
            const uint16_t block_align = fmt_u16(body, ck_size, 12);
            const uint16_t bits_per_sample = fmt_u16(body, ck_size, 14);
            const uint16_t cb_size = fmt_u16(body, ck_size, 16);
            const uint16_t samples = fmt_u16(body, ck_size, 18);
            const uint32_t channel_mask = fmt_u32(body, ck_size, 20);
            const uint16_t sub_format = fmt_u16(body, ck_size, 24);

            info->audioFormat =
                (format_tag == WAVE_FORMAT_EXTENSIBLE && ck_size == 40) ? sub_format : format_tag;
            info->bits = (ck_size == 40 && samples != 0) ? samples : bits_per_sample;
            info->blockAlign = block_align;
            info->channels = num_channels;
            info->sampleRate = sample_rate;
            info->bitRate = bytes_per_second;
            raw_channels = num_channels;

            ESP_LOGI(TAG, "format tag size = %lu", (unsigned long)ck_size);
            ESP_LOGI(TAG, "FormatTag = 0x%x, NumChannels = %u, BitsPerSample = %u", (unsigned)format_tag,
                     (unsigned)num_channels, (unsigned)bits_per_sample);
            ESP_LOGI(TAG, "BlockAlign = %u, SampleRate = %lu, BytesPerSecond = %lu", (unsigned)block_align,
                     (unsigned long)sample_rate, (unsigned long)bytes_per_second);
            if (ck_size > 16) {
                if (info->audioFormat == AUDIO_FORMAT_PCM) {
                    ESP_LOGI(TAG, "cbSize = %d, ValidBitsPerSample = %d", (int)cb_size, (int)samples);
                } else if (info->audioFormat == AUDIO_FORMAT_ADPCM) {
                    ESP_LOGI(TAG, "cbSize = %d, SamplesPerBlock = %d", (int)cb_size, (int)samples);
                }
            }
            if (ck_size > 20) {
                ESP_LOGE(TAG, "ChannelMask = %lx, SubFormat = %d", (unsigned long)channel_mask,
                         (int)sub_format);
            }

            // Every size and duration below divides by these two; a file that states 0 for
            // either has no meaningful audio, so it is refused here with a line that says why.
            if (block_align == 0) {
                ESP_LOGE(TAG, "BlockAlign = 0 is not valid");
                return -1;
            }
            if (sample_rate == 0) {
                ESP_LOGE(TAG, "SampleRate = 0 is not valid");
                return -1;
            }
            if (info->audioFormat == AUDIO_FORMAT_PCM && num_channels != 0 && bits_per_sample != 0 &&
                block_align != (uint32_t)num_channels * ((bits_per_sample + 7u) / 8u)) {
                // The sample count divides the chunk by BlockAlign while the read limit counts
                // channels x bits: when the two disagree the reader would run past the audio.
                ESP_LOGE(TAG, "PCM BlockAlign = %u does not match %u channels of %u bits",
                         (unsigned)block_align, (unsigned)num_channels, (unsigned)bits_per_sample);
                return -1;
            }
            if (info->audioFormat == AUDIO_FORMAT_ADPCM) {
                // The decoder keeps state for two channels only; refuse more before anything
                // tries to decode them.
                if (num_channels > AUDIO_ADPCM_MAX_CHANNELS) {
                    ESP_LOGE(TAG, "IMA ADPCM with %u channels is not supported (at most %u)",
                             (unsigned)num_channels, (unsigned)AUDIO_ADPCM_MAX_CHANNELS);
                    return -1;
                }
                // A block is the channels' 4-byte headers followed by whole 4-byte groups per
                // channel; any other size would make the decoder lose track of block starts.
                if (num_channels != 0 && block_align % (AUDIO_ADPCM_GROUP_BYTES * num_channels) != 0) {
                    ESP_LOGE(TAG, "ADPCM BlockAlign = %u does not fit %u channels", (unsigned)block_align,
                             (unsigned)num_channels);
                    return -1;
                }
            }
            if (ck_size >= 20) {
                samples_per_block = samples;
                if (info->audioFormat == AUDIO_FORMAT_ADPCM && num_channels != 0 &&
                    (samples == 0 || samples > audio_adpcm_frames_per_block(block_align, num_channels))) {
                    // More samples per block than the block holds would overstate the length
                    // and the read limit; 0 would make every full block empty.
                    ESP_LOGE(TAG, "SamplesPerBlock = %u does not fit BlockAlign = %u", (unsigned)samples,
                             (unsigned)block_align);
                    return -1;
                }
            } else {
                // A chunk without the SamplesPerBlock field (older writers): the block size
                // fixes it, as it does for every IMA ADPCM block.
                samples_per_block = audio_adpcm_frames_per_block(block_align, num_channels);
            }
            p = b + ck_size;
            continue;
        }

        if (memcmp(hdr, "fact", 4) == 0) {
            if (ck_size < 4) {
                ESP_LOGE(TAG, "Data is not a valid .WAV file!");
                return -1;
            }
            p = b + 4;
            if (p >= end) {
                ESP_LOGE(TAG, "Unexpected end of header");
                return -1;
            }
            fact_samples = wav_read_u32(body);
            if (ck_size > 4) {
                p = b + ck_size;
                if (p >= end) {
                    ESP_LOGE(TAG, "Unexpected end of header");
                    return -1;
                }
            }
            continue;
        }

        if (memcmp(hdr, "data", 4) == 0) {
            if (info->channels == 0) {
                ESP_LOGE(TAG, "Data is not a valid .WAV file!");
                return -1;
            }
            if (ck_size == 0) {
                ESP_LOGE(TAG, "this .WAV file has no audio samples, probably is corrupt!");
                return -1;
            }
            const uint64_t block_align = info->blockAlign;  // not 0: refused with the format chunk
            uint64_t num_samples;
            if (info->audioFormat == AUDIO_FORMAT_PCM) {
                if (ck_size % block_align != 0) {
                    ESP_LOGE(TAG, "Data is not a valid .WAV file!");
                    return -1;
                }
                num_samples = ck_size / block_align;
            } else {
                const uint64_t blocks = ck_size / block_align;
                const uint64_t leftover = ck_size % block_align;
                const uint64_t header_bytes = (uint64_t)AUDIO_ADPCM_GROUP_BYTES * raw_channels;
                uint64_t last_block_samples;
                num_samples = samples_per_block * blocks;
                if (leftover > 0) {
                    if (leftover % header_bytes != 0) {
                        ESP_LOGE(TAG, "Data is not a valid .WAV file!");
                        return -1;
                    }
                    ESP_LOGI(TAG, "data chunk has %d bytes left over for final ADPCM block", (int)leftover);
                    last_block_samples = (uint64_t)(raw_channels ^ 3u) * (leftover - header_bytes) + 1;
                    num_samples += last_block_samples;
                } else {
                    last_block_samples = samples_per_block;
                }
                if (fact_samples != 0) {
                    const uint64_t fact = fact_samples;
                    const uint64_t half = fact / 2;
                    if (fact < num_samples && num_samples - last_block_samples < fact) {
                        ESP_LOGI(TAG, "total samples reduced %lu by FACT chunk",
                                 (unsigned long)(num_samples - fact));
                        num_samples = fact;
                    } else if (raw_channels == 2 && half < num_samples &&
                               num_samples - last_block_samples < half) {
                        ESP_LOGI(TAG, "num samples reduced %lu by [incorrect] FACT chunk",
                                 (unsigned long)(num_samples - half));
                        num_samples = half;
                    }
                }
            }
            if (num_samples == 0) {
                ESP_LOGE(TAG, "this .WAV file has no audio samples, probably is corrupt!");
                return -1;
            }
            ESP_LOGI(TAG, "num samples = %lu", (unsigned long)num_samples);
            uint64_t data_size = (uint64_t)info->channels * num_samples * info->bits / 8;
            // Only formats the reader refuses anyway can exceed 32 bits here; saturate rather
            // than let the size wrap to a small, plausible-looking number.
            if (data_size > UINT32_MAX) data_size = UINT32_MAX;
            info->dataSize = (uint32_t)data_size;
            info->dataShift = (uint32_t)b;
            return (int)b;
        }

        ESP_LOGI(TAG, "extra unknown chunk \"%c%c%c%c\" of %lu bytes", wav_printable(hdr[0]),
                 wav_printable(hdr[1]), wav_printable(hdr[2]), wav_printable(hdr[3]), (unsigned long)ck_size);
        p = b + ck_size + (ck_size & 1u);
        if (p >= end) {
            ESP_LOGE(TAG, "Unexpected end of header");
            return -1;
        }
    }
}
