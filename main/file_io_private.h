// Helpers shared by the file_io sources (not part of the module's interface).
#pragma once

#include <errno.h>
#include <stdlib.h>

#include "esp_log.h"

#define FILEIO_TAG "FILE_IO"

// Reads a decimal number as strtol does (leading blanks, optional sign). Returns true with the
// value in *out when digits were read and the value lies in [lo, hi]; a number that overflows or
// falls outside the range counts as absent, so it can never wrap into another valid value.
// *end (if given) receives the first character after the digits, or `s` when none were read.
static inline bool fileio_read_number(const char *s, long lo, long hi, long *out, const char **end) {
    char *stop = nullptr;
    errno = 0;
    long v = strtol(s, &stop, 10);
    bool range_error = errno == ERANGE;
    if (end != nullptr) *end = stop;
    if (stop == s || range_error || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// True when strtol would read digits from `s` (after blanks and a sign).
static inline bool fileio_has_number(const char *s) {
    char *stop = nullptr;
    errno = 0;
    (void)strtol(s, &stop, 10);
    return stop != s;
}
