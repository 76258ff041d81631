// The browser panel (emulator --web [HOST:PORT]): a throttle, the function keys, what plays and
// why, the vehicle's gauges and lamps, CVs and the log, and the mixed sound, served to the
// browser over HTTP and a WebSocket (CivetWeb). The page's own files are built into the
// program; nothing else is served.
//
// Threads, all outside the firmware: CivetWeb's workers (one per open connection: requests,
// and each page's messages, which enter the decoder through the console's entry points), the
// observer (every 50 ms while a page is open: a snapshot under the firmware lock, then the
// changes sent outside it), the sound thread (the mixer's buffers from the tap's ring to the
// pages that listen) and one writer per page, so that a slow page holds up nobody but itself.
#pragma once

#include <string>

struct web_address {
    std::string host = "127.0.0.1";
    int port = 8080;
};

// "HOST:PORT", "PORT" or "HOST" (IPv4 address or "localhost"; port 0 picks a free one).
// False with a sentence in `error`.
bool web_parse_address(const std::string &text, web_address *address, std::string *error);

// Tees the log for the pages and installs the sound tap; call before the firmware starts, so
// that the pages see the start-up's lines.
void web_prepare(void);

// Starts serving. False with a sentence in `error` (the address cannot be listened on).
// Logs the panel's address ("WEB: Panel at http://...").
bool web_start(const web_address &address, std::string *error);
