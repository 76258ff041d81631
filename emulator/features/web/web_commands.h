// The page's requests carried out on the decoder: each enters as a console line, through the
// console's own parser and execution (console_handle_line), as if typed.
#pragma once

#include "web_protocol.h"

// Carries out a decoder request (function, speed, emergency stop, CV write or read, slot) and
// sets `reply` to the answer for the page (null when there is none). False for the requests the
// server answers itself (check, audio, ping).
bool web_execute(const web_request &req, web_json *reply);
