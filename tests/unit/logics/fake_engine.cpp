#include "fake_engine.h"

#include "dcc_hl.h"
#include "movement.h"
#include "sound_hl.h"

namespace fake_engine {
std::vector<EngineCall> calls;
bool function_on[69];
bool input_on[16];

void reset() {
    calls.clear();
    for (bool &b : function_on)
        b = false;
    for (bool &b : input_on)
        b = false;
}

std::vector<EngineCall> of(const std::string &what) {
    std::vector<EngineCall> out;
    for (const EngineCall &c : calls)
        if (c.what == what) out.push_back(c);
    return out;
}
}  // namespace fake_engine

using fake_engine::calls;

// The motor record, supplied here so that the motor module (and through it the board stubs, the
// DCC layer and the engine) stays out of this program's link; the tests set MaxSpeed.
EngineParamsStr EngineParams;

// Each of these records its call as {what, id, value}; calls without an id record -1.
#define RECORDED(function, what, id_type, value_type) \
    void function(id_type id, value_type value) {     \
        calls.push_back({what, id, value});           \
    }
RECORDED(soundHL_function_changed, "fn", uint8_t, bool)
RECORDED(soundHL_logic_block_event, "block", uint8_t, bool)
RECORDED(soundHL_logic_trigger_event, "trigger", uint8_t, bool)
RECORDED(soundHL_set_dyn_function_volume, "dynvol", uint8_t, uint8_t)
RECORDED(DCC_SetFunctionDimm, "dim", uint8_t, uint8_t)
RECORDED(DCC_SetOutputDimm, "dimout", uint8_t, uint8_t)
#undef RECORDED

void soundHL_set_volume(uint8_t value) {
    calls.push_back({"volume", -1, value});
}
void soundHL_set_minimum_load(uint8_t min_load) {
    calls.push_back({"minload", -1, min_load});
}
bool soundHL_get_function_state(int8_t func_id) {
    return func_id >= 0 && func_id < 69 && fake_engine::function_on[func_id];
}
bool soundHL_get_input_state(uint8_t id) {
    return id < 16 && fake_engine::input_on[id];
}
