// One client's conversation with the command station, whatever its protocol: the server hands
// it the bytes the client sent and sends what it leaves in `out`. Sessions run on the network
// thread only.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "station.h"

// Commands one client may have carried out per tenth of a second; the rest of what it sent
// waits (it is not read meanwhile), so that a flood slows down its sender only.
constexpr int NET_COMMANDS_PER_TICK = 50;

class net_session {
public:
    explicit net_session(station &st) : st_(st) {}
    virtual ~net_session() = default;
    net_session(const net_session &) = delete;
    net_session &operator=(const net_session &) = delete;

    virtual const char *protocol() const = 0;
    // Takes what the client sent. Returns how many bytes it used: it stops when the command
    // budget is spent, and the rest is handed to it again after the next refill.
    virtual size_t feed(const char *data, size_t size, int64_t now_ms) = 0;
    // Tells the client what changed; `own` when the changes came from this client's commands.
    virtual void tell_changes(const std::vector<loco_change> &changes, bool own) = 0;
    virtual void tell_power(bool own) = 0;
    virtual void tell_roster() {}
    virtual void tick(int64_t now_ms) { (void)now_ms; }

    void refill() { budget_ = NET_COMMANDS_PER_TICK; }
    bool budget_left() const { return budget_ > 0; }
    // The addresses this client drives, for the panel ("3", "3, 341").
    std::string driving() const;

    std::string out;     // to send
    bool close = false;  // close the connection once `out` is sent
    std::string name;    // the client's name, or its address until it tells one

protected:
    // Counts one command against the budget.
    void spend() { budget_--; }
    void drives(int address) { driving_.insert(address); }
    void stops_driving(int address) { driving_.erase(address); }
    // One warning line per session for input that is too long.
    void warn_too_long(const char *what, size_t limit);

    station &st_;

private:
    int budget_ = NET_COMMANDS_PER_TICK;
    std::set<int> driving_;
    bool warned_too_long_ = false;
};

// A whole decimal number of at most 9 digits, with an optional minus sign.
bool net_number(std::string_view text, long *value);
// Splits on blanks (space, tab, CR, LF).
std::vector<std::string_view> net_words(std::string_view text);
// `text` without control characters and without any of `forbidden`: what a label or a name may
// carry inside a protocol's own separators.
std::string net_clean(std::string_view text, std::string_view forbidden);
