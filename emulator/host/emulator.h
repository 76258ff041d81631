// The emulator host: start-up of the firmware and the 1 ms tick that drives every timed
// activity. They are part of the seam to the firmware (decoder_run.cpp), which front-ends use
// through decoder.h; the console that stands in for the command station is in console.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "board.h"
#include "board_time.h"

void emulator_init(void);
// The start-up up to the sound engine: log levels, time origin, outputs, DCC layer, motor and
// the slot number (tests of the decoder without sound use it).
void emulator_init_decoder(void);
// Slot number from "slot.txt" in the working directory, or -1.
int get_slot_id(void);
// One firmware millisecond.
void tick(void);
// The tick hooks the platform's tick loop calls (registered by emulator_init_decoder): every
// millisecond elapsed since the last call as a tick of its own, and the platform-clock time of
// the next millisecond with work.
void vApplicationTickHook(void);
int64_t vApplicationTickDueUs(void);
