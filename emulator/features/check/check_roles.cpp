// Where each file went and what the loader said about it. Where a file went is read from the
// loaded slot records (a track id in a place of a function, a drive function, a complex loop or
// an announcement list). Why a file was refused is the firmware's own log line: during the track
// phase of the load the lines between one reader's "Opening file" and the next belong to that
// track.
#include <cstdio>
#include <map>

#include "check_private.h"

namespace check_report_parts {

std::string builder::level_label(int d, int k) const {
    const drive_function_rom_t &D = snap.slot_rom.drive_functions[d];
    const check_drive_units &u = snap.units[d];
    const char *letter = D.variant == DRIVE_VARIANT_LOAD ? "M" : "S";
    const uint32_t lo = pct(u, D.items[k].min);
    const uint32_t hi = pct(u, (uint16_t)D.items[k].max);
    return std::string(letter) + std::to_string(lo) + "-" + std::to_string(hi) + " %";
}

check_json builder::track_ref(int track) const {
    if (track < 0 || track >= MAX_TRACKS) return nullptr;
    check_json r = {{"track", track}, {"file", name_of(track)}};
    if (snap.info[track].ok) r["length_ms"] = snap.info[track].length_ms;
    return r;
}

// A role in the author's terms: the key, and the place with its speed or load band where the
// decoder has one.
std::string builder::role_text(const slot_role &r) const {
    const slot_rom_t &s = snap.slot_rom;
    const std::string F = "F" + std::to_string(r.key) + " ";
    const std::string name = slot_role_name(r.kind, r.place);
    switch (r.kind) {
        case slot_role_kind::place:
            return F + (r.once ? std::string("played once") : name);
        case slot_role_kind::variant:
            return F + "variant " + slot_role_letter(r.index) + " " + name;
        case slot_role_kind::level:
            return F + "level " + level_label(r.owner, r.index) + " " + name;
        case slot_role_kind::accel:
        case slot_role_kind::decel:
            return F + name + " (whole range)";
        case slot_role_kind::drive_off:
            return F + "drive-off (DRVOFF)";
        case slot_role_kind::accelon:
        case slot_role_kind::decelon:
            return F + name + " variant " + slot_role_letter(r.index);
        case slot_role_kind::accel_band:
            return F + name + " from " +
                   std::to_string(
                       pct(snap.units[r.owner], s.drive_functions[r.owner].acc_items[r.index].min)) +
                   " %";
        case slot_role_kind::decel_band:
            return F + name + " from " +
                   std::to_string(
                       pct(snap.units[r.owner], s.drive_functions[r.owner].dcl_items[r.index].min)) +
                   " %";
        case slot_role_kind::loop_part:
        case slot_role_kind::loopd_part:
            return F + "complex loop S" + std::to_string(s.complex_loops[r.owner].speed) +
                   (r.kind == slot_role_kind::loopd_part ? " LOOPD" : "") + " part " +
                   std::to_string(r.index + 1);
        case slot_role_kind::info_next:
        case slot_role_kind::info:
            return "F" + std::to_string(r.key) + "/F" + std::to_string(r.key + 1) + " " + name + " " +
                   std::to_string(r.index / 2 + 1);
        default:
            return F + name;
    }
}

// Every place of the loaded records that names a track.
void builder::collect_roles() {
    const slot_rom_t &s = snap.slot_rom;
    for (const slot_role &r : slot_roles(s, snap.tracks))
        roles[r.track].push_back({role_text(r), r.key});
    for (int i = 0; i < MAX_TRACKS; i++)
        for (const role &r : roles[i])
            sound_keys.insert(r.key);
    for (int i = 0; i < s.info_functions_len && i < MAX_INFO_FUNCTIONS; i++)
        sound_keys.insert(s.info_functions[i].fid + 1);
}

namespace {

// Lines the loader writes before it opens a track; a track skipped at that point has no
// "Opening file" line, and its one line comes after those of the track opened before it.
bool is_preload_line(const std::string &text) {
    return contains(text, "drive functions is possible.") || contains(text, "multi functions is possible.") ||
           starts_with(text, "MULTI variant id") || contains(text, "Too many speed sounds");
}

// Lines that belong to the end of the load (drive functions finished, result).
bool is_finish_line(const std::string &text) {
    return contains(text, "is not allowed in Accel/Decel mode") ||
           text == "Could not configure DRV OFF file" || contains(text, ": assign DRVOFF") ||
           text == "Mixed mono and stereo files" || contains(text, " loaded with errors") ||
           contains(text, " loaded successfully");
}

// The reader's own lines start with its tag "[wav<n>] "; the report names the file instead.
std::string without_reader_tag(const std::string &text) {
    if (starts_with(text, "[wav")) {
        size_t close = text.find("] ");
        if (close != std::string::npos) return text.substr(close + 2);
    }
    return text;
}

}  // namespace

void builder::attribute_messages() {
    size_t begin = 0, end = snap.log.size();
    for (size_t i = 0; i < snap.log.size(); i++)
        if (snap.log[i].tag == "FILE_IO") begin = i + 1;
    for (size_t i = begin; i < snap.log.size(); i++) {
        if (is_finish_line(snap.log[i].text)) {
            end = i;
            break;
        }
    }
    // Lines of each segment: segment -1 runs up to the first opened track.
    std::map<int, std::vector<std::string>> segment;
    std::vector<int> order = {-1};
    int current = -1;
    for (size_t i = begin; i < end; i++) {
        const check_log_line &l = snap.log[i];
        int n = -1;
        if (l.tag == "WAV_READER" && sscanf(l.text.c_str(), "[wav%d] Opening file:", &n) == 1 &&
            contains(l.text, "] Opening file:") && n >= 0 && n < MAX_TRACKS) {
            current = n;
            opened[n] = true;
            order.push_back(n);
            continue;
        }
        if (l.level != 'E' && l.level != 'W') continue;
        // The reader announces a "_L" loop length as a warning: it is the name working as meant.
        if (contains(l.text, "Custom loop length")) continue;
        if (l.tag != "SOUND_HL" && l.tag != "DRV_FUNC" && l.tag != "WAV_READER" && l.tag != "wav_header")
            continue;
        segment[current].push_back(without_reader_tag(l.text));
    }
    // Tracks skipped before opening: each has one line at the end of the segment before it.
    for (size_t s = 0; s < order.size(); s++) {
        const int from = order[s];
        const int to = s + 1 < order.size() ? order[s + 1] : MAX_TRACKS;
        std::vector<int> skipped;
        for (int t = from + 1; t < to; t++) {
            const track_rom_t &R = snap.tracks[t];
            if (R.filepath[0] != 0 && R.function_id < MAX_FUNCTIONS && !opened[t]) skipped.push_back(t);
        }
        std::vector<std::string> &lines = segment[from];
        std::vector<std::string> tail;
        while (tail.size() < skipped.size() && !lines.empty() && is_preload_line(lines.back())) {
            tail.insert(tail.begin(), lines.back());
            lines.pop_back();
        }
        for (size_t k = 0; k < tail.size(); k++)
            messages[skipped[skipped.size() - tail.size() + k]].push_back(tail[k]);
        if (from >= 0) {
            for (const std::string &m : lines)
                messages[from].push_back(m);
        }
    }
}

}  // namespace check_report_parts
