// The two sound-function rules the drive sound relies on, as the sound-function module states
// them (IDLE -> ON -> LOOP -> OFF -> IDLE, one missing track skipped; a stop fades all four
// tracks and leaves the item IDLE). Kept here while that module is being built elsewhere.
#include "slot_data.h"
#include "sound_function.h"

#include "audio_track.h"

function_state_t function_next_track(function_state_t state) {
    switch (state) {
        case FUNCTION_IDLE:
            return FUNCTION_ON;
        case FUNCTION_ON:
            return FUNCTION_LOOP;
        case FUNCTION_LOOP:
            return FUNCTION_OFF;
        default:
            return FUNCTION_IDLE;
    }
}

function_state_t function_get_next_state(function_t *item, function_state_t state) {
    const function_state_t n = function_next_track(state);
    if (n != FUNCTION_IDLE && item->rom->ids[n] < 0) return function_next_track(n);
    return n;
}

void function_stop(function_t *item, uint16_t transition_time) {
    if (item == nullptr) return;
    for (int s = 0; s < 4; s++)
        if (item->rom->ids[s] >= 0) track_stop(item->rom->ids[s], transition_time);
    item->state = FUNCTION_IDLE;
}
