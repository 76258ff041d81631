// The firmware's millisecond clock: the host's tick advances the counter, the firmware reads it.
#include "board_time.h"

#include "board.h"

std::atomic<uint32_t> MillisecondCounter{0};

uint32_t Time(void) {
    return MillisecondCounter.load(std::memory_order_relaxed);
}
