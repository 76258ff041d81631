// Faults at the platform's seams for renders (--fault NAME): reads of the sound files that come
// short or slow, a sound file cut or removed while it plays, a slow store. Each is drawn from the
// render's seed, so a faulty render replays byte for byte. Off by default.
//
// File reads are caught at the link: the program is linked with --wrap for fopen, fread and
// fclose, so the firmware keeps calling the C library as it does on the decoder and no firmware
// file changes. Off, a wrapper costs one load of a flag before it calls the C library.
#pragma once

#include <cstdint>
#include <string>

// The names --fault takes, for the help text.
extern const char *const FAULT_NAMES;

// Arms the fault `name`; false with a message in `error` for an unknown name.
bool fault_arm(const char *name, std::string *error);
// Starts the armed faults with the render's seed: call after the store is installed and before
// the firmware starts.
void fault_start(uint64_t seed);
