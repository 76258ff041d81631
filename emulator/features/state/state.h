// --state DIR: the kept store behind the platform's NVS calls, and the check that the stored
// slot description still describes its folder. Off unless the option is given.
#pragma once

#include <string>

// Opens the kept store in `dir` (created if missing) and puts it behind the NVS calls. False
// with a message for the user when the folder cannot be used or another emulator holds it.
bool state_open(const std::string &dir, std::string *error);
// Without --state: a store in memory behind the NVS calls, for the life of the process. What
// the firmware stores while it runs is there to read back while it runs, as on the decoder (a
// CV 202 write arms the slot's CV file for the load it asks for, for one); nothing is kept
// beyond the run.
void state_use_memory();
// Between the decoder's start-up (CV 202 names the slot to load) and the sound engine's start:
// when the stored description is of that slot and the folder's files differ from those it was
// made from, tells the firmware which files changed, as the decoder is told when files are
// written to it, so that the slot is parsed again. Logs one line saying why.
void state_check_slot_folder();
// Takes the store from behind the NVS calls and releases the folder (tests).
void state_close();
