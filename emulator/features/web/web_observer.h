// What the panel shows, read from the decoder's snapshot (decoder.h) and built into the page's
// state outside the firmware lock.
//
// State sections (see web_protocol.h for how changes travel):
//   "slot"  id (1..3, 0 none), state ("idle", "loading", "loaded"), rate, vehicle, cv202
//   "drive" throttle %, reverse, estop (the console speed), target % and motor % (the motor
//           model's set-point and speed), load % (engine load), direction (1, -1, 0), moving
//   "fn"    per key 0..68: [commanded, on, sound on, blocked, sound state 0..4]
//   "keys"  per key with a name or sounds: {"label", "sounds", "momentary": M in the functions file}
//   "out"   per output 0..11: [duty 0..255, on]
//   "net"   per network throttle connected: {"protocol", "name", "driving": the addresses}
//   "play"  per sounding track: {file, fn, role, gain %, target %, fade "in"/"out"/"", pos, len,
//           engine: the engine counts it as playing (false while it fades out)}
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "web_protocol.h"
#include "slot_data.h"

class web_observer {
public:
    web_observer();
    // The state now.
    web_json observe();

private:
    // What the loaded slot's records say about each track and key, worked out once per load.
    void describe_slot(int slot_id);

    slot_rom_t slot_{};
    track_rom_t tracks_[MAX_TRACKS]{};
    uint64_t records_generation_ = 0;  // of the records above (0: none seen, all zero)
    int described_slot_ = -2;
    std::string track_role_[MAX_TRACKS];
    web_json keys_ = web_json::object();
};

// The role of each track in a slot's records ("ON", "level 2 LOOP", "START", ...), empty for
// tracks the records do not name.
void web_track_roles(const slot_rom_t &slot, const track_rom_t *tracks, std::string roles[MAX_TRACKS]);
// What a key's sounds are, from the records: "engine sound", "ON LOOP OFF", "3 variants", ...
std::string web_key_sounds(const slot_rom_t &slot, const track_rom_t *tracks, int fn);

// Log lines for the pages: a sink of the log keeps the last lines with numbers.
void web_log_install(void);
// Lines after line number `after` (0: the whole backlog); `*last` is set to the last line's
// number.
std::vector<std::string> web_log_since(uint64_t after, uint64_t *last);
