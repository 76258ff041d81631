// The rules every render of a generated project must keep, whatever the project and the drive.
// Each rule is a function with a name; a broken rule reports its name, the time and what was
// wrong. The rules read the model of the project, the script, the log, the recording and the
// render's trace (--trace: exact plays, stops, gains and speeds).
#pragma once

#include <string>
#include <vector>

#include "model.h"
#include "render.h"

namespace explore {

struct Violation {
    std::string rule;
    long long t_ms = -1;
    std::string what;
};

// A render with the lines of its trace (--trace).
struct Take {
    Render render;
    std::vector<std::string> trace;
};

// Every rule on one render; `repeat` is a second render of the same case (render_repeats). With
// `faultless` false (rendered under a --fault) the rules that listen to the recording, judge error
// lines or time a start or a gain ramp exactly are left out: the recording starts late when the
// first load is slowed, a cut or removed file ends its play at once and is asked for again, short
// reads change the ramps the readers hand over, and a held-up sound engine answers several commands
// late and together (seed 185: two reversals, their two DIR sounds 16 ms apart). Exit status,
// standard error, zero_volume_is_silent, nothing_after_unload and render_repeats still apply.
std::vector<Violation> check_all(const Model &m, const std::vector<std::string> &script, const Take &take,
                                 const Take &repeat, bool faultless = true);

}  // namespace explore
