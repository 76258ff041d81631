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
std::string &g_partial = *new std::string;
vprintf_like_t g_previous;

int capture_vprintf(const char *format, va_list args) {
    char buf[2048];
    int n = vsnprintf(buf, sizeof buf, format, args);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const char *c = buf; *c != 0; c++) {
        if (*c != '\n') {
            g_partial += *c;
        } else {
            g_lines.push_back(g_partial);
            g_partial.clear();
        }
    }
    return n;
}
}  // namespace

LogCapture::LogCapture() {
    clear();
    g_previous = esp_log_set_vprintf(capture_vprintf);
}

LogCapture::~LogCapture() {
    esp_log_set_vprintf(g_previous);
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
    g_partial.clear();
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string s;
    for (auto &l : g_lines)
        s += l + "\n";
    return s;
}
