// Fuzz target: the incremental IMA ADPCM decoder (and the whole-block decoder) on arbitrary
// bytes, in arbitrary slices and request sizes, with exactly sized buffers.
//
// Input layout: byte 0 channels (0..3), bytes 1-2 block size, byte 3 request size, byte 4 slice
// size seed (its low bit also switches the encoder's noise shaping); the rest is the compressed stream.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "adpcm-lib.h"

static void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const int channels = data[0] % 4;
    const int blocksize = data[1] | (data[2] << 8);
    const uint16_t req = (uint16_t)(data[3] * 5);
    const size_t slice_seed = data[4];
    const int lookahead = data[3] % 6;
    const int noise_shaping = data[4] & 1;
    data += 5;
    size -= 5;

    const int out_channels = channels > 0 ? channels : 1;
    const size_t room = ((size_t)req + 8) * (size_t)out_channels;
    adcm_state_t state;
    memset(&state, 0, sizeof state);
    size_t offset = 0;
    size_t pending_len = 0;
    uint8_t *pending = NULL;
    for (int calls = 0; calls < 100000; ++calls) {
        // Next slice appended to what the decoder left over, in an exactly sized heap buffer.
        const size_t slice = offset < size ? 1 + (slice_seed * (size_t)(calls + 1)) % 300 : 0;
        const size_t add = slice < size - offset ? slice : size - offset;
        uint8_t *in = (uint8_t *)malloc(pending_len + add + 1);
        int16_t *out = (int16_t *)malloc(room * sizeof(int16_t));
        if (in == NULL || out == NULL) {
            free(in);
            free(out);
            break;
        }
        if (pending_len) memcpy(in, pending, pending_len);
        memcpy(in + pending_len, data + offset, add);
        offset += add;
        const size_t in_len = pending_len + add;
        const uint8_t *p = in;
        size_t len = in_len;
        const int frames = adpcm_decode_block(req, out, &p, &len, channels, blocksize, &state);
        check(frames >= 0 && (size_t)frames <= (size_t)req + 8, "frames within req + 8");
        check(len <= in_len && p == in + (in_len - len), "pointer and length advance together");
        const size_t used = in_len - len;
        free(pending);
        pending = NULL;
        pending_len = len;
        if (len) {
            pending = (uint8_t *)malloc(len);
            if (pending)
                memcpy(pending, p, len);
            else
                pending_len = 0;
        }
        free(in);
        free(out);
        if (used == 0) {
            if (offset >= size) break;
            // No progress with a whole group pending: an invalid header (or channel count); drop
            // the pending bytes, as a reader drops a slice that decodes to nothing.
            if (channels < 1 || channels > 2 || pending_len >= 4u * (size_t)channels) {
                free(pending);
                pending = NULL;
                pending_len = 0;
            }
        }
    }
    free(pending);

    // One whole block through the whole-block decoder, output sized for what it can produce.
    if (channels >= 1 && channels <= 2 && size >= 4u * channels) {
        const size_t groups = (size - 4u * channels) / (4u * channels);
        int16_t *out = (int16_t *)malloc((1 + 8 * groups) * channels * sizeof(int16_t));
        if (out) {
            const int frames = adpcm_decode_block_orig(out, data, size, channels);
            check(frames == 0 || frames == (int)(1 + 8 * groups), "whole-block frame count");
            free(out);
        }
    }

    // The encoder on the same bytes read as 16-bit samples: one block, decoded back.
    if (channels >= 1 && channels <= 2) {
        int frames = (int)(size / (2u * channels));
        if (frames > 129) frames = 129;  // a few groups: the lookahead search is costly
        if (frames >= 1) {
            int16_t *pcm = (int16_t *)malloc((size_t)frames * channels * sizeof(int16_t));
            const size_t bytes = adpcm_block_bytes(channels, frames);
            uint8_t *block = (uint8_t *)malloc(bytes);
            const size_t groups = (bytes - 4u * channels) / (4u * channels);
            int16_t *decoded = (int16_t *)malloc((1 + 8 * groups) * channels * sizeof(int16_t));
            void *ctx = adpcm_create_context(channels, lookahead, noise_shaping, NULL);
            if (pcm && block && decoded && ctx) {
                memcpy(pcm, data, (size_t)frames * channels * sizeof(int16_t));
                size_t out_size = bytes;
                check(adpcm_encode_block(ctx, block, &out_size, pcm, frames) == 1 && out_size == bytes,
                      "encoder fills the block it announced");
                const int n = adpcm_decode_block_orig(decoded, block, out_size, channels);
                check(n == (int)(1 + 8 * groups) && n >= frames, "encoded block decodes whole");
                for (int c = 0; c < channels; ++c)
                    check(decoded[c] == pcm[c], "first frame exact");
            }
            adpcm_free_context(ctx);
            free(pcm);
            free(block);
            free(decoded);
        }
    }
    return 0;
}
