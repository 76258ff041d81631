// Reading a trace written by --trace (its format is described in the README's "Drive scripts and
// renders"), for the tools that look at a render afterwards: the drive explorer's rules, and
// pictures of a drive over time. Header only, so that such a tool needs nothing of the emulator.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct trace_input {
    int track = -1, play = 0, bytes = 0;
    double from = 0, to = 0, full = 0;  // gains in percent
    std::string file;
};

struct trace_role {
    int track = -1, key = -1;
    std::string role, file;
};

struct trace_event {
    double t = 0;    // simulated ms
    std::string ev;  // "mix", "play", "stop", "cmd", "speed", "drive", "keys", "slot", "roles" or "log"
    std::string file, line;
    int track = -1, play = 0, fade = 0, master = 0, cur = 0, set = 0, slot = 0, load = 0, dir = 0, rate = 0;
    double full = 0;
    std::vector<trace_input> in;  // "mix": the buffers mixed
    std::vector<int> on;          // "keys": the keys that are on
    std::vector<trace_role> roles;
};

// The events of a trace's lines, in order; a line that is no JSON object is skipped.
inline std::vector<trace_event> trace_read(const std::vector<std::string> &lines) {
    std::vector<trace_event> out;
    for (const std::string &l : lines) {
        const auto j = nlohmann::json::parse(l, nullptr, false);
        if (!j.is_object()) continue;
        trace_event e;
        e.t = j.value("t", 0.0);
        e.ev = j.value("ev", "");
        e.file = j.value("file", "");
        e.line = j.value("line", "");
        e.track = j.value("track", -1);
        e.play = j.value("play", 0);
        e.fade = j.value("fade", 0);
        e.master = j.value("master", 0);
        e.cur = j.value("cur", 0);
        e.set = j.value("set", 0);
        e.slot = j.value("slot", 0);
        e.load = j.value("load", 0);
        e.dir = j.value("dir", 0);
        e.rate = j.value("rate", 0);
        e.full = j.value("full", 0.0);
        for (const auto &k : j.value("on", nlohmann::json::array()))
            if (k.is_number_integer()) e.on.push_back(k.get<int>());
        for (const auto &r : j.value("roles", nlohmann::json::array()))
            e.roles.push_back(
                {r.value("track", -1), r.value("key", -1), r.value("role", ""), r.value("file", "")});
        for (const auto &i : j.value("in", nlohmann::json::array()))
            e.in.push_back({i.value("track", -1), i.value("play", 0), i.value("bytes", 0),
                            i.value("from", 0.0), i.value("to", 0.0), i.value("full", 0.0),
                            i.value("file", "")});
        out.push_back(std::move(e));
    }
    return out;
}
