#include "slot_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

static const char *HEADER = "dcc-sound-emu slot files 1";

SlotFiles slot_files_list(const std::string &folder) {
    SlotFiles files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        // stat() follows links, as opening the file does.
        struct stat st;
        if (::stat(it->path().c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        files.push_back({it->path().filename().string(), (uint64_t)st.st_size,
                         (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec});
    }
    std::sort(files.begin(), files.end(),
              [](const SlotFile &a, const SlotFile &b) { return a.name < b.name; });
    return files;
}

// Names are written at the end of their line: line breaks and backslashes in them are escaped.
static std::string escape(const std::string &name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char buf[5];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

static bool unescape(const std::string &text, std::string *name) {
    name->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            *name += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || !isxdigit((unsigned char)text[i + 2]) ||
            !isxdigit((unsigned char)text[i + 3]))
            return false;
        *name += (char)std::stoi(text.substr(i + 2, 2), nullptr, 16);
        i += 3;
    }
    return !name->empty();
}

std::string slot_files_encode(const SlotFilesRecord &record) {
    std::ostringstream out;
    char description[9];
    snprintf(description, sizeof description, "%08x", (unsigned)record.description);
    out << HEADER << "\nslot " << record.slot << " description " << description << "\n";
    for (const SlotFile &f : record.files)
        out << f.size << ' ' << f.mtime_ns << ' ' << escape(f.name) << '\n';
    return out.str();
}

bool slot_files_decode(const std::string &text, SlotFilesRecord *record) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != HEADER) return false;
    unsigned description;
    if (!std::getline(in, line) ||
        sscanf(line.c_str(), "slot %d description %8x", &record->slot, &description) != 2)
        return false;
    record->description = description;
    SlotFiles *files = &record->files;
    files->clear();
    while (std::getline(in, line)) {
        unsigned long long size;
        long long mtime;
        int name_at = -1;
        if (sscanf(line.c_str(), "%llu %lld %n", &size, &mtime, &name_at) != 2 || name_at < 0) return false;
        SlotFile f{"", size, mtime};
        if (!unescape(line.substr((size_t)name_at), &f.name)) return false;
        files->push_back(f);
    }
    // The record is replaced whole; one that does not end with a line feed was cut by something
    // else and is not trusted.
    return text.back() == '\n';
}

std::string SlotFilesChange::describe() const {
    std::vector<std::string> parts;
    for (const auto &n : modified)
        parts.push_back(n + " modified");
    for (const auto &n : added)
        parts.push_back(n + " added");
    for (const auto &n : removed)
        parts.push_back(n + " removed");
    const size_t shown = std::min<size_t>(parts.size(), 3);
    std::string out;
    for (size_t i = 0; i < shown; i++)
        out += (i ? ", " : "") + parts[i];
    if (parts.size() > shown) out += " and " + std::to_string(parts.size() - shown) + " more";
    return out;
}

SlotFilesChange slot_files_compare(const SlotFiles &stored, const SlotFiles &now) {
    SlotFilesChange change;
    size_t i = 0, j = 0;
    while (i < stored.size() || j < now.size()) {
        if (j == now.size() || (i < stored.size() && stored[i].name < now[j].name)) {
            change.removed.push_back(stored[i++].name);
        } else if (i == stored.size() || now[j].name < stored[i].name) {
            change.added.push_back(now[j++].name);
        } else {
            if (!(stored[i] == now[j])) change.modified.push_back(now[j].name);
            i++;
            j++;
        }
    }
    return change;
}
