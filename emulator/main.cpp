// Process entry of the emulator: options, then the firmware's start-up, the console task (or a
// drive script) and the tick loop, which never returns.
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
#include "console.h"
#include "decoder.h"
#include "emulator.h"
#include "esp_log.h"
#include "fault.h"
#include "freertos/task.h"
#include "net.h"
#include "script.h"
#include "state.h"
#include "stub.h"
#include "timeline.h"
#include "trace.h"
#include "web.h"

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
        "  --trace FILE       with --render: also write what the mixer mixed into FILE, as JSON\n"
        "                     lines: every output buffer with the track, file and gain of each\n"
        "                     input, and the commands, plays, stops and speeds around them\n"
        "  --timeline FILE.html  with --render: also draw the drive as a page to open in a\n"
        "                     browser (every sound on one time axis, with the throttle, the keys,\n"
        "                     the recording and the log), and write its data beside it as\n"
        "                     FILE.json\n"
        "  --diff A.json B.json  compare two renders' timeline data track by track, print what\n"
        "                     starts, ends or sounds differently, and exit: 0 the same, 1\n"
        "                     different, 2 unreadable input; with --timeline FILE.html also draw\n"
        "                     both drives with the differences marked\n"
        "  --shuffle-schedule with --render: among tasks of equal priority that are ready to\n"
        "                     run, pick by a draw from the seed rather than in the order they\n"
        "                     became ready, so that each seed tries another interleaving\n"
        "  --fault NAME       with --render: a fault at the platform's seams, drawn from the\n"
        "                     seed (short-read, slow-read, truncate, remove, slow-store); may be\n"
        "                     given more than once\n"
        "  --check [SLOT]     load the slot (default: the one in slot.txt) without sound, print\n"
        "                     what the decoder makes of each file and text line, with warnings\n"
        "                     for likely mistakes, and exit: 0 clean, 1 warnings, 2 refused\n"
        "                     files or lines\n"
        "  --json             with --check: the report as JSON\n"
        "  --state DIR        keep CVs, volumes and the loaded slot's description in DIR (created\n"
        "                     if missing) from one run to the next\n"
        "  --web [HOST:PORT]  also serve a panel to the browser: throttle, function keys, what\n"
        "                     plays, gauges, lamps, CVs, the log and the sound itself (default\n"
        "                     127.0.0.1:8080; 0.0.0.0:PORT serves every network interface,\n"
        "                     port 0 any free port); the console keeps working beside it\n"
        "  --dccex [HOST:]PORT  also be a DCC-EX command station on the network, with the decoder\n"
        "                     on its main and programming tracks, for JMRI (DecoderPro and its\n"
        "                     throttles: system DCC++, connection DCC++ Ethernet) and Engine\n"
        "                     Driver (default 127.0.0.1:2560; port 0 any free port)\n"
        "  --withrottle [HOST:]PORT  also serve WiThrottle clients: Engine Driver, WiThrottle and\n"
        "                     the like (default 127.0.0.1:12090)\n"
        "  --announce         announce those servers over mDNS (Avahi) so that throttles find\n"
        "                     them; a HOST of 0.0.0.0 serves other machines too, and lets anyone\n"
        "                     on that network drive and program the decoder\n");
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

namespace {

struct options {
    const char *record = nullptr;
    const char *script = nullptr;
    const char *render = nullptr;
    const char *state = nullptr;
    const char *trace = nullptr;
    const char *timeline = nullptr;
    const char *diff[2] = {nullptr, nullptr};
    bool shuffle = false, fault = false;
    bool seed_given = false;
    uint64_t seed = 1;
    bool check = false, json = false;
    int check_slot = 0;
    bool web = false;
    web_address web_at;
    net_options net;
};

// Reads a decimal seed; false for anything else.
bool parse_seed(const char *text, uint64_t *seed) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-') return false;
    *seed = v;
    return true;
}

// Fills `o` from the command line. -1 to go on, otherwise the exit status (after --help,
// --version, or a message for a bad option).
int parse_options(int argc, char **argv, options *o) {
    // Options that take a value; null when `i` is the last argument.
    auto value_of = [&](int &i) -> const char * {
        if (i + 1 >= argc) {
            fprintf(stderr, "%s: %s needs a value (see --help)\n", s_invoked_as, argv[i]);
            return nullptr;
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            print_help();
            return 0;
        }
        if (strcmp(a, "--version") == 0) {
            printf("%s %s\n", PROGRAM_NAME, EMULATOR_VERSION);
            return 0;
        }
        const char **value = strcmp(a, "--record") == 0     ? &o->record
                             : strcmp(a, "--script") == 0   ? &o->script
                             : strcmp(a, "--render") == 0   ? &o->render
                             : strcmp(a, "--state") == 0    ? &o->state
                             : strcmp(a, "--trace") == 0    ? &o->trace
                             : strcmp(a, "--timeline") == 0 ? &o->timeline
                                                            : nullptr;
        if (value != nullptr) {
            if ((*value = value_of(i)) == nullptr) return 2;
        } else if (strcmp(a, "--seed") == 0) {
            const char *v = value_of(i);
            if (v == nullptr) return 2;
            if (!parse_seed(v, &o->seed)) {
                fprintf(stderr, "%s: --seed needs a whole number from 0 to 2^64-1, not '%s'\n", s_invoked_as,
                        v);
                return 2;
            }
            o->seed_given = true;
        } else if (strcmp(a, "--diff") == 0) {
            if (i + 2 >= argc) {
                fprintf(stderr, "%s: --diff needs two files, A.json and B.json (see --help)\n", s_invoked_as);
                return 2;
            }
            o->diff[0] = argv[++i];
            o->diff[1] = argv[++i];
        } else if (strcmp(a, "--shuffle-schedule") == 0) {
            o->shuffle = true;
        } else if (strcmp(a, "--fault") == 0) {
            const char *v = value_of(i);
            if (v == nullptr) return 2;
            std::string error;
            if (!fault_arm(v, &error)) {
                fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
                return 2;
            }
            o->fault = true;
        } else if (strcmp(a, "--no-sound") == 0) {
            i2s_ll_set_no_device(true);
        } else if (strcmp(a, "--check") == 0) {
            o->check = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                char *end = nullptr;
                long slot = strtol(argv[i + 1], &end, 10);
                if (*end != '\0' || slot < 1 || slot > 3) {
                    fprintf(stderr, "%s: --check takes a slot 1..3, not '%s'\n", s_invoked_as, argv[i + 1]);
                    return 2;
                }
                o->check_slot = (int)slot;
                i++;
            }
        } else if (strcmp(a, "--json") == 0) {
            o->json = true;
        } else if (strcmp(a, "--web") == 0) {
            o->web = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                std::string error;
                if (!web_parse_address(argv[++i], &o->web_at, &error)) {
                    fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
                    return 2;
                }
            }
        } else if (strcmp(a, "--dccex") == 0 || strcmp(a, "--withrottle") == 0) {
            const bool dccex = strcmp(a, "--dccex") == 0;
            (dccex ? o->net.dccex : o->net.withrottle) = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                std::string error;
                if (!net_parse_address(argv[++i], dccex ? &o->net.dccex_at : &o->net.withrottle_at, &error)) {
                    fprintf(stderr, "%s: %s: %s\n", s_invoked_as, a, error.c_str());
                    return 2;
                }
            }
        } else if (strcmp(a, "--announce") == 0) {
            o->net.announce = true;
        } else {
            fprintf(stderr, "%s: unknown option '%s' (see --help)\n", s_invoked_as, a);
            return 2;
        }
    }
    const char *conflict = nullptr;
    if (o->json && !o->check) conflict = "--json goes with --check";
    if (o->render != nullptr && o->script == nullptr)
        conflict = "--render plays a drive script: give it with --script FILE";
    if (o->render != nullptr && o->record != nullptr)
        conflict = "--render writes the recording itself; leave out --record";
    if (o->seed_given && o->render == nullptr)
        conflict = "--seed applies to a render in simulated time (--render)";
    // Each follows or steers a run in simulated time, and only a render has one.
    if (o->trace != nullptr && o->render == nullptr) conflict = "--trace follows a render (--render)";
    if (o->timeline != nullptr && o->render == nullptr && o->diff[0] == nullptr)
        conflict = "--timeline draws a render (--render) or a comparison (--diff)";
    if (o->diff[0] != nullptr && (o->script != nullptr || o->render != nullptr || o->trace != nullptr ||
                                  o->check || o->web || o->record != nullptr))
        conflict = "--diff compares two renders' data and runs alone (with --timeline at most)";
    if (o->shuffle && o->render == nullptr) conflict = "--shuffle-schedule applies to a render (--render)";
    if (o->fault && o->render == nullptr) conflict = "--fault applies to a render (--render)";
    // A render replays the same drive from the same start every time; a kept store would make
    // each run start where the last one ended. A check reads the folder itself.
    if (o->state != nullptr && (o->render != nullptr || o->check))
        conflict = "--state keeps the decoder between real runs; leave it out of --render and --check";
    // The panel follows the decoder in real time; a render or a check has no such time.
    if (o->web && o->render != nullptr)
        conflict = "--web shows a decoder running in real time; leave it out of --render";
    if (o->web && o->check) conflict = "--web shows a running decoder; leave it out of --check";
    // The network's throttles drive a decoder in real time, as the panel does.
    const bool net = o->net.dccex || o->net.withrottle;
    if (o->net.announce && !net) conflict = "--announce announces --dccex or --withrottle: give one of them";
    if (net && o->render != nullptr)
        conflict =
            "--dccex and --withrottle serve a decoder running in real time; leave them out of --render";
    if (net && o->check)
        conflict = "--dccex and --withrottle serve a running decoder; leave them out of --check";
    if (o->check && (o->script != nullptr || o->record != nullptr || o->seed_given))
        conflict = "--check loads the slot and reports; it runs alone (with --json at most)";
    if (conflict != nullptr) {
        fprintf(stderr, "%s: %s (see --help)\n", s_invoked_as, conflict);
        return 2;
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 0 && argv[0] != nullptr) {
        const char *slash = strrchr(argv[0], '/');
        s_invoked_as = slash != nullptr ? slash + 1 : argv[0];
    }
    options o;
    const int status = parse_options(argc, argv, &o);
    if (status >= 0) return status;
    if (o.diff[0] != nullptr) return timeline_diff_main(s_invoked_as, o.diff[0], o.diff[1], o.timeline);
    if (o.check) {
        // The load the check makes is the one a start-up makes, kept store included: with the
        // inert stubs the slot's CV file would never be applied there.
        state_use_memory();
        // The firmware's threads keep running: end the process without unwinding under them.
        const int result = check_main(s_invoked_as, o.check_slot, o.json);
        fflush(stdout);
        _exit(result);
    }
    std::vector<script_step> steps;
    if (o.script != nullptr) {
        std::string error;
        if (!script_load(o.script, &steps, &error)) {
            fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
            return 2;
        }
    }
    if (o.render != nullptr) {
        o.record = o.render;
        i2s_ll_set_no_device(true);
    }
    // Before anything is started or written: a second emulator on the same folder stops here.
    if (o.state != nullptr) {
        std::string error;
        if (!state_open(o.state, &error)) {
            fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
            return 1;
        }
    } else {
        state_use_memory();
    }
    // Every play starts a short reader task whose buffers the mixer frees. With glibc's default
    // of one malloc arena per thread the freed memory scatters over many arenas, each keeping
    // its own free pages resident; two arenas keep that small (the tick hook also hands free
    // pages back now and then).
    mallopt(M_ARENA_MAX, 2);
    // Log lines reach a pipe as soon as they are written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    stub_install_exit_signals();
    if (o.record != nullptr && i2s_ll_record_start(o.record) != 0) {
        fprintf(stderr, "%s: cannot write the recording '%s'\n", s_invoked_as, o.record);
        return 2;
    }
    // A render is only its recording: one whose file cannot be written at all ends here.
    char record_error[1024];
    if (o.render != nullptr && i2s_ll_record_error(record_error, sizeof record_error)) {
        fprintf(stderr, "%s: cannot write the recording %s\n", s_invoked_as, record_error);
        return 2;
    }
    stub_on_status_request(report_status);
    // The timeline is drawn from the trace: without --trace it is kept in memory.
    if (o.trace != nullptr || o.timeline != nullptr) {
        std::string error;
        if (!trace_start(o.trace, &error) ||
            (o.timeline != nullptr && !timeline_start(o.timeline, o.render, &error))) {
            fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
            return 2;
        }
    }
    fault_start(o.seed);
    stub_sim_shuffle_schedule(o.shuffle);
    // From here on every thread of the firmware is one the scheduler of simulated time knows.
    if (o.render != nullptr) stub_sim_start("tick", o.seed);
    if (o.web) web_prepare();
    emulator_init_decoder();
    if (o.web) {
        std::string error;
        if (!web_start(o.web_at, &error)) {
            fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
            fflush(stdout);
            _exit(2);
        }
    }
    if (o.net.dccex || o.net.withrottle) {
        std::string error;
        if (!net_start(o.net, &error)) {
            fprintf(stderr, "%s: %s\n", s_invoked_as, error.c_str());
            fflush(stdout);
            _exit(2);
        }
    }
    // The kept slot description is checked against its folder before the engine loads it.
    if (o.state != nullptr) state_check_slot_folder();
    decoder_start();
    if (o.script != nullptr) {
        script_start(std::move(steps), o.seed);
    } else {
        xTaskCreate(console_task, "console", 70, nullptr, 0, nullptr);
    }
    vTaskStartScheduler();
    return 0;
}
