// The emulator as a command station on the network, with the emulated decoder on its track:
// a DCC-EX native server (emulator --dccex, for JMRI DecoderPro, JMRI throttles and Engine
// Driver) and a WiThrottle server (emulator --withrottle, for Engine Driver, WiThrottle and
// other such apps), both announced over mDNS with --announce.
//
// One host thread ("net") serves every connection with non-blocking sockets and poll(): at
// most 16 clients per server; a client that does not read what it is sent is dropped before
// its backlog grows past 64 kB; one that floods is read no faster than it is served. While a
// client is connected the thread looks at the decoder ten times a second, so that what the
// console, a script or the web panel changes reaches the throttles too.
#pragma once

#include <string>
#include <vector>

struct net_address {
    std::string host = "127.0.0.1";
    int port = 0;
};

// "HOST:PORT", "PORT" or "HOST" (an IPv4 address or "localhost"; port 0 picks a free one).
// False with a sentence in `error`.
bool net_parse_address(const std::string &text, net_address *address, std::string *error);

constexpr int NET_DCCEX_PORT = 2560;
constexpr int NET_WITHROTTLE_PORT = 12090;

struct net_options {
    bool dccex = false;
    net_address dccex_at{"127.0.0.1", NET_DCCEX_PORT};
    bool withrottle = false;
    net_address withrottle_at{"127.0.0.1", NET_WITHROTTLE_PORT};
    bool announce = false;
};

// Opens the servers asked for and starts the thread. False with a sentence in `error` when an
// address cannot be listened on. Logs where each server listens ("NET: DCC-EX server at
// 127.0.0.1:2560"), and a warning for an address beyond this machine.
bool net_start(const net_options &options, std::string *error);

// True for an address of this machine alone (127.x.x.x).
bool net_is_loopback(const std::string &host);
// The warning for a server that listens beyond this machine: "The <what> listens on <host>:
// anyone on that network can drive and program the decoder".
std::string net_exposure_warning(const std::string &what, const std::string &host);

// The throttles connected now, for the web panel.
struct net_throttle {
    std::string protocol;  // "DCC-EX", "WiThrottle"
    std::string name;      // the name the client gave, or where it connects from
    std::string driving;   // the addresses it drives: "3", "3, 341", ""
    bool operator==(const net_throttle &) const = default;
};
std::vector<net_throttle> net_throttles(void);

// Announces the servers over mDNS (Avahi): _dcc-ex._tcp and _withrottle._tcp on the ports
// given (0: not served). Warns and goes on when no Avahi daemon runs.
void net_announce(int dccex_port, int withrottle_port);
