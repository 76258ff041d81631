// The firmware's millisecond counter, advanced by the host's 1 ms tick.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
uint32_t Time(void);
#ifdef __cplusplus
}
#endif
