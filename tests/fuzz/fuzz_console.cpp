// Fuzz target: console lines. The input is what a user types: it is read line by line the way
// the console reads standard input and each line goes to the real DCC layer (function keys,
// CV writes, speeds), followed by a few milliseconds of ticks so that the speed reaches the
// decoder. The decoder is started without the sound engine, which then refuses the requests
// that need it (a slot switch through CV 202).
#include <stdio.h>
#include <string.h>

#include "console.h"
#include "emulator.h"
#include "fuzz_file_io.h"

namespace {

// Bounds per input so that each one stays fast.
constexpr int kMaxLines = 64;
constexpr int kTicksPerInput = 30;
// The console's own line buffer size.
constexpr size_t kLineSize = 100;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static bool started = (emulator_init_decoder(), true);
    (void)started;
    // fmemopen of an empty buffer fails on some C libraries; an empty input is no line at all.
    if (size == 0) return 0;
    FILE *in = fmemopen((void *)data, size, "rb");
    if (in == nullptr) return 0;
    char line[kLineSize];
    for (int i = 0; i < kMaxLines; i++) {
        // Bytes after the terminator must not matter: poison the buffer first.
        memset(line, 'x', sizeof line);
        if (!console_read_line(in, line, sizeof line)) break;
        FUZZ_CHECK(memchr(line, 0, sizeof line) != nullptr);
        FUZZ_CHECK(strchr(line, '\n') == nullptr);
        console_handle_line(line);
    }
    fclose(in);
    for (int i = 0; i < kTicksPerInput; i++)
        tick();
    return 0;
}
