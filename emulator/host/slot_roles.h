// Every place of a slot's records that names a track, in one walk: the project check and the
// panel both tell from it what each track is for, each in its own words.
#pragma once

#include <string>
#include <vector>

#include "slot_data.h"

enum class slot_role_kind {
    place,    // a key's own ON, LOOP or OFF
    variant,  // a place of variant `index` of a key with variants
    level,    // a place of level `index` of drive function `owner`
    start,    // the single sounds of drive function `owner`
    stop,
    estop,
    dir,
    accel,  // whole range
    decel,  // whole range
    drive_off,
    turbo,
    loopd,
    accelon,     // variant `index`
    decelon,     // variant `index`
    accel_band,  // band `index`
    decel_band,  // band `index`
    loop_part,   // part `index` of complex loop `owner`
    loopd_part,  // its LOOPD part `index`
    info_next,   // entry `index` of announcement list `owner`: even entries are the "next" ones
    info,        // odd entries
};

struct slot_role {
    int track;  // 0..MAX_TRACKS - 1
    int key;    // the function key it belongs to
    slot_role_kind kind;
    int place = 0;      // FUNCTION_ON, FUNCTION_LOOP or FUNCTION_OFF for place, variant and level
    bool once = false;  // a key's ON place whose track plays once
    int owner = 0;      // index of the drive function, variant function, complex loop or list
    int index = 0;
};

// The roles in record order: keys F0..F68 (places ON, LOOP, OFF), keys with variants, drive
// functions, complex loops, announcement lists. Ids outside the track table are left out.
std::vector<slot_role> slot_roles(const slot_rom_t &slot, const track_rom_t *tracks);

// The name of a role's kind as the file names write it ("START", "ACCELON", "LOOPD", ...); for a
// key's places the place ("ON", "LOOP", "OFF"). Front-ends add the details in their own words.
const char *slot_role_name(slot_role_kind kind, int place = 0);
// A variant's letter: 0 -> "A".
std::string slot_role_letter(int index);

// The part of the records a role comes from (its kind's group), in record order.
enum class slot_role_group { key, variants, drive, complex_loop, announcements };
slot_role_group slot_role_group_of(slot_role_kind kind);

// A role in words, as the panel and the timeline show it: "ON", "once", "level 2 LOOP", "START",
// "ACCELON B", "LOOP part 3", ...
std::string slot_role_text(const slot_role &r);
// The one role each track of a slot is named by (a drive function's before a loop of parts',
// a variant's, an announcement's, a key's own place), empty for tracks the records do not name.
void slot_track_roles(const slot_rom_t &slot, const track_rom_t *tracks, std::string roles[MAX_TRACKS]);
