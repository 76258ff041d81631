#include "rules.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "log_line.h"
#include "tone_detector.h"
#include "trace_read.h"

namespace explore {

namespace {

constexpr int RATE = 32000;
// A command is heard up to this much later: the readers work up to two buffers ahead of the
// buffer being heard.
constexpr long long LAT = 300;
// Mean square of 10 ms of output below which it counts as silent (the idle output holds 1s).
constexpr double SILENT = 900;  // an RMS of 30
// A tone counts as present when its amplitude in a 64 ms window is above this. The quietest
// sound a generated drive makes is a tone of 6000 at 40 % function volume and a master volume of
// 90/255: about 850.
constexpr double PRESENT = 300;
// A tone this many times weaker than an ADPCM file's tone in the same window is that file's
// quantisation noise (measured: a 9000 Hz ADPCM tone puts a sixteenth of its amplitude at 7000 Hz).
constexpr double ADPCM_NOISE_RATIO = 10;
// A sound shorter than two windows (a 25 ms ESTOP, say) spreads its tone over the neighbouring
// frequencies: measured, a 25 ms tone puts a fifth of its amplitude 80 Hz away and a tenth 160 Hz
// away. A tone within LEAK_HZ of such a sound and less than 1/LEAK_RATIO of it, in the same
// window, is that sound's spread. It sounds for a few windows at most, so a track that really
// plays on is still heard in the windows around it.
constexpr double LEAK_RATIO = 2;
constexpr int LEAK_HZ = 400;
constexpr long long SHORT_MS = 128;

// ---------------------------------------------------------------- the script

struct Cmd {
    long long t;
    std::string text;
};

std::vector<Cmd> timeline(const std::vector<std::string> &script, long long *end) {
    std::vector<Cmd> out;
    double t = 0;
    for (const std::string &l : script) {
        if (l.rfind("wait", 0) == 0) {
            t += std::strtod(l.c_str() + 4, nullptr) * 1000;
        } else if (!l.empty() && l[0] != '#') {
            out.push_back({(long long)t, l});
        }
    }
    *end = (long long)t;
    return out;
}

// Percent of top speed that the console's s<n> asks for, through the decoder's default speed
// curve (CV 2 = 3, CV 6 = 127, CV 5 = 255; the explorer never changes them).
int target_pct(int n) {
    if (n <= 0) return 0;
    const int a = n + 1;
    const int byte = (a * 127 + 50) / 101;
    const int v = byte <= 1 ? 0 : (byte - 2) * 254 / 125 + 1;
    if (v == 0) return 0;
    const int speed = v <= 126 ? 3 + ((v + 1) * (127 - 3)) / 128 : 127 + ((v - 127) * (255 - 127)) / 128;
    return (255 / 2 + speed * 100) / 255;
}

// ---------------------------------------------------------------- the log

// A log line as the rules read it.
struct Entry {
    long long t;
    char level;
    std::string text;  // after the tag
};

std::vector<Entry> parse_log(const Render &r) {
    std::vector<Entry> out;
    LogLine l;
    for (const std::string &s : r.lines)
        if (parse_log_line(s, &l)) out.push_back({l.ms, l.level, l.text});
    return out;
}

// ---------------------------------------------------------------- the recording

class Sound {
public:
    explicit Sound(const std::vector<int16_t> &a) : a_(a) {
        for (size_t p = 0; p + RATE / 100 <= a.size(); p += RATE / 100) {
            double e = 0;
            for (size_t i = p; i < p + RATE / 100; i++)
                e += (double)a[i] * a[i];
            energy_.push_back(e / (RATE / 100));
        }
    }
    long long length_ms() const { return (long long)a_.size() * 1000 / RATE; }
    bool silent10(long long t_ms) const {
        const long long i = t_ms / 10;
        return i >= 0 && i < (long long)energy_.size() && energy_[(size_t)i] < SILENT;
    }
    // Amplitude of `freq` in each 64 ms window (under a Hann window).
    const std::vector<float> &amplitudes(int freq) {
        auto it = cache_.find(freq);
        if (it != cache_.end()) return it->second;
        std::vector<float> &out = cache_[freq];
        static const test_support::ToneDetector tones(RATE, WIN, 0, test_support::ToneDetector::Shape::Hann);
        for (size_t p = 0; p + WIN <= a_.size(); p += WIN)
            out.push_back((float)tones.amplitude(&a_[p], freq));
        return out;
    }
    // The share of the windows in [t0, t1) in which `freq` is present (0 for an empty span).
    double present_share(int freq, long long t0, long long t1) {
        const auto &amp = amplitudes(freq);
        long long w0 = std::max(0LL, t0 * RATE / 1000 / WIN),
                  w1 = std::min((long long)amp.size(), t1 * RATE / 1000 / WIN);
        if (w1 <= w0) return 0;
        int n = 0;
        for (long long w = w0; w < w1; w++)
            n += amp[(size_t)w] > PRESENT ? 1 : 0;
        return (double)n / (double)(w1 - w0);
    }
    // The first window start in [t0, t1) from which `freq` is present in two windows in a row,
    // or -1. (A click, where a sound is cut, smears a neighbouring tone over one window.)
    long long first_present(int freq, long long t0, long long t1) {
        const auto &amp = amplitudes(freq);
        for (long long w = std::max(0LL, t0 * RATE / 1000 / WIN);
             w + 1 < (long long)amp.size() && w * WIN * 1000 / RATE < t1; w++)
            if (heard(freq, (size_t)w) && heard(freq, (size_t)w + 1)) return w * WIN * 1000 / RATE;
        return -1;
    }
    bool heard(int freq, size_t w) {
        const float a = amplitudes(freq)[w];
        if (a <= PRESENT) return false;
        const auto louder = [&](int g, double ratio) {
            if (g == freq) return false;
            const auto &other = amplitudes(g);
            return w < other.size() && other[w] >= ratio * a;
        };
        for (int g : adpcm_tones_)
            if (louder(g, ADPCM_NOISE_RATIO)) return false;
        for (int g : short_tones_)
            if (std::abs(g - freq) <= LEAK_HZ && louder(g, LEAK_RATIO)) return false;
        return true;
    }
    // The tones of the project's ADPCM files. IMA ADPCM quantises a high tone coarsely, and its
    // noise gathers at other frequencies, some of them another file's tone: at a tenth of the
    // loud tone's amplitude, it is not that file sounding.
    void set_adpcm_tones(std::vector<int> tones) { adpcm_tones_ = std::move(tones); }
    // The tones of the project's files that are not loops and are shorter than SHORT_MS.
    void set_short_tones(std::vector<int> tones) { short_tones_ = std::move(tones); }
    static constexpr int WIN = 2048;  // 64 ms

private:
    const std::vector<int16_t> &a_;
    std::vector<double> energy_;
    std::map<int, std::vector<float>> cache_;
    std::vector<int> adpcm_tones_;
    std::vector<int> short_tones_;
};

// ---------------------------------------------------------------- the world over time

// What the script and the log say about a moment: keys, CVs and the loaded slot.
class World {
public:
    World(const Model &m, const std::vector<Cmd> &cmds, const std::vector<Entry> &log, long long end)
        : model_(m), cmds_(cmds), end_(end) {
        for (const Cmd &c : cmds) {
            const char k = c.text[0];
            if (k == 'f' || k == 'm') {
                const int n = std::atoi(c.text.c_str() + 1);
                toggles_[n].push_back(c.t);
                if (k == 'm') toggles_[n].push_back(c.t);
            } else if (c.text.rfind("cv", 0) == 0) {
                const int cv = std::atoi(c.text.c_str() + 2);
                const int v = std::atoi(c.text.c_str() + c.text.find('=') + 1);
                cv_writes_[cv].push_back({c.t, v});
            }
        }
        // The loaded slots: from each load's line to the next request for a slot.
        std::vector<long long> requests;
        for (const Cmd &c : cmds)
            if (c.text.rfind("cv202=", 0) == 0) requests.push_back(c.t);
        for (const Entry &l : log) {
            int n = 0;
            if (std::sscanf(l.text.c_str(), "Slot %d loaded", &n) == 1 && n >= 1 && n <= 3) {
                long long to = end_ + 1;
                for (long long r : requests)
                    if (r >= l.t) {
                        to = r;
                        break;
                    }
                spans_.push_back({l.t, to, n - 1});
            }
        }
    }

    struct Span {
        long long from, to;
        int slot;
    };
    const std::vector<Span> &spans() const { return spans_; }
    long long end() const { return end_; }

    bool key_on(int k, long long t) const {
        auto it = toggles_.find(k);
        if (it == toggles_.end()) return false;
        int n = 0;
        for (long long x : it->second)
            n += x <= t ? 1 : 0;
        return n % 2 == 1;
    }
    // Whether key `k` was switched in (t0, t1].
    bool toggled(int k, long long t0, long long t1) const {
        for (long long x : toggles(k))
            if (x > t0 && x <= t1) return true;
        return false;
    }
    // Toggle times of key `k`.
    std::vector<long long> toggles(int k) const {
        auto it = toggles_.find(k);
        return it == toggles_.end() ? std::vector<long long>{} : it->second;
    }
    // The intervals [on, off) of key `k` within [from, to).
    std::vector<std::pair<long long, long long>> on_intervals(int k, long long from, long long to) const {
        std::vector<std::pair<long long, long long>> out;
        bool on = key_on(k, from);
        long long start = from;
        for (long long x : toggles(k)) {
            if (x <= from) continue;
            if (x >= to) break;
            if (on) out.push_back({start, x});
            on = !on;
            start = x;
        }
        if (on) out.push_back({start, to});
        return out;
    }
    int cv(int n, long long t, int fallback) const {
        int v = fallback;
        auto it = cv_writes_.find(n);
        if (it != cv_writes_.end())
            for (auto [x, value] : it->second)
                if (x <= t) v = value;
        return v;
    }
    int fade_ms(long long t) const { return cv(204, t, 35) * 10; }
    // The largest fade time in force during [t0, t1].
    int max_fade_ms(long long t0, long long t1) const {
        int f = fade_ms(t0);
        auto it = cv_writes_.find(204);
        if (it != cv_writes_.end())
            for (auto [x, value] : it->second)
                if (x > t0 && x <= t1) f = std::max(f, value * 10);
        return f;
    }
    bool muted(long long t) const { return key_on(23, t); }
    bool mute_changes(long long t0, long long t1) const {
        for (long long x : toggles(23))
            if (x > t0 && x <= t1) return true;
        return false;
    }
    // The speed the console asks for at `t`, in percent of top speed (estop: 0).
    int speed_pct(long long t) const {
        int pct = 0;
        for (const Cmd &c : cmds_) {
            if (c.t > t) break;
            if (c.text.find("estop") != std::string::npos) {
                pct = 0;
            } else if (c.text[0] == 's') {
                const int n = std::atoi(c.text.c_str() + 1);
                pct = n < 0 ? target_pct(-n - 1) : target_pct(n);
            }
        }
        return pct;
    }
    const std::vector<Cmd> &cmds() const { return cmds_; }

private:
    const Model &model_;
    const std::vector<Cmd> &cmds_;
    long long end_;
    std::map<int, std::vector<long long>> toggles_;
    std::map<int, std::vector<std::pair<long long, int>>> cv_writes_;
    std::vector<Span> spans_;
};

// Whether `c` is a command that changes the engine sound's situation.
bool disturbs_drive(const Cmd &c, int drive_fid) {
    const std::string &s = c.text;
    if (s[0] == 's' || s.find("estop") != std::string::npos) return true;
    if (s.rfind("cv3=", 0) == 0 || s.rfind("cv4=", 0) == 0 || s.rfind("cv204=", 0) == 0 ||
        s.rfind("cv202=", 0) == 0)
        return true;
    if ((s[0] == 'f' || s[0] == 'm') && std::atoi(s.c_str() + 1) == drive_fid) return true;
    return false;
}

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// ---------------------------------------------------------------- the rules

struct Context {
    const Model &m;
    const std::vector<trace_event> &trace;
    const std::vector<Cmd> &cmds;
    const std::vector<Entry> &log;
    const World &world;
    Sound &sound;
    const Render &r;
};

// 1. While the drive function is on, the slot loaded and nothing mutes, the engine is never
// silent for longer than the fade time plus 200 ms.
void engine_sounds_while_on(Context &c, std::vector<Violation> &out) {
    for (const auto &span : c.world.spans()) {
        const Slot &slot = c.m.slots[span.slot];
        if (!slot.drive_complete()) continue;
        const long long from = span.from + 500, to = std::min(span.to, c.sound.length_ms());
        for (auto [on, off] : c.world.on_intervals(slot.drive_fid, from, to)) {
            long long run = 0, run_start = 0;
            for (long long t = on + LAT; t < off; t += 10) {
                const bool exempt = c.world.muted(t) || c.world.mute_changes(t - LAT, t);
                if (exempt || !c.sound.silent10(t)) {
                    run = 0;
                    continue;
                }
                if (run == 0) run_start = t;
                run += 10;
                const long long allowed = c.world.max_fade_ms(run_start - LAT, t) + 200 + 40;
                if (run > allowed) {
                    out.push_back({"engine_sounds_while_on", run_start,
                                   fmt("the engine (F%d) is silent from %lld ms for more than %lld ms",
                                       slot.drive_fid, run_start, allowed)});
                    return;
                }
            }
        }
    }
}

// The tones of the level files of a role set ("level-loop" and "part").
std::vector<int> level_tones(const Slot &s, int level) {
    std::vector<int> t;
    for (const File &f : s.files)
        if ((f.role == "level-loop" || f.role == "part") && f.index == level) t.push_back(f.freq);
    return t;
}

// 2. After the speed has been steady long enough for every transition, the level of that speed
// sounds, and no other level's loop.
void level_follows_speed(Context &c, std::vector<Violation> &out) {
    std::vector<long long> events;
    for (const auto &span : c.world.spans()) {
        const Slot &slot = c.m.slots[span.slot];
        if (!slot.drive_complete() || slot.level_pct.size() < 2) continue;
        events.clear();
        events.push_back(span.from);
        for (const Cmd &cmd : c.cmds)
            if (cmd.t > span.from && cmd.t < span.to && disturbs_drive(cmd, slot.drive_fid))
                events.push_back(cmd.t);
        events.push_back(std::min(span.to, c.sound.length_ms()));
        for (size_t i = 0; i + 1 < events.size(); i++) {
            const long long e = events[i];
            const int ramp = std::max(c.world.cv(3, e, 34), c.world.cv(4, e, 25)) * 250;
            const long long settle = ramp + 1000 + (long long)slot.level_pct.size() * 500 +
                                     slot.longest_drive_ms() + 2000 + (slot.load ? 4000 : 0) +
                                     c.world.max_fade_ms(e, e) * 2;
            const long long t = e + settle;
            if (t + 600 > events[i + 1]) continue;
            if (!c.world.key_on(slot.drive_fid, e) || c.world.muted(t) || c.world.mute_changes(e, t + 600))
                continue;
            const int pct = c.world.speed_pct(e);
            int expected = 0;
            for (size_t k = 0; k < slot.level_pct.size(); k++)
                if (slot.level_pct[k] <= pct) expected = (int)k;
            // Moving off with the engine on, the sound jumps to the first running level and
            // ignores the motor below it; switched on while the loco already moves below that
            // level, it plays the idle level of the speed. Below the first running level either
            // is right.
            const bool below_first = pct > 0 && expected == 0;
            // Near a boundary the hysteresis of 3 to 4 % keeps either neighbour.
            std::set<int> accepted = {expected};
            if (below_first && slot.level_pct.size() > 1) accepted.insert(1);
            for (size_t k = 1; k < slot.level_pct.size(); k++)
                if (std::abs(slot.level_pct[k] - pct) <= 5) {
                    accepted.insert((int)k);
                    accepted.insert((int)k - 1);
                }
            double best = 0;
            for (int k : accepted)
                for (int f : level_tones(slot, k))
                    best = std::max(best, c.sound.present_share(f, t, t + 600));
            if (best < 0.5) {
                out.push_back(
                    {"level_follows_speed", t,
                     fmt("at %d %% the level %d (from %d %%) is not heard at %lld ms, %lld ms after the "
                         "last change",
                         pct, expected, slot.level_pct[(size_t)expected], t, settle)});
                return;
            }
            for (size_t k = 0; k < slot.level_pct.size(); k++) {
                if (accepted.count((int)k)) continue;
                for (int f : level_tones(slot, (int)k)) {
                    if (c.sound.present_share(f, t, t + 600) > 0.5) {
                        out.push_back(
                            {"level_follows_speed", t,
                             fmt("at %d %% the loop of level %zu (from %d %%, %d Hz) sounds at %lld ms", pct,
                                 k, slot.level_pct[k], f, t)});
                        return;
                    }
                }
            }
        }
    }
}

// The plain functions of a slot whose sounds the rules 3 and 4 follow: not the drive function,
// not an announcement list, not one that logic conditions switch.
std::vector<int> plain_functions(const Slot &s) {
    std::vector<int> out;
    for (const File &f : s.files) {
        if (is_drive_role(f.role) || f.role == "info" || f.role == "infonext" || f.role == "other-rate")
            continue;
        if (f.function == s.drive_fid || s.is_logic_target(f.function) || f.function == 23) continue;
        if (std::find(out.begin(), out.end(), f.function) == out.end()) out.push_back(f.function);
    }
    return out;
}

int longest(const std::vector<const File *> &files, const std::string &role) {
    int ms = 0;
    for (const File *f : files)
        if (f->role == role) ms = std::max(ms, f->ms);
    return ms;
}

// 3. A plain function switched on reaches its loop and stays audible while on; switched off, it
// falls silent within its OFF track's length plus the fade time.
void function_loops_and_ends(Context &c, std::vector<Violation> &out) {
    for (const auto &span : c.world.spans()) {
        const Slot &slot = c.m.slots[span.slot];
        const long long to = std::min(span.to, c.sound.length_ms());
        for (int k : plain_functions(slot)) {
            const auto files = slot.of_function(k);
            std::vector<int> loops;
            bool every_variant_loops = true, loop_length = false;
            std::set<int> variants;
            for (const File *f : files)
                variants.insert(f->index);
            for (int v : variants) {
                bool has = false;
                for (const File *f : files)
                    if (f->index == v && f->role == "loop") {
                        loops.push_back(f->freq);
                        has = true;
                        loop_length |= f->loop_length_ms > 0;
                    }
                every_variant_loops &= has;
            }
            const int on_ms = longest(files, "on"), off_ms = longest(files, "off"),
                      once_ms = longest(files, "oneshot");
            const auto intervals = c.world.on_intervals(k, span.from, to);
            for (size_t i = 0; i < intervals.size(); i++) {
                const auto [a, b] = intervals[i];
                const int fade = c.world.max_fade_ms(a, b + off_ms + on_ms + 1000);
                // On: the loop sounds once the ON track and the cross-fade are over.
                const long long loop_from = a + on_ms + fade + LAT;
                if (every_variant_loops && !loops.empty() && !loop_length && b - loop_from >= 500 &&
                    !c.world.mute_changes(a - LAT, b) && !c.world.muted(a)) {
                    double share = 0;
                    for (int f : loops)
                        share = std::max(share, c.sound.present_share(f, loop_from, b));
                    if (share < 0.8) {
                        out.push_back(
                            {"function_loops_while_on", loop_from,
                             fmt("F%d is on from %lld to %lld ms but its loop is heard in %.0f %% of it", k,
                                 a, b, 100 * share)});
                        return;
                    }
                }
                // Off: silent once its OFF track (and an ON track that was still playing) is over.
                const long long next_on = i + 1 < intervals.size() ? intervals[i + 1].first : to;
                const long long quiet_from =
                    b + (b - a < on_ms ? on_ms : 0) + std::max(off_ms, once_ms) + fade + LAT;
                if (next_on - quiet_from < 200) continue;
                for (const File *f : files) {
                    const long long heard = c.sound.first_present(f->freq, quiet_from, next_on - 100);
                    if (heard >= 0) {
                        out.push_back({"function_ends_when_off", heard,
                                       fmt("F%d went off at %lld ms, but %s (%d Hz) is heard at %lld ms", k,
                                           b, f->name.c_str(), f->freq, heard)});
                        return;
                    }
                }
            }
        }
    }
}

// 4. No ON or LOOP track of a function starts after its key went off (an OFF track, a fade-out
// and what a logic condition holds on may play).
void nothing_starts_after_off(Context &c, std::vector<Violation> &out) {
    for (const trace_event &e : c.trace) {
        const File *f = e.ev == "play" ? c.m.file_of(e.file) : nullptr;
        if (f == nullptr || (f->role != "on" && f->role != "loop")) continue;
        const auto plain = plain_functions(c.m.slots[e.file[e.file.rfind('/') - 1] - '1']);
        const int k = f->function;
        const long long t = (long long)e.t;
        if (std::find(plain.begin(), plain.end(), k) == plain.end()) continue;
        // Off, and not switched within the millisecond (a momentary press is on and off in one
        // millisecond, and a command and a track end can meet there).
        if (!c.world.key_on(k, t) && !c.world.key_on(k, t - 1) && !c.world.toggled(k, t - 1, t)) {
            out.push_back({"nothing_starts_after_off", t,
                           fmt("%s of F%d starts at %lld ms while its key is off", f->name.c_str(), k, t)});
            return;
        }
    }
}

// 5. No error line but those the project provokes on purpose; a clean exit; nothing on standard
// error (a sanitizer's report lands there).
void no_unexpected_errors(Context &c, bool sound, std::vector<Violation> &out) {
    if (c.r.status != 0)
        out.push_back({"no_unexpected_errors", -1, fmt("the emulator ended with status %d", c.r.status)});
    if (!c.r.errors.empty())
        out.push_back({"no_unexpected_errors", -1, "standard error: " + c.r.errors.substr(0, 300)});
    // Under a fault the decoder reports what it meets: only the end and standard error count.
    for (const Entry &l : c.log) {
        if (l.level != 'E' || !sound) continue;
        bool expected = false;
        for (const Slot &s : c.m.slots)
            for (const std::string &e : s.expect_errors)
                expected |= l.text.find(e) != std::string::npos;
        // A drive function without a drive-off sound (the OFF track of its first running level)
        // is reported at every load: the project's choice, not a fault.
        expected |= l.text.find("Could not configure DRV OFF file") != std::string::npos;
        // A start from a stand finds no running level to time the begin of the movement by when
        // the drive function has its idle level alone.
        expected |= l.text.find("Could not calculate Start moving delay") != std::string::npos;
        // The slot's own summary of a refused file names it.
        expected |=
            l.text.find("could not be loaded") != std::string::npos && !c.m.slots[0].expect_errors.empty();
        if (!expected) {
            out.push_back({"no_unexpected_errors", l.t, "error line: " + l.text});
            return;
        }
    }
}

// ---------------------------------------------------------------- rules on the trace

using Events = std::vector<trace_event>;
constexpr double BUFFER_MS = 64;  // one output buffer (2048 frames at 32 kHz)

bool is_level(const File *f) {
    return f != nullptr && f->role.rfind("level-", 0) == 0;
}

bool is_cmd(const trace_event &e, const char *head) {
    return e.ev == "cmd" && e.line.rfind(head, 0) == 0;
}

// The fade time (CV 204) the events before `end` left.
double fade_before(const Events &ev, size_t end) {
    int cv204 = 35;
    for (size_t i = 0; i < end && i < ev.size(); i++)
        if (is_cmd(ev[i], "cv204=")) cv204 = std::atoi(ev[i].line.c_str() + 6);
    return cv204 * 10.0;
}

// The fade time at `t`.
double fade_at(const Events &ev, double t) {
    size_t end = 0;
    while (end < ev.size() && ev[end].t <= t)
        end++;
    return fade_before(ev, end);
}

// A level that takes over from silence, from a whole-range ACCEL or DECEL as it ends (stopped in the
// same millisecond) or after an emergency stop comes in over the fade time (CV 204): its gain reaches the
// file's gain within the fade and the buffer in which the ramp ends, counted in sound handed over. Only a
// cross-fade between levels takes longer by design (the old level goes out over the time the speed takes to
// cross the level while the new one comes in: a stop of another level with the same fade at once), and so
// does a level entered while the motor ramps (or waits to start) and nothing hands over. Levels of the engine
// load are left out: the load ramps on its own, and the trace does not show it.
void handover_reaches_full_gain(const Model &m, const Events &ev, std::vector<Violation> &out) {
    int cur = 0, set = 0;
    bool asked = false;  // a speed is asked for (standing, the motor waits for the start sound)
    for (size_t i = 0; i < ev.size(); i++) {
        const trace_event &p = ev[i];
        if (p.ev == "speed") cur = p.cur, set = p.set;
        if (is_cmd(p, "s") || is_cmd(p, "estop")) asked = is_cmd(p, "s") && p.line != "s0";
        const File *f = m.file_of(p.file);
        if (p.ev != "play" || !is_level(f) || m.slots[p.file[p.file.rfind('/') - 1] - '1'].load) continue;
        bool crossfade = false, transition = false;
        for (size_t k = 0; k < ev.size() && ev[k].t <= p.t + 1; k++) {
            const File *g = ev[k].ev == "stop" && ev[k].t >= p.t - 1 ? m.file_of(ev[k].file) : nullptr;
            crossfade |= g != nullptr && ev[k].track != p.track && ev[k].fade == p.fade && is_level(g);
            transition |= g != nullptr && (g->role == "accel" || g->role == "decel");
        }
        if (crossfade || ((cur != set || (set == 0 && asked)) && !transition)) continue;
        // The fade in force when the level started: a CV 204 written after it, if only in the same
        // millisecond, does not change its ramp.
        const double fade = fade_before(ev, i);
        double sound = 0;
        for (size_t k = i + 1; k < ev.size(); k++) {
            const trace_event &e = ev[k];
            // Stopped, played again, given another volume or slot before the ramp ended: not judged.
            if (((e.ev == "stop" || e.ev == "play") && e.track == p.track) || is_cmd(e, "cv19") ||
                is_cmd(e, "cv202"))
                break;
            const auto in =
                std::find_if(e.in.begin(), e.in.end(), [&](auto &x) { return x.track == p.track; });
            if (in == e.in.end() || in->play != p.play) continue;
            sound += in->bytes / (2.0 * f->channels) / 32.0;
            if (in->to < in->full - 0.01) continue;
            if (sound > fade + BUFFER_MS + 1)
                out.push_back({"handover_reaches_full_gain", (long long)p.t,
                               fmt("%.0f ms: the level %s reaches its full gain after %.0f ms of sound, more "
                                   "than the fade of %.0f ms and one buffer",
                                   p.t, f->name.c_str(), sound, fade)});
            break;
        }
        if (!out.empty() && out.back().rule == "handover_reaches_full_gain") return;
    }
}

// A function whose volume is 0 is silent: a VOLSPD logic at its low end (the loco stands, and its
// key or the stop set it there) times its own volume (CV 192/193), rounded down as the decoder
// does, once the speed has reached the logic (100 ms) and the volume ramp (500 ms) is over. And a
// volume written with CV 193 is the gain its function's tracks fade to, once their ramp is over.
void zero_volume_is_silent(const Model &m, const Events &ev, std::vector<Violation> &out) {
    // VOLSPD low ends, of any slot and by slot (a file is judged by its own slot's logic); function
    // volumes.
    std::map<int, int> lows, lows_of[3], volume;
    for (int i = 0; i < 3; i++)
        for (const std::string &l : m.slots[i].logic)
            if (int f, lo; std::sscanf(l.c_str(), "F%d_VOLSPD_V%d", &f, &lo) == 2)
                lows[f] = lows_of[i][f] = lo;
    std::map<int, bool> key;
    std::map<int, double> set_at, written_at;  // when the dynamic volume, a function volume was set
    int selected = 1, cur = 0, slot = 1;       // every project starts with slot 1 (its slot.txt)
    double stood_at = -1e9;
    for (const trace_event &e : ev) {
        if (e.ev == "slot") slot = e.slot;
        if (is_cmd(e, "f")) key[std::atoi(e.line.c_str() + 1)] ^= true;
        // Logic conditions hear the speed only while the engine sound is on: with its key off, a
        // dynamic volume keeps the value it had.
        const int engine = slot > 0 ? m.slots[slot - 1].drive_fid : -1;
        // The stand is heard at the next sound tick, up to 100 ms later: an engine key switched
        // off before it leaves the dynamic volume where it was.
        if (e.ev == "speed" && e.cur != 0) set_at.clear();
        if (e.ev == "speed" && e.cur == 0 && cur != 0 && engine >= 0 && key[engine]) {
            stood_at = e.t;
            for (auto &[f, lo] : lows)
                set_at[f] = e.t;
        }
        if (engine >= 0 && is_cmd(e, "f") && std::atoi(e.line.c_str() + 1) == engine && !key[engine] &&
            e.t <= stood_at + 100)
            std::erase_if(set_at, [&](const auto &s) { return s.second == stood_at; });
        if (e.ev == "speed") cur = e.cur;
        if (is_cmd(e, "cv192=")) selected = std::atoi(e.line.c_str() + 6);
        if (is_cmd(e, "cv193=")) volume[selected] = std::atoi(e.line.c_str() + 6), written_at[selected] = e.t;
        if (is_cmd(e, "cv19") || is_cmd(e, "cv202=")) set_at.clear();
        if (is_cmd(e, "f") && lows.count(std::atoi(e.line.c_str() + 1)))
            set_at[std::atoi(e.line.c_str() + 1)] = e.t;
        for (const trace_input &in : e.in) {
            const File *f = m.file_of(in.file);
            if (f == nullptr || (!lows.count(f->function) && !written_at.count(f->function))) continue;
            const int fn = f->function, base = volume[fn];
            const auto &own = lows_of[in.file[in.file.rfind('/') - 1] - '1'];
            if (own.count(fn)) {
                const bool quiet = key[fn] && cur == 0 &&
                                   (base != 0 ? base * lows[fn] / 100 : lows[fn]) == 0 && set_at.count(fn) &&
                                   e.t > set_at[fn] + 100 + 500 + 2 * BUFFER_MS;
                if (!quiet || in.to <= 0) continue;
                out.push_back(
                    {"zero_volume_is_silent", (long long)e.t,
                     fmt("%.0f ms: F%d stands at a volume of 0 %% (VOLSPD from %d %%, volume %d), yet "
                         "%s sounds at %.1f %%",
                         e.t, fn, lows[fn], base, f->name.c_str(), in.to)});
                return;
            }
            const double wanted = base == 0 || base > 200 ? 100 : base;
            if (e.t > written_at[fn] + 500 + LAT && !is_drive_role(f->role) &&
                std::abs(in.full - wanted) > 0.01) {
                out.push_back({"zero_volume_is_silent", (long long)e.t,
                               fmt("%.0f ms: F%d has the volume %d %%, yet %s fades to %.1f %%", e.t, fn,
                                   base, f->name.c_str(), in.full)});
                return;
            }
        }
    }
}

// After CV 202 = 0 unloads a loaded slot nothing sounds and nothing starts until a slot has loaded
// again; what played may end within a fade and the buffers already handed over. (A CV 202 = 0
// during a load is not judged: the request is refused, and the load under way may end loaded.)
void nothing_after_unload(const Events &ev, const std::vector<Entry> &log, std::vector<Violation> &out) {
    // The trace reports the slot at the next step, but a slot loads within its command: what it
    // plays then belongs to the new slot.
    auto loads = [](const trace_event &e) {
        return (e.ev == "slot" && e.slot != 0) ||
               (e.ev == "cmd" && e.line.rfind("cv202=", 0) == 0 && e.line != "cv202=0");
    };
    int loaded = 0;
    for (size_t i = 0; i < ev.size(); i++) {
        if (ev[i].ev == "slot") loaded = ev[i].slot;
        if (ev[i].ev != "cmd" || ev[i].line != "cv202=0" || loaded == 0) continue;
        // A request that comes while a load runs is refused, with a warning; under a slow store the
        // trace may report that load's start after the command.
        double next_request = 1e18;
        for (size_t k = i + 1; k < ev.size(); k++)
            if (is_cmd(ev[k], "cv202=")) {
                next_request = ev[k].t;
                break;
            }
        if (std::any_of(log.begin(), log.end(), [&](const Entry &l) {
                return l.t >= (long long)ev[i].t && l.t < next_request &&
                       l.text == "Slot loading is in progress";
            }))
            continue;
        // The unload itself, which a slow store delays past its command.
        double t0 = ev[i].t;
        for (const Entry &l : log)
            if (l.t >= (long long)ev[i].t && l.text == "Unload current slot") {
                t0 = std::max(t0, (double)l.t);
                break;
            }
        const double quiet = t0 + fade_at(ev, t0) + LAT;
        for (size_t k = i + 1; k < ev.size() && !loads(ev[k]); k++) {
            const trace_event &e = ev[k];
            if ((e.ev == "play" && e.t > t0 + 1) || (e.ev == "mix" && !e.in.empty() && e.t > quiet)) {
                out.push_back({"nothing_after_unload", (long long)e.t,
                               fmt("the slot was unloaded at %.0f ms, yet at %.0f ms %s %s", t0, e.t,
                                   (e.ev == "play" ? e.file : e.in[0].file).c_str(),
                                   e.ev == "play" ? "starts" : "sounds")});
                return;
            }
        }
    }
}

// One key press, one emergency stop or one drive event starts a track once: no second start of
// the same track within 100 ms without a command between the two. A loop of parts replays its
// parts, logic conditions and announcement lists start tracks of their own accord, and the end of
// a speed-banded ACCEL or DECEL track starts the track of the band then current, which may be the
// same one again. A whole-range ACCEL or DECEL with no more left than its fade ends at once (in the
// step it starts in, or when its first buffer is read) and hands back to the level it has just
// stopped: that level's start is the end's own. Only the transition last started hands back; the
// end of one the other has replaced must change nothing. A level that follows the engine load
// is started by a change of load at the sound tick, and may be started again by a command's
// hand-over handled just after it (an emergency stop restarts the idle level): two events. The
// drive-off sound stops the level and hands back to it at its end, which for a short one comes
// at once: that start too is the end's own, even just after a command started the level. The
// emergency stop's hand-over cuts the level and starts it again some milliseconds after the
// command; a level started in between by another event (a speed step at the sound tick, the end of
// a transition, a key) is started again by it. Only a restart after such a cut that is itself
// cut and restarted is the stop handled twice.
void one_start_per_event(const Model &m, const Events &ev, const std::vector<Entry> &log,
                         std::vector<Violation> &out) {
    std::map<int, double> last;  // track -> its last start
    std::map<int, int> unheard;  // track -> its last play while none of it has been mixed
    double last_cmd = -1e9, instant_end = -1e9;
    std::map<int, double> transition_start;  // whole-range ACCEL/DECEL track -> its last start
    int latest_transition = -1;
    std::set<std::pair<long long, int>> ends;  // (ms, track) of the readers' end notifications
    std::set<long long> load_changes;          // ms of the engine load's changes
    std::map<int, long long> drive_off;        // drive-off track -> its last start
    std::map<long long, std::vector<long long>> drive_off_ends;  // ms -> starts of drive-offs ending then
    for (const Entry &l : log) {
        if (int id; sscanf(l.text.c_str(), "Ending of %d", &id) == 1 ||
                    sscanf(l.text.c_str(), "End of %d", &id) == 1) {
            ends.insert({l.t, id});
            if (drive_off.count(id)) drive_off_ends[l.t].push_back(drive_off[id]);
        }
        // %n is reached only when the whole pattern matched: "Play 8(LOOP)" also converts its id.
        if (int id, n = 0; sscanf(l.text.c_str(), "Play %d(DRVOFF)%n", &id, &n) == 1 && n > 0)
            drive_off[id] = l.t;
        if (l.text.rfind("New load value", 0) == 0) load_changes.insert(l.t);
    }
    // A level start at the end of a drive-off sound that started after the level's last start.
    auto drive_off_hand_back = [&](int track, double t) {
        auto it = drive_off_ends.find((long long)t);
        if (it == drive_off_ends.end() || !last.count(track)) return false;
        for (long long start : it->second)
            if (start >= last[track]) return true;
        return false;
    };
    std::set<int> by_load;  // tracks whose last start a change of load made
    auto load_level = [&](const File *f) {
        for (const Slot &s : m.slots)
            if (s.load && !s.files.empty() && f >= &s.files.front() && f <= &s.files.back())
                return is_level(f);
        return false;
    };
    // The emergency stop's hand-over: a cut (a stop without fade) and a restart of the level.
    double estop_cmd = -1e9;
    std::map<int, double> cut;              // track -> when it was last stopped without a fade
    std::map<int, bool> cut_and_restarted;  // track -> whether its last start followed such a cut
    for (const trace_event &e : ev) {
        if (e.ev == "cmd") last_cmd = e.t;
        if (is_cmd(e, "estop")) estop_cmd = e.t;
        if (e.ev == "stop" && e.fade == 0) cut[e.track] = e.t;
        if (const File *g = m.file_of(e.file); g != nullptr && (g->role == "accel" || g->role == "decel")) {
            if (e.ev == "play") transition_start[e.track] = e.t, latest_transition = e.track;
            if (e.ev == "stop" && transition_start.count(e.track) &&
                (e.t - transition_start[e.track] < 1 ||
                 (e.track == latest_transition && ends.count({(long long)e.t, e.track}))))
                instant_end = e.t;
        }
        if (e.ev == "mix")
            for (const trace_input &i : e.in)
                if (auto u = unheard.find(i.track); u != unheard.end() && u->second == i.play)
                    unheard.erase(u);
        const File *f = m.file_of(e.file);
        if (e.ev != "play" || f == nullptr) continue;
        // Started again within the same step, before any of it was mixed, a track was heard to
        // start once: a drive function's own loop is asked for by its level and by its key in
        // the one step that switches it on. A second handling in a later step is what this rule
        // is for.
        const bool same_step = last.count(e.track) && e.t - last[e.track] < 1 && unheard.count(e.track);
        bool own = f->role == "part" || f->role.rfind("info", 0) == 0 ||
                   f->role.find("-band") != std::string::npos || (is_level(f) && e.t - instant_end < 1);
        for (const Slot &s : m.slots)
            own |= s.is_logic_target(f->function);
        const bool load_start = load_level(f) && load_changes.count((long long)e.t);
        own |= by_load.count(e.track) && !load_start;
        own |= is_level(f) && drive_off_hand_back(e.track, e.t);
        const bool restart = cut.count(e.track) && e.t - cut[e.track] < 1;
        own |= restart && is_level(f) && e.t - estop_cmd < 50 && last.count(e.track) &&
               last[e.track] >= estop_cmd && !cut_and_restarted[e.track];
        cut_and_restarted[e.track] = restart;
        if (load_start)
            by_load.insert(e.track);
        else
            by_load.erase(e.track);
        if (!own && !same_step && last.count(e.track) && e.t - last[e.track] < 100 &&
            last_cmd <= last[e.track]) {
            out.push_back({"one_start_per_event", (long long)e.t,
                           fmt("%.0f ms: %s starts again %.0f ms after it started, with no command between",
                               e.t, f->name.c_str(), e.t - last[e.track])});
            return;
        }
        last[e.track] = e.t;
        unheard[e.track] = e.play;
    }
}

}  // namespace

// Where two renders part, for the report: a case that does not repeat may not repeat when it is
// run again either, so the report must show what differed.
static std::string first_difference(const Render &a, const Render &b) {
    const size_t n = std::min(a.lines.size(), b.lines.size());
    for (size_t i = 0; i < n; i++)
        if (a.lines[i] != b.lines[i])
            return "line " + std::to_string(i + 1) + " \"" + a.lines[i] + "\" against \"" + b.lines[i] + "\"";
    if (a.lines.size() != b.lines.size())
        return std::to_string(a.lines.size()) + " log lines against " + std::to_string(b.lines.size());
    const size_t m = std::min(a.audio.size(), b.audio.size());
    size_t k = 0;
    while (k < m && a.audio[k] == b.audio[k])
        k++;
    return "the recording from sample " + std::to_string(k) + " (" + std::to_string(a.audio.size()) +
           " against " + std::to_string(b.audio.size()) + " samples)";
}

std::vector<Violation> check_all(const Model &m, const std::vector<std::string> &script, const Take &take,
                                 const Take &again, bool faultless) {
    const Render &r = take.render, &repeat = again.render;
    long long end = 0;
    const auto cmds = timeline(script, &end);
    const auto log = parse_log(r);
    World world(m, cmds, log, end);
    Sound sound(r.audio);
    std::vector<int> adpcm, short_sounds;
    for (const Slot &s : m.slots)
        for (const File &f : s.files) {
            if (f.format == Format::ADPCM) adpcm.push_back(f.freq);
            if (f.ms < SHORT_MS && f.role.find("loop") == std::string::npos && f.role != "part")
                short_sounds.push_back(f.freq);
        }
    sound.set_adpcm_tones(adpcm);
    sound.set_short_tones(short_sounds);
    const auto trace = trace_read(take.trace);
    Context c{m, trace, cmds, log, world, sound, r};
    std::vector<Violation> out;
    no_unexpected_errors(c, faultless, out);
    if (faultless) {
        engine_sounds_while_on(c, out);
        level_follows_speed(c, out);
        function_loops_and_ends(c, out);
        nothing_starts_after_off(c, out);  // the keys by the script's times, which a slow store delays
    }
    nothing_after_unload(trace, log, out);  // first: what plays unloaded may break the others too
    if (faultless) handover_reaches_full_gain(m, trace, out);
    zero_volume_is_silent(m, trace, out);
    if (faultless) one_start_per_event(m, trace, log, out);
    // 6. The same case renders to the same bytes, trace and all.
    if (repeat.lines != r.lines || repeat.audio != r.audio || again.trace != take.trace)
        out.push_back({"render_repeats", -1,
                       "a second render of the same case differs: " + first_difference(r, repeat)});
    return out;
}

}  // namespace explore
