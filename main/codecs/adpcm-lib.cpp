// IMA ADPCM (WAVE format 0x11): an incremental decoder, a whole-block decoder and an encoder.
//
// Block layout: per channel a 4-byte header (int16 first sample, step index 0..88, a reserved
// 0 byte), then groups of 4 bytes per channel in channel order, two samples per byte, low
// nibble first. Both decoders check every header before using it and never read or write
// outside the bounds their callers give; the decoders do not log.
#include "adpcm-lib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static constexpr uint16_t step_table[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

static constexpr int index_table[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// The reader allocates the decoder state by this size.
static_assert(sizeof(adcm_state_t) == 16, "adcm_state_t layout");

static constexpr int MAX_INDEX = 88;
static const int MAX_CHANNELS = AUDIO_ADPCM_MAX_CHANNELS;

static constexpr int clamp_index(int index) {
    return index < 0 ? 0 : (index > MAX_INDEX ? MAX_INDEX : index);
}

static int32_t clamp_sample(int32_t s) {
    return s < -32768 ? -32768 : (s > 32767 ? 32767 : s);
}

// The decoding step's two results for every step index and nibble, worked out once: the
// difference it adds and the step index it leads to. A decoder pass looks both up instead of
// testing the nibble's bits one by one, which made decoding the largest cost after Vorbis.
struct nibble_tables {
    int32_t diff[MAX_INDEX + 1][16];
    uint8_t next[MAX_INDEX + 1][16];
};

static constexpr nibble_tables make_nibble_tables() {
    nibble_tables t{};
    for (int index = 0; index <= MAX_INDEX; ++index) {
        for (unsigned nibble = 0; nibble < 16; ++nibble) {
            const int32_t step = step_table[index];
            int32_t diff = step >> 3;
            if (nibble & 1) diff += step >> 2;
            if (nibble & 2) diff += step >> 1;
            if (nibble & 4) diff += step;
            if (nibble & 8) diff = -diff;
            t.diff[index][nibble] = diff;
            t.next[index][nibble] = (uint8_t)clamp_index(index + index_table[nibble & 7]);
        }
    }
    return t;
}

static constexpr nibble_tables NIBBLE = make_nibble_tables();

// One decoding step: the sample that `nibble` produces from `*pcm` and `*index` (0..88), which it
// updates.
static int16_t decode_nibble(int32_t *pcm, int *index, unsigned nibble) {
    *pcm = clamp_sample(*pcm + NIBBLE.diff[*index][nibble & 15]);
    *index = NIBBLE.next[*index][nibble & 15];
    return (int16_t)*pcm;
}

// A channel header is usable when its step index is 0..88 and its reserved byte is 0.
static bool header_valid(const uint8_t *h) {
    return (int8_t)h[2] >= 0 && (int8_t)h[2] <= MAX_INDEX && h[3] == 0;
}

// Decodes one group (4 bytes per channel, 8 frames) into `out`, interleaved.
static void decode_group(const uint8_t *in, int16_t *out, int channels, int32_t *pcm, int *index) {
    for (int c = 0; c < channels; ++c) {
        const uint8_t *bytes = in + 4 * c;
        for (int k = 0; k < 4; ++k) {
            out[(2 * k) * channels + c] = decode_nibble(&pcm[c], &index[c], bytes[k] & 0x0F);
            out[(2 * k + 1) * channels + c] = decode_nibble(&pcm[c], &index[c], bytes[k] >> 4);
        }
    }
}

int adpcm_decode_block(uint16_t req_samples, int16_t *outbuf, const uint8_t **inbuf_p, size_t *inbuf_len,
                       int channels, int blocksize, adcm_state_t *adcm_state) {
    if (channels <= 0 || blocksize <= 0) return 0;
    // The state holds two channels; the header parser refuses more, this keeps the decoder safe
    // on its own.
    if (channels > MAX_CHANNELS || outbuf == NULL || inbuf_p == NULL || *inbuf_p == NULL ||
        inbuf_len == NULL || adcm_state == NULL)
        return 0;

    const uint32_t group_bytes = AUDIO_ADPCM_GROUP_BYTES * (uint32_t)channels;
    const uint8_t *in = *inbuf_p;
    size_t groups = *inbuf_len / group_bytes;
    int32_t pcm[MAX_CHANNELS];
    int index[MAX_CHANNELS];
    for (int c = 0; c < channels; ++c) {
        pcm[c] = clamp_sample(adcm_state->pcmdata[c]);
        index[c] = clamp_index(adcm_state->index[c]);
    }
    uint32_t bytesleft = adcm_state->bytesleft;
    int16_t *out = outbuf;
    int frames = 0;

    // The caller's output room is req_samples + 8 frames. At the top of the loop fewer than
    // req_samples frames are written (or none, for a request of 0), so one header frame plus one
    // group of 8 always fits.
    while (groups > 0) {
        if (bytesleft == 0) {
            for (int c = 0; c < channels; ++c) {
                if (!header_valid(in + 4 * c)) return 0;
            }
            for (int c = 0; c < channels; ++c) {
                const uint8_t *h = in + 4 * c;
                pcm[c] = (int16_t)(h[0] | (h[1] << 8));
                index[c] = (int8_t)h[2];
                out[c] = (int16_t)pcm[c];
            }
            in += group_bytes;
            --groups;
            out += channels;
            frames += 1;
            // A block size that is not a whole number of groups past the header cannot make the
            // count wrap: the block simply ends and the next group is a header again.
            bytesleft = (uint32_t)blocksize > group_bytes ? (uint32_t)blocksize - group_bytes : 0;
            // A request for 0 frames: the header frame is progress enough, and a group more
            // would pass the 8 frames of room.
            if (frames > (int)req_samples) break;
            if (bytesleft == 0) {
                if (frames >= (int)req_samples) break;
                continue;
            }
            if (groups == 0) break;
        }
        decode_group(in, out, channels, pcm, index);
        in += group_bytes;
        --groups;
        out += 8 * channels;
        bytesleft = bytesleft > group_bytes ? bytesleft - group_bytes : 0;
        frames += 8;
        if (frames >= (int)req_samples) break;
    }

    for (int c = 0; c < channels; ++c) {
        adcm_state->pcmdata[c] = pcm[c];
        adcm_state->index[c] = (int8_t)index[c];
    }
    adcm_state->bytesleft = bytesleft;
    *inbuf_len -= (size_t)(in - *inbuf_p);
    *inbuf_p = in;
    return frames;
}

int adpcm_decode_block_orig(int16_t *outbuf, const uint8_t *inbuf, size_t inbufsize, int channels) {
    if (channels <= 0 || channels > MAX_CHANNELS || outbuf == NULL || inbuf == NULL) return 0;
    const size_t group_bytes = AUDIO_ADPCM_GROUP_BYTES * (size_t)channels;
    if (inbufsize < group_bytes) return 0;
    int32_t pcm[MAX_CHANNELS];
    int index[MAX_CHANNELS];
    for (int c = 0; c < channels; ++c) {
        const uint8_t *h = inbuf + 4 * c;
        if (!header_valid(h)) return 0;
        pcm[c] = (int16_t)(h[0] | (h[1] << 8));
        index[c] = (int8_t)h[2];
        outbuf[c] = (int16_t)pcm[c];
    }
    inbuf += group_bytes;
    inbufsize -= group_bytes;
    int16_t *out = outbuf + channels;
    const size_t groups = inbufsize / group_bytes;
    for (size_t g = 0; g < groups; ++g) {
        decode_group(inbuf, out, channels, pcm, index);
        inbuf += group_bytes;
        out += 8 * channels;
    }
    return (int)(1 + 8 * groups);
}

// ---------------------------------------------------------------- encoder
//
// The encoder picks, for every sample, the nibble whose decoded value comes closest to the
// input. With lookahead > 0 it also weighs how each choice steers the next samples: it tries a
// few nibbles around the closest one at every level of a short search and keeps the one whose
// path has the least total squared error. With noise shaping it feeds half of the previous
// sample's quantisation error back (first order), which moves noise towards high frequencies.

// Deeper searches cost 3^depth decodes per sample and gain almost nothing.
static const int MAX_LOOKAHEAD = 5;

typedef struct {
    int32_t pcmdata;  // the decoder's predictor after the last encoded sample
    int index;        // the decoder's step index
    int32_t error;    // last quantisation error, for noise shaping
} adpcm_channel_t;

typedef struct {
    int channels;
    int lookahead;
    int noise_shaping;
    bool started;  // the step index has been seeded (from initial_deltas or the first block)
    int32_t initial_deltas[MAX_CHANNELS];
    adpcm_channel_t ch[MAX_CHANNELS];
} adpcm_context_t;

// The step index whose step size is closest to `delta`.
static int index_for_delta(int32_t delta) {
    if (delta < 0) delta = -delta;
    int best = 0;
    for (int i = 1; i <= MAX_INDEX; ++i) {
        if (abs((int)step_table[i] - delta) < abs((int)step_table[best] - delta)) best = i;
    }
    return best;
}

static void set_decode_parameters(adpcm_context_t *ctx, const int32_t init_pcmdata[2],
                                  const int8_t init_index[2]) {
    for (int c = 0; c < ctx->channels; ++c) {
        ctx->ch[c].pcmdata = clamp_sample(init_pcmdata[c]);
        ctx->ch[c].index = clamp_index(init_index[c]);
    }
}

static void get_decode_parameters(const adpcm_context_t *ctx, int32_t init_pcmdata[2], int8_t init_index[2]) {
    // The context holds at most two channels (adpcm_create_context refuses more); the bound says
    // so to the compiler too.
    for (int c = 0; c < ctx->channels && c < MAX_CHANNELS; ++c) {
        init_pcmdata[c] = ctx->ch[c].pcmdata;
        init_index[c] = (int8_t)ctx->ch[c].index;
    }
}

// The nibble whose decoded value is closest to `target` from predictor `pcm` with `index`.
static unsigned closest_nibble(int32_t pcm, int index, int32_t target) {
    const unsigned sign = target < pcm ? 8u : 0u;
    unsigned best = sign;
    int64_t best_err = -1;
    for (unsigned mag = 0; mag < 8; ++mag) {
        int32_t p = pcm;
        int i = index;
        decode_nibble(&p, &i, sign | mag);
        const int64_t e = (int64_t)(p - target) * (p - target);
        if (best_err < 0 || e < best_err) {
            best_err = e;
            best = sign | mag;
        }
    }
    return best;
}

// Least total squared error of encoding `count` samples (stride `stride`) from the given
// decoder state, searching `depth` levels ahead; the first nibble of the best path goes to
// `best_nibble` when it is not null.
static int64_t minimum_error(int32_t pcm, int index, const int16_t *in, int stride, int count, int depth,
                             unsigned *best_nibble) {
    const int32_t target = in[0];
    const unsigned closest = closest_nibble(pcm, index, target);
    unsigned candidates[4];
    int n = 0;
    const unsigned sign = closest & 8u, mag = closest & 7u;
    candidates[n++] = closest;
    if (mag > 0) candidates[n++] = sign | (mag - 1);
    if (mag < 7) candidates[n++] = sign | (mag + 1);
    if (mag == 0) candidates[n++] = sign ^ 8u;

    int64_t best_err = -1;
    for (int k = 0; k < n; ++k) {
        int32_t p = pcm;
        int i = index;
        decode_nibble(&p, &i, candidates[k]);
        int64_t err = (int64_t)(p - target) * (p - target);
        if (depth > 0 && count > 1)
            err += minimum_error(p, i, in + stride, stride, count - 1, depth - 1, NULL);
        if (best_err < 0 || err < best_err) {
            best_err = err;
            if (best_nibble) *best_nibble = candidates[k];
        }
    }
    return best_err;
}

// Encodes the sample at in[0] (the rest of the block follows at stride `stride`, `count`
// samples including this one) and returns its nibble.
static unsigned encode_sample(adpcm_context_t *ctx, int c, const int16_t *in, int stride, int count) {
    adpcm_channel_t *ch = &ctx->ch[c];
    int32_t target = in[0];
    if (ctx->noise_shaping) target = clamp_sample(target - ch->error / 2);
    unsigned nibble;
    if (ctx->lookahead > 0 && !ctx->noise_shaping) {
        minimum_error(ch->pcmdata, ch->index, in, stride, count, ctx->lookahead, &nibble);
    } else {
        nibble = closest_nibble(ch->pcmdata, ch->index, target);
    }
    decode_nibble(&ch->pcmdata, &ch->index, nibble);
    ch->error = ch->pcmdata - target;
    return nibble;
}

// Encodes `groups` groups of 8 frames from `in` (interleaved, exactly groups x 8 frames) into
// `out`. The lookahead may look at every frame up to the end of `in`, the end of the block.
static void encode_chunks(adpcm_context_t *ctx, uint8_t *out, const int16_t *in, int groups) {
    const int channels = ctx->channels;
    const int total = 8 * groups;
    for (int g = 0; g < groups; ++g) {
        for (int c = 0; c < channels; ++c) {
            uint8_t *bytes = out + 4 * c;
            for (int k = 0; k < 4; ++k) {
                const int f = 8 * g + 2 * k;
                const unsigned lo = encode_sample(ctx, c, in + f * channels + c, channels, total - f);
                const unsigned hi =
                    encode_sample(ctx, c, in + (f + 1) * channels + c, channels, total - f - 1);
                bytes[k] = (uint8_t)(lo | (hi << 4));
            }
        }
        out += 4 * channels;
    }
}

void *adpcm_create_context(int num_channels, int lookahead, int noise_shaping, int32_t initial_deltas[2]) {
    if (num_channels < 1 || num_channels > MAX_CHANNELS) return NULL;
    adpcm_context_t *ctx = (adpcm_context_t *)calloc(1, sizeof(adpcm_context_t));
    if (ctx == NULL) return NULL;
    ctx->channels = num_channels;
    ctx->lookahead = lookahead < 0 ? 0 : (lookahead > MAX_LOOKAHEAD ? MAX_LOOKAHEAD : lookahead);
    ctx->noise_shaping = noise_shaping ? 1 : 0;
    if (initial_deltas != NULL) {
        for (int c = 0; c < num_channels; ++c)
            ctx->initial_deltas[c] = initial_deltas[c];
    }
    return ctx;
}

void adpcm_free_context(void *p) {
    free(p);
}

size_t adpcm_block_bytes(int channels, int frames) {
    if (channels < 1 || channels > MAX_CHANNELS || frames < 1) return 0;
    return 4u * (size_t)channels * (1 + (size_t)(frames - 1 + 7) / 8);
}

int adpcm_encode_block(void *p, uint8_t *outbuf, size_t *outbufsize, const int16_t *inbuf, int inbufcount) {
    adpcm_context_t *ctx = (adpcm_context_t *)p;
    if (ctx == NULL || outbuf == NULL || outbufsize == NULL || inbuf == NULL || inbufcount < 1) return 0;
    const int channels = ctx->channels;
    const size_t needed = adpcm_block_bytes(channels, inbufcount);
    if (*outbufsize < needed) return 0;

    if (!ctx->started) {
        // Seed the step index: from the caller's deltas, or from the average change between the
        // block's first samples, so the first block does not start with a step far too small.
        for (int c = 0; c < channels; ++c) {
            int32_t delta = ctx->initial_deltas[c];
            if (delta == 0) {
                const int n = inbufcount < 17 ? inbufcount : 17;
                int64_t sum = 0;
                for (int f = 1; f < n; ++f)
                    sum += abs(inbuf[f * channels + c] - inbuf[(f - 1) * channels + c]);
                delta = n > 1 ? (int32_t)(sum / (n - 1)) : 0;
            }
            ctx->ch[c].index = index_for_delta(delta);
        }
        ctx->started = true;
    }

    // Each block restarts the predictor at its first sample exactly; the step index carries on.
    int32_t pcmdata[MAX_CHANNELS] = {0, 0};
    int8_t index[MAX_CHANNELS] = {0, 0};
    get_decode_parameters(ctx, pcmdata, index);
    for (int c = 0; c < channels; ++c)
        pcmdata[c] = inbuf[c];
    set_decode_parameters(ctx, pcmdata, index);
    for (int c = 0; c < channels; ++c) {
        uint8_t *h = outbuf + 4 * c;
        h[0] = (uint8_t)(pcmdata[c] & 0xFF);
        h[1] = (uint8_t)((pcmdata[c] >> 8) & 0xFF);
        h[2] = (uint8_t)index[c];
        h[3] = 0;
        ctx->ch[c].error = 0;
    }
    const int rest = inbufcount - 1;
    const int groups = (rest + 7) / 8;
    if (groups > 0) {
        // Whole groups only: a last partial group repeats the block's last frame, which decodes
        // to the least disturbance after the real end.
        int16_t *padded = (int16_t *)malloc(sizeof(int16_t) * 8 * (size_t)groups * (size_t)channels);
        if (padded == NULL) return 0;
        for (int f = 0; f < 8 * groups; ++f) {
            const int from = 1 + (f < rest ? f : rest - 1);
            for (int c = 0; c < channels; ++c)
                padded[f * channels + c] = inbuf[from * channels + c];
        }
        encode_chunks(ctx, outbuf + 4 * channels, padded, groups);
        free(padded);
    }
    *outbufsize = needed;
    return 1;
}

// ---------------------------------------------------------------- WAV file writer

static void put_u16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void put_u32(uint8_t *p, uint32_t v) {
    put_u16(p, v & 0xFFFF);
    put_u16(p + 2, v >> 16);
}

int adpcm_write_wav_file(const char *path, const int16_t *pcm, uint32_t frames, int channels,
                         uint32_t sample_rate, uint16_t block_align, int lookahead) {
    if (path == NULL || pcm == NULL || frames == 0 || channels < 1 || channels > MAX_CHANNELS ||
        sample_rate == 0)
        return -1;
    if (block_align == 0) block_align = (uint16_t)(256 * channels);
    const uint32_t group_bytes = AUDIO_ADPCM_GROUP_BYTES * (uint32_t)channels;
    if (block_align % group_bytes != 0 || block_align <= group_bytes) return -1;
    const uint32_t spb = audio_adpcm_frames_per_block(block_align, (uint32_t)channels);
    const uint32_t full_blocks = frames / spb;
    const uint32_t tail = frames % spb;
    const uint64_t data_bytes =
        (uint64_t)full_blocks * block_align + (tail ? adpcm_block_bytes(channels, (int)tail) : 0);
    if (data_bytes + 60 > UINT32_MAX) return -1;

    uint8_t header[60];
    memcpy(header, "RIFF", 4);
    put_u32(header + 4, (uint32_t)(data_bytes + 52));
    memcpy(header + 8, "WAVEfmt ", 8);
    put_u32(header + 16, 20);
    put_u16(header + 20, 0x11);
    put_u16(header + 22, (uint32_t)channels);
    put_u32(header + 24, sample_rate);
    put_u32(header + 28, (uint32_t)((uint64_t)sample_rate * block_align / spb));
    put_u16(header + 32, block_align);
    put_u16(header + 34, 4);
    put_u16(header + 36, 2);
    put_u16(header + 38, spb);
    memcpy(header + 40, "fact", 4);
    put_u32(header + 44, 4);
    put_u32(header + 48, frames);
    memcpy(header + 52, "data", 4);
    put_u32(header + 56, (uint32_t)data_bytes);

    FILE *f = fopen(path, "wb");
    if (f == NULL) return -1;
    void *ctx = adpcm_create_context(channels, lookahead, 0, NULL);
    uint8_t *block = (uint8_t *)malloc(block_align);
    bool ok = ctx != NULL && block != NULL && fwrite(header, 1, sizeof header, f) == sizeof header;
    for (uint32_t done = 0; ok && done < frames;) {
        const uint32_t n = frames - done < spb ? frames - done : spb;
        size_t size = block_align;
        ok = adpcm_encode_block(ctx, block, &size, pcm + (size_t)done * channels, (int)n) == 1 &&
             fwrite(block, 1, size, f) == size;
        done += n;
    }
    free(block);
    adpcm_free_context(ctx);
    if (fclose(f) != 0) ok = false;
    if (!ok) remove(path);
    return ok ? 0 : -1;
}
