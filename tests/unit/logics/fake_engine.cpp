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

void soundHL_function_changed(uint8_t id, bool state) {
    calls.push_back({"fn", id, state});
}
void soundHL_logic_block_event(uint8_t func_id, bool state) {
    calls.push_back({"block", func_id, state});
}
void soundHL_logic_trigger_event(uint8_t func_id, bool state) {
    calls.push_back({"trigger", func_id, state});
}
bool soundHL_get_function_state(int8_t func_id) {
    return func_id >= 0 && func_id < 69 && fake_engine::function_on[func_id];
}
bool soundHL_get_input_state(uint8_t id) {
    return id < 16 && fake_engine::input_on[id];
}
void soundHL_set_volume(uint8_t value) {
    calls.push_back({"volume", -1, value});
}
void soundHL_set_minimum_load(uint8_t min_load) {
    calls.push_back({"minload", -1, min_load});
}
void soundHL_set_dyn_function_volume(uint8_t func_id, uint8_t value_pct) {
    calls.push_back({"dynvol", func_id, value_pct});
}
void DCC_SetFunctionDimm(uint8_t id, uint8_t percent) {
    calls.push_back({"dim", id, percent});
}
void DCC_SetOutputDimm(uint8_t id, uint8_t percent) {
    calls.push_back({"dimout", id, percent});
}
