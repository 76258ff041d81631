// The WiThrottle protocol's sessions.
#include "withrottle.h"

#include "esp_log.h"

namespace {

const char *TAG = "NET";
// What a label or a name may not carry between the protocol's separators.
constexpr std::string_view FORBIDDEN = "[]\\{}|<>;";
constexpr std::string_view FIELD = "<;>";
constexpr size_t NAME_MAX = 40;
// Without a word from the project, the horn on F2 is the momentary key, as throttles assume.
constexpr int DEFAULT_MOMENTARY = 2;

}  // namespace

withrottle_session::withrottle_session(station &st, int64_t now_ms)
    : net_session(st), last_heard_ms_(now_ms) {
    send("VN2.0");
    tell_roster();
    tell_power(false);
}

void withrottle_session::send(const std::string &line) {
    out += line;
    out += '\n';
}

size_t withrottle_session::feed(const char *data, size_t size, int64_t now_ms) {
    if (size > 0) {
        last_heard_ms_ = now_ms;
        stopped_for_silence_ = false;
    }
    size_t i = 0;
    for (; i < size && !close; i++) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            if (!line_.empty() && !overlong_) {
                if (!budget_left()) break;
                spend();
                handle(line_);
            }
            line_.clear();
            overlong_ = false;
        } else if (!overlong_) {
            if (line_.size() < WITHROTTLE_MAX_LINE) {
                line_ += c;
            } else {
                overlong_ = true;
                line_.clear();
                warn_too_long("line", WITHROTTLE_MAX_LINE);
            }
        }
    }
    return i;
}

void withrottle_session::handle(std::string_view line) {
    switch (line[0]) {
        case 'N':
            name = net_clean(line.substr(1), "").substr(0, NAME_MAX);
            send("*" + std::to_string(WITHROTTLE_HEARTBEAT_S));
            return;
        case '*':
            if (line == "*+") heartbeat_ = true;
            if (line == "*-") heartbeat_ = false;
            return;
        case 'Q':
            if (line != "Q") return;
            held_.clear();
            close = true;
            ESP_LOGI(TAG, "WiThrottle client %s quit", name.c_str());
            return;
        case 'P':
            if (line == "PPA1" || line == "PPA0") st_.set_power(line == "PPA1");
            return;
        case 'M': {
            if (line.size() < 3) return;
            const size_t field = line.find(FIELD, 3);
            if (field == std::string_view::npos) return;
            multi(line[1], line[2], line.substr(3, field - 3), line.substr(field + FIELD.size()));
            return;
        }
        default:
            // HU (the device's id) and everything else: nothing to do.
            return;
    }
}

std::string withrottle_session::prefix(const held &h, char op) const {
    return std::string("M") + h.throttle + op + h.key + std::string(FIELD);
}

void withrottle_session::multi(char throttle, char op, std::string_view key, std::string_view action) {
    if (key.empty()) return;
    switch (op) {
        case '+':
        case 'S':  // steal: there is nobody to steal from here
            acquire(throttle, key, action);
            return;
        case '-':
            for (size_t i = held_.size(); i-- > 0;)
                if (held_[i].throttle == throttle && (key == "*" || held_[i].key == key)) release(i);
            return;
        case 'A':
            for (const held &h : std::vector<held>(held_))
                if (h.throttle == throttle && (key == "*" || h.key == key)) act(h, action);
            return;
        default:
            return;
    }
}

void withrottle_session::acquire(char throttle, std::string_view key, std::string_view what) {
    if (what.empty()) return;
    long address = 0;
    if (what[0] == 'E') {
        if (net_clean(what.substr(1), FORBIDDEN) != net_clean(st_.roster_name(), FORBIDDEN)) {
            send("HMNo roster entry named " + net_clean(what.substr(1), "").substr(0, NAME_MAX));
            return;
        }
        address = st_.decoder_address();
    } else if ((what[0] != 'S' && what[0] != 'L') || !net_number(what.substr(1), &address) || address < 1 ||
               address > NET_MAX_ADDRESS) {
        return;
    }
    const std::string k = net_clean(key, FORBIDDEN).substr(0, NAME_MAX);
    if (k.empty()) return;
    held h{throttle, k, (int)address};
    bool again = false;
    for (const held &x : held_)
        again = again || (x.throttle == throttle && x.key == k);
    if (!again) held_.push_back(h);
    drives(h.address);
    send(prefix(h, '+'));
    send_labels(h);
    send_state(h);
}

void withrottle_session::release(size_t index) {
    const held h = held_[index];
    held_.erase(held_.begin() + (long)index);
    send(prefix(h, '-'));
    bool still = false;
    for (const held &x : held_)
        still = still || x.address == h.address;
    if (!still) stops_driving(h.address);
}

void withrottle_session::send_labels(const held &h) {
    std::string line = prefix(h, 'L');
    const bool ours = st_.is_decoder(h.address);
    for (int f = 0; f < NET_FUNCTIONS; f++)
        line += "]\\[" + (ours ? net_clean(st_.names().label[f], FORBIDDEN) : std::string());
    send(line);
}

void withrottle_session::send_state(const held &h) {
    const loco_state s = st_.state(h.address);
    const std::string a = prefix(h, 'A');
    for (int f = 0; f < NET_FUNCTIONS; f++)
        send(a + "F" + (s.fn[(size_t)f] ? "1" : "0") + std::to_string(f));
    send(a + "V" + std::to_string(s.step));
    send(a + "R" + (s.forward ? "1" : "0"));
    send(a + "s1");
}

bool withrottle_session::momentary(int address, int fn) const {
    const auto said = momentary_said_.find({address, fn});
    if (said != momentary_said_.end()) return said->second;
    if (st_.is_decoder(address) && !st_.names().vehicle.empty()) return st_.names().momentary[fn];
    return fn == DEFAULT_MOMENTARY;
}

void withrottle_session::act(const held &h, std::string_view action) {
    if (action.empty()) return;
    const loco_state s = st_.state(h.address);
    const std::string a = prefix(h, 'A');
    long n = 0;
    bool ok = true;
    switch (action[0]) {
        case 'V':
            if (!net_number(action.substr(1), &n) || n < -1 || n > NET_STEPS) return;
            ok = st_.set_speed(h.address, (int)n, s.forward);
            break;
        case 'R':
            if (action != "R0" && action != "R1") return;
            ok = st_.set_speed(h.address, s.step, action == "R1");
            break;
        case 'X':
            ok = st_.set_speed(h.address, -1, s.forward);
            break;
        case 'I':
            ok = st_.set_speed(h.address, 0, s.forward);
            break;
        case 'q':
            if (action == "qV") send(a + "V" + std::to_string(s.step));
            if (action == "qR") send(a + "R" + (s.forward ? "1" : "0"));
            return;
        case 'F':
        case 'f':
        case 'm': {
            if (action.size() < 3 || (action[1] != '0' && action[1] != '1') ||
                !net_number(action.substr(2), &n) || n < 0 || n >= NET_FUNCTIONS)
                return;
            const int fn = (int)n;
            const bool down = action[1] == '1';
            if (action[0] == 'm') {
                momentary_said_[{h.address, fn}] = down;
                return;
            }
            if (action[0] == 'f') {
                ok = st_.set_function(h.address, fn, down);
            } else if (momentary(h.address, fn)) {
                ok = st_.set_function(h.address, fn, down);
            } else if (down) {
                ok = st_.set_function(h.address, fn, !s.fn[(size_t)fn]);
            }
            break;
        }
        default:
            // s (speed steps: always 128 here) and anything else.
            return;
    }
    if (!ok) send("HMNo room for another loco at this command station");
}

void withrottle_session::tell_changes(const std::vector<loco_change> &changes, bool own) {
    for (const loco_change &c : changes) {
        for (const held &h : held_) {
            if (h.address != c.address) continue;
            const std::string a = prefix(h, 'A');
            for (int f = 0; f < NET_FUNCTIONS; f++)
                if (c.before.fn[(size_t)f] != c.after.fn[(size_t)f])
                    send(a + "F" + (c.after.fn[(size_t)f] ? "1" : "0") + std::to_string(f));
            // A throttle's own speed is not sent back to it (it would fight the slider being
            // moved), except an emergency stop, which it shows.
            if (c.before.step != c.after.step && (!own || c.after.step < 0))
                send(a + "V" + std::to_string(c.after.step));
            if (c.before.forward != c.after.forward && !own) send(a + "R" + (c.after.forward ? "1" : "0"));
        }
    }
}

void withrottle_session::tell_power(bool own) {
    (void)own;
    send(st_.power() ? "PPA1" : "PPA0");
}

void withrottle_session::tell_roster() {
    send("RL1]\\[" + net_clean(st_.roster_name(), FORBIDDEN) + "}|{" + std::to_string(st_.decoder_address()) +
         "}|{" + (st_.decoder_is_long() ? "L" : "S"));
    for (const held &h : held_)
        if (st_.is_decoder(h.address)) send_labels(h);
}

void withrottle_session::tick(int64_t now_ms) {
    if (!heartbeat_ || stopped_for_silence_ || now_ms - last_heard_ms_ <= 2000LL * WITHROTTLE_HEARTBEAT_S)
        return;
    stopped_for_silence_ = true;
    ESP_LOGW(TAG, "WiThrottle client %s silent for %d s: emergency stop of its locos", name.c_str(),
             2 * WITHROTTLE_HEARTBEAT_S);
    for (const held &h : held_)
        st_.set_speed(h.address, -1, st_.state(h.address).forward);
}
