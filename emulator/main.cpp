// Process entry of the emulator: options, then the firmware's start-up, the console task and
// the tick loop, which never returns.
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "audio_ll.h"
#include "emulator.h"
#include "esp_log.h"
#include "freertos/task.h"
#include "sound_hl.h"
#include "state/state.h"
#include "stub.h"

// The name the program is installed under; messages use the name it was started by.
static const char *PROGRAM_NAME = "dcc-sound-emu";
static const char *s_invoked_as = "emulator";

static void print_help(void) {
    printf("Usage: %s [options]\n", s_invoked_as);
    printf(
        "Emulates the sound decoder in the current folder, which holds slot.txt and data/1 .. data/3.\n"
        "Commands on standard input, one per line:\n"
        "  <n> or f<n>   toggle function n (0..68)\n"
        "  m<n>          press function n momentarily (on, then off)\n"
        "  s<n>          speed n percent (0..100); s-<n> drives the other way\n"
        "  estop         emergency stop\n"
        "  cv<n>=<v>     write value v to CV n (0..511); cv8=8 is a factory reset\n"
        "  cv<n>?        print the value of CV n\n"
        "Options:\n"
        "  --help             this text\n"
        "  --version          the program version\n"
        "  --record FILE.wav  also write everything sent to the sound output into FILE.wav\n"
        "                     (16-bit mono at the stream rate; a change of rate continues in\n"
        "                     FILE-1.wav, FILE-2.wav, ...; the file stays valid on Ctrl+C)\n"
        "  --no-sound         never open a sound device: sound is discarded, but plays in real\n"
        "                     time (and is recorded with --record)\n"
        "  --state DIR        keep CVs, volumes and the loaded slot's description in DIR (created\n"
        "                     if missing) from one run to the next\n");
}

// SIGUSR1: one line with the host's resource use, for long runs. The heap figures tell memory
// in use from memory the allocator holds free, which resident size alone cannot.
static void report_status(void) {
    const struct mallinfo2 mi = mallinfo2();
    printf("I (%u) HOST: status timers=%d/%d tasks=%d heap=%zukB heap_free=%zukB\n",
           (unsigned)esp_log_timestamp(), stub_timer_entries_in_use(), STUB_TIMER_TABLE_SIZE,
           stub_tasks_running(), (mi.uordblks + mi.hblkhd) / 1024, mi.fordblks / 1024);
    fflush(stdout);
}

int main(int argc, char **argv) {
    if (argc > 0 && argv[0] != nullptr) {
        const char *slash = strrchr(argv[0], '/');
        s_invoked_as = slash != nullptr ? slash + 1 : argv[0];
    }
    const char *record_path = nullptr;
    const char *state_dir = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_help();
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", PROGRAM_NAME, EMULATOR_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--record") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: --record needs a file name (see --help)\n", s_invoked_as);
                return 2;
            }
            record_path = argv[++i];
            continue;
        }
        if (strcmp(argv[i], "--state") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: --state needs a folder (see --help)\n", s_invoked_as);
                return 2;
            }
            state_dir = argv[++i];
            continue;
        }
        if (strcmp(argv[i], "--no-sound") == 0) {
            i2s_ll_set_no_device(true);
            continue;
        }
        fprintf(stderr, "%s: unknown option '%s' (see --help)\n", s_invoked_as, argv[i]);
        return 2;
    }
    // Before anything is started or written: a second emulator on the same folder stops here.
    if (state_dir != nullptr) {
        std::string error;
        if (!state_open(state_dir, &error)) {
            fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
            return 1;
        }
    }
    // Every play starts a short reader task whose buffers the mixer frees. With glibc's default
    // of one malloc arena per thread the freed memory scatters over many arenas, each keeping
    // its own free pages resident; two arenas keep that small (the tick hook also hands free
    // pages back now and then).
    mallopt(M_ARENA_MAX, 2);
    // Log lines reach a pipe as soon as they are written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    stub_install_exit_signals();
    if (record_path != nullptr && i2s_ll_record_start(record_path) != 0) {
        fprintf(stderr, "%s: cannot write the recording '%s'\n", s_invoked_as, record_path);
        return 2;
    }
    stub_on_status_request(report_status);
    emulator_init_decoder();
    // The kept slot description is checked against its folder before the engine loads it.
    if (state_dir != nullptr) state_check_slot_folder();
    soundHL_start();
    xTaskCreate(console_task, "console", 70, nullptr, 0, nullptr);
    vTaskStartScheduler();
    return 0;
}
