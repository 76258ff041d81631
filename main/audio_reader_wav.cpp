// Audio reader: the decode steps of WAV data, 16-bit PCM and IMA ADPCM.
#include <cstdlib>
#include <cstring>

#include "adpcm-lib.h"
#include "audio_reader_private.h"
#include "esp_log.h"

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

int reader_pcm_step(audio_decoder *r) {
    buf_item_t buf;
    int res = read_buf(r, r->req_buf_len, 2u * r->file.channels, &buf);
    if (res != STEP_CONTINUE) return res;
    return reader_set_ready_buf(r, buf);
}

int reader_adpcm_step(audio_decoder *r) {
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
                result = reader_set_ready_buf(r, {out, (uint16_t)filled});
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
        result = reader_set_ready_buf(r, {out, (uint16_t)req});
        if (result != STEP_CONTINUE) break;
    }
    free(in.data);
    if (result != STEP_CONTINUE && r->temp_buf.data != nullptr) {
        free(r->temp_buf.data);
        r->temp_buf = {nullptr, 0};
    }
    return result;
}
