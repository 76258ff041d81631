// The panel's view of the firmware, and the log tee.
#include "web_observer.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "audio_reader.h"
#include "decoder.h"
#include "log.h"
#include "net.h"

namespace {

const char *const PLACE[] = {"", "ON", "LOOP", "OFF"};

const char *type_name(play_type_t t) {
    static const char *const names[] = {"once",    "ON",      "OFF",   "LOOP",     "LOOPD", "ACCEL",
                                        "ACCELON", "DECELON", "DECEL", "START",    "STOP",  "ESTOP",
                                        "REPEAT",  "REPEATD", "INFO",  "INFONEXT", "DIR",   "TURBO"};
    return t >= 0 && t <= PLAY_TYPE_TURBO ? names[t] : "";
}

std::string letter(int v) {
    return std::string(1, (char)('A' + v));
}

int pct(int64_t v, int64_t full) {
    return full > 0 ? (int)std::lround(100.0 * (double)v / (double)full) : 0;
}

}  // namespace

// ---------------------------------------------------------------- slot description

void web_track_roles(const slot_rom_t &s, const track_rom_t *tracks, std::string roles[MAX_TRACKS]) {
    for (int i = 0; i < MAX_TRACKS; i++)
        roles[i].clear();
    auto add = [&](int id, const std::string &text) {
        if (id >= 0 && id < MAX_TRACKS && roles[id].empty()) roles[id] = text;
    };
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        const drive_function_rom_t &D = s.drive_functions[d];
        for (int k = 0; k < D.items_len && k < MAX_SPEED_ITEMS; k++)
            for (int p = 1; p < 4; p++)
                add(D.items[k].item.ids[p], "level " + std::to_string(k + 1) + " " + PLACE[p]);
        add(D.start_id, "START");
        add(D.stop_id, "STOP");
        add(D.estop_id, "ESTOP");
        add(D.dir_id, "DIR");
        add(D.accel_id, "ACCEL");
        add(D.decel_id, "DECEL");
        add(D.drv_off_id, "drive-off");
        add(D.turbo_id, "TURBO");
        add(D.loopd_id, "LOOPD");
        for (int v = 0; v < MAX_ACCELON_VARIANTS; v++) {
            add(D.accelon_ids[v], "ACCELON " + letter(v));
            add(D.decelon_ids[v], "DECELON " + letter(v));
        }
        for (int k = 0; k < D.acc_items_len && k < MAX_ACCEL_ITEMS; k++)
            add(D.acc_items[k].id, "ACCEL band " + std::to_string(k + 1));
        for (int k = 0; k < D.dcl_items_len && k < MAX_ACCEL_ITEMS; k++)
            add(D.dcl_items[k].id, "DECEL band " + std::to_string(k + 1));
    }
    for (int c = 0; c < s.complex_loops_len && c < MAX_COMPLEX_LOOPS; c++) {
        for (int n = 0; n < MAX_COMPLEX_LOOP_PARTS; n++) {
            add(s.complex_loops[c].ids[n], "LOOP part " + std::to_string(n + 1));
            add(s.complex_loops[c].ids_dcl[n], "LOOPD part " + std::to_string(n + 1));
        }
    }
    for (int m = 0; m < s.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++)
        for (int v = 0; v < MAX_MULTI_VARIANTS; v++)
            for (int p = 1; p < 4; p++)
                add(s.multi_functions[m].variants[v].ids[p], std::string(PLACE[p]) + " " + letter(v));
    for (int i = 0; i < s.info_functions_len && i < MAX_INFO_FUNCTIONS; i++)
        for (int k = 0; k < MAX_INFO_ENTRIES; k++)
            add(s.info_functions[i].ids[k], (k % 2 ? "INFO " : "INFONEXT ") + std::to_string(k / 2 + 1));
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        for (int p = 1; p < 4; p++) {
            const int id = s.functions[f].ids[p];
            if (id < 0 || id >= MAX_TRACKS) continue;
            add(id, p == FUNCTION_ON && tracks[id].type == PLAY_TYPE_ONESHOT ? "once" : PLACE[p]);
        }
    }
    // Whatever the records do not place (a loaded file whose place another took) keeps the
    // role its name gave it.
    for (int i = 0; i < MAX_TRACKS; i++)
        if (roles[i].empty() && tracks[i].filepath[0] != 0) roles[i] = type_name(tracks[i].type);
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
    for (int p = 1; p < 4; p++) {
        const int id = s.functions[fn].ids[p];
        if (id < 0 || id >= MAX_TRACKS) continue;
        if (!text.empty()) text += " ";
        text += p == FUNCTION_ON && tracks[id].type == PLAY_TYPE_ONESHOT ? "once" : PLACE[p];
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
std::string &g_log_partial = *new std::string;
uint64_t g_log_last;  // number of the newest line kept
vprintf_like_t g_log_previous;

int log_tee(const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string text;
    if (n >= 0 && (size_t)n < sizeof small) {
        text.assign(small, (size_t)n);
    } else if (n >= 0) {
        text.resize((size_t)n + 1);
        va_list again;
        va_copy(again, args);
        vsnprintf(text.data(), text.size(), format, again);
        va_end(again);
        text.resize((size_t)n);
    }
    {
        std::lock_guard<std::mutex> lock(g_log_lock);
        g_log_partial += text;
        size_t pos;
        while ((pos = g_log_partial.find('\n')) != std::string::npos) {
            g_log_lines.push_back(g_log_partial.substr(0, pos));
            g_log_partial.erase(0, pos + 1);
            g_log_last++;
            if (g_log_lines.size() > LOG_BACKLOG) g_log_lines.pop_front();
        }
    }
    return g_log_previous(format, args);
}

}  // namespace

void web_log_install(void) {
    g_log_previous = esp_log_set_vprintf(log_tee);
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
