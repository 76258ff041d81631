// Internals of the logging service, exposed for tests.
#pragma once

#include <cstdint>

#include "esp_log.h"

// Number of tag entries in the level cache and the count of cache misses so far.
uint32_t log_cache_entry_count();
uint32_t log_cache_misses();
// The standard-output writer that esp_log_set_vprintf replaces.
int log_stdout_vprintf(const char *format, va_list args);
// Takes and releases the process-wide log lock.
void esp_log_impl_lock(void);
bool esp_log_impl_lock_timeout(void);
void esp_log_impl_unlock(void);
