// Drive scripts: console commands, one per line, with `wait <seconds>` lines and `#` comments.
// A script plays in real time, or in simulated time for a render; either way it runs as a task
// of its own (the "script" feeder) and ends the process when its last line has run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct script_step {
    int line_no = 0;
    std::string command;  // empty for a wait
    int64_t wait_us = 0;  // the pause before the next step
};

// Reads a script. A line that is neither a command, a wait, a comment nor blank is refused:
// false, with "FILE:LINE: ..." in `error`, before anything runs.
bool script_load(const char *path, std::vector<script_step> *steps, std::string *error);

// Starts the feeder task. Each command runs at the time the waits before it add up to, counted
// from the start; in simulated time at a microsecond within that millisecond drawn from `seed`.
// After the last step the process ends with status 0, or 1 when the recording could not be
// written whole.
void script_start(std::vector<script_step> steps, uint64_t seed);
