// Fuzz target: drive scripts. The input is a script file's bytes, cut into lines and parsed by
// the script reader; it is fed once whole and once in two pieces cut where the first byte says,
// and both must give the same steps or the same refusal. Every step taken must be what the
// feeder can run: a console command the console parses, no longer than a console line, or a
// wait in range. Nothing runs: the console's own target drives the decoder with lines.
#include <string.h>

#include <string_view>

#include "console.h"
#include "fuzz_file_io.h"
#include "script.h"

namespace {

bool parse(std::string_view text, size_t cut, script_parser *p) {
    cut = std::min(cut, text.size());
    return p->feed(text.substr(0, cut)) && p->feed(text.substr(cut)) && p->finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    const std::string_view text((const char *)data, size);
    script_parser whole, pieces;
    const bool ok = parse(text, text.size(), &whole);
    FUZZ_CHECK(parse(text, size > 0 ? data[0] : 0, &pieces) == ok);
    FUZZ_CHECK(whole.error == pieces.error && whole.error_line == pieces.error_line);
    FUZZ_CHECK(whole.steps.size() == pieces.steps.size());
    FUZZ_CHECK(ok == whole.error.empty() && ok == (whole.error_line == 0));
    int last_line = 0;
    for (size_t i = 0; i < whole.steps.size(); i++) {
        const script_step &s = whole.steps[i];
        FUZZ_CHECK(s.line_no > last_line && s.line_no == pieces.steps[i].line_no);
        FUZZ_CHECK(s.command == pieces.steps[i].command && s.wait_us == pieces.steps[i].wait_us);
        last_line = s.line_no;
        if (s.command.empty()) {
            FUZZ_CHECK(s.wait_us >= 0 && s.wait_us <= 1000000LL * 1000000);
            continue;
        }
        console_command cmd;
        FUZZ_CHECK(s.command.size() <= CONSOLE_LINE_MAX);
        FUZZ_CHECK(memchr(s.command.data(), 0, s.command.size()) == nullptr);
        FUZZ_CHECK(console_parse_line(s.command.c_str(), &cmd));
    }
    // A refusal names a line of the input: never one past the lines there are.
    if (!ok) {
        size_t ends = 1;
        for (size_t i = 0; i < size; i++)
            ends += data[i] == '\n' ? (i == 0 || data[i - 1] != '\r') : data[i] == '\r';
        FUZZ_CHECK(whole.error_line >= 1 && (size_t)whole.error_line <= ends);
    }
    return 0;
}
