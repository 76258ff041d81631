// Fuzz target: the logic file, and the whole input as one logic line of any length.
#include <cstring>
#include <string>

#include "file_io.h"
#include "fuzz_file_io.h"

static void check_accepted(const logic_condition_rom_t &r) {
    FUZZ_CHECK(r.type > LOGIC_NONE && r.type < LOGIC_MAX);
    FUZZ_CHECK((r.flags & 3) != 0);
    FUZZ_CHECK(r.func_id != r.trigger_id);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static FuzzInputFile file("logic");
    static logic_condition_rom_t rom[MAX_LOGICS];
    static logic_condition_t logics[MAX_LOGICS];
    memset(rom, 0, sizeof rom);
    for (int k = 0; k < MAX_LOGICS; k++)
        logics[k].rom = &rom[k];

    if (file.write(data, size)) {
        parseLogicFile(file.path(), logics);
        for (const auto &r : rom) {
            if (r.type != LOGIC_NONE) check_accepted(r);
        }
    }

    std::string line(reinterpret_cast<const char *>(data), size);
    if (parseLogicLine(line.data(), &logics[0]) == 0) check_accepted(rom[0]);
    return 0;
}
