// The console's function toggle. In a file of its own, like the CV write side effects, so that
// a program may supply its own version of the console's two entry points (test doubles of the
// console grammar) without clashing with the rest of the layer.
#include "dcc_hl.h"

void DCC_ChangeFunction(uint8_t id) {
    if (id >= DCC_FUNCTION_COUNT) return;
    dcc_set_new_function_state(id, !dcc_new_function_state(id));
    dcc_function_changed(id);
}
