// The diesel locomotive of the demo, slot 1: its engine sound and the sounds of its keys, and
// the slot's text files.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "demo_slots.h"

using namespace synth;

namespace {

// ---- the diesel engine ----

// Per-sample control of the engine: firing rate (Hz) and intensity (0..1, load and throttle).
struct EngineCtl {
    std::function<double(double)> fire_hz;
    std::function<double(double)> intensity;
};

// A diesel: each cylinder firing is a burst of band-passed exhaust noise with a low thump;
// a fixed accent pattern over four firings gives the uneven "chug"; harmonics of the firing
// rate make the body, and hiss and a mechanical rattle grow with the intensity.
Buf diesel(double sec, uint64_t seed, const EngineCtl &ctl) {
    static const double accent[4] = {1.0, 0.72, 0.9, 0.62};
    static const double hphase[12] = {0.3, 1.9, 4.1, 2.2, 5.0, 0.7, 3.3, 1.1, 2.8, 4.6, 0.2, 5.5};
    Rng rng(seed);
    Biquad exhaust, exhaust2, hiss, rattle;
    Buf out(ns(sec));
    double phase = 0.0, env = 0.0;
    long last_fire = 0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate;
        double f = ctl.fire_hz(t), I = std::clamp(ctl.intensity(t), 0.0, 1.2);
        if (i % 32 == 0) {
            exhaust.bandpass(180 + 420 * I, 0.9);
            exhaust2.lowpass(900 + 1400 * I, 0.7);
            hiss.lowpass(1500 + 2500 * I, 0.5);
            rattle.bandpass(3200, 2.0);
        }
        phase += f / kRate;
        long fire = (long)std::floor(phase);
        if (fire != last_fire) {
            last_fire = fire;
            env = accent[((fire % 4) + 4) % 4] * (0.9 + 0.1 * rng.uni());
        }
        env *= std::exp(-1.0 / (std::max(0.003, 0.28 / f) * kRate));
        double n1 = rng.bip(), n2 = rng.bip(), n3 = rng.bip();
        double ex = exhaust2.run(exhaust.run(n1)) * env * 9.0;
        double body = 0.0;
        double tilt = 1.25 - 0.55 * std::min(I, 1.0);
        for (int k = 1; k <= 12; k++)
            body += std::pow((double)k, -tilt) * std::sin(kTwoPi * k * phase + hphase[k - 1]);
        double sub = 0.55 * std::sin(kTwoPi * phase / 4.0 + 0.4) + 0.3 * std::sin(kTwoPi * phase / 2.0 + 1.3);
        double thump = env * env * std::sin(kTwoPi * phase * 0.5 + 0.9);
        double h = hiss.run(n2) * (0.25 + 0.9 * I);
        double r = rattle.run(n3) * env * 1.2 * I;
        out[i] =
            (ex * (0.7 + 0.8 * I) + body * 0.16 * (0.5 + I) + sub * 0.10 + thump * 0.35 + h * 0.35 + r) * 0.5;
    }
    return out;
}

// Firing rates and intensities of the idle and the four running notches.
const double kFire[5] = {26, 34, 44, 56, 70};
const double kInt[5] = {0.22, 0.4, 0.58, 0.78, 1.0};
const int kSpeedPct[5] = {0, 10, 30, 55, 80};

// A seamless loop of notch `k`, `len` frames long. It starts half-way between two firings, so
// that the join falls on a quiet moment.
Buf diesel_loop(int k, int len) {
    double loop_sec = (double)len / kRate;
    double f = whole_cycles(kFire[k], loop_sec, 4);
    double pre = 0.5 + 0.5 / f, xf = 0.3;
    Buf s = diesel(pre + loop_sec + xf + 0.05, 100 + k,
                   {[=](double) { return f; }, [=](double) { return kInt[k]; }});
    return make_loop(drop(s, pre), len, ns(xf));
}

// From notch `from` to notch `to`: a governor glide with a short intensity bump (more fuel
// while the rate rises, less while it falls).
Buf diesel_transition(int from, int to, double sec, uint64_t seed) {
    double f0 = kFire[from], f1 = kFire[to], i0 = kInt[from], i1 = kInt[to];
    bool up = to > from;
    double glide = sec * 0.7;
    EngineCtl ctl{[=](double t) { return f0 + (f1 - f0) * smoothstep(t / glide); },
                  [=](double t) {
                      double base = i0 + (i1 - i0) * smoothstep(t / glide);
                      double bump = std::exp(-std::pow((t - 0.35 * glide) / (0.25 * glide), 2.0));
                      return base + (up ? 0.25 : -0.12) * bump;
                  }};
    return diesel(sec, seed, ctl);
}

// ---- announcements ----

// A platform loudspeaker: band-limited, a little resonant, with a short room echo.
Buf public_address(const Buf &speech) {
    Biquad hp, lp, peak;
    hp.highpass(320, 0.7);
    lp.lowpass(3600, 0.8);
    peak.bandpass(1800, 1.2);
    Buf out(speech.size() + ns(0.5), 0.0);
    for (size_t i = 0; i < out.size(); i++) {
        double x = i < speech.size() ? speech[i] : 0.0;
        double y = lp.run(hp.run(x));
        out[i] = y + 0.6 * peak.run(y);
    }
    Buf wet = out;
    for (size_t i = ns(0.09); i < out.size(); i++)
        wet[i] += 0.25 * out[i - ns(0.09)];
    for (size_t i = ns(0.17); i < out.size(); i++)
        wet[i] += 0.12 * out[i - ns(0.17)];
    return wet;
}

// The two-tone chime that comes before an announcement.
Buf chime() {
    Buf b(ns(1.6), 0.0);
    const double notes[2] = {659.26, 523.25};
    for (int n = 0; n < 2; n++) {
        double at = 0.05 + 0.45 * n;
        add_partial(b, at, notes[n], 0.5, 0.7, 1.1);
        add_partial(b, at, notes[n] * 2.0, 0.12, 0.35, 1.1);
        add_partial(b, at, notes[n] * 3.0, 0.05, 0.2, 1.1);
    }
    return b;
}

Buf announcement(const std::string &tmp, const std::string &text) {
    Buf b = chime();
    Buf voice = public_address(speak(tmp, text, "en-gb", 150, 45));
    double peak = 0.0;
    for (double v : voice)
        peak = std::max(peak, std::fabs(v));
    mix(b, voice, 1.35, 0.8 / std::max(peak, 1e-6));
    fade_out(b, 0.05);
    return b;
}

// ---- other sounds ----

// Bell strikes every `period` seconds with decaying partials; alternate strikes are softer, as
// a swinging bell's clapper hits one side harder. A loop of two strikes is exactly periodic.
Buf bell_strikes(int p, int strikes, double base, int last_strike) {
    static const double ratios[] = {1.0, 2.0, 2.76, 3.0, 4.07, 5.4};
    static const double amps[] = {1.0, 0.45, 0.6, 0.25, 0.22, 0.18};
    static const double taus[] = {1.1, 0.7, 0.55, 0.45, 0.3, 0.22};
    Buf b((size_t)p * (strikes + 4), 0.0);
    Buf one(ns(4.0), 0.0);
    for (int k = 0; k < 6; k++)
        add_partial(one, 0.0, base * ratios[k], amps[k] * 0.3, taus[k], 4.0);
    mix(one,
        noise(
            0.02, 77, [](double t) { return std::exp(-t / 0.003); }, 1, 3000, 0.7),
        0.0, 2.0);
    for (int s = 0; s <= last_strike && s < strikes; s++) {
        Buf strike = one;
        double g = (s % 2 == 0) ? 1.0 : 0.82;
        for (size_t i = 0; i < strike.size() && (size_t)s * p + i < b.size(); i++)
            b[(size_t)s * p + i] += strike[i] * g;
    }
    return b;
}

// A chime whistle: three notes, mostly sine, with breath noise.
Buf whistle(const std::vector<std::pair<double, double>> &blows, uint64_t seed) {
    const double notes[3] = {587.33, 698.46, 880.0};
    double sec = blows.back().first + blows.back().second + 0.4;
    Rng rng(seed);
    Biquad breath;
    breath.bandpass(1400, 1.0);
    Buf out(ns(sec));
    double ph[3] = {0, 0, 0};
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate, env = 0.0;
        for (auto &[at, len] : blows) {
            double a = smoothstep((t - at) / 0.06) * (1.0 - smoothstep((t - at - len) / 0.15));
            env = std::max(env, a);
        }
        double v = 0.0;
        for (int n = 0; n < 3; n++) {
            ph[n] += notes[n] * (1.0 + 0.004 * env) / kRate;
            ph[n] -= std::floor(ph[n]);
            v += std::sin(kTwoPi * ph[n]) + 0.18 * std::sin(2 * kTwoPi * ph[n]) +
                 0.05 * std::sin(3 * kTwoPi * ph[n]);
        }
        out[i] = (v * 0.25 + breath.run(rng.bip()) * 0.6) * env;
    }
    return out;
}

// Brake squeal: a high tone that wavers, with grinding noise. Periodic in `loop_sec` when every
// rate is a whole number of cycles in it.
Buf squeal(double sec, uint64_t seed, double base, double loop_sec) {
    double fc = whole_cycles(base, loop_sec), fm = whole_cycles(4.0, loop_sec),
           fa = whole_cycles(3.0, loop_sec);
    Rng rng(seed);
    Biquad grind;
    grind.bandpass(1600, 1.2);
    Buf out(ns(sec));
    double ph = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate;
        ph += (fc + 35.0 * std::sin(kTwoPi * fm * t)) / kRate;
        double am = 0.75 + 0.25 * std::sin(kTwoPi * fa * t + 0.5);
        double v =
            std::sin(kTwoPi * ph) + 0.3 * std::sin(2 * kTwoPi * ph + 0.3) + 0.12 * std::sin(3 * kTwoPi * ph);
        out[i] = v * 0.35 * am + grind.run(rng.bip()) * 0.9;
    }
    return out;
}

// Compressor: piston strokes at `rate` Hz (a thump, a valve click, a puff), motor hum.
Buf compressor(double sec, uint64_t seed, const std::function<double(double)> &rate,
               const std::function<double(double)> &level) {
    Rng rng(seed);
    Biquad puff, click;
    puff.bandpass(420, 1.0);
    click.bandpass(2800, 3.0);
    Buf out(ns(sec));
    double ph = 0.0, env = 0.0, motor = 0.0;
    long last = 0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate, r = rate(t);
        ph += r / kRate;
        motor += 8.0 * r / kRate;
        long k = (long)std::floor(ph);
        if (k != last) {
            last = k;
            env = 1.0;
        }
        env *= std::exp(-1.0 / (0.045 * kRate));
        double n = rng.bip();
        double v = env * std::sin(kTwoPi * 70.0 * (ph - k) / r) * 0.8 + puff.run(n) * env * 5.0 +
                   click.run(n) * env * env * 3.0 + 0.12 * std::sin(kTwoPi * motor) +
                   0.06 * std::sin(2 * kTwoPi * motor);
        out[i] = v * level(t) * 0.5;
    }
    return out;
}

// Cooling fan: blade-pass tone with harmonics and broadband air.
Buf fan(double sec, uint64_t seed, const std::function<double(double)> &speed, double blade_hz = 118.0) {
    Rng rng(seed);
    Biquad air, air2;
    Buf out(ns(sec));
    double ph = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate, s = std::clamp(speed(t), 0.0, 1.0);
        if (i % 32 == 0) {
            air.lowpass(300 + 1700 * s, 0.6);
            air2.bandpass(500 + 900 * s, 0.8);
        }
        ph += blade_hz * s / kRate;
        double n = rng.bip();
        double tone = 0.0;
        for (int k = 1; k <= 6; k++)
            tone += std::sin(kTwoPi * k * ph + k) / k;
        out[i] = (tone * 0.1 * s + air.run(n) * 0.9 * s + air2.run(n) * 0.8 * s) * s;
    }
    return out;
}

// Turbocharger whine: a rising whistle with airy noise.
Buf turbo(double sec, uint64_t seed) {
    Rng rng(seed);
    Biquad air;
    Buf out(ns(sec));
    double ph = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate;
        double f = 1700 + 1500 * smoothstep(t / 3.5) + 40 * std::sin(kTwoPi * 0.7 * t);
        if (i % 32 == 0) air.bandpass(f, 3.0);
        ph += f / kRate;
        double v = std::sin(kTwoPi * ph) * 0.18 + std::sin(2 * kTwoPi * ph) * 0.04 + air.run(rng.bip()) * 1.2;
        out[i] = v * (0.4 + 0.6 * smoothstep(t / 3.0));
    }
    fade_in(out, 0.3);
    fade_out(out, 1.2);
    return out;
}

// Dynamic brake blowers for the banded deceleration tracks: a roar whose pitch falls.
Buf brake_blower(double sec, uint64_t seed, double top) {
    Buf b = noise(
        sec, seed, [](double) { return 2.2; }, 2, top, 0.9,
        [=](double t) { return top - (top - 500) * smoothstep(t / 3.0); });
    Buf tone(ns(sec));
    double ph = 0.0;
    for (size_t i = 0; i < tone.size(); i++) {
        double t = (double)i / kRate;
        ph += (top / 8.0 - (top / 8.0 - 60) * smoothstep(t / 3.0)) / kRate;
        tone[i] = 0.08 * (std::sin(kTwoPi * ph) + 0.5 * std::sin(2 * kTwoPi * ph));
    }
    mix(b, tone, 0.0);
    fade_in(b, 0.3);
    fade_out(b, 0.4);
    return b;
}

// Wheels on rail joints: pairs of clicks (the two axles of a bogie) over rolling rumble.
Buf rolling(double sec, uint64_t seed, double joint_period) {
    Buf b = noise(
        sec, seed, [](double) { return 1.2; }, 0, 260, 0.7);
    for (double t = 0.2; t + 0.5 < sec; t += joint_period) {
        mix(b, clank(seed + (uint64_t)(t * 10), 900, 0.10), t);
        mix(b, clank(seed + (uint64_t)(t * 10) + 7, 950, 0.09), t + 0.11);
    }
    fade_in(b, 0.8);
    fade_out(b, 1.5);
    return b;
}

}  // namespace

void make_diesel_slot(Writer &w, const std::string &dir, const std::string &tmp) {
    const double eg = 0.45;  // one gain for every engine sound, so the notches keep their loudness order
    // Engine start: the ON track of the idle level, which plays when F1 goes on. (A plain F1_ON
    // would belong to the key's own function; its end does not hand over to the engine levels,
    // so the idle would not follow it.) Starter motor cranking, first firings, a rev and the
    // settle into idle.
    {
        double sec = 6.0;
        EngineCtl ctl{[](double t) {
                          if (t < 1.3) return 5.0 + 2.0 * t;
                          if (t < 2.6) return 8.0 + 40.0 * smoothstep((t - 1.3) / 1.3);
                          return kFire[0] + (48.0 - kFire[0]) * (1.0 - smoothstep((t - 2.6) / 2.4));
                      },
                      [](double t) {
                          if (t < 1.3) return 0.05;
                          if (t < 2.6) return 0.05 + 0.7 * smoothstep((t - 1.3) / 0.6);
                          return kInt[0] + (0.6 - kInt[0]) * (1.0 - smoothstep((t - 2.6) / 2.0));
                      }};
        Buf b = diesel(sec, 11, ctl);
        Buf starter(ns(1.5));
        double ph = 0.0;
        for (size_t i = 0; i < starter.size(); i++) {
            double t = (double)i / kRate;
            ph += (140 + 60 * smoothstep(t / 0.4)) / kRate;
            starter[i] = 0.12 * (std::sin(kTwoPi * ph) + 0.4 * std::sin(3 * kTwoPi * ph)) *
                         smoothstep(t / 0.1) * (1.0 - smoothstep((t - 1.2) / 0.3));
        }
        mix(b, starter, 0.0);
        mix(b, clank(12, 380, 0.15), 0.02);
        fade_in(b, 0.02);
        w.emit(dir, "F1_S0_ON", Fmt::Ogg, b, eg);
    }
    // Engine shut-down when F1 goes off at a stand: fuel cut, the rate dies away, a last shake.
    {
        EngineCtl ctl{[](double t) { return std::max(3.0, kFire[0] * (1.0 - smoothstep(t / 3.2)) + 3.0); },
                      [](double t) { return kInt[0] * (1.0 - smoothstep(t / 3.4)); }};
        Buf b = diesel(4.5, 13, ctl);
        mix(b, clank(14, 300, 0.12), 3.3);
        fade_out(b, 0.6);
        w.emit(dir, "F1_OFF", Fmt::Ogg, b, eg);
    }
    // Idle and notches: loops; ON into each running notch, OFF back down.
    for (int k = 0; k < 5; k++) {
        std::string pre = "F1_S" + std::to_string(kSpeedPct[k]) + "_";
        w.emit(dir, pre + "LOOP", Fmt::Adpcm, diesel_loop(k, loop_frames(3.0)), eg);
        if (k == 0) continue;
        w.emit(dir, pre + "ON", Fmt::Ogg, diesel_transition(k - 1, k, 2.0, 20 + k), eg);
        // The first running notch's OFF track becomes the drive-off sound near standstill: a
        // longer run-down to idle.
        w.emit(dir, pre + "OFF", Fmt::Ogg, diesel_transition(k, k - 1, k == 1 ? 2.4 : 2.0, 30 + k), eg);
    }
    // START: brake release as the locomotive is about to move; D-800 starts it 800 ms before
    // the motor's start delay (1 s by default) runs out.
    {
        Buf b = air_hiss(1.8, 40, 0.9, 0.04, 0.5);
        mix(b, clank(41, 520, 0.12), 0.05);
        mix(b, clank(42, 610, 0.08), 1.0);
        fade_out(b, 0.3);
        w.emit(dir, "F1_START_D-800", Fmt::Ogg, b, 0.8);
    }
    // STOP: brake blocks grinding harder as the speed falls, a last squeak, the jolt of
    // standing still and the release of the brake cylinder air.
    {
        double sec = 3.6;
        Buf b = noise(
            sec, 50, [=](double t) { return 0.6 + 1.6 * smoothstep(t / 3.0); }, 2, 1300, 1.5);
        Buf sq = squeal(1.4, 51, 2300, 1.0);
        for (size_t i = 0; i < sq.size(); i++) {
            double t = (double)i / kRate;
            sq[i] *= smoothstep(t / 0.4) * (1.0 - smoothstep((t - 1.0) / 0.4));
        }
        mix(b, sq, 1.6, 0.5);
        mix(b, clank(52, 330, 0.25), 3.0);
        mix(b, air_hiss(0.6, 53, 0.5, 0.02, 0.25), 3.05);
        fade_in(b, 0.2);
        fade_out(b, 0.15);
        w.emit(dir, "F1_STOP", Fmt::Ogg, b, 0.7);
    }
    // ESTOP: the brake pipe dumps to atmosphere and the wheels squeal hard.
    {
        Buf b = air_hiss(3.0, 60, 1.4, 0.01, 1.1);
        Buf sq = squeal(2.6, 61, 2700, 1.0);
        for (size_t i = 0; i < sq.size(); i++)
            sq[i] *= std::exp(-(double)i / kRate / 1.2);
        mix(b, sq, 0.1, 0.6);
        mix(b, clank(62, 300, 0.3), 0.0);
        fade_out(b, 0.3);
        w.emit(dir, "F1_ESTOP", Fmt::Ogg, b, 0.5);
    }
    // DIR: the reverser handle, two clicks and a small puff.
    {
        Buf b(ns(0.7), 0.0);
        mix(b, clank(70, 1200, 0.3), 0.0);
        mix(b, clank(71, 1400, 0.25), 0.22);
        mix(b, air_hiss(0.3, 72, 0.3, 0.01, 0.08), 0.3);
        fade_out(b, 0.05);
        w.emit(dir, "F1_DIR", Fmt::Pcm, b, 0.8);
    }
    // ACCELON variants (one is picked at random when the driver opens the throttle):
    // A a smoky roar, B a turbo chirp with a puff.
    {
        Buf a = noise(
            1.8, 80, [](double t) { return 3.0 * smoothstep(t / 0.25) * std::exp(-t / 0.7); }, 2, 220, 0.8);
        fade_out(a, 0.3);
        w.emit(dir, "F1A_ACCELON", Fmt::Ogg, a, 1.2);
        Buf b = turbo(1.6, 81);
        mix(b,
            noise(
                1.0, 82, [](double t) { return 2.5 * smoothstep(t / 0.05) * std::exp(-t / 0.3); }, 0, 400,
                0.8),
            0.0);
        fade_out(b, 0.3);
        w.emit(dir, "F1B_ACCELON", Fmt::Ogg, b, 0.6);
    }
    // DECELON variants: A the throttle closing with a sigh of air, B the dynamic brake
    // contactor closing and its blower starting.
    {
        Buf a = air_hiss(1.4, 90, 0.6, 0.15, 0.5);
        fade_out(a, 0.3);
        w.emit(dir, "F1A_DECELON", Fmt::Ogg, a, 0.6);
        Buf b = clank(91, 700, 0.3);
        mix(b,
            noise(
                1.6, 92, [](double t) { return 1.5 * smoothstep(t / 0.8); }, 2, 900, 0.9),
            0.1);
        fade_out(b, 0.4);
        w.emit(dir, "F1B_DECELON", Fmt::Ogg, b, 0.6);
    }
    // Banded DECEL: dynamic brake blowers, higher-pitched from higher speeds; each track is
    // started so that it ends when the speed reaches its band's lower edge.
    const int bands[3] = {20, 45, 70};
    for (int k = 0; k < 3; k++)
        w.emit(dir, "F1_S" + std::to_string(bands[k]) + "_DECEL", Fmt::Ogg,
               brake_blower(3.0, 100 + k, 1200 + 500 * k), 0.5);
    // LOOPD: rolling over rail joints while the train coasts down.
    w.emit(dir, "F1_LOOPD", Fmt::Ogg, rolling(6.0, 110, 0.9), 1.0);
    // TURBO above 60 % while accelerating.
    w.emit(dir, "F1_S60_TURBO", Fmt::Ogg, turbo(8.0, 120), 0.45);

    // F2 horn: ON (attack and the start of the blow), LOOP (the sustained chord), OFF (release).
    {
        int len = loop_frames(1.0);
        const double notes[2] = {whole_cycles(311.0, (double)len / kRate),
                                 whole_cycles(370.0, (double)len / kRate)};
        auto flat = [](double) { return 1.0; };
        Buf on = horn(
            0.8, notes, 2, 130, [](double t) { return smoothstep(t / 0.05); },
            [](double t) { return 0.96 + 0.04 * smoothstep(t / 0.12); });
        w.emit(dir, "F2_ON", Fmt::Pcm, on, 0.75);
        Buf s = horn(
            1.3, notes, 2, 131, [](double) { return 1.0; }, flat);
        w.emit(dir, "F2_LOOP", Fmt::Adpcm, make_loop(s, len, ns(0.3)), 0.75);
        Buf off = horn(
            0.9, notes, 2, 132, [](double t) { return 1.0 - smoothstep((t - 0.3) / 0.3); },
            [](double t) { return 1.0 - 0.03 * smoothstep((t - 0.3) / 0.3); });
        w.emit(dir, "F2_OFF", Fmt::Pcm, off, 0.75);
    }
    // F3 bell: a loop of two strikes and a last strike ringing out.
    {
        int p = loop_frames(0.8);  // a strike every 0.79 s; the loop holds two
        Buf strikes = bell_strikes(p, 12, 620, 11);
        // The loop starts half-way between strikes, where the bell is ringing quietest.
        Buf loop(strikes.begin() + 8 * p + p / 2, strikes.begin() + 10 * p + p / 2 + ns(0.2));
        w.emit(dir, "F3_LOOP", Fmt::Adpcm, make_loop(loop, 2 * p, ns(0.2)), 0.45);
        Buf last = bell_strikes(p, 12, 620, 10);
        Buf off(last.begin() + 10 * p, last.begin() + 10 * p + ns(2.5));
        fade_out(off, 0.5);
        w.emit(dir, "F3_OFF", Fmt::Adpcm, off, 0.45);
    }
    // F4 whistle, MULTI: three variants, one picked at random each time the key goes on.
    w.emit(dir, "F4A_ON", Fmt::Ogg, whistle({{0.0, 0.6}}, 140), 0.5);
    w.emit(dir, "F4B_ON", Fmt::Ogg, whistle({{0.0, 1.6}}, 141), 0.5);
    w.emit(dir, "F4C_ON", Fmt::Ogg, whistle({{0.0, 0.3}, {0.5, 0.9}}, 142), 0.5);
    // F5 coupler: two clanks and the air hose coupling.
    {
        Buf b(ns(1.3), 0.0);
        mix(b, clank(150, 420, 0.5), 0.02);
        mix(b, clank(151, 460, 0.3), 0.33);
        mix(b, air_hiss(0.7, 152, 0.35, 0.03, 0.25), 0.55);
        fade_out(b, 0.1);
        w.emit(dir, "F5", Fmt::Pcm, b, 0.5);
    }
    // F8/F9 announcements: INFONEXT before a station, INFO at the station.
    const char *stations[3][2] = {
        {"The next station is Alder Brook.",
         "Alder Brook. Please mind the gap between the train and the platform."},
        {"The next station is Birch Hill.", "Birch Hill. Change here for the harbour line."},
        {"The next station is Cedar Bay, where this train terminates.",
         "Cedar Bay. This train terminates here. Please take all your belongings with you."}};
    for (int k = 0; k < 3; k++) {
        w.emit(dir, "F8_INFONEXT" + std::to_string(k + 1), Fmt::Ogg, announcement(tmp, stations[k][0]), 0.6);
        w.emit(dir, "F8_INFO" + std::to_string(k + 1), Fmt::Ogg, announcement(tmp, stations[k][1]), 0.6);
    }
    // F10 brake squeal (switched by the braking logic condition): loop and a short release.
    {
        int len = loop_frames(1.0);
        Buf s = squeal(1.3, 160, 2600, (double)len / kRate);
        w.emit(dir, "F10_LOOP", Fmt::Adpcm, make_loop(s, len, ns(0.3)), 0.4);
        Buf off = squeal(0.7, 161, 2600, 1.0);
        for (size_t i = 0; i < off.size(); i++)
            off[i] *= 1.0 - smoothstep((double)i / kRate / 0.6);
        w.emit(dir, "F10_OFF", Fmt::Pcm, off, 0.4);
    }
    // F11 compressor (switched at random while standing): start, chugging loop, stop with the
    // drain valve blowing off.
    {
        auto lv = [](double) { return 1.0; };
        Buf on = compressor(
            1.2, 170, [](double t) { return 2.0 + 4.0 * smoothstep(t / 1.0); }, lv);
        fade_in(on, 0.05);
        w.emit(dir, "F11_ON", Fmt::Ogg, on, 0.5);
        int len = loop_frames(2.0);
        double rate = whole_cycles(6.0, (double)len / kRate);  // about six strokes a second
        Buf s = compressor(
            2.5, 171, [=](double) { return rate; }, lv);
        // Half a stroke in, so that the join falls between two strokes.
        w.emit(dir, "F11_LOOP", Fmt::Adpcm, make_loop(drop(s, 0.5 / rate), len, ns(0.3)), 0.5);
        Buf off = compressor(
            1.0, 172, [](double t) { return std::max(0.5, 6.0 - 5.0 * t); },
            [](double t) { return 1.0 - smoothstep(t / 0.9); });
        mix(off, air_hiss(1.4, 173, 1.0, 0.01, 0.5), 0.6);
        fade_out(off, 0.4);
        w.emit(dir, "F11_OFF", Fmt::Ogg, off, 0.5);
    }
    // F12 radiator fan (switched by the FAN condition under high load at low speed).
    {
        Buf on = fan(2.5, 180, [](double t) { return smoothstep(t / 2.3); });
        w.emit(dir, "F12_ON", Fmt::Ogg, on, 0.6);
        int len = loop_frames(2.0);
        Buf s = fan(
            2.8, 181, [](double) { return 1.0; }, whole_cycles(118.0, (double)len / kRate));
        w.emit(dir, "F12_LOOP", Fmt::Adpcm, make_loop(drop(s, 0.3), len, ns(0.3)), 0.6);
        Buf off = fan(3.0, 182, [](double t) { return 1.0 - smoothstep(t / 2.9); });
        w.emit(dir, "F12_OFF", Fmt::Ogg, off, 0.6);
    }

    write_text(dir + "functions.txt",
               "1:DemoDiesel\n"
               "F0:1:Lights\n"
               "F1:2:Engine\n"
               "F2:8M:Horn\n"
               "F3:9:Bell\n"
               "F4:10M:Whistle\n"
               "F5:11M:Coupler\n"
               "F6:12:Shunting\n"
               "F7:3:Cab_light\n"
               "F8:20M:Announcement\n"
               "F9:21M:Announcement_back\n"
               "F10:13:Brake_squeal\n"
               "F11:14:Compressor\n"
               "F12:15:Radiator_fan\n"
               "F22:16:Mute_brake_sounds\n"
               "F23:17:Mute\n");
    // Brake squeal for every 15 % of speed lost while moving, held 2.5 s after the last;
    // the compressor every 20 to 60 s while standing with the engine running, for 7 s;
    // the fan while the load is at least 70 % at up to 50 % speed; no coupler sound on the move.
    write_text(dir + "logic.txt",
               "F10_DCL_S15_L2500_INMOVE\n"
               "F11_RANDOM_R20_E60_L7000_INSTOP\n"
               "F12_FAN_V70_E50\n"
               "F5_BLOCKDRV\n");
    // The engine-load and fade settings these sounds were made for (the factory values), so
    // that coming back from the other slot restores them.
    write_text(dir + "cv.txt", "cv194=30\ncv195=50\ncv196=0\ncv204=35\ncv205=95\n");
    // Head lights by direction, cab light on F7, marker lights with F0 both ways.
    write_text(dir + "cv_map.txt", "F0_F:>0\nF0_R:<0\nAUX1:7\nAUX2:0\n");
}
