// Helpers shared by the fuzz targets of the slot folder's files.
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "esp_log.h"

// Log lines are formatted (so that every message's arguments are exercised) but not printed.
static int fuzz_discard_log(const char *format, va_list args) {
    char buf[1024];
    return vsnprintf(buf, sizeof buf, format, args);
}

static void fuzz_quiet_log() {
    static bool done = false;
    if (!done) {
        esp_log_set_vprintf(fuzz_discard_log);
        done = true;
    }
}

// A file of this process that holds the current input, for parsers that read a path.
class FuzzInputFile {
public:
    explicit FuzzInputFile(const char *kind) {
        const char *tmp = getenv("TMPDIR");
        path_ = std::string(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp") + "/fuzz_" + kind + "_" +
                std::to_string((long)getpid()) + ".txt";
    }
    ~FuzzInputFile() { unlink(path_.c_str()); }
    // Replaces the file's contents; false when it cannot be written.
    bool write(const uint8_t *data, size_t size) {
        FILE *f = fopen(path_.c_str(), "wb");
        if (f == nullptr) return false;
        bool ok = fwrite(data, 1, size, f) == size;
        return fclose(f) == 0 && ok;
    }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

// Stops the run when a property every parser promises does not hold.
#define FUZZ_CHECK(cond)                                                             \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)
