// The emulator host: start-up of the firmware, the console that stands in for the command
// station, and the 1 ms tick that drives every timed activity.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "board.h"
#include "board_time.h"

void emulator_init(void);
// The start-up up to the sound engine: log levels, time origin, outputs, DCC layer, motor and
// the slot number (tests of the decoder without sound use it).
void emulator_init_decoder(void);
// Slot number from "slot.txt" in the working directory, or -1.
int get_slot_id(void);
// One firmware millisecond.
void tick(void);
// The tick hooks the platform's tick loop calls (registered by emulator_init_decoder): every
// millisecond elapsed since the last call as a tick of its own, and the platform-clock time of
// the next millisecond with work.
void vApplicationTickHook(void);
int64_t vApplicationTickDueUs(void);

// One console command, as parsed from a line.
enum console_kind {
    CONSOLE_NONE,
    CONSOLE_FUNCTION,
    CONSOLE_ESTOP,
    CONSOLE_SPEED,
    CONSOLE_CV_WRITE,
    CONSOLE_CV_READ
};
struct console_command {
    console_kind kind = CONSOLE_NONE;
    uint32_t number = 0;  // function or CV number
    uint32_t value = 0;   // speed in the tick's encoding, or the CV value to write
    int times = 0;        // toggles of the function (2: a momentary press)
};
// The console reads lines of at most this many characters (a longer one loses its tail).
constexpr size_t CONSOLE_LINE_MAX = 99;
// Parses one console line (without its line feed); false for a line that is no command.
bool console_parse_line(const char *line, console_command *cmd);
void console_execute(const console_command &cmd);

// Reads console lines from `in` until its end and executes each one.
void console_run(FILE *in);
void console_task(void *arg);
// Executes one console line (without its line feed).
void console_handle_line(const char *line);
// Reads one line of at most `size` - 1 characters; the rest of a longer line is discarded.
// Returns false at the end of input.
bool console_read_line(FILE *in, char *buf, size_t size);
