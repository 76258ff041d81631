// Fuzz target: the CV file.
#include "file_io.h"
#include "fuzz_file_io.h"
#include "memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static FuzzInputFile file("cv");
    if (!file.write(data, size)) return 0;
    parseCVFile(file.path());
    return 0;
}
