// Processor services (ESP-IDF interface).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
// Low 32 bits of the processor's time-stamp counter; used as a source of randomness.
uint32_t esp_cpu_get_cycle_count(void);
#ifdef __cplusplus
}
#endif
