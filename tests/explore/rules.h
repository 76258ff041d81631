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
// `recording` false (a fault made the files or the first load's time differ on purpose) the rules
// that listen to the recording and judge error lines are left out. With `timely` false (a fault
// slows the store or the file reads, and with them the sound engine's answers) a start is not
// held to the command that asked for it: several may come late and together.
std::vector<Violation> check_all(const Model &m, const std::vector<std::string> &script, const Take &take,
                                 const Take &repeat, bool recording = true, bool timely = true);

}  // namespace explore
