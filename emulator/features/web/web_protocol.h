// The panel's messages, apart from the server that carries them: what the page may ask for
// (validated here, turned into console lines), whose pages may connect (the Origin check), and
// the state the server keeps the pages up to date with (sections of keyed values, sent as
// changes). Pure functions: the unit tests drive them without a server.
//
// Page to server, one JSON object per WebSocket text message:
//   {"type":"function","fn":0..68,"on":true|false}   switch a key on or off
//   {"type":"speed","percent":0..100,"dir":"forward"|"reverse"}
//   {"type":"estop"}
//   {"type":"cv_write","cv":0..511,"value":0..255}   {"type":"cv_read","cv":0..511}
//   {"type":"slot","slot":1..3}                      load a slot (as cv202=<slot>)
//   {"type":"check"}                                 the project check of the loaded slot
//   {"type":"audio","on":true|false}                 stream the sound to this page
//   {"type":"ping","t":<number>}                     answered with the server's clock
// Server to page: {"type":"state","state":{...},"log":[...]} once, then {"type":"delta",
// "set":{...}} and {"type":"log","lines":[...]}; answers "cv", "pong", "check", "error"; and
// binary audio frames (see web_audio.h).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

using web_json = nlohmann::json;

// Longest text message a page sends is well under 200 bytes; anything beyond this is refused.
constexpr size_t WEB_MAX_MESSAGE = 4096;

struct web_request {
    enum kind_t { FUNCTION, SPEED, ESTOP, CV_WRITE, CV_READ, SLOT, CHECK, AUDIO, PING } kind = PING;
    int number = 0;    // function, CV or slot number; speed percent
    int value = 0;     // CV value
    bool on = false;   // function state wanted; audio wanted; speed: reverse
    double t = 0;      // ping: the page's clock, echoed
    std::string type;  // the message's "type", for error replies
};

// Parses and validates one message. False with `error`, a sentence for the page's user.
bool web_parse_request(std::string_view text, web_request *req, std::string *error);

// The console line a request enters the decoder as (the same entry point as a typed line);
// empty for requests the server answers itself (function switches are decided against the
// key's current state: see web_function_line).
std::string web_console_line(const web_request &req);

// The toggle line that brings function `fn` to `on`, given its commanded state now; empty
// when it is there already.
std::string web_function_line(int fn, bool on, bool commanded_now);

// Reads the console speed (the tick's encoding) back as the page shows it.
struct web_throttle {
    int percent = 0;
    bool reverse = false;
    bool estop = false;
};
web_throttle web_throttle_of(uint32_t console_speed);

// True when a WebSocket upgrade may go ahead: the page asking must be the panel's own, that is
// its Origin is "http://" + the Host it asked, and that host is this machine by a name no
// other site can take over (an IP address, "localhost" or the machine's own name), so that
// neither another web site open in the same browser nor a DNS name pointed at this machine
// can drive the decoder. Any port: the panel may be reached through a forwarded one.
bool web_origin_allowed(const char *origin, const char *host, std::string_view machine_name);

// State: an object of sections, each an object of keys. The change from `before` to `after`:
// per section, the keys whose value differs or is new, and removed keys as null; sections
// without change are left out (an empty object: nothing to send).
web_json web_state_delta(const web_json &before, const web_json &after);
// Applies a change as the page does.
void web_state_apply(web_json &state, const web_json &delta);
