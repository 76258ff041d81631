// Fuzz target: the output mapping file, and the whole input as one mapping line.
#include <cstring>
#include <string>

#include "file_io.h"
#include "fuzz_file_io.h"
#include "memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static FuzzInputFile file("map");
    if (file.write(data, size)) {
        parseMapFile(file.path());
        // Every mapping CV holds what the table gives; the CVs around them are never touched.
        FUZZ_CHECK(Memory_LoadU8(FILEIO_MAP_FIRST_CV + FILEIO_MAP_CV_COUNT) == 0);
    }

    uint16_t map[FILEIO_MAP_FUNCTIONS][2] = {};
    std::string line(reinterpret_cast<const char *>(data), size);
    parseOutputsMap(line.data(), map);
    int bits = 0;
    for (auto &entry : map)
        bits += __builtin_popcount(entry[0]) + __builtin_popcount(entry[1]);
    // One line sets one output bit, so at most one bit per function and direction.
    FUZZ_CHECK(bits <= 2 * FILEIO_MAP_FUNCTIONS);
    for (int offset = -1; offset <= FILEIO_MAP_CV_COUNT; offset++)
        (void)getCVValue(map, offset);
    return 0;
}
