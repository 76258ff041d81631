// The page's requests on the decoder.
#include "web_commands.h"

#include "console.h"
#include "dcc_hl.h"
#include "fw_lock.h"
#include "stub.h"

static web_json cv_answer(int cv) {
    return {{"type", "cv"}, {"cv", cv}, {"value", console_read_cv((uint16_t)cv)}};
}

bool web_execute(const web_request &req, web_json *reply) {
    *reply = nullptr;
    switch (req.kind) {
        case web_request::FUNCTION: {
            // Decided and toggled under one hold of the firmware lock, so that the key ends in
            // the state asked for even when the console switches it at the same moment.
            fw_lock();
            const std::string line =
                web_function_line(req.number, req.on, dcc_new_function_state((uint8_t)req.number));
            if (!line.empty()) console_handle_line(line.c_str());
            fw_unlock();
            break;
        }
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
