// Internals of the project check shared by its source files: the snapshot of one slot load, the
// log lines captured while it ran, and the parts of the report built from them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "audio_reader.h"
#include "check.h"
#include "slot_data.h"
#include "slot_roles.h"

struct check_log_line {
    char level;  // 'E', 'W', 'I', ...
    std::string tag;
    std::string text;
};

// What the audio reader made of one file (probed with a reader of the check's own).
struct check_file_info {
    bool ok = false;
    uint8_t format = 0;  // AUDIO_FORMAT_*
    uint8_t channels = 0;
    uint32_t sample_rate = 0;
    uint32_t frames = 0;  // frames of audio in the file
    uint16_t block_size = 0;
    uint32_t length_ms = 0;                // the length the engine works with (a "_T" duration included)
    audio_reader_loop_pass_t loop_pass{};  // one pass of it as a loop, as the reader plays it
};

// Speed units of one drive function, as the engine set them up after the load.
struct check_drive_units {
    uint32_t max_speed = 0;  // the top of its range (speed steps or load percent)
};

struct check_snapshot {
    int slot = 0;            // 1..3
    std::string folder;      // "data/<slot>/"
    bool folder_ok = false;  // the folder could be listed
    bool requested = false;  // the firmware accepted the load request
    bool finished = false;   // the load ended within the wait
    bool loaded = false;     // slot_state became SLOT_LOADED
    uint8_t update_flags = 0;
    slot_rom_t slot_rom{};
    track_rom_t tracks[MAX_TRACKS]{};
    check_file_info info[MAX_TRACKS];
    check_drive_units units[MAX_DRIVE_FUNCTIONS];
    loco_info_t loco{};
    uint8_t cv[512]{};
    std::vector<check_log_line> log;   // the lines of the load, in order
    std::vector<std::string> listing;  // folder entries (not subfolders) in listing order
    std::vector<std::string> subfolders;
};

// Runs the load of `slot` through the firmware (started already) and takes the snapshot; the
// log of the load is what the capture holds from `mark` on. `startup`: the engine's start-up
// has requested the load already.
check_snapshot check_take_snapshot(int slot, bool startup, size_t mark);

// Log capture for the duration of a check. Lines logged by any thread are kept in order.
// `forward_others`: lines of threads other than the calling one are also printed as before
// (a check in a running emulator must not hide its engine's log).
void check_capture_begin(bool forward_others);
std::vector<check_log_line> check_capture_end(void);
size_t check_capture_mark(void);
std::vector<check_log_line> check_capture_since(size_t mark);

// Builds the report document from a snapshot (and puts the slot's text files and file names
// through the firmware's own parsers and name decoder; the live slot records are not read).
check_json check_build_report(const check_snapshot &snap);

// Warnings and errors as they are collected.
struct check_findings {
    check_json warnings = check_json::array();
    check_json errors = check_json::array();
    void warn(const std::string &code, const std::string &where, const std::string &message, int line = 0);
    void error(const std::string &code, const std::string &where, const std::string &message, int line = 0);
};

// Text-file sections (logic, CV, mapping, functions files) with their warnings and errors.
void check_text_files(const check_snapshot &snap, check_json &report, check_findings &findings);

// Formatting helpers shared by the report builders.
std::string check_seconds(uint32_t ms);  // "2.5 s", "0.8 s", "12 s"
std::string check_key(int id);           // "F5", or "input 2" for ids from 99 on
std::string check_logic_sentence(const logic_condition_rom_t &r);

// ---------------------------------------------------------------- building the report

// The report's parts, each built by a file of its own: the roles of the tracks and the loader's
// lines about each (check_roles.cpp), the folder entries (check_files.cpp), the loops
// (check_loops.cpp), the functions (check_functions.cpp) and the drive sound (check_drive.cpp);
// check_report.cpp puts them together.
namespace check_report_parts {

// Text and words shared by the parts (check_words.cpp).
bool starts_with(const std::string &s, const std::string &p);
bool contains(const std::string &s, const std::string &p);
std::string lower(std::string s);
std::string join(const std::vector<std::string> &parts, const std::string &sep);
std::string path_of(const track_rom_t &t);
const char *format_name(uint8_t format);  // "PCM", "IMA ADPCM", "Ogg Vorbis"
int place_of(play_type_t type);
uint32_t pct(const check_drive_units &u, uint32_t value);

// One role of a track in the report's words, with its key.
struct role {
    std::string text;  // "F2 ON", "F1 level S30-55 % LOOP", ...
    int key;
};

// The context of one report: the snapshot, the roles of its tracks and the findings so far.
struct builder {
    const check_snapshot &snap;
    check_findings findings;
    std::vector<role> roles[MAX_TRACKS];
    std::vector<std::string> messages[MAX_TRACKS];  // the loader's lines about each track
    bool opened[MAX_TRACKS] = {};
    std::set<int> sound_keys;

    explicit builder(const check_snapshot &s) : snap(s) {}

    std::string name_of(int track) const {
        std::string p = path_of(snap.tracks[track]);
        return starts_with(p, snap.folder) ? p.substr(snap.folder.size()) : p;
    }
    bool has_line(const std::string &text) const {
        for (const check_log_line &l : snap.log)
            if (l.text == text) return true;
        return false;
    }
    std::string level_label(int d, int k) const;
    check_json track_ref(int track) const;
    std::string role_text(const slot_role &r) const;
    void collect_roles();
    void attribute_messages();
};

// The folder entries with what became of each, and names that differ only in letter case.
check_json file_entries(builder &b, const std::vector<int> &track_of_entry);
void check_case_twins(builder &b);
void check_loop_length(builder &b, int i, const std::string &name, const audio_reader_loop_pass_t &lp);
check_json functions_section(builder &b);
check_json drive_section(builder &b);

}  // namespace check_report_parts
