// A command station's view of the decoder: its address, the commanded speed and keys, the
// names and kinds of the slot's keys, and the track power that gates the speed packets.
#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "dcc_hl.h"
#include "decoder.h"
#include "file_io.h"
#include "fw_lock.h"
#include "memory.h"
#include "sound_hl.h"

namespace {

// CV 29 bit 5: the decoder answers to the long address of CV 17/18 instead of CV 1.
constexpr uint8_t CV29_LONG_ADDRESS = 0x20;
// A functions file's code with M marks a momentary key; the decoder keeps it as this bit.
constexpr uint16_t KEY_MOMENTARY = 0x1000;

std::atomic<bool> g_track_power{true};

// The functions file of a slot folder as the scanner picks it (the last one listed wins, as
// each one read replaces the vehicle description); empty when there is none.
std::string functions_file_of(const std::string &folder) {
    std::string found;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (struct dirent *e = readdir(dir)) {
        const char *dot = strrchr(e->d_name, '.');
        if (dot != nullptr && strcmp(dot, ".txt") == 0 &&
            fileIO_textFileKind(e->d_name) == FILEIO_TEXT_FUNCTIONS)
            found = folder + e->d_name;
    }
    closedir(dir);
    return found;
}

// Key labels of a functions file, read as the decoder reads a key line; the decoder keeps only
// the code ("F2:8M:Horn" gives 2 -> "Horn").
void read_labels(const std::string &path, std::string label[MAX_FUNCTIONS]) {
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        long n;
        char code[8], name[32];
        if (!fileIO_scanFunctionLine(line, &n, code, name) || n < 0 || n >= MAX_FUNCTIONS) continue;
        std::string text = name;
        for (char &c : text)
            if (c == '_') c = ' ';
        label[n] = text;
    }
    fclose(f);
}

// The vehicle description the names were read for.
struct described {
    bool valid = false;
    slot_state_t state = SLOT_IDLE;
    int slot = -1;
    loco_info_t loco{};
};
std::mutex g_names_lock;
described g_described;
decoder_key_names g_names;

}  // namespace

decoder_dcc_address decoder_get_address(void) {
    fw_lock();
    const uint8_t cv1 = Memory_LoadU8(1), cv17 = Memory_LoadU8(17), cv18 = Memory_LoadU8(18),
                  cv29 = Memory_LoadU8(29);
    fw_unlock();
    if ((cv29 & CV29_LONG_ADDRESS) != 0) return {((cv17 & 0x3F) << 8) | cv18, true};
    return {cv1, false};
}

decoder_throttle_view decoder_get_throttle_view(void) {
    decoder_throttle_view v;
    v.speed = decoder_speed();
    fw_lock();
    for (int f = 0; f < MAX_FUNCTIONS; f++)
        v.keys[f] = dcc_new_function_state((uint8_t)f);
    fw_unlock();
    return v;
}

decoder_key_names decoder_get_key_names(void) {
    described now;
    now.valid = true;
    fw_lock();
    now.state = slot_state;
    now.slot = slot_data.id;
    memcpy(&now.loco, &loco_info, sizeof now.loco);
    fw_unlock();
    std::lock_guard<std::mutex> lock(g_names_lock);
    if (!g_described.valid || now.state != g_described.state || now.slot != g_described.slot ||
        memcmp(&now.loco, &g_described.loco, sizeof now.loco) != 0) {
        g_described = now;
        g_names = decoder_key_names{};
        g_names.loaded = now.state == SLOT_LOADED;
        if (g_names.loaded && now.loco.type != 255) {
            g_names.vehicle.assign(now.loco.name, strnlen(now.loco.name, sizeof now.loco.name));
            for (int f = 0; f < MAX_FUNCTIONS; f++)
                g_names.momentary[f] = (now.loco.functions[f] & KEY_MOMENTARY) != 0;
            if (now.slot >= 0 && now.slot < MAX_SLOTS) {
                const std::string file = functions_file_of("data/" + std::to_string(now.slot + 1) + "/");
                if (!file.empty()) read_labels(file, g_names.label);
            }
        }
    }
    return g_names;
}

void decoder_set_track_power(bool on) {
    g_track_power.store(on);
}

bool decoder_track_power(void) {
    return g_track_power.load(std::memory_order_relaxed);
}
