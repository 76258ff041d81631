// The heap with capabilities: the host has one kind of memory.
#include <cstdlib>

#include "esp_heap_caps.h"

void *heap_caps_calloc(size_t n, size_t size, uint32_t caps) {
    (void)caps;
    return calloc(n, size);
}
