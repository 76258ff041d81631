#include "test_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "esp_log.h"

namespace {
// Never destroyed: engine threads may still log while the test program exits.
std::mutex &g_mutex = *new std::mutex;
std::vector<std::string> &g_lines = *new std::vector<std::string>;
}  // namespace

LogCapture::LogCapture() {
    clear();
    sink_ = log_sink_add(
        [](const log_line &l) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_lines.push_back(l.raw);
        },
        log_sink_mode::keep_all);
}

LogCapture::~LogCapture() {
    log_sink_remove(sink_);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int LogCapture::count(const std::string &text) const {
    const std::vector<std::string> all = lines();
    return (int)std::count_if(all.begin(), all.end(),
                              [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string s;
    for (auto &l : g_lines)
        s += l + "\n";
    return s;
}
