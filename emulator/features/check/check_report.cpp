// The report of one slot load: every folder entry with what became of it, the functions and
// the drive sound in words, and the warnings for what is likely a mistake.
//
// Where a file went is read from the loaded slot records (a track id in a place of a function,
// a drive function, a complex loop or an announcement list). Why a file was refused is the
// firmware's own log line: the scanner names the file, and during the track phase of the load
// the lines between one reader's "Opening file" and the next belong to that track.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "audio_reader.h"
#include "check_private.h"
#include "file_io.h"
#include "slot_roles.h"
#include "sound_drv_function.h"

namespace {

// ---------------------------------------------------------------- small helpers

bool starts_with(const std::string &s, const std::string &p) {
    return s.compare(0, p.size(), p) == 0;
}

bool contains(const std::string &s, const std::string &p) {
    return s.find(p) != std::string::npos;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

std::string path_of(const track_rom_t &t) {
    return std::string(t.filepath, strnlen(t.filepath, sizeof t.filepath));
}

const char *format_name(uint8_t format) {
    switch (format) {
        case AUDIO_FORMAT_PCM:
            return "PCM";
        case AUDIO_FORMAT_ADPCM:
            return "IMA ADPCM";
        case AUDIO_FORMAT_OGG:
            return "Ogg Vorbis";
        default:
            return "unknown";
    }
}

const char *place_name(int p) {
    static const char *const names[] = {"", "ON", "LOOP", "OFF"};
    return p >= 0 && p < 4 ? names[p] : "";
}

// The place of a function a file of this role goes to: a sound played once shares the ON place;
// other roles have a place of their own each.
int place_of(play_type_t type) {
    switch (type) {
        case PLAY_TYPE_ONESHOT:
        case PLAY_TYPE_ON:
            return FUNCTION_ON;
        case PLAY_TYPE_LOOP:
            return FUNCTION_LOOP;
        case PLAY_TYPE_OFF:
            return FUNCTION_OFF;
        default:
            return 10 + (int)type;
    }
}

// Percent of a drive function's range, as the firmware's own summary prints it.
uint32_t pct(const check_drive_units &u, uint32_t value) {
    if (u.max_speed == 0) return value;
    drive_function_t df{};
    df.max_speed = u.max_speed;
    return drive_function_val2pct(&df, (int32_t)value);
}

// ---------------------------------------------------------------- the context of one report

struct role {
    std::string text;  // "F2 ON", "F1 level S30-55 % LOOP", ...
    int key;
};

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

std::string letter(int v) {
    return std::string(1, (char)('A' + v));
}

// A role in the author's terms: the key, and the place with its speed or load band where the
// decoder has one.
std::string builder::role_text(const slot_role &r) const {
    const slot_rom_t &s = snap.slot_rom;
    const std::string F = "F" + std::to_string(r.key) + " ";
    switch (r.kind) {
        case slot_role_kind::place:
            return F + (r.once ? std::string("played once") : std::string(place_name(r.place)));
        case slot_role_kind::variant:
            return F + "variant " + letter(r.index) + " " + place_name(r.place);
        case slot_role_kind::level:
            return F + "level " + level_label(r.owner, r.index) + " " + place_name(r.place);
        case slot_role_kind::start:
            return F + "START";
        case slot_role_kind::stop:
            return F + "STOP";
        case slot_role_kind::estop:
            return F + "ESTOP";
        case slot_role_kind::dir:
            return F + "DIR";
        case slot_role_kind::accel:
            return F + "ACCEL (whole range)";
        case slot_role_kind::decel:
            return F + "DECEL (whole range)";
        case slot_role_kind::drive_off:
            return F + "drive-off (DRVOFF)";
        case slot_role_kind::turbo:
            return F + "TURBO";
        case slot_role_kind::loopd:
            return F + "LOOPD";
        case slot_role_kind::accelon:
            return F + "ACCELON variant " + letter(r.index);
        case slot_role_kind::decelon:
            return F + "DECELON variant " + letter(r.index);
        case slot_role_kind::accel_band:
            return F + "ACCEL from " +
                   std::to_string(
                       pct(snap.units[r.owner], s.drive_functions[r.owner].acc_items[r.index].min)) +
                   " %";
        case slot_role_kind::decel_band:
            return F + "DECEL from " +
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
            return "F" + std::to_string(r.key) + "/F" + std::to_string(r.key + 1) +
                   (r.kind == slot_role_kind::info ? " INFO " : " INFONEXT ") +
                   std::to_string(r.index / 2 + 1);
    }
    return "";
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

// ---------------------------------------------------------------- files

struct entry_fate {
    std::string status;  // used, refused, skipped, ignored, read, not applied
    std::string code;    // error or warning code for refusals
    std::string reason;
};

// The scanner's own line about an entry that it did not take as a track.
std::string scan_message(const builder &b, const std::string &name) {
    const std::string candidates[] = {
        "File without extention: " + name,
        "Function is not defined in " + name,
        name + " is not an audio file",
        "Filepath is too big for " + name,
        name + " skipped: only 100 files are supported",
    };
    for (const std::string &c : candidates)
        if (b.has_line(c)) return c;
    return "";
}

std::string error_code_for(const std::string &reason) {
    if (contains(reason, "sample rate(")) return "sample-rate";
    if (contains(reason, "could not be loaded")) return "unreadable";
    if (contains(reason, "file already present")) return "place-taken";
    if (contains(reason, "not allowed in Accel/Decel mode")) return "accel-mode";
    if (contains(reason, "is possible.") || contains(reason, "too big") || contains(reason, "to big") ||
        contains(reason, "Too many"))
        return "limit";
    return "not-used";
}

std::string join(const std::vector<std::string> &parts, const std::string &sep) {
    std::string s;
    for (const std::string &p : parts)
        s += (s.empty() ? "" : sep) + p;
    return s;
}

// A token after the function token that changes nothing the grammar decodes and is not one of
// the reader's own parameters ("_T", "_L", "_V" with digits).
bool token_ignored(const std::string &token) {
    fileIO_name_info_t base, with;
    fileIO_decodeFileName("F0", &base);
    fileIO_decodeFileName(("F0_" + token).c_str(), &with);
    const bool same = base.type == with.type && base.delay_ms == with.delay_ms && base.speed == with.speed &&
                      base.load == with.load && base.end_speed == with.end_speed &&
                      base.period_ms == with.period_ms;
    if (!same) return false;
    const std::string t = "_" + token;
    for (const char *key : {"_T", "_L", "_V"})
        if (audio_reader_name_param(t.c_str(), key) != 0) return false;
    return true;
}

void check_tokens(builder &b, const std::string &name) {
    const size_t dot = name.rfind('.');
    const std::string stem = name.substr(0, dot);
    size_t p = stem.find('_');
    while (p != std::string::npos) {
        size_t q = stem.find('_', p + 1);
        std::string token = stem.substr(p + 1, q == std::string::npos ? std::string::npos : q - p - 1);
        p = q;
        if (token.empty() || !token_ignored(token)) continue;
        std::string why = "the token '" + token + "' means nothing to the decoder and is ignored";
        // S, M, E, D and P take a number: one that does not fit leaves the token without effect.
        if (token.size() > 1 && strchr("SMEDPsmedp", token[0]) != nullptr &&
            (isdigit((unsigned char)token[1]) || token[1] == '-'))
            why += " (its number is out of range)";
        b.findings.warn("ignored-token", name, why);
    }
}

// One pass of a loop, as the reader plays it: a WAV pass (PCM or ADPCM) is the whole file, except
// that a "_T" duration cuts an ADPCM pass; an Ogg pass ends with its last whole buffer. Lengths
// in milliseconds.
}  // namespace

check_loop_pass check_loop_pass_of(const check_file_info &fi, uint32_t custom_ms) {
    check_loop_pass lp{0, 0, 0};
    if (!fi.ok || fi.sample_rate == 0) return lp;
    const uint64_t file = fi.frames;
    uint64_t pass = file;
    if (fi.format == AUDIO_FORMAT_OGG) {
        // An Ogg pass ends with the last whole buffer (the engine's readers: 4096 bytes per
        // channel, 2048 frames).
        pass = file / 2048 * 2048;
    } else if (fi.format == AUDIO_FORMAT_ADPCM && custom_ms != 0) {
        // An IMA ADPCM loop is cut at its "_T" duration when that is shorter.
        pass = std::min(pass, (uint64_t)(custom_ms + 1) * fi.sample_rate / 1000);
    }
    lp.file_ms = (uint32_t)(file * 1000 / fi.sample_rate);
    lp.pass_ms = (uint32_t)(pass * 1000 / fi.sample_rate);
    lp.pass_frames = pass;
    return lp;
}

namespace {

// A loop whose passes are not its file: one whose name gives its length with "_T" but whose
// passes are of another length, or an Ogg loop that drops the end of the file at each pass.
void check_loop_length(builder &b, int i, const std::string &name, const check_loop_pass &lp) {
    const uint32_t custom = audio_reader_name_param(b.snap.tracks[i].filepath, "_T");
    if (custom == 0) {
        const uint64_t frames = b.snap.info[i].frames;
        if (b.snap.info[i].format == AUDIO_FORMAT_OGG && lp.pass_frames < frames)
            b.findings.warn(
                "loop-length", name,
                "each pass drops the last " +
                    std::to_string((frames - lp.pass_frames) * 1000 / b.snap.info[i].sample_rate) +
                    " ms of the file, which do not fill a whole buffer of 2048 frames, so the loop jumps "
                    "there: make it a whole number of buffers long, or a WAV file");
        return;
    }
    if (lp.pass_ms + 1 >= custom && lp.pass_ms <= custom + 1) return;
    const uint8_t format = b.snap.info[i].format;
    std::string why = "its name gives the loop " + std::to_string(custom) + " ms (_T), but each pass plays " +
                      std::to_string(lp.pass_ms) + " ms: ";
    if (format == AUDIO_FORMAT_ADPCM) {
        why += "the file holds only " + std::to_string(lp.file_ms) + " ms";
    } else {
        why += std::string("the decoder cuts only IMA ADPCM loops at their _T length; ") +
               (format == AUDIO_FORMAT_OGG ? "an Ogg loop plays the whole 2048-frame buffers of its "
                                           : "a PCM loop plays all ") +
               std::to_string(lp.file_ms) + " ms of audio";
    }
    b.findings.warn("loop-length", name, why);
}

check_json file_entries(builder &b, const std::vector<int> &track_of_entry) {
    check_json files = check_json::array();
    for (size_t e = 0; e < b.snap.listing.size(); e++) {
        const std::string &name = b.snap.listing[e];
        check_json j = {{"name", name}, {"status", ""}};
        const int i = track_of_entry[e];
        const size_t dot = name.rfind('.');
        const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
        if (i >= 0) {
            const track_rom_t &R = b.snap.tracks[i];
            j["kind"] = "audio";
            j["track"] = i;
            j["function"] = R.function_id;
            const check_file_info &fi = b.snap.info[i];
            if (fi.ok) {
                j["format"] = format_name(fi.format);
                j["channels"] = fi.channels;
                j["sample_rate"] = fi.sample_rate;
                j["length_ms"] = fi.length_ms;
            }
            check_json roles = check_json::array();
            for (const role &r : b.roles[i])
                roles.push_back(r.text);
            j["roles"] = roles;
            std::vector<std::string> msgs = b.messages[i];
            if (R.function_id >= MAX_FUNCTIONS) {
                j["status"] = "refused";
                j["reason"] =
                    "F" + std::to_string(R.function_id) + " is beyond F68: the decoder has no such key";
                b.findings.error("no-such-key", name,
                                 j["reason"].get<std::string>() + "; the file is never played");
            } else if (!b.roles[i].empty()) {
                j["status"] = "used";
                for (const std::string &m : msgs)
                    b.findings.warn("loader-note", name, m);
            } else {
                j["status"] = "refused";
                std::string reason = join(msgs, "; ");
                if (reason.empty()) {
                    const std::string place = R.type == PLAY_TYPE_OFF ? "OFF" : "ON";
                    const std::string accel = "F" + std::to_string(R.function_id) + ": " + place +
                                              " is not allowed in Accel/Decel mode";
                    if (R.speed >= 0 && (R.type == PLAY_TYPE_ON || R.type == PLAY_TYPE_OFF) &&
                        b.has_line(accel)) {
                        reason = accel + " (a whole-range ACCEL or DECEL file is present)";
                        msgs.push_back(accel);
                    }
                }
                if (reason.empty()) {
                    // Another file of the same role was stored in the same place after it.
                    for (int k = 0; k < MAX_TRACKS; k++) {
                        const track_rom_t &O = b.snap.tracks[k];
                        if (k == i || O.filepath[0] == 0 || b.roles[k].empty()) continue;
                        if (O.function_id == R.function_id && place_of(O.type) == place_of(R.type) &&
                            O.speed == R.speed &&
                            (O.variant_id == R.variant_id || O.variant_id == -1 || R.variant_id == -1)) {
                            reason = "its place went to " + b.name_of(k) + " (" + b.roles[k][0].text + ")";
                            break;
                        }
                    }
                }
                if (reason.empty()) reason = "loaded, but no function plays it";
                j["reason"] = reason;
                b.findings.error(error_code_for(reason), name, reason);
            }
            if (!msgs.empty()) j["messages"] = msgs;
            if (fi.ok && fi.channels > 1 && j["status"] == "used")
                b.findings.warn("stereo", name, "stereo file: only its first channel is heard");
            if (j["status"] == "used") {
                check_tokens(b, name);
                if (R.type == PLAY_TYPE_LOOP && fi.ok) {
                    const check_loop_pass lp =
                        check_loop_pass_of(fi, audio_reader_name_param(R.filepath, "_T"));
                    j["loop_pass_ms"] = lp.pass_ms;
                    check_loop_length(b, i, name, lp);
                }
            }
        } else if (ext == "txt" && scan_message(b, name).empty()) {
            j["kind"] = "text";
            const fileIO_text_kind_t kind = fileIO_textFileKind(name.c_str());
            static const char *const kinds[] = {"", "mapping file", "logic file", "CV file",
                                                "functions file"};
            if (kind == FILEIO_TEXT_NONE) {
                j["status"] = "ignored";
                j["reason"] = "not a file the decoder reads (names with map, logic, cv or functions)";
                const std::string l = lower(name);
                for (const char *word : {"map", "logic", "cv", "functions"}) {
                    if (contains(l, word)) {
                        b.findings.warn("text-name-case", name,
                                        std::string("the decoder matches '") + word +
                                            "' in lower case only, so it never reads this file");
                        break;
                    }
                }
            } else {
                j["text_kind"] = kinds[kind];
                const bool cv_off = kind == FILEIO_TEXT_CV && (b.snap.update_flags & 1) == 0;
                j["status"] = cv_off ? "not applied" : "read";
                if (cv_off)
                    j["reason"] =
                        "the decoder applies the CV file once after the slot is chosen with CV 202 or a "
                        "factory reset; this load did not";
            }
        } else {
            std::string msg = scan_message(b, name);
            const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
            fileIO_name_info_t info;
            const bool meant_as_sound =
                fileIO_decodeFileName(stem.c_str(), &info) || lower(ext) == "wav" || lower(ext) == "ogg";
            j["kind"] = ext == "txt" ? "text" : meant_as_sound ? "audio" : "other";
            if (contains(msg, "skipped: only 100 files")) {
                j["status"] = "skipped";
                j["reason"] = msg;
                b.findings.warn("file-limit", name, "past the 100-file limit: the decoder never reads it");
            } else if (contains(msg, "Filepath is too big") || (meant_as_sound && !msg.empty())) {
                j["status"] = "refused";
                j["reason"] = msg;
                b.findings.error(contains(msg, "Filepath")                  ? "path-too-long"
                                 : contains(msg, "Function is not defined") ? "no-function"
                                 : contains(msg, "without extention")       ? "no-extension"
                                                                            : "not-audio",
                                 name, msg);
            } else {
                j["status"] = "ignored";
                j["reason"] = msg.empty() ? "not a sound project file" : msg;
            }
        }
        files.push_back(j);
    }
    return files;
}

// Names that differ only in letter case: the decoder reads audio names case-insensitively.
void check_case_twins(builder &b) {
    std::map<std::string, std::vector<std::string>> by_lower;
    for (const std::string &n : b.snap.listing)
        by_lower[lower(n)].push_back(n);
    for (auto &[l, names] : by_lower) {
        if (names.size() < 2) continue;
        b.findings.warn("case-twins", names[0],
                        "names that differ only in letter case: " + join(names, ", ") +
                            "; the decoder reads the roles in names without regard to case, so at most one "
                            "of them takes a place (see their entries)");
    }
}

// ---------------------------------------------------------------- functions and drive sound

check_json chain(const builder &b, const function_rom_t &f, std::string *text) {
    check_json j = check_json::object();
    std::vector<std::string> parts;
    for (int p = 1; p < 4; p++) {
        const int id = f.ids[p];
        if (id < 0) continue;
        j[lower(place_name(p))] = b.track_ref(id);
        const bool once = p == FUNCTION_ON && b.snap.tracks[id].type == PLAY_TYPE_ONESHOT;
        const std::string len = b.snap.info[id].ok ? " " + check_seconds(b.snap.info[id].length_ms) : "";
        parts.push_back((once ? std::string("plays once") : std::string(place_name(p))) + len);
    }
    *text = join(parts, " → ");
    return j;
}

// A function with an OFF sound but no LOOP is silent while it is on.
void check_silent(builder &b, const function_rom_t &f, const std::string &who) {
    if (f.ids[FUNCTION_OFF] < 0 || f.ids[FUNCTION_LOOP] != -1) return;
    const std::string where = b.name_of(f.ids[FUNCTION_OFF]);
    if (f.ids[FUNCTION_ON] >= 0) {
        b.findings.warn("silent-while-on", where,
                        who +
                            " has ON and OFF sounds but no LOOP: after the ON sound it is silent until "
                            "switched off");
    } else {
        b.findings.warn("silent-while-on", where,
                        who +
                            " has only an OFF sound: switching it on plays nothing, the OFF sound comes when "
                            "it is switched off");
    }
}

bool is_drive_key(const slot_rom_t &s, int f) {
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++)
        if (s.drive_functions[d].fid == f) return true;
    return false;
}

check_json functions_section(builder &b) {
    const slot_rom_t &s = b.snap.slot_rom;
    check_json list = check_json::array();
    std::set<int> done;
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        if (b.sound_keys.count(f) == 0 || done.count(f) != 0) continue;
        check_json j = {{"key", f}};
        std::string text;
        const multi_function_t *M = nullptr;
        for (int m = 0; m < s.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++)
            if (s.multi_functions[m].func_id == f) M = &s.multi_functions[m];
        const info_function_t *I = nullptr;
        for (int i = 0; i < s.info_functions_len && i < MAX_INFO_FUNCTIONS; i++)
            if (s.info_functions[i].fid == f) I = &s.info_functions[i];
        if (is_drive_key(s, f)) {
            j["kind"] = "drive";
            std::string plain;
            check_json c = chain(b, s.functions[f], &plain);
            if (!c.empty()) j["key_sounds"] = c;
            text = "engine sound (see Drive sound)" + (plain.empty() ? "" : "; the key itself: " + plain);
        } else if (I != nullptr) {
            j["kind"] = "announcements";
            j["keys"] = {f, f + 1};
            check_json entries = check_json::array();
            int count = 0;
            for (int k = 0; k + 1 < MAX_INFO_ENTRIES && k < I->len; k += 2) {
                check_json e = {{"number", k / 2 + 1}};
                if (I->ids[k] >= 0) e["next"] = b.track_ref(I->ids[k]);
                if (I->ids[k + 1] >= 0) e["info"] = b.track_ref(I->ids[k + 1]);
                if (I->ids[k] >= 0 || I->ids[k + 1] >= 0) count = k / 2 + 1;
                entries.push_back(e);
            }
            j["entries"] = entries;
            int nexts = 0;
            for (int k = 0; k < I->len && k < MAX_INFO_ENTRIES; k += 2)
                nexts += I->ids[k] >= 0 ? 1 : 0;
            text = "announcements 1.." + std::to_string(count) + " (F" + std::to_string(f) +
                   " steps forward, F" + std::to_string(f + 1) + " back)" +
                   (nexts > 0 ? ", " + std::to_string(nexts) + " with their \"next\" entries" : "");
            done.insert(f + 1);
        } else if (M != nullptr) {
            j["kind"] = "variants";
            check_json vars = check_json::array();
            std::vector<std::string> texts;
            for (int v = 0; v < M->len && v < MAX_MULTI_VARIANTS; v++) {
                std::string vt;
                check_json c = chain(b, M->variants[v], &vt);
                c["variant"] = letter(v);
                vars.push_back(c);
                texts.push_back(letter(v) + ": " + (vt.empty() ? "nothing" : vt));
                check_silent(b, M->variants[v], "F" + std::to_string(f) + " variant " + letter(v));
            }
            j["variants"] = vars;
            text = std::to_string(M->len) + " variants picked at random (" + join(texts, "; ") + ")";
        } else {
            j["kind"] = "plain";
            std::string c_text;
            check_json c = chain(b, s.functions[f], &c_text);
            for (auto &[k, v] : c.items())
                j[k] = v;
            text = c_text.empty() ? "no sound of its own" : c_text;
            check_silent(b, s.functions[f], "F" + std::to_string(f));
        }
        j["text"] = text;
        list.push_back(j);
        done.insert(f);
    }
    return list;
}

check_json drive_section(builder &b) {
    const slot_rom_t &s = b.snap.slot_rom;
    check_json list = check_json::array();
    const uint32_t start_delay = (uint32_t)b.snap.cv[63] * 100;
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        const drive_function_rom_t &D = s.drive_functions[d];
        const check_drive_units &u = b.snap.units[d];
        const bool load = D.variant == DRIVE_VARIANT_LOAD;
        const std::string F = "F" + std::to_string(D.fid);
        check_json j = {{"key", D.fid}, {"follows", load ? "load" : "speed"}};
        std::vector<std::string> lines;
        check_json levels = check_json::array();
        for (int k = 0; k < D.items_len && k < MAX_SPEED_ITEMS; k++) {
            const function_rom_t &it = D.items[k].item;
            check_json l = {{"label", b.level_label(d, k)},
                            {"from_pct", pct(u, D.items[k].min)},
                            {"to_pct", pct(u, (uint16_t)D.items[k].max)}};
            std::vector<std::string> parts;
            for (int p = 1; p < 4; p++) {
                const int id = it.ids[p];
                if (id >= 0) {
                    l[lower(place_name(p))] = b.track_ref(id);
                    parts.push_back(std::string(place_name(p)) + " " + b.name_of(id));
                } else if (p == FUNCTION_LOOP && id < -1) {
                    const int c = -2 - id;
                    check_json partsj = check_json::array();
                    std::vector<std::string> names;
                    if (c < s.complex_loops_len && c < MAX_COMPLEX_LOOPS) {
                        for (int n = 0; n < MAX_COMPLEX_LOOP_PARTS; n++) {
                            if (s.complex_loops[c].ids[n] < 0) continue;
                            partsj.push_back(b.track_ref(s.complex_loops[c].ids[n]));
                            names.push_back(b.name_of(s.complex_loops[c].ids[n]));
                        }
                    }
                    l["complex_loop"] = partsj;
                    parts.push_back("complex LOOP of " + std::to_string(names.size()) + " parts (" +
                                    join(names, ", ") + ")");
                }
            }
            if (it.ids[FUNCTION_LOOP] == -1)
                b.findings.warn("no-loop-level",
                                it.ids[FUNCTION_ON] >= 0    ? b.name_of(it.ids[FUNCTION_ON])
                                : it.ids[FUNCTION_OFF] >= 0 ? b.name_of(it.ids[FUNCTION_OFF])
                                                            : F,
                                F + " level " + b.level_label(d, k) + " has no LOOP: while the " +
                                    (load ? "load" : "speed") +
                                    " stays in that band the engine sound is silent");
            const bool idle = D.items[k].min == 0;
            lines.push_back((idle ? std::string(load ? "no load " : "standing ") : std::string("level ")) +
                            b.level_label(d, k) + ": " + (parts.empty() ? "nothing" : join(parts, ", ")));
            levels.push_back(l);
        }
        j["levels"] = levels;
        if (D.items_len > 0 && D.drv_off_id < 0)
            b.findings.warn(
                "no-drive-off", F,
                F + " has no drive-off sound: its first running level has no OFF file (the decoder "
                    "logs \"Could not configure DRV OFF file\")");
        // When a falling speed (or load) reaches the value; past the top it is the first fall.
        auto speed_words = [&](uint32_t value) {
            const uint32_t p = pct(u, value);
            if (p > 100) return std::string(load ? "as soon as the load falls" : "as soon as braking begins");
            return std::string(load ? "when the load falls to " : "when braking reaches ") +
                   std::to_string(p) + " %";
        };
        if (D.start_id >= 0) {
            const int32_t at = (int32_t)b.snap.tracks[D.start_id].delay_ms + (int32_t)start_delay;
            check_json st = b.track_ref(D.start_id);
            st["delay_ms"] = b.snap.tracks[D.start_id].delay_ms;
            st["start_delay_ms"] = start_delay;
            st["plays_after_ms"] = at;
            j["start"] = st;
            const std::string against = "its delay " + std::to_string(b.snap.tracks[D.start_id].delay_ms) +
                                        " ms against the start delay of " + std::to_string(start_delay) +
                                        " ms, CV 63 = " + std::to_string(b.snap.cv[63]);
            lines.push_back("START " + b.name_of(D.start_id) +
                            (at < 0 ? ": never plays (" + against + ")"
                                    : ": plays " + std::to_string(at) +
                                          " ms after a start from standstill (" + against + ")"));
            if (at < 0)
                b.findings.warn("start-never", b.name_of(D.start_id),
                                "its delay reaches before the start delay of " + std::to_string(start_delay) +
                                    " ms (CV 63): the START sound never plays");
        }
        if (D.stop_id >= 0) {
            check_json st = b.track_ref(D.stop_id);
            st["from_pct"] = pct(u, D.stop_speed);
            j["stop"] = st;
            lines.push_back("STOP " + b.name_of(D.stop_id) + ": starts " + speed_words(D.stop_speed) +
                            ", timed to end at standstill");
        }
        if (D.drv_off_id >= 0) {
            check_json st = b.track_ref(D.drv_off_id);
            st["from_pct"] = pct(u, D.drv_off_speed);
            j["drive_off"] = st;
            lines.push_back("drive-off " + b.name_of(D.drv_off_id) + ": " + speed_words(D.drv_off_speed));
        }
        if (D.turbo_id >= 0) {
            check_json st = b.track_ref(D.turbo_id);
            st["from_pct"] = pct(u, D.turbo_min_speed);
            j["turbo"] = st;
            lines.push_back("TURBO " + b.name_of(D.turbo_id) + ": while accelerating above " +
                            std::to_string(pct(u, D.turbo_min_speed)) + " %");
        }
        if (D.accel_id >= 0 || D.decel_id >= 0) {
            if (D.accel_id >= 0) j["accel"] = b.track_ref(D.accel_id);
            if (D.decel_id >= 0) j["decel"] = b.track_ref(D.decel_id);
            lines.push_back("whole-range transitions: " +
                            std::string(D.accel_id >= 0 ? "ACCEL " + b.name_of(D.accel_id) : "no ACCEL") +
                            ", " + (D.decel_id >= 0 ? "DECEL " + b.name_of(D.decel_id) : "no DECEL") +
                            " (the levels' ON and OFF sounds are not used)");
        }
        auto bands = [&](const accel_item_t *items, int n, const char *key, const char *word) {
            check_json a = check_json::array();
            std::vector<std::string> t;
            for (int k = 0; k < n && k < MAX_ACCEL_ITEMS; k++) {
                const uint32_t lo = pct(u, items[k].min);
                const uint32_t hi = k + 1 < n ? pct(u, items[k + 1].min) : 100;
                check_json e = b.track_ref(items[k].id);
                e["from_pct"] = lo;
                e["to_pct"] = hi;
                a.push_back(e);
                t.push_back(std::to_string(lo) + "-" + std::to_string(hi) + " % " + b.name_of(items[k].id));
            }
            if (!a.empty()) {
                j[key] = a;
                lines.push_back(std::string(word) + " by speed band: " + join(t, ", "));
            }
        };
        bands(D.acc_items, D.acc_items_len, "accel_bands", "ACCEL");
        bands(D.dcl_items, D.dcl_items_len, "decel_bands", "DECEL");
        auto variants = [&](const int8_t *ids, const char *key, const char *word, const char *when) {
            check_json a = check_json::array();
            std::vector<std::string> t;
            for (int v = 0; v < MAX_ACCELON_VARIANTS && ids[v] != -1; v++) {
                a.push_back(b.track_ref(ids[v]));
                t.push_back(b.name_of(ids[v]));
            }
            if (a.empty()) return;
            j[key] = a;
            lines.push_back(std::string(word) + ": " + (a.size() > 1 ? "one of " : "") + join(t, ", ") + " " +
                            when + (a.size() > 1 ? ", picked at random" : ""));
        };
        variants(D.accelon_ids, "accelon", "ACCELON", "when acceleration begins");
        variants(D.decelon_ids, "decelon", "DECELON", "when braking begins");
        auto single = [&](int id, const char *key, const std::string &words) {
            if (id < 0) return;
            j[key] = b.track_ref(id);
            lines.push_back(words + " " + b.name_of(id));
        };
        single(D.loopd_id, "loopd", "LOOPD (while slowing down):");
        single(D.dir_id, "dir", "DIR (on a change of direction):");
        single(D.estop_id, "estop", "ESTOP (emergency stop):");
        j["lines"] = lines;
        list.push_back(j);
    }
    return list;
}

std::string result_of(const check_snapshot &snap) {
    if (!snap.folder_ok) return "folder missing";
    if (!snap.requested) return "not requested";
    if (!snap.finished) return "load did not end";
    const std::string n = std::to_string(snap.slot);
    for (const check_log_line &l : snap.log) {
        if (l.text == "Slot " + n + " loaded successfully")
            return snap.loaded ? "loaded successfully" : "not loaded";
        if (l.text == "Slot " + n + " loaded with errors")
            return snap.loaded ? "loaded with errors" : "not loaded";
    }
    return "not loaded";
}

}  // namespace

check_json check_build_report(const check_snapshot &snap) {
    builder b(snap);
    b.collect_roles();
    b.attribute_messages();

    check_json report;
    report["slot"] = snap.slot;
    report["folder"] = snap.folder;
    report["result"] = result_of(snap);
    report["sample_rate"] = snap.loaded ? snap.slot_rom.sample_rate : 0;
    if (snap.loco.type != 255)
        report["vehicle"] = {
            {"type", snap.loco.type},
            {"name", std::string(snap.loco.name, strnlen(snap.loco.name, sizeof snap.loco.name))}};
    if (!snap.folder_ok)
        b.findings.error("no-folder", snap.folder, "the folder " + snap.folder + " cannot be opened");
    else if (report["result"] == "not loaded")
        b.findings.error(
            "nothing-loaded", snap.folder,
            "no audio file of the slot could be loaded: the decoder stays silent with this slot");
    else if (report["result"] == "not requested")
        b.findings.error("load-refused", snap.folder,
                         "the decoder did not take the load request (is another slot load running?)");
    else if (report["result"] == "load did not end")
        b.findings.error("load-hangs", snap.folder, "the slot load did not end within a minute");

    // Which folder entry each track came from.
    std::vector<int> track_of_entry(snap.listing.size(), -1);
    for (size_t e = 0; e < snap.listing.size(); e++)
        for (int i = 0; i < MAX_TRACKS; i++)
            if (snap.tracks[i].filepath[0] != 0 && path_of(snap.tracks[i]) == snap.folder + snap.listing[e])
                track_of_entry[e] = i;

    report["files"] = file_entries(b, track_of_entry);
    check_case_twins(b);
    report["functions"] = functions_section(b);
    report["drive"] = drive_section(b);
    check_text_files(snap, report, b.findings);
    for (const std::string &sub : snap.subfolders)
        report["subfolders"].push_back(sub);

    report["warnings"] = b.findings.warnings;
    report["errors"] = b.findings.errors;
    int functions = 0;
    for (const check_json &f : report["functions"])
        functions += f.contains("keys") ? 2 : 1;
    report["summary"] = {{"files", snap.listing.size()},
                         {"functions", functions},
                         {"warnings", b.findings.warnings.size()},
                         {"errors", b.findings.errors.size()}};
    report["exit_status"] = !b.findings.errors.empty()     ? CHECK_ERRORS
                            : !b.findings.warnings.empty() ? CHECK_WARNINGS
                                                           : CHECK_CLEAN;
    return report;
}
