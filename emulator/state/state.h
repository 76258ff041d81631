// --state DIR: the kept store behind the platform's NVS calls, and the check that the stored
// slot description still describes its folder. Off unless the option is given.
#pragma once

#include <string>

// Opens the kept store in `dir` (created if missing) and puts it behind the NVS calls. False
// with a message for the user when the folder cannot be used or another emulator holds it.
bool state_open(const std::string &dir, std::string *error);
// Between the decoder's start-up (CV 202 names the slot to load) and the sound engine's start:
// when the stored description is of that slot and the folder's files differ from those it was
// made from, tells the firmware which files changed, as the decoder is told when files are
// written to it, so that the slot is parsed again. Logs one line saying why.
void state_check_slot_folder();
// Takes the store from behind the NVS calls and releases the folder (tests).
void state_close();
