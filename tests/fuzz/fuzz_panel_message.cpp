// Fuzz target: the web panel's messages. The input is one WebSocket text message from a page;
// it goes through the server's decoder of requests and, when taken, through the decoder's
// execution as the server runs it (the console lines it makes must be lines the console parses).
// Every reply the server would send, an error included, must turn into JSON text: a reply that
// cannot be dumped would end the server's thread.
#include <string>
#include <string_view>

#include "console.h"
#include "emulator.h"
#include "fuzz_file_io.h"
#include "web_commands.h"
#include "web_protocol.h"

namespace {

constexpr int kTicksPerInput = 10;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static bool started = (emulator_init_decoder(), true);
    (void)started;
    web_request req;
    std::string error;
    if (!web_parse_request(std::string_view((const char *)data, size), &req, &error)) {
        FUZZ_CHECK(!error.empty());
        // The strict dump: it throws, and so aborts, on text that is not UTF-8.
        (void)web_json{{"type", "error"}, {"request", req.type}, {"message", error}}.dump();
        return 0;
    }
    FUZZ_CHECK(size <= WEB_MAX_MESSAGE);
    const std::string line = web_console_line(req);
    if (!line.empty()) {
        console_command cmd;
        FUZZ_CHECK(line.size() <= CONSOLE_LINE_MAX);
        FUZZ_CHECK(console_parse_line(line.c_str(), &cmd));
    }
    web_json reply;
    if (web_execute(req, &reply) && !reply.is_null()) (void)reply.dump();
    for (int i = 0; i < kTicksPerInput; i++)
        tick();
    return 0;
}
