// Recorded-calls doubles of the sound-engine and DCC calls that the logic conditions make, with
// the function and input states they read. The test program defines these symbols (and the motor
// record) itself, so that the engine's, the DCC layer's and the motor's objects are never linked
// in: a link error "multiple definition" means that some object of this program now needs one of
// them, and that object's dependency must be supplied here as well.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct EngineCall {
    std::string what;  // "fn", "block", "trigger", "volume", "minload", "dynvol", "dim", "dimout"
    int id;
    int value;
    bool operator==(const EngineCall &o) const { return what == o.what && id == o.id && value == o.value; }
};

namespace fake_engine {
// Every call in order.
extern std::vector<EngineCall> calls;
// What soundHL_get_function_state / soundHL_get_input_state answer.
extern bool function_on[69];
extern bool input_on[16];
void reset();
// Calls of one kind, in order.
std::vector<EngineCall> of(const std::string &what);
}  // namespace fake_engine
