// What a slot folder held when its description was stored: the name, size and modification
// time of each file. Compared at the next start, it tells whether the stored description still
// describes the folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SlotFile {
    std::string name;
    uint64_t size;
    int64_t mtime_ns;
    bool operator==(const SlotFile &) const = default;
};
// Sorted by name.
using SlotFiles = std::vector<SlotFile>;

// The files of `folder` (what the slot scan reads: subfolders are left out). Empty when the
// folder cannot be read.
SlotFiles slot_files_list(const std::string &folder);

// The record kept in the state folder: the slot number (1..3), an identity of the stored
// description it belongs to (a checksum of it) and the files it was made from.
struct SlotFilesRecord {
    int slot = 0;
    uint32_t description = 0;
    SlotFiles files;
};
std::string slot_files_encode(const SlotFilesRecord &record);
// False when `text` is not such a record.
bool slot_files_decode(const std::string &text, SlotFilesRecord *record);

struct SlotFilesChange {
    std::vector<std::string> added, modified, removed;
    bool empty() const { return added.empty() && modified.empty() && removed.empty(); }
    // "F2_ON.wav modified, F9_ON.wav added" (at most a few names, then how many more).
    std::string describe() const;
};
SlotFilesChange slot_files_compare(const SlotFiles &stored, const SlotFiles &now);
