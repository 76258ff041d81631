#include "audio_files.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace test_support {

std::vector<int16_t> tone(double seconds, double freq, uint32_t rate, uint16_t channels, double amplitude) {
    std::vector<int16_t> s((size_t)(seconds * rate) * channels);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (int16_t)(amplitude * std::sin(2 * M_PI * freq * (double)(i / channels) / rate));
    return s;
}

void put16(std::vector<uint8_t> &v, uint32_t x) {
    v.push_back((uint8_t)x);
    v.push_back((uint8_t)(x >> 8));
}

void put32(std::vector<uint8_t> &v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

bool write_pcm_wav(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate,
                   uint16_t channels) {
    std::vector<uint8_t> h;
    uint32_t data = (uint32_t)samples.size() * 2;
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    put32(h, 36 + data);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(h, 16);
    put16(h, 1);
    put16(h, channels);
    put32(h, rate);
    put32(h, rate * channels * 2);
    put16(h, (uint16_t)(channels * 2));
    put16(h, 16);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    put32(h, data);
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    fwrite(h.data(), 1, h.size(), f);
    if (!samples.empty()) fwrite(samples.data(), 2, samples.size(), f);
    fclose(f);
    return true;
}

WavData read_wav(const std::string &path) {
    WavData w;
    const std::vector<uint8_t> b = read_bytes(path);
    auto u16 = [&](size_t p) { return (uint16_t)(b[p] | b[p + 1] << 8); };
    auto u32 = [&](size_t p) { return (uint32_t)(u16(p) | (uint32_t)u16(p + 2) << 16); };
    if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0) return w;
    w.riff_size = u32(4);
    size_t p = 12;
    while (p + 8 <= b.size()) {
        uint32_t size = u32(p + 4);
        if (memcmp(b.data() + p, "fmt ", 4) == 0 && p + 24 <= b.size()) {
            w.format = u16(p + 8);
            w.channels = u16(p + 10);
            w.rate = u32(p + 12);
        } else if (memcmp(b.data() + p, "data", 4) == 0) {
            w.data_size = size;
            size_t avail = b.size() - (p + 8);
            size_t take = size < avail ? size : avail;
            w.samples.resize(take / 2);
            if (take >= 2) memcpy(w.samples.data(), b.data() + p + 8, (take / 2) * 2);
            w.ok = true;
            return w;
        }
        p += 8 + size + (size & 1);
    }
    return w;
}

std::vector<int16_t> read_raw_s16(const std::string &path) {
    const std::vector<uint8_t> b = read_bytes(path);
    std::vector<int16_t> out(b.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = (int16_t)(b[2 * i] | (b[2 * i + 1] << 8));
    return out;
}

void write_raw_s16(const std::string &path, const std::vector<int16_t> &samples) {
    std::vector<uint8_t> b;
    for (int16_t s : samples)
        put16(b, (uint16_t)s);
    write_bytes(path, b);
}

WavBytes::WavBytes(const char *form, uint32_t riff_size) {
    bytes_ = {'R', 'I', 'F', 'F'};
    put32(bytes_, riff_size);
    for (int i = 0; i < 4; ++i)
        bytes_.push_back((uint8_t)form[i]);
}

WavBytes &WavBytes::chunk(const char *id, uint32_t size, const std::vector<uint8_t> &body) {
    for (int i = 0; i < 4; ++i)
        bytes_.push_back((uint8_t)id[i]);
    put32(bytes_, size);
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    return *this;
}

WavBytes &WavBytes::fmt(uint32_t size, uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align,
                        uint16_t bits, uint16_t samples, uint16_t sub_format) {
    std::vector<uint8_t> b;
    put16(b, tag);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * align);
    put16(b, align);
    put16(b, bits);
    put16(b, size > 16 ? size - 18 : 0);
    put16(b, samples);
    put32(b, 0x3);
    put16(b, sub_format);
    b.resize(size, 0x5A);  // extension bytes beyond the named fields, or cut to size
    return chunk("fmt ", size, b);
}

WavBytes &WavBytes::fact(uint32_t samples) {
    std::vector<uint8_t> b;
    put32(b, samples);
    return chunk("fact", 4, b);
}

bool sox(const std::string &args) {
    const std::string cmd = std::string(SOX_PATH) + " " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace test_support
