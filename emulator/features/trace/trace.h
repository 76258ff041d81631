// The trace of a render (--trace FILE): what the mixer mixed, buffer by buffer, with the track,
// the file and the gain of every input, and the events around it (commands, plays, stops, the
// motor's speed), as JSON lines. The format is described in the README ("Drive scripts and
// renders"). Off by default; the firmware's trace hooks stay null unless it is started.
#pragma once

#include <string>

// Opens `path` and hooks the readers, the mixer, the tick and the script feeder; false with a
// message in `error` when the file cannot be written. Call before the firmware starts.
bool trace_start(const char *path, std::string *error);
