// Recorded-calls fakes of what the drive sound drives: the track layer, the audio reader's
// position and remaining time, and the DCC function states.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct TrackCall {
    std::string op;    // "play", "stop", "stop_group", "position", "unload"
    int id;            // track id
    std::string name;  // play: the role given to the track layer
    int fade;          // play/stop/stop_group: transition time; position: the offset in ms
    int notify;        // play: end-notification time
};

namespace fake {
extern std::vector<TrackCall> calls;
extern uint32_t duration_ms[100];
extern uint32_t remaining_ms[100];
extern bool function_on[69];
// Clears the record, the durations and the function states; gives every track a fake reader.
void reset();
// Calls with this op (and this id, when id >= 0).
std::vector<TrackCall> find(const std::string &op, int id = -1);
}  // namespace fake
