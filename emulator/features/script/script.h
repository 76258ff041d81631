// Drive scripts: console commands, one per line, with `wait <seconds>` lines and `#` comments.
// A script plays in real time, or in simulated time for a render; either way it runs as a task
// of its own (the "script" feeder) and ends the process when its last line has run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct script_step {
    int line_no = 0;
    std::string command;  // empty for a wait
    int64_t wait_us = 0;  // the pause before the next step
};

// A script line holds at most this many characters (a comment included): a longer one is
// refused, and no more of the file is read.
constexpr size_t SCRIPT_LINE_MAX = 1000;

// What one line (without its line end) is: nothing to run (blank, a comment), a step, or refused
// with `error`, a sentence that quotes the line.
enum class script_line { skip, step, refused };
script_line script_parse_line(std::string_view line, script_step *step, std::string *error);

// Cuts a script's bytes into lines (LF, CRLF and CR end a line) and parses each, fed in pieces
// as they are read. Once a line is refused the parser takes nothing more.
class script_parser {
public:
    // False once a line has been refused.
    bool feed(std::string_view bytes);
    // The end of the script: a last line without a line end is parsed too.
    bool finish();

    std::vector<script_step> steps;
    int error_line = 0;  // the refused line
    std::string error;

private:
    bool end_line();
    std::string line_;
    int line_no_ = 0;
    bool after_cr_ = false;
};

// Reads a script. A line that is neither a command, a wait, a comment nor blank is refused:
// false, with "FILE:LINE: ..." in `error`, before anything runs.
bool script_load(const char *path, std::vector<script_step> *steps, std::string *error);

// Starts the feeder task. Each command runs at the time the waits before it add up to, counted
// from the start; in simulated time at a microsecond within that millisecond drawn from `seed`.
// After the last step the process ends with status 0, or 1 when the recording could not be
// written whole.
void script_start(std::vector<script_step> steps, uint64_t seed);
// Told of every command line just before the feeder carries it out (for a trace); null: none.
void script_set_observer(void (*observer)(const char *line));
