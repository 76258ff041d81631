// The one seam between the host and the firmware. Every front-end (console, drive scripts, web
// panel, project check, network throttles, benchmarks) reads what the decoder is doing and asks
// things of it here, and nowhere else: no other host file names a firmware global, and the
// firmware lock is taken here. What crosses the seam is plain data copied under that lock, so a
// front-end never holds up the tick, the mixer or a slot load while it formats or sends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "outputs.h"
#include "slot_data.h"

// ---------------------------------------------------------------- commands

// The speed in the command station's encoding (DCC_SetSpeed's low byte): 0 = emergency stop,
// 1 = stop, 2..101 = speed 1..100 %; negative (as int8) = the other direction. The tick sends it
// to the decoder every 10 ms, as a command station repeats its speed packets.
void decoder_set_speed(uint32_t encoded);
uint32_t decoder_speed(void);
void decoder_emergency_stop(void);
// Toggles key `fn` (0..255; only 0..68 exist) `times` times: 1 is a toggle, 2 a momentary press.
void decoder_toggle_key(int fn, int times);
// Brings key `fn` to `on` (a toggle only when it is not there already, decided and done under
// one hold of the firmware lock, so that it ends as asked even when another front-end switches
// it at the same moment).
void decoder_set_key(int fn, bool on);
// Writes CV `cv` (0..511) through the decoder's own write path, with every side effect: the
// slot switch of CV 202, the volumes, the factory reset that a write of 8 to CV 8 asks for.
void decoder_write_cv(uint16_t cv, uint8_t value);
// The value of CV `cv` (0..511) as the firmware reads it.
uint8_t decoder_read_cv(uint16_t cv);
// Loads slot `slot` (1..3) as a CV 202 write does; 0 unloads.
void decoder_switch_slot(int slot);
// Tells the decoder that the file `path` of a slot folder was added or changed (`added`) or
// removed since the slot's description was stored: its next load parses the folder again.
void decoder_file_changed(const std::string &path, bool added);
// The last step of the start-up: the sound engine, which loads the slot that CV 202 names.
void decoder_start(void);

// ---------------------------------------------------------------- what it is doing

// What the tick observer is shown after a firmware millisecond.
struct decoder_tick_view {
    int32_t cur_speed, set_speed;  // the motor's speed and set-point, 8.8 fixed point, signed
    int slot;                      // the loaded slot (1..3), 0 while none is loaded or one loads
    uint8_t load;                  // engine load 0..100
    int8_t direction;              // 1, -1, 0 when none is known yet
    uint64_t keys[2];              // bit f % 64 of keys[f / 64]: key f is on (the accepted state)
};

// Called on the tick thread after every firmware millisecond, which is `t_us` on the platform
// clock (with the firmware lock held: copy and return at once). For traces; null (the default)
// removes it.
typedef void (*decoder_tick_observer)(int64_t t_us, const decoder_tick_view &view);
void decoder_set_tick_observer(decoder_tick_observer observer);

struct decoder_key_state {
    bool commanded;  // what the command station last asked for
    bool on;         // the state the decoder accepted
    bool enabled;    // the sound function is on
    bool blocked;    // a logic condition blocks it
    uint8_t sound;   // the sound function's state (function_state_t)
};

struct decoder_playing_track {
    int track;             // 0..99
    int fn;                // the key it belongs to
    uint32_t volume;       // the gain now, AUDIO_UNITY_VOLUME = 100 %
    uint32_t target;       // the gain it fades to
    int32_t volume_step;   // > 0 fading in, < 0 fading out
    uint32_t position_ms;  // where the reader is in the file
    uint32_t length_ms;
    bool engine_playing;  // the engine counts it as playing (false while it fades out)
};

struct decoder_snapshot {
    slot_state_t slot_state;
    int slot;  // 1..3 once loaded, 0 otherwise
    uint32_t sample_rate;
    std::string vehicle;
    uint8_t cv202;
    uint32_t speed;     // the commanded speed (decoder_speed)
    int32_t set_speed;  // the motor model's set-point and speed, 8.8 fixed point, signed
    int32_t cur_speed;
    bool moving;
    uint8_t load;      // engine load 0..100
    int8_t direction;  // 1, -1, 0 when none is known yet
    decoder_key_state keys[MAX_FUNCTIONS];
    uint8_t duty[OUTPUTS_COUNT];
    bool lit[OUTPUTS_COUNT];
    std::vector<decoder_playing_track> playing;  // only while a slot is loaded
    // Counts every change of the loaded slot's records (a load, a reload of the same slot).
    uint64_t records_generation;
};
decoder_snapshot decoder_observe(void);

// The loaded slot's records as plain data (a reload rewrites them in place: take a copy).
struct decoder_records {
    slot_rom_t slot;
    track_rom_t tracks[MAX_TRACKS];
    loco_info_t loco;
    uint64_t generation;  // as decoder_snapshot::records_generation
};
void decoder_copy_records(decoder_records *out);

slot_state_t decoder_slot_state(void);
// Waits on the platform clock (so that the loader also runs in simulated time) until no slot
// load is going on, at most `timeout_us`, looking every `poll_us`; false when the load is still
// going on then.
bool decoder_wait_loaded(int64_t timeout_us, int64_t poll_us = 2000);

// ---------------------------------------------------------------- slot loads looked into

// What the project check asks of the decoder (decoder_load.cpp): a load of its own, and that
// load's outcome as plain data.

// Puts `slot` (1..3) in CV 202 before the sound engine starts, as the start-up does with the
// slot of slot.txt: the engine's start-up then loads that slot.
void decoder_choose_start_slot(int slot);
// Asks for a load of slot `slot` (1..3) as a CV 202 write does, the folder always parsed, never
// restored from storage; false when the decoder does not take the request.
bool decoder_request_load(int slot);
// The file-update flags the next load goes by (bit 0: it applies the slot's CV file).
uint8_t decoder_file_update_flags(void);

// The outcome of a load: the records, the slot state and the drive functions' ranges copied
// under one hold of the firmware lock, and the CV page.
struct decoder_load_copy {
    decoder_records records;
    slot_state_t state;
    uint32_t drive_max_speed[MAX_DRIVE_FUNCTIONS];  // the top of each drive function's range
    uint8_t cv[512];                                // CV 0..511
};
void decoder_copy_load(decoder_load_copy *out);

// Runs `parse` with the firmware lock held and puts the CV page back afterwards: a firmware
// parser fed lines to see what it makes of them writes the live CV store, and no CV write from
// another front-end may land in between (the page put back would undo it).
void decoder_with_cv_page_kept(const std::function<void()> &parse);

// ---------------------------------------------------------------- a command station's view
// (decoder_net.cpp) What a command station on a network needs besides the commands above: the
// address the decoder answers to, its commanded speed and keys in one read, how the slot names
// its keys, and the track power.

// The address the decoder answers to: CV 1, or the long address of CV 17/18 when CV 29 bit 5
// asks for it.
struct decoder_dcc_address {
    int number;
    bool is_long;
};
decoder_dcc_address decoder_get_address(void);

// What the command station last asked for: the speed (decoder_speed) and every key's
// commanded state, read under one hold of the firmware lock.
struct decoder_throttle_view {
    uint32_t speed;
    bool keys[MAX_FUNCTIONS];
};
decoder_throttle_view decoder_get_throttle_view(void);

// How the loaded slot presents its keys to a throttle: the vehicle's name, each key's label
// from the slot's functions file (underscores as blanks; empty when it has none) and whether
// the key is momentary (a code with M there, as the horn's "8M"). Read again only when the
// slot's vehicle description changes.
struct decoder_key_names {
    bool loaded = false;  // a slot is loaded
    std::string vehicle;
    std::string label[MAX_FUNCTIONS];
    bool momentary[MAX_FUNCTIONS] = {};
};
decoder_key_names decoder_get_key_names(void);

// Track power. Off, the tick sends no speed packets, as a command station whose track is
// switched off: the decoder keeps its last command. On by default.
void decoder_set_track_power(bool on);
bool decoder_track_power(void);
