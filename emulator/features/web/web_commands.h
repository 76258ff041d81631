// The page's requests carried out on the decoder. Speed, emergency stop, CV writes and slot
// switches enter as console lines, through the console's own parser and execution
// (console_handle_line), as if typed; a key switch goes to the decoder as a switch, decided
// against the key's state where that state is kept.
#pragma once

#include "web_protocol.h"

// Carries out a decoder request (function, speed, emergency stop, CV write or read, slot) and
// sets `reply` to the answer for the page (null when there is none). False for the requests the
// server answers itself (check, audio, ping).
bool web_execute(const web_request &req, web_json *reply);
