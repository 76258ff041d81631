// Fuzz target: the functions file (vehicle type, name and function codes).
#include <cstring>

#include "file_io.h"
#include "fuzz_file_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static FuzzInputFile file("functions");
    if (!file.write(data, size)) return 0;
    loco_info_t info;
    memset(&info, 0xEE, sizeof info);
    parseFunctionsFile(file.path(), &info);
    // The name is always terminated inside its field.
    FUZZ_CHECK(memchr(info.name, 0, sizeof info.name) != nullptr);
    return 0;
}
