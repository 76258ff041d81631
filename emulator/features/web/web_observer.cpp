// The panel's view of the firmware, and the log tee.
#include "web_observer.h"

#include <dirent.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "audio_reader.h"
#include "dcc_hl.h"
#include "emulator.h"
#include "file_io.h"
#include "fw_lock.h"
#include "log.h"
#include "memory.h"
#include "movement.h"
#include "outputs.h"
#include "slot_roles.h"
#include "sound_hl.h"

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

// Everything the panel reads under the firmware lock, copied as it is.
struct firmware_copy {
    bool commanded[MAX_FUNCTIONS], effective[MAX_FUNCTIONS], enabled[MAX_FUNCTIONS], blocked[MAX_FUNCTIONS];
    uint8_t fstate[MAX_FUNCTIONS];
    bool playing[MAX_TRACKS], available[MAX_TRACKS];
    audio_reader_handle_t reader[MAX_TRACKS];
    int32_t set_speed, cur_speed;
    bool moving;
    uint8_t load;
    int8_t direction;
    slot_state_t slot_state;
    int slot_id;
    uint32_t rate;
    char vehicle[32];
    uint8_t cv202;
    uint8_t duty[OUTPUTS_COUNT];
    uint32_t out_state;
};

int pct(int64_t v, int64_t full) {
    return full > 0 ? (int)std::lround(100.0 * (double)v / (double)full) : 0;
}

}  // namespace

// ---------------------------------------------------------------- slot description

namespace {

// The panel names a track by one role, the first in this order: a drive function's, a loop of
// parts', a variant's, an announcement's, a key's own place.
int precedence(slot_role_group g) {
    switch (g) {
        case slot_role_group::drive:
            return 0;
        case slot_role_group::complex_loop:
            return 1;
        case slot_role_group::variants:
            return 2;
        case slot_role_group::announcements:
            return 3;
        default:
            return 4;
    }
}

std::string role_text(const slot_role &r) {
    switch (r.kind) {
        case slot_role_kind::place:
            return r.once ? "once" : PLACE[r.place];
        case slot_role_kind::variant:
            return std::string(PLACE[r.place]) + " " + letter(r.index);
        case slot_role_kind::level:
            return "level " + std::to_string(r.index + 1) + " " + PLACE[r.place];
        case slot_role_kind::start:
            return "START";
        case slot_role_kind::stop:
            return "STOP";
        case slot_role_kind::estop:
            return "ESTOP";
        case slot_role_kind::dir:
            return "DIR";
        case slot_role_kind::accel:
            return "ACCEL";
        case slot_role_kind::decel:
            return "DECEL";
        case slot_role_kind::drive_off:
            return "drive-off";
        case slot_role_kind::turbo:
            return "TURBO";
        case slot_role_kind::loopd:
            return "LOOPD";
        case slot_role_kind::accelon:
            return "ACCELON " + letter(r.index);
        case slot_role_kind::decelon:
            return "DECELON " + letter(r.index);
        case slot_role_kind::accel_band:
            return "ACCEL band " + std::to_string(r.index + 1);
        case slot_role_kind::decel_band:
            return "DECEL band " + std::to_string(r.index + 1);
        case slot_role_kind::loop_part:
            return "LOOP part " + std::to_string(r.index + 1);
        case slot_role_kind::loopd_part:
            return "LOOPD part " + std::to_string(r.index + 1);
        case slot_role_kind::info_next:
            return "INFONEXT " + std::to_string(r.index / 2 + 1);
        case slot_role_kind::info:
            return "INFO " + std::to_string(r.index / 2 + 1);
    }
    return "";
}

}  // namespace

void web_track_roles(const slot_rom_t &s, const track_rom_t *tracks, std::string roles[MAX_TRACKS]) {
    int best[MAX_TRACKS];
    for (int i = 0; i < MAX_TRACKS; i++) {
        roles[i].clear();
        best[i] = INT_MAX;
    }
    for (const slot_role &r : slot_roles(s, tracks)) {
        const int rank = precedence(slot_role_group_of(r.kind));
        if (rank >= best[r.track]) continue;
        best[r.track] = rank;
        roles[r.track] = role_text(r);
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
    for (const slot_role &r : slot_roles(s, tracks)) {
        if (r.kind != slot_role_kind::place || r.key != fn) continue;
        if (!text.empty()) text += " ";
        text += role_text(r);
    }
    return text;
}

std::vector<std::string> web_function_labels(const std::string &path) {
    std::vector<std::string> labels(MAX_FUNCTIONS);
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return labels;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        // Read as the decoder reads a key line; it reads the label and does not keep it.
        long n;
        char code[8], name[32];
        if (!fileIO_scanFunctionLine(line, &n, code, name) || n < 0 || n >= MAX_FUNCTIONS) continue;
        std::string label = name;
        for (char &c : label)
            if (c == '_') c = ' ';
        labels[(size_t)n] = label;
    }
    fclose(f);
    return labels;
}

// The functions file of a slot folder as the scanner picks it (the last one listed wins, as
// each one read replaces the vehicle description); empty when there is none.
static std::string functions_file_of(const std::string &folder) {
    std::string found;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (struct dirent *e = readdir(dir)) {
        const char *dot = strrchr(e->d_name, '.');
        if (dot != nullptr && strcmp(dot, ".txt") == 0 &&
            fileIO_textFileKind(e->d_name) == FILEIO_TEXT_FUNCTIONS)
            found = folder + e->d_name;
    }
    closedir(dir);
    return found;
}

web_observer::web_observer() = default;

void web_observer::describe_slot(int slot_id) {
    web_track_roles(slot_, tracks_, track_role_);
    std::vector<std::string> labels(MAX_FUNCTIONS);
    if (slot_id >= 0 && slot_id < MAX_SLOTS) {
        const std::string file = functions_file_of("data/" + std::to_string(slot_id + 1) + "/");
        if (!file.empty()) labels = web_function_labels(file);
    }
    keys_ = web_json::object();
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        const std::string sounds = slot_id >= 0 ? web_key_sounds(slot_, tracks_, f) : "";
        if (labels[(size_t)f].empty() && sounds.empty()) continue;
        keys_[std::to_string(f)] = {{"label", labels[(size_t)f]}, {"sounds", sounds}};
    }
    described_slot_ = slot_id;
}

// ---------------------------------------------------------------- the state

web_json web_observer::observe() {
    firmware_copy c;
    bool slot_changed;
    fw_lock();
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        c.commanded[f] = dcc_new_function_state((uint8_t)f);
        c.effective[f] = DCC_GetFunctionState((uint8_t)f);
        c.enabled[f] = functions[f].enabled;
        c.blocked[f] = functions[f].blocked;
        c.fstate[f] = (uint8_t)functions[f].state;
    }
    for (int i = 0; i < MAX_TRACKS; i++) {
        c.playing[i] = tracks[i].state;
        c.available[i] = tracks[i].available && tracks[i].rom != nullptr;
        c.reader[i] = tracks[i].audio_reader;
    }
    c.set_speed = EngineParams.SetSpeed;
    c.cur_speed = EngineParams.CurSpeed;
    c.moving = EngineParams.Moving;
    c.load = engine_load_value;
    c.direction = CurrentDirection;
    c.slot_state = slot_state;
    c.slot_id = slot_data.id;
    c.rate = slot_data.sample_rate;
    memcpy(c.vehicle, loco_info.name, sizeof c.vehicle);
    c.vehicle[sizeof c.vehicle - 1] = 0;
    c.cv202 = Memory_LoadU8(202);
    for (int o = 0; o < OUTPUTS_COUNT; o++)
        c.duty[o] = Outputs_GetConf((uint8_t)o)->currduty;
    c.out_state = Outputs_GetStateWord();
    // A reload of the same slot rewrites the records in place: compare them, not the slot id.
    slot_changed =
        memcmp(&slot_, &slot_data, sizeof slot_) != 0 || memcmp(tracks_, tracks_rom, sizeof tracks_) != 0;
    if (slot_changed) {
        memcpy(&slot_, &slot_data, sizeof slot_);
        memcpy(tracks_, tracks_rom, sizeof tracks_);
    }
    fw_unlock();

    const int slot_id = c.slot_state == SLOT_LOADED ? c.slot_id : -1;
    if (slot_changed || slot_id != described_slot_) describe_slot(slot_id);

    web_json state;
    const char *slot_states[] = {"idle", "loading", "loaded"};
    state["slot"] = {
        {"id", slot_id + 1},
        {"state", c.slot_state >= 0 && c.slot_state <= SLOT_LOADED ? slot_states[c.slot_state] : "idle"},
        {"rate", c.rate},
        {"vehicle", c.slot_state == SLOT_LOADED ? std::string(c.vehicle) : std::string()},
        {"cv202", c.cv202}};
    const web_throttle t = web_throttle_of(currentSpd.load(std::memory_order_relaxed));
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
    for (int f = 0; f < MAX_FUNCTIONS; f++)
        fn[std::to_string(f)] = {(int)c.commanded[f], (int)c.effective[f],
                                 (int)(c.enabled[f] && !c.blocked[f]), (int)c.blocked[f], c.fstate[f]};
    state["keys"] = slot_id >= 0 ? keys_ : web_json::object();
    web_json &out = state["out"] = web_json::object();
    for (int o = 0; o < OUTPUTS_COUNT; o++)
        out[std::to_string(o)] = {c.duty[o], (int)((c.out_state >> o) & 1)};
    web_json &play = state["play"] = web_json::object();
    for (int i = 0; i < MAX_TRACKS && slot_id >= 0; i++) {
        if (!c.available[i]) continue;
        const audio_reader_view_t v = audio_reader_get_view(c.reader[i]);
        if (v.task_state != TASK_RUN && v.task_state != TASK_RESTART) continue;
        const std::string path(tracks_[i].filepath, strnlen(tracks_[i].filepath, TRACK_PATH_LEN));
        play[std::to_string(i)] = {{"file", path.substr(path.rfind('/') + 1)},
                                   {"fn", tracks_[i].function_id},
                                   {"role", track_role_[i]},
                                   {"gain", pct(v.volume, AUDIO_UNITY_VOLUME)},
                                   {"target", pct(v.target, AUDIO_UNITY_VOLUME)},
                                   {"fade", v.volume_step > 0   ? "in"
                                            : v.volume_step < 0 ? "out"
                                                                : ""},
                                   {"pos", v.position_ms},
                                   {"len", v.length_ms},
                                   {"engine", c.playing[i]}};
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
