// Heap with capability flags (ESP-IDF interface); the flags are ignored on the host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define MALLOC_CAP_DEFAULT (1 << 12)
#define MALLOC_CAP_8BIT (1 << 2)
#define MALLOC_CAP_SPIRAM (1 << 10)
#define MALLOC_CAP_INTERNAL (1 << 11)

#ifdef __cplusplus
extern "C" {
#endif
void *heap_caps_calloc(size_t n, size_t size, uint32_t caps);
#ifdef __cplusplus
}
#endif
