// The slot's text files in the report: each logic condition in a sentence, the CVs the CV file
// sets, the output mapping as a table, and every line a parser rejects with its reason.
//
// Lines go one at a time through the firmware's own parsers (parseLogicLine, parseCVFile,
// parseOutputsMap), read as those parsers read them (the same line buffer), and the parser's
// own log line is the reason of a rejection. The accepted logic conditions are compared with
// the conditions the load stored, so that the report can never describe other ones.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "check_private.h"
#include "decoder.h"
#include "file_io.h"
#include "logics.h"

namespace {

// The parsers read with fgets into a buffer of this size: a longer line is read as several.
constexpr size_t LINE_BUFFER = 100;

struct text_line {
    int number;        // 1-based line of the file (a cut line keeps its number)
    std::string text;  // without its line end
};

std::vector<text_line> read_lines(const std::string &path) {
    std::vector<text_line> lines;
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return lines;
    char buf[LINE_BUFFER];
    int number = 1;
    while (fgets(buf, sizeof buf, f) != nullptr) {
        std::string s = buf;
        const bool whole = !s.empty() && s.back() == '\n';
        s.erase(s.find_last_not_of("\r\n") + 1);
        lines.push_back({number, s});
        if (whole) number++;
    }
    fclose(f);
    return lines;
}

std::string messages_since(size_t mark, char *level_out = nullptr) {
    std::string m;
    char level = 0;
    for (const check_log_line &l : check_capture_since(mark)) {
        if (l.level != 'E' && l.level != 'W') continue;
        m += (m.empty() ? "" : "; ") + l.text;
        if (level != 'E') level = l.level;
    }
    if (level_out != nullptr) *level_out = level;
    return m;
}

// Keys that make a sound, and keys whose outputs the mapping drives.
struct key_use {
    std::set<int> sound;
    uint16_t outputs[FILEIO_MAP_FUNCTIONS] = {};
};

key_use keys_in_use(const check_snapshot &snap, const check_json &report) {
    key_use k;
    for (const check_json &f : report["functions"]) {
        k.sound.insert(f["key"].get<int>());
        if (f.contains("keys"))
            for (const check_json &key : f["keys"])
                k.sound.insert(key.get<int>());
    }
    for (int f = 0; f < FILEIO_MAP_FUNCTIONS; f++)
        for (int d = 0; d < 2; d++)
            k.outputs[f] |= (uint16_t)(snap.cv[FILEIO_MAP_FIRST_CV + 2 * f + d] |
                                       snap.cv[FILEIO_MAP_FIRST_CV + 62 + 2 * f + d] << 8);
    return k;
}

// The function a condition switches, blocks or sets the volume of, when it has one.
bool acts_on_function(logic_type_t t) {
    return t != LOGIC_NONE && t != LOGIC_VOLUME && t != LOGIC_MIN_LOAD && t != LOGIC_DIMM &&
           t != LOGIC_DIMM_OUTPUT;
}

void logic_file(const check_snapshot &snap, const std::string &name, check_json &section,
                check_findings &findings, std::vector<std::pair<logic_condition_rom_t, std::string>> &table,
                const key_use &keys) {
    check_json conditions = check_json::array(), rejected = check_json::array();
    size_t count = 0;
    const std::vector<text_line> lines = read_lines(snap.folder + name);
    for (size_t n = 0; n < lines.size(); n++) {
        const text_line &tl = lines[n];
        if (tl.text.empty()) continue;
        if (count >= MAX_LOGICS) {
            rejected.push_back(
                {{"line", tl.number}, {"text", tl.text}, {"reason", "Only 32 logic conditions are allowed"}});
            findings.error("logic-line", name,
                           "'" + tl.text + "' is not read: only 32 logic conditions are allowed", tl.number);
            continue;
        }
        logic_condition_rom_t rom{};
        logic_condition_t item{};
        item.rom = &rom;
        std::string copy = tl.text;
        const size_t mark = check_capture_mark();
        const int result = parseLogicLine(copy.data(), &item);
        char level = 0;
        const std::string why = messages_since(mark, &level);
        if (result != 0) {
            rejected.push_back({{"line", tl.number}, {"text", tl.text}, {"reason", why}});
            findings.error("logic-line", name, "'" + tl.text + "' is rejected: " + why, tl.number);
            continue;
        }
        if (!why.empty()) findings.warn("logic-note", name, "'" + tl.text + "': " + why, tl.number);
        if (table.size() <= count) table.resize(count + 1);
        table[count] = {rom, name + ":" + std::to_string(tl.number)};
        count++;
        check_json c = {{"line", tl.number},
                        {"text", tl.text},
                        {"kind", logics_type2str(rom.type)},
                        {"sentence", check_logic_sentence(rom)}};
        conditions.push_back(c);
        const int target = rom.func_id;
        if (acts_on_function(rom.type) && rom.type != LOGIC_BLOCK_DRV && rom.type != LOGIC_BLOCK) {
            if (target >= MAX_FUNCTIONS) {
                findings.warn("unused-key", name,
                              "'" + tl.text + "' acts on " + check_key(target) +
                                  ", which is not a key of the decoder (F0..F68): the condition does nothing",
                              tl.number);
            } else if (keys.sound.count(target) == 0 &&
                       (target >= FILEIO_MAP_FUNCTIONS || keys.outputs[target] == 0)) {
                findings.warn("unused-key", name,
                              "'" + tl.text + "' switches " + check_key(target) +
                                  ", which has no sound and no output: the condition is never heard or seen",
                              tl.number);
            }
        }
        if (rom.type == LOGIC_DIMM && (target >= FILEIO_MAP_FUNCTIONS || keys.outputs[target] == 0))
            findings.warn("unused-key", name,
                          "'" + tl.text + "' dims the outputs of " + check_key(target) +
                              ", which drives no output in the mapping: nothing is dimmed",
                          tl.number);
    }
    section["conditions"] = conditions;
    section["rejected"] = rejected;
}

// The CV file's lines through the firmware's parser one at a time; the CV page is put back
// afterwards, so that the check changes nothing the load left (and in a running emulator no CV
// write from the console or the panel lands in that span, to be undone).
void cv_file(const check_snapshot &snap, const std::string &name, check_json &section,
             check_findings &findings) {
    static const struct {
        int cv;
        const char *meaning;
    } MEANINGS[] = {
        {2, "start speed"},
        {3, "acceleration time"},
        {4, "braking time"},
        {5, "top speed"},
        {6, "middle speed"},
        {29, "configuration"},
        {63, "start delay (x 100 ms)"},
        {194, "engine load rise rate"},
        {195, "engine load fall rate"},
        {196, "base engine load at constant speed"},
        {200, "function never blocked"},
        {202, "sound slot"},
        {203, "master volume"},
        {204, "fade time (x 10 ms)"},
        {205, "cross-fade share when slowing down"},
        {206, "function that silences STOP and ESTOP"},
        {207, "mute function"},
        {208, "logic disable bits"},
        {210, "complex-loop period scale"},
    };
    check_json values = check_json::array(), rejected = check_json::array();
    decoder_with_cv_page_kept([&] {
        char tmp[] = "/tmp/emulator-check-cv-XXXXXX";
        const int fd = mkstemp(tmp);
        for (const text_line &tl : read_lines(snap.folder + name)) {
            if (fd < 0) break;
            if (tl.text.find_first_not_of(" \t") == std::string::npos) continue;
            FILE *f = fopen(tmp, "w");
            if (f == nullptr) break;
            fprintf(f, "%s\n", tl.text.c_str());
            fclose(f);
            const size_t mark = check_capture_mark();
            parseCVFile(tmp);
            unsigned cv = 0, value = 0;
            bool applied = false;
            for (const check_log_line &l : check_capture_since(mark))
                applied = applied || sscanf(l.text.c_str(), "Applied CV%u=%u", &cv, &value) == 2;
            if (applied) {
                check_json v = {{"line", tl.number}, {"cv", cv}, {"value", value & 0xFF}};
                for (const auto &m : MEANINGS)
                    if (m.cv == (int)cv) v["meaning"] = m.meaning;
                if (value > 255) v["written"] = value;
                values.push_back(v);
            } else if (tl.text.find('=') != std::string::npos) {
                const std::string why =
                    "not a line the decoder reads: it reads cv<number>=<value> in lower case, "
                    "CV 0 to 511";
                rejected.push_back({{"line", tl.number}, {"text", tl.text}, {"reason", why}});
                findings.error("cv-line", name, "'" + tl.text + "' is " + why, tl.number);
            }
        }
        if (fd >= 0) {
            close(fd);
            unlink(tmp);
        }
    });
    section["values"] = values;
    section["rejected"] = rejected;
}

std::string output_name(int bit) {
    if (bit == 0) return "F0_F";
    if (bit == 1) return "F0_R";
    return "AUX" + std::to_string(bit - 1);
}

check_json outputs_of(uint16_t mask) {
    check_json list = check_json::array();
    for (int bit = 0; bit < 16; bit++)
        if (mask & (1u << bit)) list.push_back(output_name(bit));
    return list;
}

bool table_empty(uint16_t (*t)[2]) {
    for (int f = 0; f < FILEIO_MAP_FUNCTIONS; f++)
        if (t[f][0] != 0 || t[f][1] != 0) return false;
    return true;
}

void map_file(const check_snapshot &snap, const std::string &name, check_json &section,
              check_findings &findings) {
    check_json rejected = check_json::array();
    for (const text_line &tl : read_lines(snap.folder + name)) {
        const size_t colon = tl.text.find(':');
        if (colon == std::string::npos) continue;  // the decoder skips it as a comment
        uint16_t table[FILEIO_MAP_FUNCTIONS][2] = {};
        std::string copy = tl.text;
        parseOutputsMap(copy.data(), table);
        if (table_empty(table)) {
            const std::string why =
                "maps nothing: outputs are F0_F, F0_R, AUX1..AUX14, DAT, CLK or 1..16, "
                "functions F0..F30";
            rejected.push_back({{"line", tl.number}, {"text", tl.text}, {"reason", why}});
            findings.error("map-line", name, "'" + tl.text + "' " + why, tl.number);
            continue;
        }
        // Each function of the list on its own: an item that maps nothing is ignored.
        const std::string output = tl.text.substr(0, colon);
        size_t start = colon + 1;
        while (start <= tl.text.size()) {
            size_t comma = tl.text.find(',', start);
            const std::string item =
                tl.text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            start = comma == std::string::npos ? tl.text.size() + 1 : comma + 1;
            uint16_t one[FILEIO_MAP_FUNCTIONS][2] = {};
            std::string line = output + ":" + item;
            parseOutputsMap(line.data(), one);
            if (table_empty(one) && !item.empty())
                findings.warn("map-item", name,
                              "'" + item + "' in '" + tl.text +
                                  "' is ignored: the mapping covers functions F0..F30 only",
                              tl.number);
        }
    }
    section["rejected"] = rejected;
}

}  // namespace

void check_text_files(const check_snapshot &snap, check_json &report, check_findings &findings) {
    const key_use keys = keys_in_use(snap, report);
    check_json texts = check_json::object();
    std::vector<std::pair<logic_condition_rom_t, std::string>> table;
    std::vector<std::string> logic_files, map_files;
    for (const check_json &f : report["files"]) {
        if (f["kind"] != "text" || !f.contains("text_kind")) continue;
        const std::string name = f["name"];
        const std::string kind = f["text_kind"];
        check_json section = {{"file", name}, {"applied", f["status"] == "read"}};
        if (kind == "logic file") {
            logic_file(snap, name, section, findings, table, keys);
            logic_files.push_back(name);
            texts["logic"].push_back(section);
        } else if (kind == "CV file") {
            cv_file(snap, name, section, findings);
            texts["cv"].push_back(section);
        } else if (kind == "mapping file") {
            map_file(snap, name, section, findings);
            map_files.push_back(name);
            texts["mapping"].push_back(section);
        } else if (kind == "functions file") {
            check_json bad = check_json::array();
            for (const check_log_line &l : snap.log) {
                if (l.text.rfind("Scanf error line='", 0) != 0) continue;
                bad.push_back(l.text);
                findings.error("functions-line", name, l.text + ": the line is skipped");
            }
            section["rejected"] = bad;
            texts["functions"].push_back(section);
        }
    }
    if (logic_files.size() > 1)
        findings.warn("two-logic-files", logic_files[1],
                      "more than one logic file: the decoder reads each into the same table from its first "
                      "entry, so a later file overwrites the conditions of an earlier one");

    // The conditions the load stored must be those the lines gave.
    for (size_t k = 0; k < MAX_LOGICS; k++) {
        const logic_condition_rom_t &loaded = snap.slot_rom.logics[k];
        if (loaded.type == LOGIC_NONE && k >= table.size()) break;
        const bool pct =
            loaded.type == LOGIC_ACCEL || loaded.type == LOGIC_DECEL || loaded.type == LOGIC_ACCDCL;
        if (k >= table.size() || loaded.type != table[k].first.type ||
            loaded.func_id != table[k].first.func_id || loaded.trigger_id != table[k].first.trigger_id ||
            loaded.flags != table[k].first.flags || loaded.duration_ms != table[k].first.duration_ms ||
            loaded.delay_ms != table[k].first.delay_ms || (!pct && loaded.param != table[k].first.param) ||
            loaded.param2 != table[k].first.param2) {
            findings.error("check-mismatch", k < table.size() ? table[k].second : "logic",
                           "the loaded logic condition " + std::to_string(k + 1) +
                               " is not the one this report reads from the file (please report this)");
            break;
        }
    }

    // The mapping in force after the load: the mapping file's, or the factory mapping.
    check_json rows = check_json::array();
    for (int f = 0; f < FILEIO_MAP_FUNCTIONS; f++) {
        const uint16_t fwd =
            (uint16_t)(snap.cv[FILEIO_MAP_FIRST_CV + 2 * f] | snap.cv[FILEIO_MAP_FIRST_CV + 62 + 2 * f] << 8);
        const uint16_t rev = (uint16_t)(snap.cv[FILEIO_MAP_FIRST_CV + 2 * f + 1] |
                                        snap.cv[FILEIO_MAP_FIRST_CV + 62 + 2 * f + 1] << 8);
        if (fwd == 0 && rev == 0) continue;
        rows.push_back({{"key", f}, {"forward", outputs_of(fwd)}, {"reverse", outputs_of(rev)}});
    }
    texts["output_mapping"] = {{"source", map_files.empty() ? "factory mapping" : map_files.back()},
                               {"rows", rows}};
    report["text_files"] = texts;
}
