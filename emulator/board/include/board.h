// The board glue the host starts and ticks: the millisecond counter behind Time(), the emulated
// motor driver and the board's output driver tables. It is compiled into the firmware, whose
// calls it answers; the host only drives it.
#pragma once

#include <atomic>
#include <cstdint>

#include "outputs.h"

// Firmware time in milliseconds: the number of ticks run so far (Time() reads it).
extern std::atomic<uint32_t> MillisecondCounter;

// The board's two output drivers and which of them drives each output.
extern const outDriver_t board_out_drivers[OUTPUTS_DRIVER_COUNT];
extern const outDriverConf_t board_out_driver_map[OUTPUTS_COUNT];

// The emulated motor driver step, run every tick.
void engine_drv_main(void);
