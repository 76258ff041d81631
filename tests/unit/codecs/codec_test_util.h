// Helpers for the codec tests: a RIFF/WAVE byte builder, a scratch directory and sox calls.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace codec_test {

inline void put_u16(std::vector<uint8_t> &b, uint32_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}

inline void put_u32(std::vector<uint8_t> &b, uint32_t v) {
    put_u16(b, v & 0xFFFF);
    put_u16(b, v >> 16);
}

// Builds the first bytes of a WAV file chunk by chunk; sizes are written as given, so a test
// can state sizes that do not match the bytes that follow.
class WavBytes {
public:
    explicit WavBytes(const char *form = "WAVE") {
        bytes_ = {'R', 'I', 'F', 'F'};
        put_u32(bytes_, 0x1000);
        for (int i = 0; i < 4; ++i)
            bytes_.push_back((uint8_t)form[i]);
    }
    WavBytes &chunk(const char *id, uint32_t size, const std::vector<uint8_t> &body) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back((uint8_t)id[i]);
        put_u32(bytes_, size);
        bytes_.insert(bytes_.end(), body.begin(), body.end());
        return *this;
    }
    // A "fmt " chunk of `size` bytes (16..40): the 16 basic bytes, then cbSize, Samples,
    // ChannelMask and SubFormat as far as the size reaches.
    WavBytes &fmt(uint32_t size, uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align,
                  uint16_t bits, uint16_t samples = 0, uint16_t sub_format = 0) {
        std::vector<uint8_t> b;
        put_u16(b, tag);
        put_u16(b, channels);
        put_u32(b, rate);
        put_u32(b, rate * align);
        put_u16(b, align);
        put_u16(b, bits);
        put_u16(b, size > 16 ? size - 18 : 0);
        put_u16(b, samples);
        put_u32(b, 0x3);
        put_u16(b, sub_format);
        b.resize(size, 0x5A);  // extension bytes beyond the named fields, or cut to size
        return chunk("fmt ", size, b);
    }
    WavBytes &fact(uint32_t samples) {
        std::vector<uint8_t> b;
        put_u32(b, samples);
        return chunk("fact", 4, b);
    }
    // The data chunk header followed by a few audio bytes, so the header lies inside the bytes.
    WavBytes &data(uint32_t size) { return chunk("data", size, std::vector<uint8_t>(8, 0)); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// A fresh directory under the system temp folder, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "codecs-XXXXXX").string();
        if (mkdtemp(templ.data()) != nullptr) path_ = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    bool ok() const { return !path_.empty(); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs sox with `args`; true when it succeeded.
inline bool run_sox(const std::string &args) {
    const std::string cmd = std::string(SOX_PATH) + " " + args + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Little-endian 16-bit samples of a raw file.
inline std::vector<int16_t> read_raw_s16(const std::string &path) {
    std::vector<uint8_t> b = read_file(path);
    std::vector<int16_t> out(b.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = (int16_t)(b[2 * i] | (b[2 * i + 1] << 8));
    return out;
}

inline void write_raw_s16(const std::string &path, const std::vector<int16_t> &samples) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    for (int16_t s : samples) {
        const uint8_t b[2] = {(uint8_t)s, (uint8_t)((uint16_t)s >> 8)};
        std::fwrite(b, 1, 2, f);
    }
    std::fclose(f);
}

}  // namespace codec_test
