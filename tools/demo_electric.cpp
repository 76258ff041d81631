// The electric locomotive of the demo, slot 2: a load-driven engine sound, a horn, and the
// slot's text files.
#include <algorithm>
#include <cmath>
#include <string>

#include "demo_slots.h"

using namespace synth;

namespace {

// Transformer hum, blowers and the traction inverter; `whine` is the inverter pitch (0 = off)
// and `level` the tractive effort (0..1).
Buf electric(double sec, uint64_t seed, const std::function<double(double)> &whine,
             const std::function<double(double)> &level, const std::function<double(double)> &blowers,
             double mains = 100.0) {
    Rng rng(seed);
    Biquad blow, motor;
    motor.bandpass(210, 2.0);
    Buf out(ns(sec));
    double ph = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = (double)i / kRate, w = whine(t), L = level(t), bl = std::clamp(blowers(t), 0.0, 1.0);
        if (i % 32 == 0) blow.lowpass(200 + 1300 * bl, 0.6);
        ph += w / kRate;
        ph -= std::floor(ph);
        double hum = 0.5 * std::sin(kTwoPi * mains * t) + 0.25 * std::sin(kTwoPi * 2 * mains * t + 0.4) +
                     0.12 * std::sin(kTwoPi * 3 * mains * t + 1.1) +
                     0.06 * std::sin(kTwoPi * 4 * mains * t + 2.0);
        double inv = std::sin(kTwoPi * ph) + 0.35 * std::sin(2 * kTwoPi * ph + 0.6) +
                     0.2 * std::sin(kTwoPi * ph * 1.5 + 0.2);
        double n = rng.bip();
        out[i] = 0.16 * hum * bl + blow.run(n) * 0.9 * bl + inv * 0.3 * L + motor.run(n) * 1.6 * L;
    }
    return out;
}

const double kWhine[4] = {0, 420, 640, 900};
const double kLevel[4] = {0.0, 0.45, 0.7, 1.0};
const int kLoadPct[4] = {0, 25, 50, 75};

Buf electric_loop(int k, int len) {
    double loop_sec = (double)len / kRate;
    double w = k == 0 ? 0.0 : whole_cycles(kWhine[k], loop_sec, 2);
    double pre = 0.3, xf = 0.3;
    Buf s = electric(
        pre + loop_sec + xf + 0.05, 300 + k, [=](double) { return w; }, [=](double) { return kLevel[k]; },
        [](double) { return 1.0; }, whole_cycles(100.0, loop_sec));
    return make_loop(drop(s, pre), len, ns(xf));
}

Buf electric_transition(int from, int to, double sec, uint64_t seed) {
    double w0 = from == 0 ? kWhine[1] * 0.6 : kWhine[from], w1 = to == 0 ? kWhine[1] * 0.6 : kWhine[to];
    double l0 = kLevel[from], l1 = kLevel[to], glide = sec * 0.8;
    return electric(
        sec, seed, [=](double t) { return w0 + (w1 - w0) * smoothstep(t / glide); },
        [=](double t) { return l0 + (l1 - l0) * smoothstep(t / glide); }, [](double) { return 1.0; });
}

}  // namespace

void make_electric_slot(Writer &w, const std::string &dir) {
    const double eg = 0.6;
    auto one = [](double) { return 1.0; };
    // Pantograph up, main breaker in, transformer and blowers starting: the idle level's ON.
    {
        Buf b = electric(
            4.0, 200, [](double) { return 0.0; }, [](double) { return 0.0; },
            [](double t) { return smoothstep((t - 1.4) / 2.2); });
        Buf whirr = noise(
            1.0, 201, [](double t) { return 0.6 * std::sin(kPi * std::min(t, 1.0)); }, 2, 700, 2.0);
        mix(b, whirr, 0.0);
        mix(b, clank(202, 800, 0.25), 1.0);
        mix(b, clank(203, 180, 0.35), 1.4);
        w.emit(dir, "F1_M0_ON", Fmt::Ogg, b, eg);
    }
    // Main breaker out, blowers running down.
    {
        Buf b = electric(
            4.0, 210, [](double) { return 0.0; }, [](double) { return 0.0; },
            [](double t) { return 1.0 - smoothstep(t / 3.6); });
        mix(b, clank(211, 200, 0.3), 0.0);
        w.emit(dir, "F1_OFF", Fmt::Ogg, b, eg);
    }
    for (int k = 0; k < 4; k++) {
        std::string pre = "F1_M" + std::to_string(kLoadPct[k]) + "_";
        w.emit(dir, pre + "LOOP", Fmt::Adpcm, electric_loop(k, loop_frames(3.0)), eg);
        if (k == 0) continue;
        w.emit(dir, pre + "ON", Fmt::Ogg, electric_transition(k - 1, k, 1.5, 220 + k), eg);
        w.emit(dir, pre + "OFF", Fmt::Ogg, electric_transition(k, k - 1, k == 1 ? 2.2 : 1.8, 230 + k), eg);
    }
    {
        Buf b = air_hiss(1.4, 240, 0.9, 0.03, 0.4);
        mix(b, clank(241, 900, 0.1), 0.05);
        fade_out(b, 0.3);
        w.emit(dir, "F1_START", Fmt::Ogg, b, 0.7);
    }
    {
        double sec = 3.0;
        Buf b = noise(
            sec, 250, [=](double t) { return 0.5 + 1.4 * smoothstep(t / 2.5); }, 2, 1500, 1.5);
        mix(b, clank(251, 350, 0.2), 2.5);
        mix(b, air_hiss(0.5, 252, 0.4, 0.02, 0.2), 2.55);
        fade_in(b, 0.2);
        fade_out(b, 0.15);
        w.emit(dir, "F1_STOP", Fmt::Ogg, b, 0.7);
    }
    {
        Buf b = air_hiss(2.5, 260, 1.4, 0.01, 0.9);
        mix(b, clank(261, 300, 0.3), 0.0);
        fade_out(b, 0.3);
        w.emit(dir, "F1_ESTOP", Fmt::Ogg, b, 0.5);
    }
    {
        Buf b(ns(0.5), 0.0);
        mix(b, clank(270, 1500, 0.3), 0.0);
        mix(b, clank(271, 1700, 0.2), 0.12);
        fade_out(b, 0.05);
        w.emit(dir, "F1_DIR", Fmt::Pcm, b, 0.8);
    }
    {
        int len = loop_frames(1.0);
        const double notes[2] = {whole_cycles(494.0, (double)len / kRate),
                                 whole_cycles(587.0, (double)len / kRate)};
        Buf on = horn(
            0.7, notes, 2, 280, [](double t) { return smoothstep(t / 0.04); },
            [](double t) { return 0.97 + 0.03 * smoothstep(t / 0.1); });
        w.emit(dir, "F2_ON", Fmt::Pcm, on, 0.5);
        Buf s = horn(1.3, notes, 2, 281, one, one);
        w.emit(dir, "F2_LOOP", Fmt::Adpcm, make_loop(s, len, ns(0.3)), 0.5);
        Buf off = horn(
            0.8, notes, 2, 282, [](double t) { return 1.0 - smoothstep((t - 0.25) / 0.3); }, one);
        w.emit(dir, "F2_OFF", Fmt::Pcm, off, 0.5);
    }
    write_text(dir + "functions.txt",
               "2:DemoElectric\n"
               "F0:1:Lights\n"
               "F1:2:Traction\n"
               "F2:8M:Horn\n"
               "F7:3:Cab_light\n");
    // A heavier train: some load even at constant speed, a slower load rise.
    write_text(dir + "cv.txt", "cv194=20\ncv195=40\ncv196=25\ncv204=40\ncv205=95\n");
    write_text(dir + "cv_map.txt", "F0_F:>0\nF0_R:<0\nAUX1:7\n");
}
