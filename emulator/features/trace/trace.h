// The trace of a render (--trace FILE): what the mixer mixed, buffer by buffer, with the track,
// the file and the gain of every input, and the events around it (commands, plays, stops, the
// motor's speed), as JSON lines. The format is described in the README ("Drive scripts and
// renders"). Off by default; the firmware's trace hooks stay null unless it is started.
#pragma once

#include <string>
#include <vector>

// Opens `path` (or, when it is null, a buffer in memory) and hooks the readers, the mixer, the
// tick, the script feeder and the log; false with a message in `error` when the file cannot be
// written. Call before the firmware starts.
bool trace_start(const char *path, std::string *error);
// Every line of the trace written so far, for the timeline drawn at the end of a render.
std::vector<std::string> trace_lines();
