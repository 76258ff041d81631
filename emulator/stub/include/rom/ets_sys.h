// ROM services (ESP-IDF interface).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
void ets_delay_us(uint32_t us);
#ifdef __cplusplus
}
#endif
