// Process entry of the emulator: options, then the firmware's start-up, the console task and
// the tick loop, which never returns.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio_ll.h"
#include "check.h"
#include "emulator.h"
#include "esp_log.h"
#include "freertos/task.h"
#include "script.h"
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
        "  --help             this text\n"
        "  --version          the program version\n"
        "  --record FILE.wav  also write everything sent to the sound output into FILE.wav\n"
        "                     (16-bit mono at the stream rate; a change of rate continues in\n"
        "                     FILE-1.wav, FILE-2.wav, ...; the file stays valid on Ctrl+C)\n"
        "  --no-sound         never open a sound device: sound is discarded, but plays in real\n"
        "                     time (and is recorded with --record)\n"
        "  --script FILE      play a drive script instead of reading standard input, then exit:\n"
        "                     console commands one per line, 'wait <seconds>' lines (wait 1.5)\n"
        "                     and '#' comments\n"
        "  --render FILE.wav  with --script: run the drive in simulated time, as fast as the\n"
        "                     processor allows, without a sound device, and write what would\n"
        "                     have been heard into FILE.wav (named as with --record); the log's\n"
        "                     times are simulated milliseconds. The same project, script and\n"
        "                     seed give the same file and log on every run\n"
        "  --seed N           with --render: the seed of the firmware's random choices (random\n"
        "                     logic, ACCELON/DECELON and MULTI picks); default 1\n"
        "  --check [SLOT]     load the slot (default: the one in slot.txt) without sound, print\n"
        "                     what the decoder makes of each file and text line, with warnings\n"
        "                     for likely mistakes, and exit: 0 clean, 1 warnings, 2 refused\n"
        "                     files or lines\n"
        "  --json             with --check: the report as JSON\n");
}

// Reads a decimal seed; false for anything else.
static bool parse_seed(const char *text, uint64_t *seed) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-') return false;
    *seed = v;
    return true;
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
    const char *record_path = nullptr;
    const char *script_path = nullptr;
    const char *render_path = nullptr;
    bool seed_given = false;
    uint64_t seed = 1;
    // Options that take a value; null when `i` is the last argument.
    auto value_of = [&](int &i, const char *option) -> const char * {
        if (i + 1 >= argc) {
            fprintf(stderr, "emulator: %s needs a value (see --help)\n", option);
            return nullptr;
        }
        return argv[++i];
    };
    bool check = false, json = false;
    int check_slot = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_help();
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("emulator %s\n", EMULATOR_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--record") == 0) {
            if ((record_path = value_of(i, "--record")) == nullptr) return 2;
            continue;
        }
        if (strcmp(argv[i], "--script") == 0) {
            if ((script_path = value_of(i, "--script")) == nullptr) return 2;
            continue;
        }
        if (strcmp(argv[i], "--render") == 0) {
            if ((render_path = value_of(i, "--render")) == nullptr) return 2;
            continue;
        }
        if (strcmp(argv[i], "--seed") == 0) {
            const char *v = value_of(i, "--seed");
            if (v == nullptr) return 2;
            if (!parse_seed(v, &seed)) {
                fprintf(stderr, "emulator: --seed needs a whole number from 0 to 2^64-1, not '%s'\n", v);
                return 2;
            }
            seed_given = true;
            continue;
        }
        if (strcmp(argv[i], "--no-sound") == 0) {
            i2s_ll_set_no_device(true);
            continue;
        }
        if (strcmp(argv[i], "--check") == 0) {
            check = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                char *end = nullptr;
                long slot = strtol(argv[i + 1], &end, 10);
                if (*end != '\0' || slot < 1 || slot > 3) {
                    fprintf(stderr, "emulator: --check takes a slot 1..3, not '%s'\n", argv[i + 1]);
                    return 2;
                }
                check_slot = (int)slot;
                i++;
            }
            continue;
        }
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
            continue;
        }
        fprintf(stderr, "emulator: unknown option '%s' (see --help)\n", argv[i]);
        return 2;
    }
    if (json && !check) {
        fprintf(stderr, "emulator: --json goes with --check (see --help)\n");
        return 2;
    }
    if (check) {
        // The firmware's threads keep running: end the process without unwinding under them.
        const int status = check_main(check_slot, json);
        fflush(stdout);
        _exit(status);
    }
    if (render_path != nullptr && script_path == nullptr) {
        fprintf(stderr, "emulator: --render plays a drive script: give it with --script FILE\n");
        return 2;
    }
    if (render_path != nullptr && record_path != nullptr) {
        fprintf(stderr, "emulator: --render writes the recording itself; leave out --record\n");
        return 2;
    }
    if (seed_given && render_path == nullptr) {
        fprintf(stderr, "emulator: --seed applies to a render in simulated time (--render)\n");
        return 2;
    }
    std::vector<script_step> steps;
    if (script_path != nullptr) {
        std::string error;
        if (!script_load(script_path, &steps, &error)) {
            fprintf(stderr, "emulator: %s\n", error.c_str());
            return 2;
        }
    }
    if (render_path != nullptr) {
        record_path = render_path;
        i2s_ll_set_no_device(true);
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
        fprintf(stderr, "emulator: cannot write the recording '%s'\n", record_path);
        return 2;
    }
    stub_on_status_request(report_status);
    // From here on every thread of the firmware is one the scheduler of simulated time knows.
    if (render_path != nullptr) stub_sim_start("tick", seed);
    emulator_init();
    if (script_path != nullptr) {
        script_start(std::move(steps), seed);
    } else {
        xTaskCreate(console_task, "console", 70, nullptr, 0, nullptr);
    }
    vTaskStartScheduler();
    return 0;
}
