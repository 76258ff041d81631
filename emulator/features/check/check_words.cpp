// The words of the project check: durations, keys, formats, places and one sentence per logic
// condition, with the text helpers the report's parts share.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "audio_reader.h"
#include "check_private.h"
#include "sound_drv_function.h"

std::string check_seconds(uint32_t ms) {
    char buf[32];
    if (ms >= 10000) {
        snprintf(buf, sizeof buf, "%.0f s", ms / 1000.0);
    } else if (ms % 100 == 0 || ms >= 1000) {
        snprintf(buf, sizeof buf, "%.1f s", ms / 1000.0);
    } else {
        snprintf(buf, sizeof buf, "%.2f s", ms / 1000.0);
    }
    return buf;
}

// Logic conditions write an input I<k> as id 99 + k.
std::string check_key(int id) {
    if (id >= 99) return "input " + std::to_string(id - 99);
    return "F" + std::to_string(id);
}

static void add_finding(check_json &list, const std::string &code, const std::string &where,
                        const std::string &message, int line) {
    check_json f = {{"code", code}, {"file", where}};
    if (line > 0) f["line"] = line;
    f["message"] = message;
    list.push_back(f);
}

void check_findings::warn(const std::string &code, const std::string &where, const std::string &message,
                          int line) {
    add_finding(warnings, code, where, message, line);
}

void check_findings::error(const std::string &code, const std::string &where, const std::string &message,
                           int line) {
    add_finding(errors, code, where, message, line);
}

namespace {

std::string timed_action(const logic_condition_rom_t &r) {
    const std::string f = check_key(r.func_id);
    if (r.duration_ms > 0) return f + " plays " + check_seconds((uint32_t)r.duration_ms);
    if (r.duration_ms == 0) return f + " is switched on (and stays on)";
    return f + " is switched off";
}

std::string delay_words(const logic_condition_rom_t &r) {
    return r.delay_ms != 0 ? " after " + check_seconds(r.delay_ms) : "";
}

std::string every(uint16_t n, const std::string &what) {
    if (n <= 1) return "at every " + what;
    return "at every " + std::to_string(n) + (n == 2 ? "nd " : n == 3 ? "rd " : "th ") + what;
}

std::string when_words(uint8_t flags) {
    if ((flags & 3) == 1) return ", only while standing";
    if ((flags & 3) == 2) return ", only while moving";
    return "";
}

}  // namespace

// One sentence for an accepted condition, from the record as the parser makes it (ACC, DCL and
// ACCDCL hold their speed change in percent there, as written in the file).
std::string check_logic_sentence(const logic_condition_rom_t &r) {
    const std::string f = check_key(r.func_id);
    const std::string t = check_key(r.trigger_id);
    const std::string when = when_words(r.flags);
    switch (r.type) {
        case LOGIC_ACCEL:
            return timed_action(r) + delay_words(r) + " once the speed has risen by " +
                   std::to_string(r.param) + " %" + when;
        case LOGIC_DECEL:
            return timed_action(r) + delay_words(r) + " whenever the speed drops by " +
                   std::to_string(r.param) + " %" + when;
        case LOGIC_ACCDCL:
            return timed_action(r) + delay_words(r) + " whenever the speed changes by " +
                   std::to_string(r.param) + " % either way" + when;
        case LOGIC_START:
            return timed_action(r) + delay_words(r) + " " + every(r.param, "start") + when;
        case LOGIC_STOP:
            return timed_action(r) + delay_words(r) + " " + every(r.param, "stop") +
                   " (not after an emergency stop)" + when;
        case LOGIC_ESTOP:
            return timed_action(r) + delay_words(r) + " " + every(r.param, "emergency stop") + when;
        case LOGIC_BLOCK:
            return "while " + t + " is on, " + f + " is blocked" + when;
        case LOGIC_BLOCK_DRV:
            return f + " is blocked while the vehicle moves";
        case LOGIC_REPEATS_ON:
            return timed_action(r) + delay_words(r) + " " + every(r.param, "switch-on of " + t) + when;
        case LOGIC_REPEATS_OFF:
            return timed_action(r) + delay_words(r) + " " + every(r.param, "switch-off of " + t) + when;
        case LOGIC_REPEATS_BOTH:
            return timed_action(r) + delay_words(r) + " " + every(r.param, "change of " + t) + when;
        case LOGIC_VOLUME:
            return "while " + t + " is on, the master volume is " + std::to_string(r.param & 0xFF) +
                   " (CV 203 scale)";
        case LOGIC_VOLUME_SPD:
            return f + "'s volume runs from " + std::to_string(r.param & 0xFF) + " % at standstill to " +
                   std::to_string(r.param2 & 0xFF) + " % at top speed";
        case LOGIC_VOLUME_LOAD:
            return f + "'s volume runs from " + std::to_string(r.param & 0xFF) + " % at no load to " +
                   std::to_string(r.param2 & 0xFF) + " % at full load";
        case LOGIC_SPD:
        case LOGIC_LOAD: {
            const char *what = r.type == LOGIC_SPD ? "speed" : "load";
            std::string s = f + " is on while the " + what + " is above " + std::to_string(r.param & 0xFF) +
                            " % and below " + std::to_string(r.param2 & 0xFF) + " %";
            if (r.delay_ms != 0) s += "; off " + check_seconds(r.delay_ms) + " after leaving that range";
            return s;
        }
        case LOGIC_MIN_LOAD:
            return "while " + t + " is on, the engine load is at least " + std::to_string(r.param & 0xFF) +
                   " %";
        case LOGIC_DIMM:
            return "while " + t + " is on, " + f + "'s outputs are dimmed to " +
                   std::to_string(r.param & 0xFF) + " %";
        case LOGIC_DIMM_OUTPUT:
            return "while " + t + " is on, output " + std::to_string(r.func_id) + " is dimmed to " +
                   std::to_string(r.param & 0xFF) + " %";
        case LOGIC_RANDOM:
            return "with the drive sound on, " + timed_action(r) + " every " + std::to_string(r.param) +
                   " to " + std::to_string(r.param2) + " s" + when;
        case LOGIC_TOGETHER:
            return f + " follows " + t + ": on" +
                   (r.delay_ms != 0 ? " " + check_seconds(r.delay_ms) + " after it" : " with it") +
                   ", off with it";
        case LOGIC_FAN:
            return f + " is on while the load is at least " + std::to_string(r.param) +
                   " % and the speed at most " + std::to_string(r.param2) +
                   " %, unless after an emergency stop";
        default:
            return "";
    }
}

// ---------------------------------------------------------------- shared by the report's parts

namespace check_report_parts {

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

std::string join(const std::vector<std::string> &parts, const std::string &sep) {
    std::string s;
    for (const std::string &p : parts)
        s += (s.empty() ? "" : sep) + p;
    return s;
}

}  // namespace check_report_parts
