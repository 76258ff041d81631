// Track and logic tables of the test's own, for the parsers to fill.
#pragma once

#include <cstring>
#include <string>

#include "slot_data.h"

// items[i].rom points at rom[i]. Every description starts filled with the byte `fill`, so that
// fields a parser writes can be told from untouched ones.
template <typename Rom, typename Item, int N>
struct RomTable {
    Rom rom[N];
    Item items[N];
    explicit RomTable(uint8_t fill) {
        memset(rom, fill, sizeof rom);
        memset(items, 0, sizeof items);
        for (int i = 0; i < N; i++)
            items[i].rom = &rom[i];
    }
};

struct TrackTable : RomTable<track_rom_t, track_t, MAX_TRACKS> {
    explicit TrackTable(uint8_t fill = 0x5A) : RomTable(fill) {}
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

struct LogicTable : RomTable<logic_condition_rom_t, logic_condition_t, MAX_LOGICS> {
    LogicTable() : RomTable(0) {}
};
