// Process entry of the emulator: options, then the firmware's start-up, the console task and
// the tick loop, which never returns.
#include <cstdio>
#include <cstring>

#include "emulator.h"
#include "freertos/task.h"
#include "stub.h"

static void print_help(void) {
    printf(
        "Usage: emulator [options]\n"
        "Emulates the sound decoder in the current folder, which holds slot.txt and data/1 .. data/3.\n"
        "Commands on standard input, one per line:\n"
        "  <n> or f<n>   toggle function n (0..68)\n"
        "  m<n>          press function n momentarily (on, then off)\n"
        "  s<n>          speed n percent (0..100); s-<n> drives the other way\n"
        "  estop         emergency stop\n"
        "  cv<n>=<v>     write value v to CV n (0..511)\n"
        "Options:\n"
        "  --help        this text\n"
        "  --version     the program version\n");
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_help();
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("emulator %s\n", EMULATOR_VERSION);
            return 0;
        }
        fprintf(stderr, "emulator: unknown option '%s' (see --help)\n", argv[i]);
        return 2;
    }
    // Log lines reach a pipe as soon as they are written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    stub_install_exit_signals();
    emulator_init();
    xTaskCreate(console_task, "console", 70, nullptr, 0, nullptr);
    vTaskStartScheduler();
    return 0;
}
