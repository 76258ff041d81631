// The console: each line typed on standard input is one command station action.
#include "console.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "decoder.h"
#include "emulator.h"
#include "esp_log.h"
#include "stub.h"

// Reads a signed decimal number right after `text`; false when no digit is there or the value
// does not fit 32 bits.
static bool read_number(const char *text, long long *value) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || v > INT32_MAX || v < -(long long)UINT32_MAX) return false;
    *value = v;
    return true;
}

// Function numbers beyond 8 bits name no function: they are ignored rather than wrapped onto
// a lower function (f300 would otherwise toggle F44).
static bool parse_function(const char *number, int times, console_command *cmd) {
    long long n;
    if (!read_number(number, &n) || n < 0 || n > 255) return false;
    cmd->kind = CONSOLE_FUNCTION;
    cmd->number = (uint32_t)n;
    cmd->times = times;
    return true;
}

bool console_parse_line(const char *line, console_command *cmd) {
    *cmd = console_command{};
    if (line[0] >= '0' && line[0] <= '9') return parse_function(line, 1, cmd);
    if (strstr(line, "estop") != nullptr) {
        cmd->kind = CONSOLE_ESTOP;
        return true;
    }
    switch (line[0]) {
        case 's':
        case 'S': {
            // s-N asks for speed N-1 in the other direction; values whose magnitude would not
            // fit the 101 steps are ignored like s101 instead of wrapping around.
            long long n;
            if (!read_number(line + 1, &n) || n > 100 || n < -102) return false;
            cmd->kind = CONSOLE_SPEED;
            cmd->value = (uint32_t)(n + 1);
            return true;
        }
        case 'f':
        case 'F':
            return parse_function(line + 1, 1, cmd);
        case 'm':
        case 'M':
            return parse_function(line + 1, 2, cmd);
        case 'c':
        case 'C': {
            // "cv<n>=<v>" writes a CV, "cv<n>?" prints its value as a log line of the DCC layer.
            if (line[1] != 'v' && line[1] != 'V') return false;
            unsigned cv, value;
            char after;
            if (sscanf(line + 2, "%u%c", &cv, &after) == 2 && after == '?' && cv <= 511) {
                cmd->kind = CONSOLE_CV_READ;
                cmd->number = cv;
                return true;
            }
            if (sscanf(line + 2, "%u=%u", &cv, &value) != 2 || cv > 511) return false;
            cmd->kind = CONSOLE_CV_WRITE;
            cmd->number = cv;
            cmd->value = value & 0xFF;
            return true;
        }
        default:
            return false;
    }
}

void console_execute(const console_command &cmd) {
    switch (cmd.kind) {
        case CONSOLE_FUNCTION:
            decoder_toggle_key((int)cmd.number, cmd.times);
            break;
        case CONSOLE_ESTOP:
            decoder_emergency_stop();
            break;
        case CONSOLE_SPEED:
            decoder_set_speed(cmd.value);
            break;
        case CONSOLE_CV_WRITE:
            decoder_write_cv((uint16_t)cmd.number, (uint8_t)cmd.value);
            break;
        case CONSOLE_CV_READ:
            ESP_LOGI("DCC_HL", "CV%u=%u", (unsigned)cmd.number,
                     (unsigned)decoder_read_cv((uint16_t)cmd.number));
            break;
        case CONSOLE_NONE:
            break;
    }
}

void console_handle_line(const char *line) {
    console_command cmd;
    if (console_parse_line(line, &cmd)) console_execute(cmd);
}

bool console_read_line(FILE *in, char *buf, size_t size) {
    if (fgets(buf, (int)size, in) == nullptr) return false;
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') {
        buf[len - 1] = 0;
    } else if (len == size - 1) {
        // Over-long line: drop its tail so it is not run as a command of its own.
        int c;
        while ((c = fgetc(in)) != EOF && c != '\n') {
        }
    }
    return true;
}

void console_run(FILE *in) {
    char line[CONSOLE_LINE_MAX + 1];
    // At the end of input the console stops reading; the emulator keeps running.
    while (console_read_line(in, line, sizeof line)) {
        console_handle_line(line);
        // The tick loop may sleep until its next due time; a command is answered at once.
        stub_tick_wake();
    }
}

void console_task(void *arg) {
    (void)arg;
    console_run(stdin);
}
