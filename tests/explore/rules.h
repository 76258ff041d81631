// The rules every render of a generated project must keep, whatever the project and the drive.
// Each rule is a function with a name; a broken rule reports its name, the time and what was
// wrong. The rules read the model of the project, the script, the log and the recording.
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

// Every rule on one render; `repeat` is a second render of the same case (rule 6).
std::vector<Violation> check_all(const Model &m, const std::vector<std::string> &script, const Render &r,
                                 const Render &repeat);

}  // namespace explore
