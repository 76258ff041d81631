// The trace of a render: the firmware's reader and mixer hooks, the tick observer of the seam and
// the script feeder's observer write into one file, one JSON object per line, in the order the
// events happen (in simulated time one thread runs at a time, so the order is the run's own).
//
// A buffer's gains are known when its reader hands it over, and the buffer is mixed later (the
// readers work up to two buffers ahead). The hand-over records them under the buffer's address
// until the mixer takes it; a play counter per track tells which play a buffer belongs to, so
// that a buffer already in the ready slot when a track restarts is not taken for the new play.
#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio_reader.h"
#include "decoder.h"
#include "esp_timer.h"
#include "log.h"
#include "mixer.h"
#include "script.h"
#include "slot_roles.h"
#include "stub.h"

namespace {

struct handed {
    int play;
    uint32_t first, last, target;
    // A copy: the reader's own name changes when a slot load gives it another file, and a buffer
    // of the old file may still wait to be mixed.
    std::string path;
};

std::mutex g_mu;  // every field below
FILE *g_out;
std::string g_path;  // empty when the trace is kept in memory (g_memory)
char *g_memory;      // open_memstream's buffer
size_t g_memory_size;
std::map<const int16_t *, handed> g_buffers;  // handed over, not mixed yet
std::map<int, int> g_plays;                   // plays so far per track
int32_t g_cur = INT32_MIN, g_set = INT32_MIN;
int g_slot = -1;
uint16_t g_master;
int g_load = -1, g_direction = -2;
uint64_t g_keys[2];

double now_ms() {
    return (double)esp_timer_get_time() / 1000.0;
}

// Track id from the reader's name ("wav" and the track number).
int track_of(const char *tag) {
    return tag != nullptr ? atoi(tag + 3) : -1;
}

// Gain as a percentage of unity.
double pct(uint32_t gain) {
    return (double)gain * 100.0 / AUDIO_UNITY_VOLUME;
}

// Writes `s` as a JSON string.
void put_string(const char *s) {
    fputc('"', g_out);
    for (; s != nullptr && *s != 0; s++) {
        if (*s == '"' || *s == '\\') fputc('\\', g_out);
        if ((unsigned char)*s < 0x20) {
            fprintf(g_out, "\\u%04x", (unsigned char)*s);
        } else {
            fputc(*s, g_out);
        }
    }
    fputc('"', g_out);
}

void on_reader(const audio_reader_trace_t *e) {
    std::lock_guard<std::mutex> lock(g_mu);
    const int track = track_of(e->tag);
    if (e->kind == AUDIO_READER_TRACE_BUFFER) {
        g_buffers[e->data] = {g_plays[track], e->gain_first, e->gain_last, e->target,
                              e->path != nullptr ? e->path : ""};
        return;
    }
    const bool play = e->kind == AUDIO_READER_TRACE_PLAY;
    if (play) g_plays[track]++;
    fprintf(g_out, "{\"t\":%.3f,\"ev\":\"%s\",\"track\":%d,\"play\":%d,\"fade\":%u,\"full\":%.6g,\"file\":",
            now_ms(), play ? "play" : "stop", track, g_plays[track], (unsigned)e->fade_ms, pct(e->target));
    put_string(e->path);
    fputs("}\n", g_out);
}

void on_mix(const buf_item_t *inputs, int count, uint16_t master) {
    std::lock_guard<std::mutex> lock(g_mu);
    bool any = false;
    for (int id = 0; id < count && !any; id++)
        any = inputs[id].data != nullptr;
    // Idle buffers are written only when the master volume changed: silence needs no lines.
    if (!any && master == g_master) return;
    g_master = master;
    fprintf(g_out, "{\"t\":%.3f,\"ev\":\"mix\",\"master\":%u,\"in\":[", now_ms(), (unsigned)master);
    bool first = true;
    for (int id = 0; id < count; id++) {
        if (inputs[id].data == nullptr) continue;
        auto it = g_buffers.find(inputs[id].data);
        handed h = it != g_buffers.end() ? it->second : handed{0, 0, 0, 0, ""};
        if (it != g_buffers.end()) g_buffers.erase(it);
        fprintf(g_out,
                "%s{\"track\":%d,\"play\":%d,\"bytes\":%u,\"from\":%.6g,\"to\":%.6g,\"full\":%.6g,\"file\":",
                first ? "" : ",", id, h.play, (unsigned)inputs[id].len, pct(h.first), pct(h.last),
                pct(h.target));
        put_string(h.path.c_str());
        fputc('}', g_out);
        first = false;
    }
    fputs("]}\n", g_out);
}

// The role of every track of the slot just loaded, as its records name it, and the stream
// rate (which gives a buffer's length): read once per load, outside the trace's lock.
void put_roles(double t, int slot) {
    auto records = std::make_unique<decoder_records>();
    decoder_copy_records(records.get());
    auto roles = std::make_unique<std::string[]>(MAX_TRACKS);
    slot_track_roles(records->slot, records->tracks, roles.get());
    std::lock_guard<std::mutex> lock(g_mu);
    fprintf(g_out, "{\"t\":%.3f,\"ev\":\"roles\",\"slot\":%d,\"rate\":%u,\"roles\":[", t, slot,
            (unsigned)records->slot.sample_rate);
    bool first = true;
    for (int i = 0; i < MAX_TRACKS; i++) {
        const track_rom_t &r = records->tracks[i];
        if (r.filepath[0] == 0) continue;
        char path[TRACK_PATH_LEN + 1];
        memcpy(path, r.filepath, TRACK_PATH_LEN);
        path[TRACK_PATH_LEN] = 0;
        fprintf(g_out, "%s{\"track\":%d,\"key\":%d,\"role\":", first ? "" : ",", i, (int)r.function_id);
        put_string(roles[i].c_str());
        fputs(",\"file\":", g_out);
        put_string(path);
        fputc('}', g_out);
        first = false;
    }
    fputs("]}\n", g_out);
}

void on_tick(int64_t t_us, const decoder_tick_view &v) {
    // Whole speed steps (0..255 of top speed, signed by direction): the motor moves in finer
    // steps every few milliseconds, which would fill the trace without telling more.
    const int32_t cur = v.cur_speed / 256, set = v.set_speed / 256;
    const double t = (double)t_us / 1000.0;
    bool loaded = false;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (v.slot != g_slot) {
            g_slot = v.slot;
            loaded = v.slot > 0;
            fprintf(g_out, "{\"t\":%.3f,\"ev\":\"slot\",\"slot\":%d}\n", t, v.slot);
        }
        if (cur != g_cur || set != g_set) {
            g_cur = cur;
            g_set = set;
            fprintf(g_out, "{\"t\":%.3f,\"ev\":\"speed\",\"cur\":%d,\"set\":%d}\n", t, (int)cur, (int)set);
        }
        if (v.load != g_load || v.direction != g_direction) {
            g_load = v.load;
            g_direction = v.direction;
            fprintf(g_out, "{\"t\":%.3f,\"ev\":\"drive\",\"load\":%d,\"dir\":%d}\n", t, (int)v.load,
                    (int)v.direction);
        }
        if (v.keys[0] != g_keys[0] || v.keys[1] != g_keys[1]) {
            g_keys[0] = v.keys[0];
            g_keys[1] = v.keys[1];
            fprintf(g_out, "{\"t\":%.3f,\"ev\":\"keys\",\"on\":[", t);
            const char *sep = "";
            for (int f = 0; f < 128; f++)
                if (v.keys[f / 64] >> (f % 64) & 1) {
                    fprintf(g_out, "%s%d", sep, f);
                    sep = ",";
                }
            fputs("]}\n", g_out);
        }
    }
    if (loaded) put_roles(t, v.slot);
}

void on_log(const log_line &l) {
    std::lock_guard<std::mutex> lock(g_mu);
    fprintf(g_out, "{\"t\":%.3f,\"ev\":\"log\",\"line\":", now_ms());
    put_string(l.raw.c_str());
    fputs("}\n", g_out);
}

void on_command(const char *line) {
    std::lock_guard<std::mutex> lock(g_mu);
    fprintf(g_out, "{\"t\":%.3f,\"ev\":\"cmd\",\"line\":", now_ms());
    put_string(line);
    fputs("}\n", g_out);
}

void finish() {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_out != nullptr) fflush(g_out);
}

}  // namespace

bool trace_start(const char *path, std::string *error) {
    if (path != nullptr) {
        g_out = fopen(path, "w");
        g_path = path;
    } else {
        g_out = open_memstream(&g_memory, &g_memory_size);
    }
    if (g_out == nullptr) {
        *error = std::string("cannot write the trace '") + (path != nullptr ? path : "(memory)") + "'";
        return false;
    }
    audio_reader_set_trace_hook(on_reader);
    mixer_set_trace_hook(on_mix);
    decoder_set_tick_observer(on_tick);
    script_set_observer(on_command);
    log_sink_add(on_log);
    stub_on_exit(finish);
    atexit(finish);
    return true;
}

std::vector<std::string> trace_lines() {
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<std::string> lines;
    if (g_out == nullptr) return lines;
    fflush(g_out);
    std::string line;
    if (g_path.empty()) {
        for (size_t i = 0; i < g_memory_size; i++) {
            if (g_memory[i] != '\n') {
                line += g_memory[i];
                continue;
            }
            lines.push_back(std::move(line));
            line.clear();
        }
    } else {
        std::ifstream in(g_path);
        while (std::getline(in, line))
            lines.push_back(line);
    }
    return lines;
}
