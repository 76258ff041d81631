// Fuzz target: the audio file-name grammar, and storing a decoded name as a track entry.
#include <cstring>
#include <string>

#include "file_io.h"
#include "fuzz_file_io.h"
#include "sound_hl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static bool wired = false;
    if (!wired) {
        for (int i = 0; i < MAX_TRACKS; i++)
            tracks[i].rom = &tracks_rom[i];
        wired = true;
    }
    // A name ends at its first NUL byte, as a directory entry does.
    std::string name(reinterpret_cast<const char *>(data), size);
    fileIO_name_info_t info;
    if (!fileIO_decodeFileName(name.c_str(), &info)) return 0;

    // Decoded values always fit their fields; absent is -1 (or 0 for delay and period).
    FUZZ_CHECK(info.variant_id >= -1 && info.variant_id < 26);
    FUZZ_CHECK(info.speed >= -128 && info.speed <= 127);
    FUZZ_CHECK(info.load >= -128 && info.load <= 127);
    FUZZ_CHECK(info.end_speed >= -128 && info.end_speed <= 127);
    FUZZ_CHECK(info.type >= PLAY_TYPE_ONESHOT && info.type <= PLAY_TYPE_TURBO);

    std::string file = std::string(name.c_str()) + ".wav";
    uint8_t id = size > 0 ? data[0] % MAX_TRACKS : 0;
    bool stored =
        fill_track_info("data/1/", file.c_str(), (int8_t)info.func_id, info.variant_id, (int8_t)id, info.type,
                        info.delay_ms, info.speed, info.load, info.end_speed, info.period_ms);
    const track_rom_t &r = tracks_rom[id];
    FUZZ_CHECK(memchr(r.filepath, 0, sizeof r.filepath) != nullptr);
    FUZZ_CHECK(stored == (strlen("data/1/") + file.size() < sizeof r.filepath));
    if (stored) FUZZ_CHECK(std::string(r.filepath) == "data/1/" + file);
    return 0;
}
