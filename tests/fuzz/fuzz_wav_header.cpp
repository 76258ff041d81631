// Fuzz target: WAV header parsing of the first bytes of a file.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "esp_log.h"
#include "wav_header.h"

// Formats every line (so the arguments are exercised) and drops it.
static int discard_vprintf(const char *format, va_list args) {
    char buf[512];
    return vsnprintf(buf, sizeof buf, format, args);
}

static void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (esp_log_set_vprintf(discard_vprintf), true);
    (void)quiet;
    // The parser is given at most 255 bytes; copy exactly that many so a read past `len` is a
    // heap overflow the sanitizers see.
    const size_t len = size > 255 ? 255 : size;
    uint8_t *copy = (uint8_t *)malloc(len ? len : 1);
    if (copy == NULL) return 0;
    if (len) memcpy(copy, data, len);
    wav_info_t info;
    const int r = get_wav_info(copy, (uint8_t)len, &info);
    if (r >= 0) {
        check((size_t)r < len, "data offset inside the header bytes");
        check(info.dataShift == (uint32_t)r, "dataShift equals the result");
        check(info.channels != 0, "channels");
        check(info.blockAlign != 0, "block alignment");
        check(info.sampleRate != 0, "sample rate");
        check(info.audioFormat != 0x11 || info.channels <= 2, "ADPCM channels");
        check(info.audioFormat != 0x11 || info.blockAlign % (4u * info.channels) == 0, "ADPCM block size");
    }
    free(copy);
    return 0;
}
