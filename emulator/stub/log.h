// Internals of the logging service for the host and its tests: the tag cache, the output
// function, and the line sinks through which host code reads the log as it is written.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "esp_log.h"

// Number of tag entries in the level cache and the count of cache misses so far.
uint32_t log_cache_entry_count();
uint32_t log_cache_misses();
// The standard-output writer that esp_log_set_vprintf replaces.
int log_stdout_vprintf(const char *format, va_list args);
// `text` with its control characters (bytes below 0x20, and 0x7F) written as \xHH: what a
// project names (files, lines) is shown, never obeyed by the terminal nor taken as a line end.
// The standard-output writer and the line sinks apply it to each message up to the line ends
// that close it.
std::string log_escape_controls(std::string_view text);
// Takes and releases the process-wide log lock.
void esp_log_impl_lock(void);
bool esp_log_impl_lock_timeout(void);
void esp_log_impl_unlock(void);

// ---------------------------------------------------------------- line sinks

// One log line in its parts: "<level> (<ms>) <tag>: <text>".
struct log_line {
    char level = 0;    // 'E', 'W', 'I', 'D' or 'V'; 0 for a line of another shape
    int64_t ms = 0;    // the time stamp
    std::string tag;   // empty for a line of another shape
    std::string text;  // after the tag; the whole line for a line of another shape
    std::string raw;   // the whole line, without its line end
};

// Splits `raw` (one line without its line end) into `out`; false when it is not of the shape
// above (then `out` holds it as a line of another shape).
bool log_parse_line(const std::string &raw, log_line *out);

// What becomes of a line once a sink has had it: it goes on to the sinks added before this one
// and to the output function, or it stops here (every line, or the lines that the thread which
// added the sink writes).
enum class log_sink_mode { pass_on, keep_all, keep_own_thread };

using log_sink_id = uint64_t;

// Adds a sink: `on_line` receives every complete line written from now on, in the order written,
// one line at a time (never two calls at once). The sink added last gets a line first; one that
// keeps the line hides it from the sinks added before it and from the output, as an output
// function set with esp_log_set_vprintf over another one would. `on_line` must not log, nor add
// or remove sinks.
log_sink_id log_sink_add(std::function<void(const log_line &)> on_line,
                         log_sink_mode mode = log_sink_mode::pass_on);
// Removes a sink: once this returns its function is not running and is never called again.
void log_sink_remove(log_sink_id id);
