// The firmware's log lines, "I (<ms>) TAG: text", as the tests read them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

struct LogLine {
    char level = 0;    // 'E', 'W', 'I', 'D' or 'V'
    int64_t ms = 0;    // the time stamp
    std::string tag;   // empty when the line has none
    std::string text;  // after the tag
};

// Reads `line` into `out`; false when it is not a log line.
inline bool parse_log_line(const std::string &line, LogLine *out) {
    const size_t close = line.find(") ");
    if (line.size() < 5 || line[1] != ' ' || line[2] != '(' || close == std::string::npos) return false;
    char *end = nullptr;
    const long long ms = std::strtoll(line.c_str() + 3, &end, 10);
    if (end != line.c_str() + close) return false;
    out->level = line[0];
    out->ms = ms;
    const size_t colon = line.find(": ", close + 2);
    out->tag = colon == std::string::npos ? "" : line.substr(close + 2, colon - close - 2);
    out->text = line.substr(colon == std::string::npos ? close + 2 : colon + 2);
    return true;
}
