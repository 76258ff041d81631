// Drive scripts and their feeder task.
#include "script.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "audio_ll.h"
#include "console.h"
#include "esp_timer.h"
#include "freertos/task.h"
#include "stub.h"

namespace {

// A wait longer than this is a typo rather than a drive (about 11.5 days).
constexpr double MAX_WAIT_S = 1e6;

struct feeder {
    std::vector<script_step> steps;
    uint64_t seed;
};

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Parses "wait <seconds>"; false when the line is no wait at all, and `error` set when it is a
// wait with a bad duration.
bool parse_wait(const std::string &line, int64_t *us, std::string *error) {
    if (line.compare(0, 4, "wait") != 0 || (line.size() > 4 && line[4] != ' ' && line[4] != '\t'))
        return false;
    const std::string arg = trim(line.substr(4));
    char *end = nullptr;
    errno = 0;
    const double s = strtod(arg.c_str(), &end);
    if (arg.empty() || *end != '\0' || errno != 0 || !std::isfinite(s) || s < 0 || s > MAX_WAIT_S) {
        *error = "'" + line + "': wait needs a number of seconds from 0 to 1000000, e.g. wait 1.5";
        return true;
    }
    *us = (int64_t)std::llround(s * 1e6);
    return true;
}

// A microsecond within the millisecond, the same for the same seed and step.
int64_t jitter_us(uint64_t seed, size_t index) {
    return (int64_t)(stub_mix64(seed + STUB_MIX64_GAMMA * (index + 1)) % 1000);
}

void feeder_task(void *arg) {
    auto *f = (feeder *)arg;
    const bool simulated = stub_sim_active();
    const int64_t start = esp_timer_get_time();
    int64_t at = 0;
    for (size_t i = 0; i < f->steps.size(); i++) {
        const script_step &step = f->steps[i];
        if (step.command.empty()) {
            at += step.wait_us;
            stub_sleep_until_us(start + at);
            continue;
        }
        // Packets from a command station arrive at no exact moment: in simulated time each
        // command lands at a seeded microsecond of its millisecond (the MULTI pick reads it).
        if (simulated) stub_sleep_until_us(start + at + jitter_us(f->seed, i));
        console_handle_line(step.command.c_str());
        stub_tick_wake();
    }
    // A recording cut short (a full disk) fails the run: for a render it is the run's result.
    i2s_ll_record_stop();
    char error[1024];
    if (i2s_ll_record_error(error, sizeof error)) {
        fprintf(stderr, "%s: cannot write the recording %s\n", program_invocation_short_name, error);
        stub_exit(1);
    }
    stub_exit(0);
}

}  // namespace

bool script_load(const char *path, std::vector<script_step> *steps, std::string *error) {
    // A folder opens as a stream that reads nothing: it would play as an empty script.
    std::error_code ec;
    std::ifstream in(path);
    if (!in || std::filesystem::is_directory(path, ec)) {
        *error = std::string(path) + ": cannot read the script";
        return false;
    }
    steps->clear();
    std::string raw;
    int line_no = 0;
    while (std::getline(in, raw)) {
        line_no++;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        script_step step;
        step.line_no = line_no;
        std::string wait_error;
        if (parse_wait(line, &step.wait_us, &wait_error)) {
            if (!wait_error.empty()) {
                *error = std::string(path) + ":" + std::to_string(line_no) + ": " + wait_error;
                return false;
            }
            steps->push_back(step);
            continue;
        }
        console_command cmd;
        // The console would cut a longer line: it would not be what it says.
        if (line.size() > CONSOLE_LINE_MAX || !console_parse_line(line.c_str(), &cmd)) {
            *error = std::string(path) + ":" + std::to_string(line_no) + ": '" + line +
                     "' is not a console command, a wait or a comment";
            return false;
        }
        step.command = line;
        steps->push_back(step);
    }
    if (in.bad()) {
        *error = std::string(path) + ": cannot read the script";
        return false;
    }
    return true;
}

void script_start(std::vector<script_step> steps, uint64_t seed) {
    auto *f = new feeder{std::move(steps), seed};
    xTaskCreate(feeder_task, "script", 4096, f, 0, nullptr);
}
