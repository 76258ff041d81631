// The drive as data, from the render's trace: the plays of every track with what was heard of
// them, and the lanes around them.
#include <cmath>
#include <map>

#include "timeline.h"

using nlohmann::json;

namespace {

// Gains and times are shown, not computed with again: a tenth of a percent and a microsecond
// are finer than anyone can see, and keep the data file small.
double round_to(double v, double step) {
    const double per = std::round(1 / step);
    return std::round(v * per) / per;
}

struct play_record {
    json j;
    double first = -1, last = -1;
    json gain = json::array();  // [t, percent] points; straight lines between them
};

// Adds a gain point, dropping the one before when it lies on a flat stretch.
void add_gain(json &points, double t, double g) {
    t = round_to(t, 0.001);
    g = round_to(g, 0.1);
    const size_t n = points.size();
    if (n >= 2 && points[n - 1][1] == g && points[n - 2][1] == g) {
        points[n - 1][0] = t;
        return;
    }
    if (n >= 1 && points[n - 1][0] == t && points[n - 1][1] == g) return;
    points.push_back({t, g});
}

}  // namespace

json timeline_model(const std::vector<trace_event> &trace, const std::vector<int> &peaks, double peak_ms) {
    // The roles of each slot load, by track. The tick that notes a load may come a few
    // milliseconds after the slot's first plays, so a play takes its role from the load whose
    // records name its file, the nearest in time.
    struct load {
        double t;
        int slot;
        std::map<int, trace_role> roles;
    };
    std::vector<load> loads;
    int rate = 32000;
    std::map<std::pair<int, int>, size_t> index;  // (track, play) -> plays[]
    std::vector<play_record> plays;
    json speed = json::array(), drive = json::array(), keys = json::array(), commands = json::array(),
         log = json::array(), slots = json::array(), master = json::array();
    double end = 0;
    auto find = [&](int track, int play, const std::string &file, double t) -> play_record & {
        auto [it, added] = index.try_emplace({track, play}, plays.size());
        if (added) {
            play_record p;
            p.j = {{"track", track}, {"play", play}, {"slot", 0}, {"file", file},    {"key", -1},
                   {"role", ""},     {"asked", t},   {"fade", 0}, {"stop", nullptr}, {"stop_fade", 0}};
            plays.push_back(std::move(p));
        }
        return plays[it->second];
    };
    for (const trace_event &e : trace) {
        end = std::max(end, e.t);
        if (e.ev == "roles") {
            loads.push_back({e.t, e.slot, {}});
            for (const trace_role &r : e.roles)
                loads.back().roles[r.track] = r;
            if (e.rate > 0) rate = e.rate;
        } else if (e.ev == "slot") {
            slots.push_back({e.t, e.slot});
        } else if (e.ev == "play") {
            play_record &p = find(e.track, e.play, e.file, e.t);
            p.j["fade"] = e.fade;
        } else if (e.ev == "stop") {
            play_record &p = find(e.track, e.play, e.file, e.t);
            if (p.j["stop"].is_null()) {
                p.j["stop"] = e.t;
                p.j["stop_fade"] = e.fade;
            }
        } else if (e.ev == "mix") {
            if (master.empty() || master.back()[1] != e.master) master.push_back({e.t, e.master});
            for (const trace_input &in : e.in) {
                play_record &p = find(in.track, in.play, in.file, e.t);
                const double ms = (double)in.bytes / 2.0 / rate * 1000.0;
                if (p.first < 0) p.first = e.t;
                p.last = e.t + ms;
                add_gain(p.gain, e.t, in.from);
                add_gain(p.gain, e.t + ms, in.to);
                end = std::max(end, p.last);
            }
        } else if (e.ev == "speed") {
            speed.push_back({e.t, e.cur, e.set});
        } else if (e.ev == "drive") {
            drive.push_back({e.t, e.load, e.dir});
        } else if (e.ev == "keys") {
            keys.push_back({e.t, e.on});
        } else if (e.ev == "cmd") {
            commands.push_back({e.t, e.line});
        } else if (e.ev == "log") {
            log.push_back({e.t, e.line});
        }
    }
    json out_plays = json::array();
    for (play_record &p : plays) {
        const int track = p.j["track"];
        const double asked = p.j["asked"];
        const load *best = nullptr;
        for (const load &l : loads)
            if (auto r = l.roles.find(track);
                r != l.roles.end() && r->second.file == p.j["file"] &&
                (best == nullptr || std::fabs(l.t - asked) < std::fabs(best->t - asked)))
                best = &l;
        if (best != nullptr) {
            const trace_role &r = best->roles.at(track);
            p.j["slot"] = best->slot;
            p.j["key"] = r.key;
            p.j["role"] = r.role;
        }
        // A play stopped before any of it was mixed was never heard: it starts and ends where it
        // was asked for.
        p.j["heard"] = p.first >= 0;
        p.j["start"] = p.first >= 0 ? p.first : p.j["asked"].get<double>();
        p.j["end"] = p.first >= 0 ? round_to(p.last, 0.001) : p.j["start"].get<double>();
        p.j["gain"] = std::move(p.gain);
        out_plays.push_back(std::move(p.j));
    }
    const double wave_end = (double)peaks.size() * peak_ms;
    return {{"format", "dcc-sound-emu timeline 1"},
            {"end", round_to(std::max(end, wave_end), 0.001)},
            {"buffer_ms", round_to(2048.0 / rate * 1000.0, 0.001)},
            {"plays", std::move(out_plays)},
            {"speed", std::move(speed)},
            {"drive", std::move(drive)},
            {"keys", std::move(keys)},
            {"commands", std::move(commands)},
            {"slots", std::move(slots)},
            {"master", std::move(master)},
            {"log", std::move(log)},
            {"wave", {{"step_ms", peak_ms}, {"peak", peaks}}}};
}
