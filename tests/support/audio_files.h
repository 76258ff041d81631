// Audio files for the tests: tones, 16-bit PCM WAV files written sample by sample and read back,
// raw sample files, WAV headers built byte by byte, and sox for what the project does not write
// itself (Ogg Vorbis, IMA ADPCM by another encoder) or as a second opinion on decoding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"

namespace test_support {

// `seconds` of a sine of `freq` Hz at `rate` Hz with `amplitude`, in `channels` interleaved
// channels that all carry it.
std::vector<int16_t> tone(double seconds, double freq, uint32_t rate, uint16_t channels = 1,
                          double amplitude = 10000);

// A canonical 16-bit PCM WAV file (any rate, any channel count, interleaved samples).
bool write_pcm_wav(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate,
                   uint16_t channels = 1);

struct WavData {
    bool ok = false;
    uint16_t format = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint32_t riff_size = 0;
    uint32_t data_size = 0;  // as the header says
    std::vector<int16_t> samples;
};
// Reads a 16-bit WAV file: the chunk sizes as written and the samples of the data chunk.
WavData read_wav(const std::string &path);

// Little-endian 16-bit samples of a raw file.
std::vector<int16_t> read_raw_s16(const std::string &path);
void write_raw_s16(const std::string &path, const std::vector<int16_t> &samples);

// Little-endian fields appended to `v`.
void put16(std::vector<uint8_t> &v, uint32_t x);
void put32(std::vector<uint8_t> &v, uint32_t x);

// Builds the first bytes of a WAV file chunk by chunk; sizes are written as given, so a test can
// state sizes that do not match the bytes that follow.
class WavBytes {
public:
    explicit WavBytes(const char *form = "WAVE", uint32_t riff_size = 0x1000);
    WavBytes &chunk(const char *id, uint32_t size, const std::vector<uint8_t> &body);
    // A "fmt " chunk of `size` bytes (16..40): the 16 basic bytes, then cbSize, Samples,
    // ChannelMask and SubFormat as far as the size reaches.
    WavBytes &fmt(uint32_t size, uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align,
                  uint16_t bits, uint16_t samples = 0, uint16_t sub_format = 0);
    WavBytes &fact(uint32_t samples);
    // The data chunk header followed by `audio` zero bytes (8 by default, so that the header
    // lies inside the bytes).
    WavBytes &data(uint32_t size, size_t audio = 8) {
        return chunk("data", size, std::vector<uint8_t>(audio, 0));
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// Runs sox with `args` (its output silenced); true when it succeeded.
bool sox(const std::string &args);

}  // namespace test_support
