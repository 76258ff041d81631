// Runs one slot load through the firmware and keeps what the check needs of it: the slot
// records, the track table, the CV page, the log of the load, and the folder listing in the
// order the scanner saw it.
//
// Threads: the load runs on the firmware's "load_slot" task and the readers' tasks may log;
// the capture keeps their lines under one lock, in the order they were written. The records
// are copied under the firmware lock once the load has ended.
#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "audio_ll.h"
#include "audio_reader.h"
#include "check_private.h"
#include "decoder.h"
#include "emulator.h"
#include "esp_log.h"
#include "file_io.h"
#include "log.h"

// ---------------------------------------------------------------- log capture

namespace {

// Never destroyed: a firmware thread may still log while the process ends.
std::mutex &g_capture_lock = *new std::mutex;
std::vector<check_log_line> &g_lines = *new std::vector<check_log_line>;
log_sink_id g_sink;  // under g_capture_lock; 0 while no capture runs

void keep_line(const log_line &l) {
    std::lock_guard<std::mutex> lock(g_capture_lock);
    g_lines.push_back({l.level != 0 ? l.level : '?', l.tag, l.text});
}

}  // namespace

void check_capture_begin(bool forward_others) {
    {
        std::lock_guard<std::mutex> lock(g_capture_lock);
        g_lines.clear();
    }
    // In a running emulator the reload and whatever else the engine does meanwhile stay in its
    // log; what the check's own parsing writes (on the checking thread) is the check's alone.
    // The sink is added and removed outside the capture's lock, which its calls take.
    const log_sink_id id =
        log_sink_add(keep_line, forward_others ? log_sink_mode::keep_own_thread : log_sink_mode::keep_all);
    log_sink_id previous;
    {
        std::lock_guard<std::mutex> lock(g_capture_lock);
        previous = g_sink;
        g_sink = id;
    }
    if (previous != 0) log_sink_remove(previous);
}

std::vector<check_log_line> check_capture_end(void) {
    log_sink_id id;
    {
        std::lock_guard<std::mutex> lock(g_capture_lock);
        id = g_sink;
        g_sink = 0;
    }
    if (id != 0) log_sink_remove(id);
    std::lock_guard<std::mutex> lock(g_capture_lock);
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
            ci.loop_pass = audio_reader_get_loop_pass(reader);
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
    snap.update_flags = decoder_file_update_flags();

    esp_log_level_t previous[2];
    for (int t = 0; t < 2; t++) {
        previous[t] = esp_log_level_get(DETAIL_TAGS[t]);
        esp_log_level_set(DETAIL_TAGS[t], ESP_LOG_INFO);
    }
    // The start-up load has been requested already; otherwise this is a load as a CV 202
    // write makes one (the folder is always parsed, never restored from storage).
    snap.requested = startup || decoder_request_load(slot);
    // A slot load of a folder of 100 files takes milliseconds; a minute covers a slow disk.
    snap.finished = snap.requested && decoder_wait_loaded(60 * 1000000LL);
    snap.log = check_capture_since(mark);
    for (int t = 0; t < 2; t++)
        esp_log_level_set(DETAIL_TAGS[t], previous[t]);

    decoder_load_copy copy;
    decoder_copy_load(&copy);
    snap.loaded = copy.state == SLOT_LOADED && copy.records.slot.id == slot - 1;
    snap.slot_rom = copy.records.slot;
    memcpy(snap.tracks, copy.records.tracks, sizeof snap.tracks);
    for (int d = 0; d < MAX_DRIVE_FUNCTIONS; d++)
        snap.units[d].max_speed = copy.drive_max_speed[d];
    snap.loco = copy.records.loco;
    memcpy(snap.cv, copy.cv, sizeof snap.cv);
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
    if (slot == 0) slot = decoder_read_cv(202);
    if (slot < 1 || slot > MAX_SLOTS) {
        check_capture_end();
        fprintf(stderr, "%s: --check needs a slot: slot.txt names none here (give it: %s --check 1)\n",
                program, program);
        return CHECK_ERRORS;
    }
    decoder_choose_start_slot(slot);
    esp_log_level_set("FILE_IO", ESP_LOG_INFO);
    esp_log_level_set("WAV_READER", ESP_LOG_INFO);
    const size_t mark = check_capture_mark();
    // What the load is asked to apply, read before it starts: a load that is quick clears the
    // flags before the snapshot could read them, and the CV file then looked unapplied.
    const uint8_t flags = decoder_file_update_flags();
    decoder_start();
    check_snapshot snap = check_take_snapshot(slot, true, mark);
    snap.update_flags = flags;
    check_json report = check_build_report(snap);
    check_capture_end();
    if (json) {
        // Names are bytes: one that is not UTF-8 (a Latin-1 'ä') is shown as U+FFFD rather than
        // ending the program.
        printf("%s\n", report.dump(2, ' ', false, check_json::error_handler_t::replace).c_str());
    } else {
        fputs(check_report_text(report).c_str(), stdout);
    }
    return report["exit_status"].get<int>();
}
