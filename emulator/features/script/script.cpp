// Drive scripts and their feeder task.
#include "script.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio_ll.h"
#include "console.h"
#include "esp_timer.h"
#include "freertos/task.h"
#include "log.h"
#include "stub.h"

namespace {

// A wait longer than this is a typo rather than a drive (about 11.5 days).
constexpr double MAX_WAIT_S = 1e6;
// How long a FIFO may stay silent before the user is told that the script is awaited.
constexpr int FIFO_NOTE_MS = 1000;

void (*g_observer)(const char *line);

struct feeder {
    std::vector<script_step> steps;
    uint64_t seed;
};

std::string_view trim(std::string_view s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Digits with an optional fraction, as people write seconds: no sign, exponent, hexadecimal
// (strtod would take 0x10 as 16) nor a leading zero that reads as octal elsewhere (010).
bool plain_decimal(std::string_view s) {
    const size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
    auto digits = [](std::string_view d) {
        return d.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return whole.size() + fraction.size() > 0 && digits(whole) && digits(fraction) &&
           (whole.size() <= 1 || whole[0] != '0');
}

// Parses "wait <seconds>"; false when the line is no wait at all, and `error` set when it is a
// wait with a bad duration.
bool parse_wait(std::string_view line, int64_t *us, std::string *error) {
    if (line.substr(0, 4) != "wait" || (line.size() > 4 && line[4] != ' ' && line[4] != '\t')) return false;
    const std::string arg(trim(line.substr(4)));
    const double s = plain_decimal(arg) ? strtod(arg.c_str(), nullptr) : -1;
    if (s < 0 || s > MAX_WAIT_S) {
        *error = "'" + log_escape_controls(line) +
                 "': wait needs a decimal number of seconds from 0 to 1000000, e.g. wait 1.5";
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
        if (g_observer != nullptr) g_observer(step.command.c_str());
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

// Opens the script for reading. A FIFO opens at once, and whoever writes it may come later:
// the wait is told once rather than left silent.
int open_script(const char *path) {
    struct stat st;
    // A folder would play as an empty script.
    if (stat(path, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (S_ISFIFO(st.st_mode)) {
        pollfd p{fd, POLLIN, 0};
        int ready;
        while ((ready = poll(&p, 1, FIFO_NOTE_MS)) < 0 && errno == EINTR) {
        }
        if (ready == 0) {
            fprintf(stderr, "%s: waiting for a program to write the script into the FIFO %s\n",
                    program_invocation_short_name, log_escape_controls(path).c_str());
            while (poll(&p, 1, -1) < 0 && errno == EINTR) {
            }
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

script_line script_parse_line(std::string_view raw, script_step *step, std::string *error) {
    if (raw.find('\0') != std::string_view::npos) {
        // The console would stop at the NUL and run what comes before it.
        *error = "the line holds a NUL byte (is the script a text file?)";
        return script_line::refused;
    }
    const std::string_view line = trim(raw);
    if (line.empty() || line[0] == '#') return script_line::skip;
    *step = script_step{};
    std::string wait_error;
    if (parse_wait(line, &step->wait_us, &wait_error)) {
        if (!wait_error.empty()) {
            *error = wait_error;
            return script_line::refused;
        }
        return script_line::step;
    }
    const std::string text(line);
    console_command cmd;
    // The console would cut a longer line: it would not be what it says.
    if (text.size() > CONSOLE_LINE_MAX || !console_parse_line(text.c_str(), &cmd)) {
        *error = "'" + log_escape_controls(text) + "' is not a console command, a wait or a comment";
        return script_line::refused;
    }
    step->command = text;
    return script_line::step;
}

bool script_parser::end_line() {
    line_no_++;
    script_step step;
    const script_line kind = script_parse_line(line_, &step, &error);
    line_.clear();
    if (kind == script_line::refused) {
        error_line = line_no_;
        return false;
    }
    if (kind == script_line::step) {
        step.line_no = line_no_;
        steps.push_back(std::move(step));
    }
    return true;
}

bool script_parser::feed(std::string_view bytes) {
    if (error_line != 0) return false;
    for (const char c : bytes) {
        const bool crlf = c == '\n' && after_cr_;
        after_cr_ = c == '\r';
        if (crlf) continue;  // the CR ended the line already
        if (c == '\n' || c == '\r') {
            if (!end_line()) return false;
            continue;
        }
        if (line_.size() == SCRIPT_LINE_MAX) {
            error_line = line_no_ + 1;
            error = "the line is too long (a script line holds at most " + std::to_string(SCRIPT_LINE_MAX) +
                    " characters)";
            return false;
        }
        line_ += c;
    }
    return true;
}

bool script_parser::finish() {
    if (error_line != 0) return false;
    return line_.empty() || end_line();
}

bool script_load(const char *path, std::vector<script_step> *steps, std::string *error) {
    const std::string name = log_escape_controls(path);
    const int fd = open_script(path);
    if (fd < 0) {
        *error = name + ": cannot read the script";
        return false;
    }
    script_parser parser;
    char buf[4096];
    bool ok = true, read_error = false;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_error = true;
        if (n <= 0) break;
        // A refused line ends the reading: an endless file (a device) is not read to its end.
        if (!(ok = parser.feed(std::string_view(buf, (size_t)n)))) break;
    }
    close(fd);
    if (read_error) {
        *error = name + ": cannot read the script";
        return false;
    }
    if (ok) ok = parser.finish();
    if (!ok) {
        *error = name + ":" + std::to_string(parser.error_line) + ": " + parser.error;
        return false;
    }
    *steps = std::move(parser.steps);
    return true;
}

void script_set_observer(void (*observer)(const char *line)) {
    g_observer = observer;
}

void script_start(std::vector<script_step> steps, uint64_t seed) {
    auto *f = new feeder{std::move(steps), seed};
    xTaskCreate(feeder_task, "script", 4096, f, 0, nullptr);
}
