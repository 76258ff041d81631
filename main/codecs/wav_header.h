// RIFF/WAVE header parsing. Log tag "wav_header".
#pragma once

#include <stdint.h>

typedef struct {
    uint16_t audioFormat;  // format tag, or the sub-format of an extensible header
    uint16_t channels;
    uint16_t blockAlign;
    uint32_t dataSize;  // bytes of audio data the reader may read (PCM: the data chunk size)
    uint32_t totSec;
    uint32_t curSec;
    uint32_t bitRate;
    uint32_t sampleRate;
    uint16_t bits;
    uint32_t dataShift;  // offset of the first audio byte
} wav_info_t;

// Parses the header held in the first `len` bytes of a file. Returns the offset of the first
// audio byte, or -1 (with an error line) when the header is not usable.
int get_wav_info(const uint8_t *data, uint8_t len, wav_info_t *info);
