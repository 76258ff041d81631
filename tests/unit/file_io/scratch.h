// A scratch folder for the file_io tests: made fresh in the system's temporary directory, the
// current directory while the test runs (the slot folders are relative to it), removed after.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "slot_data.h"

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "file_io_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScratchDir() {
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path old_;
};

// Writes `content` to `relative` (below the current directory), creating parent folders.
inline void write_file(const std::string &relative, const std::string &content = "") {
    std::filesystem::path p(relative);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

inline std::string read_file(const std::string &relative) {
    std::ifstream in(relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A track table of the test's own: tracks[i].rom points at rom[i]; every entry starts filled
// with a marker byte so that fields the scan writes can be told from untouched ones.
struct TrackTable {
    track_rom_t rom[MAX_TRACKS];
    track_t tracks[MAX_TRACKS];
    TrackTable() {
        memset(rom, 0x5A, sizeof rom);
        memset(tracks, 0, sizeof tracks);
        for (int i = 0; i < MAX_TRACKS; i++)
            tracks[i].rom = &rom[i];
    }
    // Track id of the entry whose stored path is `filepath`, or -1.
    int find(const std::string &filepath) const {
        for (int i = 0; i < MAX_TRACKS; i++) {
            if (filepath == rom[i].filepath) return i;
        }
        return -1;
    }
    int used() const {
        int n = 0;
        for (auto &r : rom)
            n += r.filepath[0] != 0 ? 1 : 0;
        return n;
    }
};

// A logic table of the test's own: logics[k].rom points at rom[k].
struct LogicTable {
    logic_condition_rom_t rom[MAX_LOGICS];
    logic_condition_t logics[MAX_LOGICS];
    LogicTable() {
        memset(rom, 0, sizeof rom);
        memset(logics, 0, sizeof logics);
        for (int i = 0; i < MAX_LOGICS; i++)
            logics[i].rom = &rom[i];
    }
};
