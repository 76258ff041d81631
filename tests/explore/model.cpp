#include "model.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace explore {

namespace {

const char *format_name(Format f) {
    return f == Format::PCM ? "pcm" : f == Format::ADPCM ? "adpcm" : "ogg";
}

}  // namespace

bool is_drive_role(const std::string &role) {
    static const char *const roles[] = {"level-on",   "level-loop", "level-off", "part",    "start",
                                        "stop",       "estop",      "dir",       "accel",   "decel",
                                        "accel-band", "decel-band", "accelon",   "decelon", "turbo",
                                        "loopd",      "main-on",    "main-loop", "main-off"};
    return std::find(std::begin(roles), std::end(roles), role) != std::end(roles);
}

std::vector<const File *> Slot::of_function(int f) const {
    std::vector<const File *> out;
    for (const File &file : files)
        if (file.function == f) out.push_back(&file);
    return out;
}

const File *Slot::find(const std::string &role, int index) const {
    for (const File &f : files)
        if (f.role == role && (index < 0 || f.index == index)) return &f;
    return nullptr;
}

bool Slot::is_logic_target(int f) const {
    return std::find(logic_targets.begin(), logic_targets.end(), f) != logic_targets.end();
}

bool Slot::drive_complete() const {
    if (drive_fid < 0 || level_pct.empty()) return false;
    for (size_t k = 0; k < level_pct.size(); k++) {
        bool loop = false;
        for (const File &f : files)
            loop |= f.index == (int)k && (f.role == "level-loop" ||
                                          (f.role == "part" && f.name.find("_LOOP1.") != std::string::npos));
        if (!loop) return false;
    }
    return true;
}

int Slot::longest_drive_ms() const {
    int longest = 0;
    for (const File &f : files)
        if (is_drive_role(f.role) && f.role != "level-loop" && f.role != "part" && f.role != "loopd" &&
            f.role != "main-loop")
            longest = std::max(longest, f.ms);
    return longest;
}

const File *Model::file_of(const std::string &path) const {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash < 1 || path[slash - 1] < '1' || path[slash - 1] > '3')
        return nullptr;
    for (const File &f : slots[path[slash - 1] - '1'].files)
        if (path.compare(slash + 1, std::string::npos, f.name) == 0) return &f;
    return nullptr;
}

void save_model(const Model &m, const std::filesystem::path &file) {
    std::ofstream out(file);
    out << "# The drive explorer's model of this project: one line per slot, file, logic line and\n"
           "# expected error. file: slot name function role index freq ms channels format loop_length\n";
    for (int s = 0; s < 3; s++) {
        const Slot &slot = m.slots[s];
        if (slot.empty()) continue;
        out << "slot " << s + 1 << " " << slot.drive_fid << " " << (slot.load ? "M" : "S");
        for (int p : slot.level_pct)
            out << " " << p;
        out << "\n";
        for (const File &f : slot.files)
            out << "file " << s + 1 << " " << f.name << " " << f.function << " " << f.role << " " << f.index
                << " " << f.freq << " " << f.ms << " " << f.channels << " " << format_name(f.format) << " "
                << f.loop_length_ms << "\n";
        for (int t : slot.logic_targets)
            out << "target " << s + 1 << " " << t << "\n";
        for (const std::string &e : slot.expect_errors)
            out << "expect " << s + 1 << " " << e << "\n";
    }
}

bool load_model(Model *m, const std::filesystem::path &file, std::string *error) {
    std::ifstream in(file);
    if (!in) {
        *error = file.string() + ": cannot read";
        return false;
    }
    *m = Model{};
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        n++;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream is(line);
        std::string kind;
        int s = 0;
        is >> kind >> s;
        if (s < 1 || s > 3) {
            *error = file.string() + ":" + std::to_string(n) + ": no slot number";
            return false;
        }
        Slot &slot = m->slots[s - 1];
        bool ok = true;
        if (kind == "slot") {
            std::string variant;
            ok = (bool)(is >> slot.drive_fid >> variant);
            slot.load = variant == "M";
            for (int p; is >> p;)
                slot.level_pct.push_back(p);
        } else if (kind == "file") {
            File f;
            std::string format;
            ok = (bool)(is >> f.name >> f.function >> f.role >> f.index >> f.freq >> f.ms >> f.channels >>
                        format >> f.loop_length_ms);
            f.format = format == "adpcm" ? Format::ADPCM : format == "ogg" ? Format::OGG : Format::PCM;
            slot.files.push_back(f);
        } else if (kind == "target") {
            int t = 0;
            ok = (bool)(is >> t);
            slot.logic_targets.push_back(t);
        } else if (kind == "expect") {
            std::string rest;
            std::getline(is >> std::ws, rest);
            slot.expect_errors.push_back(rest);
        } else {
            ok = false;
        }
        if (!ok) {
            *error = file.string() + ":" + std::to_string(n) + ": cannot read '" + line + "'";
            return false;
        }
    }
    return true;
}

}  // namespace explore
