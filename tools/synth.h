// A small synthesis library for the demo sound project: seeded noise, filters, envelopes,
// seamless loops, a few sound makers, speech through espeak-ng, and writers for the three file
// formats the firmware plays. Everything is 32000 Hz mono, in doubles at full scale 1.
//
// All randomness uses fixed seeds, so the same calls write the same bytes on every run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace synth {

constexpr int kRate = 32000;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

using Buf = std::vector<double>;
using Curve = std::function<double(double)>;  // a value per second of time

// Samples of `sec` seconds.
int ns(double sec);

// xorshift64*: small, fast and the same on every machine.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {
        if (s_ == 0) s_ = 1;
    }
    uint64_t next() {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 0x2545F4914F6CDD1Dull;
    }
    double uni() { return (double)(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
    double bip() { return uni() * 2.0 - 1.0; }                                    // [-1, 1)

private:
    uint64_t s_;
};

// RBJ biquad, transposed direct form II.
class Biquad {
public:
    void lowpass(double f, double q) { set(f, q, 0); }
    void highpass(double f, double q) { set(f, q, 1); }
    void bandpass(double f, double q) { set(f, q, 2); }
    double run(double x) {
        double y = b0_ * x + z1_;
        z1_ = b1_ * x - a1_ * y + z2_;
        z2_ = b2_ * x - a2_ * y;
        return y;
    }

private:
    void set(double f, double q, int kind);
    double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0, z1_ = 0, z2_ = 0;
};

// ---- buffers ----

// Adds `src` times `gain` into `dst` from `at_sec` on, growing `dst` as needed.
void mix(Buf &dst, const Buf &src, double at_sec, double gain = 1.0);
// Quarter-sine fades over the first or last `sec` seconds.
void fade_in(Buf &b, double sec);
void fade_out(Buf &b, double sec);
// Drops the first `sec` seconds (filter settling time).
Buf drop(Buf b, double sec);
double smoothstep(double x);

// ---- loops ----

// Turns a signal of at least len + xfade samples into a loop of `len` samples: the samples past
// the loop end are cross-faded into its head, so the end runs on into the start without a step.
Buf make_loop(const Buf &s, int len, int xfade);
// Frames of a loop close to `sec` that fill whole IMA ADPCM blocks (256 bytes hold 505 mono
// frames): the encoder pads a partial last block, and padding would play as part of the loop.
int loop_frames(double sec);
// Frequency rounded so that it completes whole cycles in `loop_sec`.
double whole_cycles(double f, double loop_sec, int multiple = 1);

// ---- sources ----

// A decaying partial: exp(-t / tau) * sin(2 pi f t).
void add_partial(Buf &b, double at_sec, double f, double amp, double tau, double len_sec);
// Filtered noise with an envelope given per second of time. `kind`: 0 low-pass, 1 high-pass,
// 2 band-pass at `f` (or at `fmove` of the time, when given).
Buf noise(double sec, uint64_t seed, const Curve &env, int kind, double f, double q,
          const Curve &fmove = nullptr);
// A metallic impact: inharmonic partials and a short noise burst.
Buf clank(uint64_t seed, double base, double amp);
// An air release: high-passed noise with a fast attack.
Buf air_hiss(double sec, uint64_t seed, double amp, double attack, double tau);
// A reed horn: notes rich in harmonics, a breath of air noise; `env` shapes the blowing.
Buf horn(double sec, const double *notes, int nnotes, uint64_t seed, const Curve &env, const Curve &bend);
// Speech from espeak-ng (its WAV goes through `tmp`), resampled to kRate.
Buf speak(const std::string &tmp, const std::string &text, const std::string &voice, int wpm, int pitch);

// ---- files ----

enum class Fmt { Pcm, Adpcm, Ogg };

struct Written {
    std::string path;
    double seconds;
    uintmax_t bytes;
    double peak, rms;  // after the gain, full scale 1
};

// Writes sounds as 16-bit PCM WAV, IMA ADPCM WAV (the firmware's own encoder) or Ogg Vorbis
// (oggenc, through a WAV in `tmp`), and keeps a list of what it wrote.
class Writer {
public:
    explicit Writer(std::string tmp) : tmp_(std::move(tmp)) {}
    std::vector<Written> written;

    // Writes `b` scaled by `gain` as <dir><name>.<ext>.
    void emit(const std::string &dir, const std::string &name, Fmt fmt, const Buf &b, double gain);

    static void write_pcm_wav(const std::string &path, const std::vector<int16_t> &pcm);

private:
    std::string tmp_;
};

void write_text(const std::string &path, const std::string &text);

}  // namespace synth
