// Audio reader: Ogg Vorbis through Tremor, the one part of the reader that knows it. The decoder
// reads the reader's open file (`file.file`) through callbacks.
#include <tremor/ivorbisfile.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio_reader_private.h"
#include "esp_log.h"

// Nothing read before the length the file had when it was opened means the file was cut (or a
// read failed) meanwhile: reported as an end, it sent the decoder's search for the last page
// round for ever, as the length it had seeked to said there was more. errno tells the decoder
// that this is a read error.
static size_t ogg_read_cb(void *ptr, size_t size, size_t nmemb, void *ds) {
    auto *r = (audio_decoder *)ds;
    if (r->file.file == nullptr) return 0;
    const size_t n = fread(ptr, size, nmemb, r->file.file);
    if (n == 0 && size * nmemb > 0 && (ferror(r->file.file) || ftello(r->file.file) < r->ogg_bytes))
        errno = EIO;
    return n;
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

int reader_ogg_step(audio_decoder *r) {
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
    return reader_set_ready_buf(r, {buf, (uint16_t)req});
}

// A pass ends with the stream, and the step drops the partial buffer at its end: a pass is the
// whole output buffers the stream fills.
uint32_t reader_ogg_pass_frames(const audio_decoder *r) {
    const uint32_t per_buffer = r->out_buf_len.load() / frame_bytes(r);
    return per_buffer == 0 ? 0 : r->file.frames / per_buffer * per_buffer;
}

int reader_ogg_seek(audio_decoder *r) {
    auto *vf = (OggVorbis_File *)r->codec_ctx;
    uint32_t pos = r->position.load();
    return pos != 0 ? ov_pcm_seek(vf, pos / frame_bytes(r)) : ov_raw_seek(vf, 0);
}

// Releases the decoder state; closes the file through the close callback when it is still open.
void reader_ogg_clear(audio_decoder *r) {
    ov_clear((OggVorbis_File *)r->codec_ctx);
}

esp_err_t reader_load_ogg(audio_decoder *r, const char *path) {
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
    r->ogg_bytes = fseeko(r->file.file, 0, SEEK_END) == 0 ? ftello(r->file.file) : 0;
    rewind(r->file.file);
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
    } else if (!audio_rate_supported((uint32_t)vi->rate)) {
        ESP_LOGE(TAG, "[%s] Not supported sample rate = %lu", r->tag, (unsigned long)vi->rate);
        result = ESP_FAIL;
    } else if (!audio_channels_supported((uint32_t)vi->channels, r->buf_len.load())) {
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
    r->file.length_ms.store(frames2ms(r, r->file.data_len));
    reader_loaded(r);
    return ESP_OK;
}
