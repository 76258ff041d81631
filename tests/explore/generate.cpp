#include "generate.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>

#include "adpcm-lib.h"
#include "audio_files.h"

namespace explore {

namespace {

constexpr int RATE = 32000;
constexpr int AMPLITUDE = 6000;
// Keys with a meaning of their own in the decoder's defaults: shunting (F6, CV 165), silencing
// the stop sounds (F22, CV 206), mute (F23, CV 207) and the never-blocked function (F28, CV 200).
const std::set<int> RESERVED = {6, 22, 23, 28};

class Gen {
public:
    explicit Gen(uint64_t seed) : rng_(seed) {
        // Tones 80 Hz apart, so that each is told from its neighbours in a 64 ms window; more than
        // the largest project can use.
        for (int f = 200; f <= 9000; f += 80)
            palette_.push_back(f);
        std::shuffle(palette_.begin(), palette_.end(), rng_);
    }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    // Lengths from 20 ms to 6 s, short ones as often as long ones (log-uniform).
    int length_ms(int lo = 20, int hi = 6000) {
        return (int)std::lround(std::exp(uniform(std::log(lo), std::log(hi))));
    }
    int key(std::set<int> &used) {
        for (;;) {
            int k = pick(0, 40);
            if (RESERVED.count(k) == 0 && used.count(k) == 0) {
                used.insert(k);
                return k;
            }
        }
    }
    File file(const std::string &stem, int function, const std::string &role, int index, int ms, bool loops) {
        File f;
        f.function = function;
        f.role = role;
        f.index = index;
        // Whole cycles of the tone (every 25 ms for a tone on the 40 Hz grid at 32 kHz), so that
        // a loop joins without a click that would smear the tone over its neighbours.
        f.ms = std::max(25, (ms + 12) / 25 * 25);
        f.freq = palette_.back();
        palette_.pop_back();
        const int r = pick(0, 99);
        f.format = r < 50 ? Format::PCM : r < 75 ? Format::ADPCM : Format::OGG;
        if (f.format == Format::OGG && loops) {
            // An Ogg loop drops, at every pass, the end that does not fill a whole buffer (2048
            // frames), as the decoder does by design: a loop that is a whole number of buffers
            // and of cycles (1.6 s) joins cleanly.
            f.ms = std::max(1600, (f.ms + 800) / 1600 * 1600);
        }
        f.channels = chance(0.15) ? 2 : 1;
        f.name = stem + (f.format == Format::OGG ? ".ogg" : ".wav");
        return f;
    }
    std::mt19937_64 &rng() { return rng_; }

private:
    std::mt19937_64 rng_;
    std::vector<int> palette_;
};

std::string F(int k) {
    return "F" + std::to_string(k);
}

void gen_drive(Gen &g, Slot &s, std::set<int> &used, bool small) {
    const int fid = g.key(used);
    s.drive_fid = fid;
    s.load = g.chance(0.3);
    const std::string lv = s.load ? "_M" : "_S";
    // The idle level at 0, then levels at least 10 % apart.
    s.level_pct = {0};
    const int n = small ? g.pick(1, 2) : g.pick(1, 5);
    std::set<int> pcts;
    while ((int)pcts.size() < n - 1) {
        const int p = 10 * g.pick(1, 9);
        pcts.insert(p);
    }
    s.level_pct.insert(s.level_pct.end(), pcts.begin(), pcts.end());
    // Whole-range ACCEL/DECEL tracks, and then no level has ON or OFF tracks.
    const bool whole_accel = g.chance(0.2), whole_decel = g.chance(0.2);
    for (size_t k = 0; k < s.level_pct.size(); k++) {
        const std::string stem = F(fid) + lv + std::to_string(s.level_pct[k]);
        // A loop of parts plays faster with speed, and not at all at a stand: not for the idle level.
        const bool parts = k > 0 && !s.load && !small && g.chance(0.1);
        if (parts) {
            const int period = g.chance(0.5) ? 1 : 500;
            const std::string ptoken = period == 1 ? "_PX" : "_P500";
            const int count = g.pick(2, 3);
            for (int p = 1; p <= count; p++)
                s.files.push_back(g.file(stem + ptoken + "_LOOP" + std::to_string(p), fid, "part", (int)k,
                                         g.length_ms(600, 3000), false));
        } else {
            s.files.push_back(
                g.file(stem + "_LOOP", fid, "level-loop", (int)k, g.length_ms(100, 5000), true));
        }
        if (!whole_accel && !whole_decel) {
            if (g.chance(0.35))
                s.files.push_back(g.file(stem + "_ON", fid, "level-on", (int)k, g.length_ms(), false));
            if (g.chance(0.35))
                s.files.push_back(g.file(stem + "_OFF", fid, "level-off", (int)k, g.length_ms(), false));
        }
    }
    if (whole_accel)
        s.files.push_back(g.file(F(fid) + "_ACCEL", fid, "accel", -1, g.length_ms(500, 6000), false));
    if (whole_decel)
        s.files.push_back(g.file(F(fid) + "_DECEL", fid, "decel", -1, g.length_ms(500, 6000), false));
    if (small) return;
    if (g.chance(0.4)) {
        std::string name = F(fid) + "_START";
        if (g.chance(0.5)) name += "_D" + std::to_string(g.pick(-500, 800));
        s.files.push_back(g.file(name, fid, "start", -1, g.length_ms(200, 4000), false));
    }
    if (g.chance(0.4))
        s.files.push_back(g.file(F(fid) + "_STOP", fid, "stop", -1, g.length_ms(300, 5000), false));
    if (g.chance(0.4)) s.files.push_back(g.file(F(fid) + "_ESTOP", fid, "estop", -1, g.length_ms(), false));
    if (g.chance(0.3)) s.files.push_back(g.file(F(fid) + "_DIR", fid, "dir", -1, g.length_ms(), false));
    if (g.chance(0.3)) {
        const int t = g.pick(3, 8) * 10;
        s.files.push_back(g.file(F(fid) + "_S" + std::to_string(t) + "_TURBO", fid, "turbo", t,
                                 g.length_ms(300, 4000), true));
    }
    if (g.chance(0.25))
        s.files.push_back(g.file(F(fid) + "_LOOPD", fid, "loopd", -1, g.length_ms(300, 4000), true));
    for (const char *kind : {"ACCEL", "DECEL"}) {
        if (!g.chance(0.15)) continue;
        std::set<int> bands;
        const int n_bands = g.pick(1, 3);
        while ((int)bands.size() < n_bands)
            bands.insert(g.pick(0, 8) * 10);
        for (int b : bands)
            s.files.push_back(g.file(F(fid) + "_S" + std::to_string(b) + "_" + kind, fid,
                                     std::string(kind) == "ACCEL" ? "accel-band" : "decel-band", b,
                                     g.length_ms(300, 5000), false));
    }
    for (const char *kind : {"ACCELON", "DECELON"}) {
        if (!g.chance(0.25)) continue;
        const int variants = g.pick(1, 3);
        for (int v = 0; v < variants; v++)
            s.files.push_back(g.file(F(fid) + std::string(1, (char)('A' + v)) + "_" + kind, fid,
                                     std::string(kind) == "ACCELON" ? "accelon" : "decelon", v, g.length_ms(),
                                     false));
    }
    if (g.chance(0.1)) s.files.push_back(g.file(F(fid) + "_ON", fid, "main-on", -1, g.length_ms(), false));
    if (g.chance(0.1))
        s.files.push_back(g.file(F(fid) + "_LOOP", fid, "main-loop", -1, g.length_ms(300, 4000), true));
    if (g.chance(0.1)) s.files.push_back(g.file(F(fid) + "_OFF", fid, "main-off", -1, g.length_ms(), false));
}

void gen_plain(Gen &g, Slot &s, std::set<int> &used) {
    const int k = g.key(used);
    // Any non-empty combination of ON, LOOP and OFF, or a sound played once.
    const int combo = g.pick(0, 7);
    if (combo == 0) {
        s.files.push_back(g.file(F(k), k, "oneshot", -1, g.length_ms(), false));
        return;
    }
    if (combo & 1) s.files.push_back(g.file(F(k) + "_ON", k, "on", -1, g.length_ms(), false));
    if (combo & 2) {
        File loop = g.file(F(k) + "_LOOP", k, "loop", -1, g.length_ms(100, 4000), true);
        if (g.chance(0.1)) {
            loop.loop_length_ms = g.pick(10, 40) * 100;
            const std::string ext = loop.name.substr(loop.name.size() - 4);
            loop.name = F(k) + "_L" + std::to_string(loop.loop_length_ms) + "_LOOP" + ext;
        }
        s.files.push_back(loop);
    }
    if (combo & 4) s.files.push_back(g.file(F(k) + "_OFF", k, "off", -1, g.length_ms(), false));
}

void gen_multi(Gen &g, Slot &s, std::set<int> &used) {
    const int k = g.key(used);
    const int variants = g.pick(2, 3);
    const bool on = g.chance(0.5);
    for (int v = 0; v < variants; v++) {
        const std::string stem = F(k) + std::string(1, (char)('A' + v));
        if (on) s.files.push_back(g.file(stem + "_ON", k, "on", v, g.length_ms(), false));
        s.files.push_back(g.file(stem + "_LOOP", k, "loop", v, g.length_ms(100, 3000), true));
    }
}

void gen_info(Gen &g, Slot &s, std::set<int> &used) {
    int k;
    do {
        k = g.pick(0, 39);
    } while (used.count(k) || used.count(k + 1) || RESERVED.count(k) || RESERVED.count(k + 1));
    used.insert(k);
    used.insert(k + 1);
    const int entries = g.pick(1, 3);
    for (int e = 1; e <= entries; e++) {
        if (g.chance(0.5))
            s.files.push_back(g.file(F(k) + "_INFONEXT" + std::to_string(e), k, "infonext", e,
                                     g.length_ms(100, 3000), false));
        s.files.push_back(
            g.file(F(k) + "_INFO" + std::to_string(e), k, "info", e, g.length_ms(100, 3000), false));
    }
    // Pressing one key of the pair while the other is on starts the list over, with an error line.
    s.expect_errors.push_back("Reset INFO pos to start");
}

void gen_logic(Gen &g, Slot &s, const std::vector<int> &plain) {
    if (plain.size() < 2) return;
    const int n = g.pick(1, 3);
    for (int i = 0; i < n; i++) {
        const int a = plain[(size_t)g.pick(0, (int)plain.size() - 1)];
        int b;
        do {
            b = plain[(size_t)g.pick(0, (int)plain.size() - 1)];
        } while (b == a);
        std::string line;
        switch (g.pick(0, 5)) {
            case 0:
                line = F(a) + "_BLOCK_" + F(b);
                break;
            case 1:
                line = F(a) + "_" + F(b) + "_ON_L" + std::to_string(g.pick(5, 30) * 100);
                break;
            case 2:
                line = F(a) + "_TOGETHER_" + F(b) + "_D" + std::to_string(g.pick(0, 10) * 100);
                break;
            case 3: {
                const int lo = g.pick(0, 5) * 10;
                line = F(a) + "_SPD_S" + std::to_string(lo) + "_E" + std::to_string(lo + g.pick(2, 5) * 10) +
                       "_D" + std::to_string(g.pick(0, 20) * 100);
                break;
            }
            case 4:
                line = F(a) + "_RANDOM_R" + std::to_string(g.pick(2, 10)) + "_E" +
                       std::to_string(g.pick(11, 30)) + "_L" + std::to_string(g.pick(10, 50) * 100) +
                       (g.chance(0.5) ? "_INSTOP" : "_INMOVE");
                break;
            default:
                // The master volume while the trigger is on; loud enough that the engine is heard.
                line = F(a) + "_VOL_V" + std::to_string(g.pick(120, 255));
                break;
        }
        s.logic.push_back(line);
        for (int f : {a, b})
            if (!s.is_logic_target(f)) s.logic_targets.push_back(f);
    }
}

Slot gen_slot(Gen &g, bool small) {
    Slot s;
    std::set<int> used;
    if (g.chance(small ? 0.7 : 0.95)) gen_drive(g, s, used, small);
    std::vector<int> plain;
    const int n_plain = small ? g.pick(0, 2) : g.pick(1, 5);
    for (int i = 0; i < n_plain; i++) {
        gen_plain(g, s, used);
        plain.push_back(s.files.back().function);
    }
    if (!small && g.chance(0.3)) gen_multi(g, s, used);
    if (!small && g.chance(0.3)) gen_info(g, s, used);
    if (!small && g.chance(0.5)) gen_logic(g, s, plain);
    // A plain function whose volume follows the speed from a low end at or near 0 %: at a stand
    // silent, also once its own volume scales the low end down to 0.
    if (const int f = plain.empty() ? -1 : plain[0];
        !small && f >= 0 && !s.is_logic_target(f) && g.chance(0.25)) {
        const int lo = std::vector<int>{0, 0, 1, 2, 5}[(size_t)g.pick(0, 4)];
        s.logic.push_back(F(f) + "_VOLSPD_V" + std::to_string(lo) + "_E" +
                          std::to_string(g.pick(4, 10) * 10));
        s.logic_targets.push_back(f);
    }
    return s;
}

std::string seconds(double s) {
    char buf[32];
    snprintf(buf, sizeof buf, "wait %.3f", s);
    return buf;
}

// ---------------------------------------------------------------- audio files

std::vector<int16_t> tone(int freq, int ms, int channels) {
    const size_t frames = (size_t)ms * RATE / 1000;
    std::vector<int16_t> s(frames * (size_t)channels);
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            s[i * (size_t)channels + (size_t)c] =
                (int16_t)(AMPLITUDE * std::sin(2 * M_PI * freq * (double)i / RATE));
    return s;
}

std::filesystem::path cached(const File &f, const std::filesystem::path &cache) {
    const char *ext = f.format == Format::OGG ? ".ogg" : ".wav";
    const char *kind = f.format == Format::PCM ? "pcm" : f.format == Format::ADPCM ? "adpcm" : "ogg";
    const auto path = cache / (std::to_string(f.freq) + "-" + std::to_string(f.ms) + "-" +
                               std::to_string(f.channels) + "-" + kind + ext);
    if (std::filesystem::exists(path)) return path;
    // Made under a name of this process and renamed, so that parallel runs share the cache.
    const auto tmp = cache / ("tmp-" + std::to_string(getpid()) + "-" + path.filename().string());
    const auto samples = tone(f.freq, f.ms, f.channels);
    bool ok;
    if (f.format == Format::PCM) {
        ok = test_support::write_pcm_wav(tmp.string(), samples, RATE, (uint16_t)f.channels);
    } else if (f.format == Format::ADPCM) {
        ok =
            adpcm_write_wav_file(tmp.c_str(), samples.data(), (uint32_t)(samples.size() / (size_t)f.channels),
                                 f.channels, RATE, 0, 3) == 0;
    } else {
        const auto pcm = cache / ("tmp-" + std::to_string(getpid()) + "-src.wav");
        ok = test_support::write_pcm_wav(pcm.string(), samples, RATE, (uint16_t)f.channels) &&
             test_support::sox("'" + pcm.string() + "' '" + tmp.string() + "'");
        std::filesystem::remove(pcm);
    }
    if (!ok) throw std::runtime_error("cannot make " + path.string());
    std::filesystem::rename(tmp, path);
    return path;
}

}  // namespace

Model generate_project(uint64_t seed) {
    Gen g(seed);
    Model m;
    m.slots[0] = gen_slot(g, false);
    if (g.chance(0.3)) m.slots[1] = gen_slot(g, true);
    // Now and then a file at another sample rate: refused, with its error line, and the slot
    // loads with errors.
    if (g.chance(0.1)) {
        File odd;
        // On a key no other file uses (generated keys are 0..40).
        odd.name = "F50_LOOP.wav";
        odd.function = 50;
        odd.role = "other-rate";
        odd.ms = 300;
        m.slots[0].files.push_back(odd);
        m.slots[0].expect_errors.push_back("is not equal to slot value");
    }
    return m;
}

std::vector<std::string> generate_script(const Model &m, uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0x5DEECE66Dull);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    const Slot &s = m.slots[0];
    std::vector<int> keys;
    for (const File &f : s.files)
        if (f.function != s.drive_fid && f.role != "other-rate" &&
            std::find(keys.begin(), keys.end(), f.function) == keys.end())
            keys.push_back(f.function);
    for (const File &f : s.files)  // the backward key of an announcement list
        if (f.role == "info" && std::find(keys.begin(), keys.end(), f.function + 1) == keys.end())
            keys.push_back(f.function + 1);

    // Swarm testing: half the drives mix every kind of step as a user would; the others draw a
    // weight per kind, so that some drives are all keys, all speed or many slot switches.
    enum Kind {
        SPEED,
        REVERSE,
        ESTOP,
        KEY,
        DRIVE_KEY,
        CV,
        SLOT,
        MUTE,
        UNLOAD,
        WHILE_MOVING,
        VOLUME,
        LONG_RAMP
    };
    std::vector<double> weight = {35, 5, 4, 20, 4, 10, 3, 3, 2, 6, 3, 2};
    for (double &w : weight)
        w *= pick(0, 1) ? 1 : std::vector<double>{0, 0.25, 1, 4}[(size_t)pick(0, 3)];
    weight[SPEED] = std::max(weight[SPEED], 1.0);
    std::discrete_distribution<int> kind_of(weight.begin(), weight.end());
    std::vector<int> dynamic;  // functions whose volume a VOLSPD logic sets
    for (const std::string &l : s.logic)
        if (int f; std::sscanf(l.c_str(), "F%d_VOLSPD", &f) == 1) dynamic.push_back(f);
    std::vector<std::string> out;
    out.push_back(seconds(uniform(0.2, 1.0)));
    if (s.drive_fid >= 0 && pick(0, 9) > 0) out.push_back("f" + std::to_string(s.drive_fid));
    const double length = uniform(30, 90);
    double t = 0;
    int speed = 0;
    bool other_slot = false;
    while (t < length) {
        const int r = kind_of(rng);
        if (r == SPEED) {
            // Speed: steps and jumps, up and down.
            if (pick(0, 2) == 0) {
                speed = pick(0, 10) * 10;
            } else {
                speed = std::clamp(speed + pick(-3, 3) * 10 + pick(-5, 5), 0, 100);
            }
            out.push_back("s" + std::to_string(speed));
        } else if (r == REVERSE) {
            out.push_back("s-" + std::to_string(pick(10, 80) + 1));  // the other direction
            speed = 0;
        } else if (r == ESTOP) {
            out.push_back("estop");
            speed = 0;
        } else if (r == KEY && !keys.empty()) {
            const int k = keys[(size_t)pick(0, (int)keys.size() - 1)];
            const int how = pick(0, 9);
            if (how == 0) {
                out.push_back("m" + std::to_string(k));
            } else if (how == 1) {
                // Quick succession.
                out.push_back("f" + std::to_string(k));
                out.push_back(seconds(uniform(0.02, 0.3)));
                out.push_back("f" + std::to_string(k));
            } else {
                out.push_back("f" + std::to_string(k));
            }
        } else if (r == DRIVE_KEY && s.drive_fid >= 0) {
            out.push_back("f" + std::to_string(s.drive_fid));
        } else if (r == CV) {
            // The acceleration or braking rate, the fade time, the master volume, or a dynamic
            // function volume (CV 192 and 193).
            static const struct {
                int cv, low, high;
            } writes[] = {{3, 0, 40}, {4, 0, 40}, {204, 5, 80}, {203, 90, 255}};
            const int which = pick(0, 4);
            if (which < 4) {
                out.push_back("cv" + std::to_string(writes[which].cv) + "=" +
                              std::to_string(pick(writes[which].low, writes[which].high)));
            } else {
                const int f = s.drive_fid >= 0 && pick(0, 1) ? s.drive_fid : (keys.empty() ? 1 : keys[0]);
                out.push_back("cv192=" + std::to_string(f));
                out.push_back("cv193=" + std::to_string(pick(40, 200)));
            }
        } else if (r == SLOT && !m.slots[1].empty()) {
            other_slot = !other_slot;
            out.push_back(other_slot ? "cv202=2" : "cv202=1");
        } else if (r == MUTE) {
            out.push_back("f23");  // mute, and unmute a little later
            out.push_back(seconds(uniform(0.2, 2)));
            out.push_back("f23");
        } else if (r == UNLOAD) {
            // Unloaded, with a key or a speed meanwhile, and mostly loaded again.
            const bool key = !keys.empty() && pick(0, 1);
            out.insert(out.end(),
                       {"cv202=0", seconds(uniform(0.1, 1.5)),
                        key ? "f" + std::to_string(keys[(size_t)pick(0, (int)keys.size() - 1)]) : "s30",
                        seconds(uniform(0.2, 3))});
            if (pick(0, 3) > 0) out.push_back(other_slot ? "cv202=2" : "cv202=1");
        } else if (r == WHILE_MOVING) {
            // Under way (perhaps at the speed already): an emergency stop, or the engine off and on.
            speed = pick(3, 10) * 10;
            out.insert(out.end(), {"s" + std::to_string(speed), seconds(uniform(2, 6))});
            const std::string d = "f" + std::to_string(s.drive_fid);
            if (s.drive_fid >= 0 && pick(0, 1)) out.insert(out.end(), {d, seconds(uniform(0.05, 1.5)), d});
            if (out.back() != d) out.push_back("estop");
        } else if (r == VOLUME && !dynamic.empty()) {
            // A small volume for a function whose dynamic volume may scale it down to 0 %.
            out.push_back("cv192=" + std::to_string(dynamic[(size_t)pick(0, (int)dynamic.size() - 1)]));
            out.push_back("cv193=" + std::to_string(pick(0, 1) ? pick(1, 60) : pick(40, 200)));
        } else if (r == LONG_RAMP) {
            // A slow ramp to far away: a whole-range ACCEL or DECEL ends long before the target.
            out.push_back(std::string(pick(0, 1) ? "cv3=" : "cv4=") + std::to_string(pick(20, 60)));
            speed = speed < 50 ? pick(8, 10) * 10 : 0;
            out.push_back("s" + std::to_string(speed));
        }
        const double w = std::exp(uniform(std::log(0.05), std::log(6.0)));
        out.push_back(seconds(w));
        t += w;
    }
    out.push_back(seconds(uniform(3, 6)));
    return out;
}

void write_project(const Model &m, const std::filesystem::path &dir, const std::filesystem::path &cache) {
    std::filesystem::create_directories(cache);
    std::ofstream(dir / "slot.txt") << "1\n";
    for (int s = 0; s < 3; s++) {
        const auto folder = dir / "data" / std::to_string(s + 1);
        std::filesystem::create_directories(folder);
        for (const File &f : m.slots[s].files) {
            // Never write through a name already there: it may be a hard link into the cache.
            std::filesystem::remove(folder / f.name);
            if (f.role == "other-rate") {
                test_support::write_pcm_wav((folder / f.name).string(), tone(440, f.ms, 1), 22050);
                continue;
            }
            const auto from = cached(f, cache);
            std::error_code ec;
            std::filesystem::create_hard_link(from, folder / f.name, ec);
            if (ec) std::filesystem::copy_file(from, folder / f.name);
        }
        if (!m.slots[s].logic.empty()) {
            std::ofstream logic(folder / "logic.txt");
            for (const std::string &l : m.slots[s].logic)
                logic << l << "\n";
        }
    }
    save_model(m, dir / "model.txt");
}

}  // namespace explore
