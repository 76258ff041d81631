// IMA ADPCM (WAVE format 0x11) decoding, incremental across slices and blocks, and encoding.
#pragma once

#include <stddef.h>
#include <stdint.h>

// State of the incremental decoder; zeroed whenever decoding restarts at a block boundary.
typedef struct {
    int32_t pcmdata[2];
    int8_t index[2];
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
void *adpcm_create_context(int num_channels, int lookahead, int noise_shaping, int32_t initial_deltas[2]);
int adpcm_encode_block(void *p, uint8_t *outbuf, size_t *outbufsize, const int16_t *inbuf, int inbufcount);
void adpcm_free_context(void *p);
