// The sound files the decoder plays and the limits they must keep to: one place for the WAV
// header parser, the ADPCM codec and the audio reader's loads (WAV and Ogg), so that what one
// of them accepts the others can play.
#pragma once

#include <stdbool.h>
#include <stdint.h>

// Formats as the reader names them: the WAVE format tags of PCM and IMA ADPCM, and a number of
// its own for Ogg Vorbis.
#define AUDIO_FORMAT_PCM 1
#define AUDIO_FORMAT_ADPCM 17
#define AUDIO_FORMAT_OGG 32

// Sample sizes the decoders take.
#define AUDIO_PCM_BITS 16
#define AUDIO_ADPCM_BITS 4

// IMA ADPCM: the decoder keeps its state for at most two channels. A block starts with a 4-byte
// header per channel, and its data comes in groups of 4 bytes per channel.
#define AUDIO_ADPCM_MAX_CHANNELS 2
#define AUDIO_ADPCM_GROUP_BYTES 4

// Rates below 100 Hz would make the reader's time conversions divide by zero; rates above
// 65535 Hz do not fit the 16-bit stream-rate fields of the mixer.
#define AUDIO_MIN_RATE 100
#define AUDIO_MAX_RATE 65535

// A reader's output buffer (its bytes per channel times the channels) is a 16-bit byte count,
// and the reader keeps the channel count in 8 bits.
#define AUDIO_MAX_BUFFER_BYTES 65535
#define AUDIO_MAX_CHANNELS 255

static inline bool audio_rate_supported(uint32_t rate) {
    return rate >= AUDIO_MIN_RATE && rate <= AUDIO_MAX_RATE;
}

// Whether a reader with `buf_len` bytes per channel can play `channels` channels: a non-zero
// output buffer that fits its 16-bit count.
static inline bool audio_channels_supported(uint32_t channels, uint32_t buf_len) {
    const uint32_t out = buf_len * channels;
    return channels > 0 && channels <= AUDIO_MAX_CHANNELS && out > 0 && out <= AUDIO_MAX_BUFFER_BYTES;
}

// Frames (samples per channel) an IMA ADPCM block of `block_align` bytes carries: one in each
// channel's header, then two per byte of that channel's share of the rest; 1 for a block that
// holds no more than its headers.
static inline uint32_t audio_adpcm_frames_per_block(uint32_t block_align, uint32_t channels) {
    if (channels == 0 || block_align <= AUDIO_ADPCM_GROUP_BYTES * channels) return 1;
    return (block_align - AUDIO_ADPCM_GROUP_BYTES * channels) * 2 / channels + 1;
}
