// The page's requests on the decoder.
#include "web_commands.h"

#include "console.h"
#include "decoder.h"
#include "stub.h"

static web_json cv_answer(int cv) {
    return {{"type", "cv"}, {"cv", cv}, {"value", decoder_read_cv((uint16_t)cv)}};
}

bool web_execute(const web_request &req, web_json *reply) {
    *reply = nullptr;
    switch (req.kind) {
        case web_request::FUNCTION:
            // A switch, not a toggle: the key ends in the state asked for even when the console
            // switches it at the same moment.
            decoder_set_key(req.number, req.on);
            break;
        case web_request::SPEED:
        case web_request::ESTOP:
        case web_request::SLOT:
            console_handle_line(web_console_line(req).c_str());
            break;
        case web_request::CV_WRITE:
            console_handle_line(web_console_line(req).c_str());
            *reply = cv_answer(req.number);
            break;
        case web_request::CV_READ:
            *reply = cv_answer(req.number);
            return true;
        default:
            return false;
    }
    // The tick loop may sleep until its next due time; a command is answered at once.
    stub_tick_wake();
    return true;
}
