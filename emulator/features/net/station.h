// The emulated command station behind both network protocols: one track with the emulated
// decoder on it (and the same decoder on the programming track), track power, and the memory
// of every other loco a throttle drives, which changes nothing here but is remembered and
// reported back as a command station would.
//
// Speeds are the 128-step mode's 126 running steps. The decoder takes the console's 1..100 %,
// so step s goes out as s * 100 / 126 % rounded to the nearest (at least 1 %), and a speed set
// elsewhere (console, script, panel) reads back as p * 126 / 100 rounded to the nearest. A
// speed a throttle set reads back as that throttle's own step, not the rounded one.
//
// Used by the network thread only; the decoder is reached through the seam.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "decoder.h"

constexpr int NET_FUNCTIONS = MAX_FUNCTIONS;  // F0..F68
constexpr int NET_MAX_ADDRESS = 10239;
// Locos a command station keeps (the answer to <#>), the decoder's included.
constexpr int NET_LOCO_SLOTS = 50;
constexpr int NET_STEPS = 126;

struct loco_state {
    int step = 0;  // -1 emergency stop, 0 stop, 1..126
    bool forward = true;
    std::bitset<NET_FUNCTIONS> fn;
    bool operator==(const loco_state &) const = default;
};

struct loco_change {
    int address;
    loco_state before, after;
};

// The percent of the console's speed for step `step` (1..126) and back.
int net_step_to_percent(int step);
int net_percent_to_step(int percent);

class station {
public:
    station();

    int decoder_address() const { return address_.number; }
    bool decoder_is_long() const { return address_.is_long; }
    bool is_decoder(int address) const { return address == address_.number; }
    // A loco's state: the decoder's as it is now, another's as remembered (stopped, forward,
    // no key on for one never driven).
    loco_state state(int address);
    bool known(int address) const;
    // Commands; false when `address` is new and every slot is taken (nothing changes then).
    bool set_speed(int address, int step, bool forward);
    bool set_function(int address, int fn, bool on);
    void emergency_stop_all();
    void forget(int address);
    void forget_all();

    bool power() const { return decoder_track_power(); }
    void set_power(bool on);

    // Programming (on the programming track, or on the main for the decoder's address). Each
    // answers the value the decoder holds afterwards, or -1 when it refuses: a CV outside
    // 1..1024, one beyond its page of 512, one that does not keep the value written.
    int read_cv(long cv);
    int write_cv(long cv, long value);
    int read_bit(long cv, long bit);
    int write_bit(long cv, long bit, long value);
    int read_address();
    int write_address(long address);

    // The roster entry of the decoder.
    const decoder_key_names &names() const { return names_; }
    std::string roster_name() const;

    // Looks at the decoder again (its address, its names); call before handling input and on
    // every poll.
    void refresh();
    // What changed since the last call: locos whose state differs from what was last reported
    // (each one once), the power, the decoder's roster entry.
    std::vector<loco_change> take_changes();
    bool take_power_change();
    bool take_roster_change();

private:
    loco_state decoder_state(const decoder_throttle_view &v);
    // Marks `address` as reported in its present state, so that a change made next is told.
    void note(int address);

    decoder_dcc_address address_{3, false};
    decoder_key_names names_;
    bool roster_changed_ = false;
    bool power_reported_ = true;
    std::map<int, loco_state> others_;
    std::map<int, loco_state> reported_;
    // The decoder's speed as last sent from here: the encoding it went out in, and the step and
    // direction asked for.
    uint32_t sent_encoded_ = UINT32_MAX;
    int sent_step_ = 0;
    bool sent_forward_ = true;
    // The direction an emergency stop keeps (the console's encoding has none for it).
    bool last_forward_ = false;
};
