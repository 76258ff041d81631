// IMA ADPCM (WAVE format 0x11) decoding, incremental across slices and blocks, and encoding.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "audio_format.h"

// State of the incremental decoder; zeroed whenever decoding restarts at a block boundary.
typedef struct {
    int32_t pcmdata[AUDIO_ADPCM_MAX_CHANNELS];
    int8_t index[AUDIO_ADPCM_MAX_CHANNELS];
    uint32_t bytesleft;  // bytes of the current block not yet consumed; 0 = next is a header
} adcm_state_t;

// Decodes from *inbuf_p (with *inbuf_len bytes available) into interleaved samples until at
// least req_samples frames are written or the input runs out; advances *inbuf_p and
// *inbuf_len. `outbuf` needs room for req_samples + 8 frames. Returns the frames written, 0 for
// an invalid block header or when channels or blocksize is 0.
int adpcm_decode_block(uint16_t req_samples, int16_t *outbuf, const uint8_t **inbuf_p, size_t *inbuf_len,
                       int channels, int blocksize, adcm_state_t *adcm_state);
// Decodes one whole block without carried state; returns the frames written.
int adpcm_decode_block_orig(int16_t *outbuf, const uint8_t *inbuf, size_t inbufsize, int channels);

// Encoder: a context per stream; each call encodes one block of `inbufcount` frames.
// adpcm_create_context: 1 or 2 channels (else null); `lookahead` 0..5 samples of search per
// sample (higher is slower and slightly more accurate); `noise_shaping` non-zero feeds half the
// quantisation error forward (first order, no lookahead then); `initial_deltas` (may be null,
// or 0 per channel) seeds the step size of the first block, which is otherwise estimated.
void *adpcm_create_context(int num_channels, int lookahead, int noise_shaping, int32_t initial_deltas[2]);
// Encodes `inbufcount` (>= 1) interleaved frames into one block: the first frame goes into the
// headers, the rest into groups of 8 (a last partial group repeats the last frame).
// `*outbufsize` holds the room at `outbuf` on entry and the bytes written on return. Returns 1,
// or 0 for bad arguments or too little room (see adpcm_block_bytes).
int adpcm_encode_block(void *p, uint8_t *outbuf, size_t *outbufsize, const int16_t *inbuf, int inbufcount);
void adpcm_free_context(void *p);
// Bytes of the block that adpcm_encode_block makes from `frames` frames; 0 for bad arguments.
size_t adpcm_block_bytes(int channels, int frames);

// Writes a complete IMA ADPCM WAV file (a 20-byte "fmt " chunk, a "fact" chunk with the exact
// frame count, the "data" chunk) from `frames` interleaved 16-bit frames. `block_align` 0
// means 256 bytes per channel; otherwise it must be a multiple of 4 x channels above the
// headers. The last block is shortened to the groups it needs. Returns 0, or -1 (and no file)
// on bad arguments or a write failure.
int adpcm_write_wav_file(const char *path, const int16_t *pcm, uint32_t frames, int channels,
                         uint32_t sample_rate, uint16_t block_align, int lookahead);
