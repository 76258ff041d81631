// The WiThrottle protocol, as Engine Driver, WiThrottle and other such apps speak it: one
// command per line (a line ends in LF, CR or CRLF), MultiThrottle commands for the locos a
// throttle holds, a heartbeat.
//
// The server greets at once with its version, its roster (the emulated decoder under the
// vehicle's name) and the track power. A key press switches a momentary key on and its release
// off again; a press toggles any other key and its release does nothing. Momentary keys are
// those the slot's functions file marks with M (the horn's "8M"); a throttle may say otherwise
// for its own locos (m1n / m0n). Lines it does not know are ignored.
#pragma once

#include <map>
#include <utility>

#include "session.h"

// The longest line taken; the longest a client sends is well under 100 bytes.
constexpr size_t WITHROTTLE_MAX_LINE = 512;
// The heartbeat interval the server asks for, in seconds: after "*+", a client silent for
// twice as long has its locos stopped at once.
constexpr int WITHROTTLE_HEARTBEAT_S = 10;

class withrottle_session : public net_session {
public:
    withrottle_session(station &st, int64_t now_ms);
    const char *protocol() const override { return "WiThrottle"; }
    size_t feed(const char *data, size_t size, int64_t now_ms) override;
    void tell_changes(const std::vector<loco_change> &changes, bool own) override;
    void tell_power(bool own) override;
    void tell_roster() override;
    void tick(int64_t now_ms) override;

private:
    struct held {
        char throttle;
        std::string key;  // as the client named the loco: S3, L341
        int address;
    };

    void handle(std::string_view line);
    void multi(char throttle, char op, std::string_view key, std::string_view action);
    void acquire(char throttle, std::string_view key, std::string_view what);
    void act(const held &h, std::string_view action);
    void send(const std::string &line);
    std::string prefix(const held &h, char op) const;
    void send_state(const held &h);
    void send_labels(const held &h);
    bool momentary(int address, int fn) const;
    void release(size_t index);

    std::vector<held> held_;
    std::map<std::pair<int, int>, bool> momentary_said_;  // (address, fn) -> momentary
    std::string line_;
    bool overlong_ = false;
    bool heartbeat_ = false;
    bool stopped_for_silence_ = false;
    int64_t last_heard_ms_;
};
