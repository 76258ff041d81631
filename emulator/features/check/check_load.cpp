// Runs one slot load through the firmware and keeps what the check needs of it: the slot
// records, the track table, the CV page, the log of the load, and the folder listing in the
// order the scanner saw it.
//
// Threads: the load runs on the firmware's "load_slot" task and the readers' tasks may log;
// the capture keeps their lines under one lock, in the order they were written. The records
// are copied under the firmware lock once the load has ended.
#include <dirent.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "audio_ll.h"
#include "audio_reader.h"
#include "check_private.h"
#include "esp_timer.h"
#include "stub.h"
#include "emulator.h"
#include "esp_log.h"
#include "file_io.h"
#include "fw_lock.h"
#include "memory.h"
#include "nvs_hl.h"
#include "sound_hl.h"

// ---------------------------------------------------------------- log capture

namespace {

// Never destroyed: a firmware thread may still log while the process ends.
std::mutex &g_capture_lock = *new std::mutex;
std::vector<check_log_line> &g_lines = *new std::vector<check_log_line>;
std::string &g_partial = *new std::string;
// Under g_capture_lock once the capture has begun.
vprintf_like_t g_previous;
bool g_capturing;
bool g_forward_others;  // a check in a running emulator: the engine's own lines still go out
std::thread::id g_checking_thread;

// "<L> (<ms>) <tag>: <text>" into its parts; a line of another shape keeps its whole text.
check_log_line split_line(const std::string &s) {
    check_log_line l{'?', "", s};
    size_t close = s.find(") ");
    size_t colon = close == std::string::npos ? std::string::npos : s.find(": ", close + 2);
    if (s.size() > 2 && s[1] == ' ' && s[2] == '(' && colon != std::string::npos) {
        l.level = s[0];
        l.tag = s.substr(close + 2, colon - close - 2);
        l.text = s.substr(colon + 2);
    }
    return l;
}

int forward(vprintf_like_t out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int n = out(format, args);
    va_end(args);
    return n;
}

int capture_vprintf(const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return n;
    std::string text((size_t)n + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize((size_t)n);
    vprintf_like_t out = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_capture_lock);
        g_partial += text;
        size_t pos;
        while ((pos = g_partial.find('\n')) != std::string::npos) {
            g_lines.push_back(split_line(g_partial.substr(0, pos)));
            g_partial.erase(0, pos + 1);
        }
        if (g_forward_others && std::this_thread::get_id() != g_checking_thread) out = g_previous;
    }
    // In a running emulator the reload and whatever else the engine does meanwhile stay in its
    // log; what the check's own parsing writes (on the checking thread) is the check's alone.
    if (out != nullptr) forward(out, "%s", text.c_str());
    return n;
}

}  // namespace

void check_capture_begin(bool forward_others) {
    std::lock_guard<std::mutex> lock(g_capture_lock);
    g_lines.clear();
    g_partial.clear();
    g_forward_others = forward_others;
    g_checking_thread = std::this_thread::get_id();
    if (!g_capturing) g_previous = esp_log_set_vprintf(capture_vprintf);
    g_capturing = true;
}

std::vector<check_log_line> check_capture_end(void) {
    std::lock_guard<std::mutex> lock(g_capture_lock);
    if (g_capturing) esp_log_set_vprintf(g_previous);
    g_capturing = false;
    g_forward_others = false;
    std::vector<check_log_line> lines;
    lines.swap(g_lines);
    return lines;
}

size_t check_capture_mark(void) {
    std::lock_guard<std::mutex> lock(g_capture_lock);
    return g_lines.size();
}

std::vector<check_log_line> check_capture_since(size_t mark) {
    std::lock_guard<std::mutex> lock(g_capture_lock);
    if (mark >= g_lines.size()) return {};
    return std::vector<check_log_line>(g_lines.begin() + (long)mark, g_lines.end());
}

// ---------------------------------------------------------------- the load

namespace {

// The tags whose information lines the check reads: the scanner's and the readers' (which
// mark where each track's load begins).
const char *const DETAIL_TAGS[] = {"FILE_IO", "WAV_READER"};

slot_state_t current_state() {
    fw_lock();
    slot_state_t s = slot_state;
    fw_unlock();
    return s;
}

// A slot load of a folder of 100 files takes milliseconds; a minute covers a slow disk. The wait
// is on the platform clock, so that it also lets the loader run in simulated time.
bool wait_load_end() {
    const int64_t until = esp_timer_get_time() + 60 * 1000000LL;
    while (current_state() == SLOT_LOADING) {
        if (esp_timer_get_time() > until) return false;
        stub_sleep_us(2000);
    }
    return true;
}

// Entry names in the order the host lists them, as the scanner walks the folder.
void list_folder(check_snapshot &snap) {
    DIR *dir = opendir(snap.folder.c_str());
    if (dir == nullptr) return;
    snap.folder_ok = true;
    while (struct dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (is_dir(e, snap.folder.c_str())) {
            snap.subfolders.emplace_back(e->d_name);
        } else {
            snap.listing.emplace_back(e->d_name);
        }
    }
    closedir(dir);
}

// Opens every track's file once more with a reader of the check's own, configured as the
// engine configures its readers, to learn its format, channels, rate and length.
void probe_files(check_snapshot &snap) {
    audio_reader_cfg_t cfg = {};
    cfg.task_core = 1;
    cfg.task_prio = 8;
    cfg.buf_data_len = 4096;
    audio_reader_handle_t reader = audio_reader_init(&cfg, "check");
    if (reader == nullptr) return;
    for (int i = 0; i < MAX_TRACKS; i++) {
        const track_rom_t &t = snap.tracks[i];
        if (t.filepath[0] == 0) continue;
        std::string path(t.filepath, strnlen(t.filepath, sizeof t.filepath));
        file_info_t *fi = nullptr;
        if (audio_reader_load(reader, path.c_str(), &fi, AUDIO_VOLUME_NOT_GIVEN) == ESP_OK && fi != nullptr) {
            check_file_info &ci = snap.info[i];
            ci.ok = true;
            ci.format = fi->format;
            ci.channels = fi->channels;
            ci.sample_rate = fi->sample_rate;
            ci.frames = fi->frames;
            ci.block_size = fi->blockSize;
            ci.length_ms = fi->length_ms.load();
        }
        audio_reader_unload(reader);
    }
    audio_reader_deinit(reader);
}

}  // namespace

check_snapshot check_take_snapshot(int slot, bool startup, size_t mark) {
    check_snapshot snap;
    snap.slot = slot;
    snap.folder = "data/" + std::to_string(slot) + "/";
    list_folder(snap);
    nvsHL_get_file_update_flags(&snap.update_flags);

    esp_log_level_t previous[2];
    for (int t = 0; t < 2; t++) {
        previous[t] = esp_log_level_get(DETAIL_TAGS[t]);
        esp_log_level_set(DETAIL_TAGS[t], ESP_LOG_INFO);
    }
    // The start-up load has been requested already; otherwise this is a load as a CV 202
    // write makes one (the folder is always parsed, never restored from storage).
    snap.requested = startup || soundHL_load_slot((uint32_t)slot - 1, true) == ESP_OK;
    snap.finished = snap.requested && wait_load_end();
    snap.log = check_capture_since(mark);
    for (int t = 0; t < 2; t++)
        esp_log_level_set(DETAIL_TAGS[t], previous[t]);

    fw_lock();
    snap.loaded = slot_state == SLOT_LOADED && slot_data.id == slot - 1;
    snap.slot_rom = slot_data;
    memcpy(snap.tracks, tracks_rom, sizeof snap.tracks);
    for (int d = 0; d < MAX_DRIVE_FUNCTIONS; d++)
        snap.units[d].max_speed = drive_functions[d].max_speed;
    snap.loco = loco_info;
    fw_unlock();
    Memory_ReadPage(snap.cv, sizeof snap.cv);
    probe_files(snap);
    return snap;
}

// ---------------------------------------------------------------- entry points

check_json check_report_json(int slot) {
    if (slot < 1 || slot > MAX_SLOTS) {
        check_json r;
        r["slot"] = slot;
        r["result"] = "invalid slot";
        r["errors"] = check_json::array(
            {{{"code", "invalid-slot"}, {"file", ""}, {"message", "slots are numbered 1 to 3"}}});
        r["summary"] = {{"files", 0}, {"functions", 0}, {"warnings", 0}, {"errors", 1}};
        r["exit_status"] = CHECK_ERRORS;
        return r;
    }
    check_capture_begin(true);
    check_snapshot snap = check_take_snapshot(slot, false, check_capture_mark());
    // The report puts the text files through the firmware's parsers: their lines are captured too.
    check_json report = check_build_report(snap);
    check_capture_end();
    return report;
}

int check_main(const char *program, int slot, bool json) {
    // Nothing of the start-up may reach the terminal: the report is the whole output.
    check_capture_begin(false);
    i2s_ll_set_no_device(true);
    emulator_init_decoder();
    if (slot == 0) slot = Memory_LoadU8(202);
    if (slot < 1 || slot > MAX_SLOTS) {
        check_capture_end();
        fprintf(stderr, "%s: --check needs a slot: slot.txt names none here (give it: %s --check 1)\n",
                program, program);
        return CHECK_ERRORS;
    }
    Memory_SaveU8(202, (uint8_t)slot);
    esp_log_level_set("FILE_IO", ESP_LOG_INFO);
    esp_log_level_set("WAV_READER", ESP_LOG_INFO);
    const size_t mark = check_capture_mark();
    // What the load is asked to apply, read before it starts: a load that is quick clears the
    // flags before the snapshot could read them, and the CV file then looked unapplied.
    uint8_t flags = 0;
    nvsHL_get_file_update_flags(&flags);
    soundHL_start();
    check_snapshot snap = check_take_snapshot(slot, true, mark);
    snap.update_flags = flags;
    check_json report = check_build_report(snap);
    check_capture_end();
    if (json) {
        printf("%s\n", report.dump(2).c_str());
    } else {
        fputs(check_report_text(report).c_str(), stdout);
    }
    return report["exit_status"].get<int>();
}
