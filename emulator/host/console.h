// The console that stands in for the command station: each line is one command station action
// (a function, a speed, an emergency stop, a CV write or read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
// Executes a command through the decoder's seam (decoder.h).
void console_execute(const console_command &cmd);

// Reads console lines from `in` until its end and executes each one.
void console_run(FILE *in);
void console_task(void *arg);
// Executes one console line (without its line feed).
void console_handle_line(const char *line);
// Reads one line of at most `size` - 1 characters; the rest of a longer line is discarded.
// Returns false at the end of input.
bool console_read_line(FILE *in, char *buf, size_t size);
