// The panel's view of the firmware, and the log tee.
#include "web_observer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "audio_reader.h"
#include "decoder.h"
#include "log.h"
#include "net.h"
#include "slot_roles.h"

namespace {

int pct(int64_t v, int64_t full) {
    return full > 0 ? (int)std::lround(100.0 * (double)v / (double)full) : 0;
}

}  // namespace

// ---------------------------------------------------------------- slot description

void web_track_roles(const slot_rom_t &s, const track_rom_t *tracks, std::string roles[MAX_TRACKS]) {
    slot_track_roles(s, tracks, roles);
}

std::string web_key_sounds(const slot_rom_t &s, const track_rom_t *tracks, int fn) {
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++)
        if (s.drive_functions[d].fid == fn) return "engine sound";
    for (int i = 0; i < s.info_functions_len && i < MAX_INFO_FUNCTIONS; i++) {
        if (s.info_functions[i].fid == fn) return "announcements, next";
        if (s.info_functions[i].fid + 1 == fn) return "announcements, back";
    }
    for (int m = 0; m < s.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++)
        if (s.multi_functions[m].func_id == fn) return std::to_string(s.multi_functions[m].len) + " variants";
    if (fn < 0 || fn >= MAX_FUNCTIONS) return "";
    std::string text;
    for (const slot_role &r : slot_roles(s, tracks)) {
        if (r.kind != slot_role_kind::place || r.key != fn) continue;
        if (!text.empty()) text += " ";
        text += slot_role_text(r);
    }
    return text;
}

web_observer::web_observer() = default;

void web_observer::describe_slot(int slot_id) {
    web_track_roles(slot_, tracks_, track_role_);
    // The names the functions file gives the keys, as a throttle on the network sees them too.
    const decoder_key_names names = slot_id >= 0 ? decoder_get_key_names() : decoder_key_names{};
    keys_ = web_json::object();
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        const std::string sounds = slot_id >= 0 ? web_key_sounds(slot_, tracks_, f) : "";
        if (names.label[f].empty() && sounds.empty()) continue;
        keys_[std::to_string(f)] = {
            {"label", names.label[f]}, {"sounds", sounds}, {"momentary", names.momentary[f]}};
    }
    described_slot_ = slot_id;
}

// ---------------------------------------------------------------- the state

web_json web_observer::observe() {
    const decoder_snapshot c = decoder_observe();
    // A reload of the same slot rewrites the records in place: their generation tells, not the
    // slot id.
    const bool slot_changed = c.records_generation != records_generation_;
    if (slot_changed) {
        const auto records = std::make_unique<decoder_records>();
        decoder_copy_records(records.get());
        slot_ = records->slot;
        memcpy(tracks_, records->tracks, sizeof tracks_);
        records_generation_ = records->generation;
    }

    const int slot_id = c.slot - 1;
    if (slot_changed || slot_id != described_slot_) describe_slot(slot_id);

    web_json state;
    const char *slot_states[] = {"idle", "loading", "loaded"};
    state["slot"] = {
        {"id", slot_id + 1},
        {"state", c.slot_state >= 0 && c.slot_state <= SLOT_LOADED ? slot_states[c.slot_state] : "idle"},
        {"rate", c.sample_rate},
        {"vehicle", c.slot_state == SLOT_LOADED ? c.vehicle : std::string()},
        {"cv202", c.cv202}};
    const web_throttle t = web_throttle_of(c.speed);
    const int64_t full = 65280;
    state["drive"] = {{"throttle", t.percent},
                      {"reverse", t.reverse},
                      {"estop", t.estop},
                      {"target", pct(std::abs((int64_t)c.set_speed), full)},
                      {"motor", pct(std::abs((int64_t)c.cur_speed), full)},
                      {"load", c.load},
                      {"direction", c.direction},
                      {"moving", c.moving}};
    web_json &fn = state["fn"] = web_json::object();
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        const decoder_key_state &k = c.keys[f];
        fn[std::to_string(f)] = {(int)k.commanded, (int)k.on, (int)(k.enabled && !k.blocked), (int)k.blocked,
                                 k.sound};
    }
    state["keys"] = slot_id >= 0 ? keys_ : web_json::object();
    web_json &out = state["out"] = web_json::object();
    for (int o = 0; o < OUTPUTS_COUNT; o++)
        out[std::to_string(o)] = {c.duty[o], (int)c.lit[o]};
    web_json &net = state["net"] = web_json::object();
    const std::vector<net_throttle> throttles = net_throttles();
    for (size_t i = 0; i < throttles.size(); i++)
        net[std::to_string(i)] = {{"protocol", throttles[i].protocol},
                                  {"name", throttles[i].name},
                                  {"driving", throttles[i].driving}};
    web_json &play = state["play"] = web_json::object();
    for (const decoder_playing_track &p : c.playing) {
        const int i = p.track;
        const std::string path(tracks_[i].filepath, strnlen(tracks_[i].filepath, TRACK_PATH_LEN));
        play[std::to_string(i)] = {{"file", path.substr(path.rfind('/') + 1)},
                                   {"fn", p.fn},
                                   {"role", track_role_[i]},
                                   {"gain", pct(p.volume, AUDIO_UNITY_VOLUME)},
                                   {"target", pct(p.target, AUDIO_UNITY_VOLUME)},
                                   {"fade", p.volume_step > 0   ? "in"
                                            : p.volume_step < 0 ? "out"
                                                                : ""},
                                   {"pos", p.position_ms},
                                   {"len", p.length_ms},
                                   {"engine", p.engine_playing}};
    }
    return state;
}

// ---------------------------------------------------------------- the log tee

namespace {

constexpr size_t LOG_BACKLOG = 500;
// Never destroyed: a firmware thread may still log while the process ends.
std::mutex &g_log_lock = *new std::mutex;
std::deque<std::string> &g_log_lines = *new std::deque<std::string>;
uint64_t g_log_last;  // number of the newest line kept

void keep_line(const log_line &l) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_log_lines.push_back(l.raw);
    g_log_last++;
    if (g_log_lines.size() > LOG_BACKLOG) g_log_lines.pop_front();
}

}  // namespace

void web_log_install(void) {
    log_sink_add(keep_line);
}

std::vector<std::string> web_log_since(uint64_t after, uint64_t *last) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    *last = g_log_last;
    const uint64_t first = g_log_last - g_log_lines.size() + 1;  // number of the oldest line kept
    std::vector<std::string> out;
    for (uint64_t n = after + 1 > first ? after + 1 : first; n <= g_log_last; n++)
        out.push_back(g_log_lines[(size_t)(n - first)]);
    return out;
}
