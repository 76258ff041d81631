// Every folder entry with what became of it: a track and its roles, a text file the decoder
// reads, or an entry it refused, skipped or ignored, in the scanner's own words.
#include <cctype>
#include <cstring>
#include <map>

#include "audio_reader.h"
#include "check_private.h"
#include "file_io.h"

namespace check_report_parts {

namespace {

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

}  // namespace

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
                    j["loop_pass_ms"] = fi.loop_pass.ms;
                    check_loop_length(b, i, name, fi.loop_pass);
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

}  // namespace check_report_parts
