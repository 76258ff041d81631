// The demo's synthesis library (see synth.h).
#include "synth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "adpcm-lib.h"

namespace synth {

namespace fs = std::filesystem;

int ns(double sec) {
    return (int)std::lround(sec * kRate);
}

void Biquad::set(double f, double q, int kind) {
    f = std::clamp(f, 10.0, kRate * 0.45);
    double w = kTwoPi * f / kRate, cs = std::cos(w), sn = std::sin(w), alpha = sn / (2.0 * q);
    double a0 = 1.0 + alpha;
    if (kind == 0) {
        b0_ = (1.0 - cs) / 2.0 / a0;
        b1_ = (1.0 - cs) / a0;
        b2_ = b0_;
    } else if (kind == 1) {
        b0_ = (1.0 + cs) / 2.0 / a0;
        b1_ = -(1.0 + cs) / a0;
        b2_ = b0_;
    } else {
        b0_ = alpha / a0;
        b1_ = 0.0;
        b2_ = -alpha / a0;
    }
    a1_ = -2.0 * cs / a0;
    a2_ = (1.0 - alpha) / a0;
}

void mix(Buf &dst, const Buf &src, double at_sec, double gain) {
    int off = ns(at_sec);
    if ((size_t)off + src.size() > dst.size()) dst.resize(off + src.size(), 0.0);
    for (size_t i = 0; i < src.size(); i++)
        dst[off + i] += src[i] * gain;
}

void fade_in(Buf &b, double sec) {
    int n = std::min<int>(ns(sec), (int)b.size());
    for (int i = 0; i < n; i++)
        b[i] *= std::sin(0.5 * kPi * i / n);
}

void fade_out(Buf &b, double sec) {
    int n = std::min<int>(ns(sec), (int)b.size());
    for (int i = 0; i < n; i++)
        b[b.size() - 1 - i] *= std::sin(0.5 * kPi * i / n);
}

Buf drop(Buf b, double sec) {
    b.erase(b.begin(), b.begin() + std::min<size_t>(ns(sec), b.size()));
    return b;
}

double smoothstep(double x) {
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3.0 - 2.0 * x);
}

Buf make_loop(const Buf &s, int len, int xfade) {
    if ((int)s.size() < len + xfade)
        throw std::runtime_error("loop source too short: " + std::to_string(s.size()) + " < " +
                                 std::to_string(len + xfade));
    Buf out(s.begin(), s.begin() + len);
    for (int i = 0; i < xfade; i++) {
        double w = (double)i / xfade;
        out[i] = s[i] * w + s[len + i] * (1.0 - w);
    }
    return out;
}

int loop_frames(double sec) {
    return std::max(1, (int)std::lround(sec * kRate / 505.0)) * 505;
}

double whole_cycles(double f, double loop_sec, int multiple) {
    double n = std::max(1.0, std::round(f * loop_sec / multiple)) * multiple;
    return n / loop_sec;
}

void add_partial(Buf &b, double at_sec, double f, double amp, double tau, double len_sec) {
    int off = ns(at_sec), n = ns(len_sec);
    if ((size_t)(off + n) > b.size()) b.resize(off + n, 0.0);
    for (int i = 0; i < n; i++) {
        double t = (double)i / kRate;
        b[off + i] += amp * std::exp(-t / tau) * std::sin(kTwoPi * f * t);
    }
}

Buf noise(double sec, uint64_t seed, const std::function<double(double)> &env, int kind, double f, double q,
          const std::function<double(double)> &fmove) {
    Rng rng(seed);
    Biquad bq, bq2;
    Buf out(ns(sec));
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate;
        if (i % 32 == 0) {
            double fc = fmove ? fmove(t) : f;
            if (kind == 0) bq.lowpass(fc, q), bq2.lowpass(fc, q);
            if (kind == 1) bq.highpass(fc, q), bq2.highpass(fc, q);
            if (kind == 2) bq.bandpass(fc, q), bq2.bandpass(fc, q);
        }
        out[i] = bq2.run(bq.run(rng.bip())) * env(t);
    }
    return out;
}

Buf clank(uint64_t seed, double base, double amp) {
    Buf b(ns(0.6), 0.0);
    static const double ratios[] = {1.0, 2.71, 4.45, 6.55, 9.3};
    static const double taus[] = {0.18, 0.12, 0.08, 0.05, 0.035};
    Rng rng(seed);
    for (int k = 0; k < 5; k++)
        add_partial(b, 0.0, base * ratios[k] * (1.0 + 0.02 * rng.bip()), amp / (1.0 + 0.5 * k), taus[k], 0.6);
    mix(b,
        noise(
            0.05, seed + 1, [](double t) { return std::exp(-t / 0.008); }, 2, 2500, 0.8),
        0.0, amp * 6.0);
    return b;
}

Buf air_hiss(double sec, uint64_t seed, double amp, double attack, double tau) {
    return noise(
        sec, seed, [=](double t) { return amp * std::min(1.0, t / attack) * std::exp(-t / tau); }, 1, 1800,
        0.6);
}

Buf horn(double sec, const double *notes, int nnotes, uint64_t seed, const std::function<double(double)> &env,
         const std::function<double(double)> &bend) {
    Rng rng(seed);
    Biquad air;
    air.bandpass(1200, 0.7);
    Buf out(ns(sec));
    std::vector<double> ph(nnotes, 0.0);
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate, v = 0.0;
        for (int n = 0; n < nnotes; n++) {
            ph[n] += notes[n] * bend(t) / kRate;
            ph[n] -= std::floor(ph[n]);
            for (int k = 1; k <= 9; k++)
                v += std::sin(kTwoPi * k * ph[n] + 0.7 * k) / std::pow((double)k, 0.9);
        }
        out[i] = (v * 0.12 + air.run(rng.bip()) * 0.5) * env(t);
    }
    return out;
}

Buf speak(const std::string &tmp, const std::string &text, const std::string &voice, int wpm, int pitch) {
    std::string wav = tmp + "/speech.wav";
    std::string cmd = "espeak-ng -v " + voice + " -s " + std::to_string(wpm) + " -p " +
                      std::to_string(pitch) + " -w '" + wav + "' \"" + text + "\"";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("espeak-ng failed");
    std::ifstream f(wav, std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto u32 = [&](size_t p) {
        return (uint32_t)d[p] | d[p + 1] << 8 | d[p + 2] << 16 | (uint32_t)d[p + 3] << 24;
    };
    if (d.size() < 44 || std::memcmp(d.data(), "RIFF", 4) != 0) throw std::runtime_error("espeak-ng output");
    uint32_t rate = 22050;
    size_t pos = 12, start = 0, len = 0;
    while (pos + 8 <= d.size()) {
        uint32_t sz = u32(pos + 4);
        if (std::memcmp(&d[pos], "fmt ", 4) == 0) rate = u32(pos + 12);
        if (std::memcmp(&d[pos], "data", 4) == 0) {
            start = pos + 8;
            len = std::min<size_t>(sz, d.size() - start);
            break;
        }
        pos += 8 + sz + (sz & 1);
    }
    if (start == 0) throw std::runtime_error("espeak-ng output has no data");
    std::vector<double> in(len / 2);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = (int16_t)(d[start + 2 * i] | d[start + 2 * i + 1] << 8) / 32768.0;
    // Cubic (Catmull-Rom) interpolation, then a gentle low-pass against the images.
    Buf out((size_t)((double)in.size() * kRate / rate));
    auto at = [&](long i) { return in[(size_t)std::clamp<long>(i, 0, (long)in.size() - 1)]; };
    for (size_t i = 0; i < out.size(); i++) {
        double x = (double)i * rate / kRate;
        long k = (long)x;
        double u = x - k, p0 = at(k - 1), p1 = at(k), p2 = at(k + 1), p3 = at(k + 2);
        out[i] =
            p1 + 0.5 * u * (p2 - p0 + u * (2 * p0 - 5 * p1 + 4 * p2 - p3 + u * (3 * (p1 - p2) + p3 - p0)));
    }
    Biquad lp;
    lp.lowpass(9000, 0.7);
    for (double &v : out)
        v = lp.run(v);
    return out;
}

// Leaves samples up to 0.7 alone and bends louder ones smoothly towards 0.98, so that the odd
// firing pulse or impact never clips.
static double soft_limit(double v) {
    double a = std::fabs(v);
    if (a <= 0.7) return v;
    return std::copysign(0.7 + 0.28 * std::tanh((a - 0.7) / 0.28), v);
}

void Writer::emit(const std::string &dir, const std::string &name, Fmt fmt, const Buf &b, double gain) {
    std::vector<int16_t> pcm(b.size());
    double peak = 0.0, sum = 0.0;
    for (size_t i = 0; i < b.size(); i++) {
        double v = soft_limit(b[i] * gain);
        peak = std::max(peak, std::fabs(v));
        sum += v * v;
        pcm[i] = (int16_t)std::lrint(std::clamp(v, -1.0, 32767.0 / 32768.0) * 32768.0);
    }
    std::string path;
    if (fmt == Fmt::Pcm) {
        path = dir + name + ".wav";
        write_pcm_wav(path, pcm);
    } else if (fmt == Fmt::Adpcm) {
        path = dir + name + ".wav";
        if (adpcm_write_wav_file(path.c_str(), pcm.data(), (uint32_t)pcm.size(), 1, kRate, 0, 2) != 0)
            throw std::runtime_error("ADPCM encoder failed for " + path);
    } else {
        path = dir + name + ".ogg";
        std::string wav = tmp_ + "/ogg_in.wav";
        write_pcm_wav(wav, pcm);
        // A fixed serial number keeps the output the same from run to run.
        std::string cmd = "oggenc -Q -q 0 --serial " + std::to_string(1000 + written.size()) + " -o '" +
                          path + "' '" + wav + "'";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("oggenc failed for " + path);
    }
    written.push_back({path, (double)b.size() / kRate, fs::file_size(path), peak,
                       std::sqrt(sum / (double)std::max<size_t>(1, b.size()))});
}

void Writer::write_pcm_wav(const std::string &path, const std::vector<int16_t> &pcm) {
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++)
            f.put((char)((v >> (8 * i)) & 0xFF));
    };
    auto u16 = [&](uint16_t v) {
        f.put((char)(v & 0xFF));
        f.put((char)(v >> 8));
    };
    uint32_t data = (uint32_t)pcm.size() * 2;
    f.write("RIFF", 4);
    u32(36 + data);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(kRate);
    u32(kRate * 2);
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(data);
    for (int16_t s : pcm)
        u16((uint16_t)s);
    if (!f) throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace synth
