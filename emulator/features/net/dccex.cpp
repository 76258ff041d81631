// The DCC-EX native protocol's sessions.
#include "dccex.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr const char *STATUS = "<iDCC-EX V-5.0.0 / PC / EMULATOR G-0000000>";
// What a label or a name may not carry inside a roster frame.
constexpr std::string_view ROSTER_FORBIDDEN = "\"<>/";
constexpr size_t REPLY_MAX = 255;

bool valid_cab(long cab) {
    return cab >= 1 && cab <= NET_MAX_ADDRESS;
}

// The speed byte of a <l> frame: 0 stop, 1 emergency stop, 2..127 the running steps, plus 128
// going forward.
int speed_byte(const loco_state &s) {
    const int code = s.step < 0 ? 1 : s.step == 0 ? 0 : s.step + 1;
    return code + (s.forward ? 128 : 0);
}

// F0..F31 with F0 in bit 0.
unsigned long function_map(const loco_state &s) {
    unsigned long map = 0;
    for (int f = 0; f < 32; f++)
        if (s.fn[(size_t)f]) map |= 1UL << f;
    return map;
}

__attribute__((format(printf, 1, 2))) std::string frame(const char *format, ...) {
    char buf[REPLY_MAX + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

}  // namespace

std::string dccex_roster_labels(const decoder_key_names &names, size_t room) {
    std::string labels, pending;
    for (int f = 0; f < NET_FUNCTIONS; f++) {
        const std::string label = net_clean(names.label[f], ROSTER_FORBIDDEN);
        if (f > 0) pending += '/';
        if (label.empty()) continue;
        pending += (names.momentary[f] ? "*" : "") + label;
        if (labels.size() + pending.size() > room) break;
        labels += pending;
        pending.clear();
    }
    return labels;
}

size_t dccex_session::feed(const char *data, size_t size, int64_t now_ms) {
    (void)now_ms;
    size_t i = 0;
    for (; i < size; i++) {
        const char c = data[i];
        if (!in_frame_) {
            // Line ends and anything else between frames mean nothing.
            if (c == '<') {
                in_frame_ = true;
                overlong_ = false;
                frame_.clear();
            }
            continue;
        }
        if (c == '<') {
            // A frame that never ended: the new one takes its place.
            overlong_ = false;
            frame_.clear();
        } else if (c == '>') {
            if (!budget_left()) break;
            in_frame_ = false;
            if (!overlong_) {
                spend();
                handle(frame_);
            }
            frame_.clear();
        } else if (!overlong_) {
            if (frame_.size() < DCCEX_MAX_FRAME) {
                frame_ += c;
            } else {
                overlong_ = true;
                frame_.clear();
                warn_too_long("frame", DCCEX_MAX_FRAME);
            }
        }
    }
    return i;
}

void dccex_session::reply(const std::string &f) {
    out += f;
    out += '\n';
}

std::string dccex_session::loco_frame(int address, const loco_state &s, int slot) {
    return frame("<l %d %d %d %lu>", address, slot, speed_byte(s), function_map(s));
}

void dccex_session::handle(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    if (text.empty()) return;
    const char op = text[0];
    const std::vector<std::string_view> words = net_words(text.substr(1));
    std::vector<long> n;
    bool numeric = true;
    for (std::string_view w : words) {
        long v;
        numeric = numeric && net_number(w, &v);
        if (numeric) n.push_back(v);
    }
    switch (op) {
        case 's':
            reply(STATUS);
            reply(st_.power() ? "<p1>" : "<p0>");
            return;
        case '#':
            reply(frame("<# %d>", NET_LOCO_SLOTS));
            return;
        case '1':
        case '0': {
            const bool on = op == '1';
            const char *p = on ? "p1" : "p0";
            if (words.empty()) {
                st_.set_power(on);
                reply(frame("<%s>", p));
            } else if (words.size() == 1 && (words[0] == "MAIN" || words[0] == "JOIN")) {
                st_.set_power(on);
                reply(frame("<%s %s>", p, words[0] == "MAIN" ? "MAIN" : "JOIN"));
            } else if (words.size() == 1 && words[0] == "PROG") {
                // The programming track is powered for each command by itself.
                reply(frame("<%s PROG>", p));
            } else {
                reply("<X>");
            }
            return;
        }
        case 't':
            if (!numeric) break;
            throttle(n);
            return;
        case 'F':
            if (!numeric || n.size() != 3 || !valid_cab(n[0]) || n[1] < 0 || n[1] >= NET_FUNCTIONS ||
                n[2] < 0 || n[2] > 1)
                break;
            if (!st_.set_function((int)n[0], (int)n[1], n[2] == 1)) break;
            drives((int)n[0]);
            return;
        case 'f':
            if (!numeric) break;
            function_group(n);
            return;
        case '!':
            st_.emergency_stop_all();
            return;
        case 'V':
        case 'R':
        case 'W':
        case 'B':
        case 'w':
        case 'b':
            if (!numeric) break;
            programming(op, n);
            return;
        case 'J':
            roster(words);
            return;
        case '=':
            reply("<= A MAIN>");
            reply("<= B PROG>");
            return;
        case '-':
            if (words.empty()) {
                st_.forget_all();
                return;
            }
            if (!numeric || n.size() != 1 || !valid_cab(n[0])) break;
            st_.forget((int)n[0]);
            stops_driving((int)n[0]);
            return;
        default:
            break;
    }
    reply("<X>");
}

void dccex_session::throttle(const std::vector<long> &n) {
    if (n.size() == 1 && valid_cab(n[0])) {
        const int cab = (int)n[0];
        reply(loco_frame(cab, st_.state(cab), st_.known(cab) ? 0 : -1));
        return;
    }
    if (n.size() != 3 && n.size() != 4) {
        reply("<X>");
        return;
    }
    const size_t at = n.size() - 3;  // JMRI puts a register number first
    const long cab = n[at], speed = n[at + 1], dir = n[at + 2];
    if (!valid_cab(cab) || speed < -1 || speed > NET_STEPS || dir < 0 || dir > 1 ||
        !st_.set_speed((int)cab, (int)speed, dir == 1)) {
        reply("<X>");
        return;
    }
    drives((int)cab);
    if (n.size() == 4) reply(frame("<T %ld %ld %ld>", n[0], speed, dir));
}

void dccex_session::function_group(const std::vector<long> &n) {
    if ((n.size() != 2 && n.size() != 3) || !valid_cab(n[0]) || n[1] < 0 || n[1] > 255) {
        reply("<X>");
        return;
    }
    const int cab = (int)n[0], b1 = (int)n[1];
    int first, count, bits;
    if (n.size() == 3) {
        if ((b1 != 222 && b1 != 223) || n[2] < 0 || n[2] > 255) {
            reply("<X>");
            return;
        }
        first = b1 == 222 ? 13 : 21;
        count = 8;
        bits = (int)n[2];
    } else if ((b1 & 0xE0) == 0x80) {
        // F0 rides in bit 4 of the first group.
        if (!st_.set_function(cab, 0, (b1 & 0x10) != 0)) {
            reply("<X>");
            return;
        }
        first = 1, count = 4, bits = b1;
    } else if ((b1 & 0xF0) == 0xB0) {
        first = 5, count = 4, bits = b1;
    } else if ((b1 & 0xF0) == 0xA0) {
        first = 9, count = 4, bits = b1;
    } else {
        reply("<X>");
        return;
    }
    for (int k = 0; k < count; k++) {
        if (!st_.set_function(cab, first + k, ((bits >> k) & 1) != 0)) {
            reply("<X>");
            return;
        }
    }
    drives(cab);
}

void dccex_session::programming(char op, const std::vector<long> &n) {
    const size_t k = n.size();
    switch (op) {
        case 'V':
            // Verify: the answer is the value the decoder holds, whatever the client expected.
            if (k == 2) return reply(frame("<v %ld %d>", n[0], st_.read_cv(n[0])));
            if (k == 3) return reply(frame("<v %ld %ld %d>", n[0], n[1], st_.read_bit(n[0], n[1])));
            break;
        case 'R':
            if (k == 0) return reply(frame("<r %d>", st_.read_address()));
            if (k == 1) return reply(frame("<v %ld %d>", n[0], st_.read_cv(n[0])));
            if (k == 3) return reply(frame("<r%ld|%ld|%ld %d>", n[1], n[2], n[0], st_.read_cv(n[0])));
            break;
        case 'W':
            if (k == 1) return reply(frame("<w %d>", st_.write_address(n[0])));
            if (k == 2) return reply(frame("<r %ld %d>", n[0], st_.write_cv(n[0], n[1])));
            if (k == 4) return reply(frame("<r%ld|%ld|%ld %d>", n[2], n[3], n[0], st_.write_cv(n[0], n[1])));
            break;
        case 'B':
            if (k == 3) return reply(frame("<r %ld %ld %d>", n[0], n[1], st_.write_bit(n[0], n[1], n[2])));
            if (k == 5)
                return reply(
                    frame("<r%ld|%ld|%ld %ld %d>", n[3], n[4], n[0], n[1], st_.write_bit(n[0], n[1], n[2])));
            break;
        case 'w':
            // Programming on the main: only the decoder at that address hears it, and nobody
            // answers.
            if (k == 3 && valid_cab(n[0])) {
                if (st_.is_decoder((int)n[0])) st_.write_cv(n[1], n[2]);
                return;
            }
            break;
        case 'b':
            if (k == 4 && valid_cab(n[0])) {
                if (st_.is_decoder((int)n[0])) st_.write_bit(n[1], n[2], n[3]);
                return;
            }
            break;
        default:
            break;
    }
    reply("<X>");
}

void dccex_session::roster(const std::vector<std::string_view> &words) {
    if (words.empty()) return reply("<X>");
    // "<JR 3>" and "<JR3>" alike.
    const char what = words[0][0];
    std::vector<std::string_view> args;
    if (words[0].size() > 1) args.push_back(words[0].substr(1));
    args.insert(args.end(), words.begin() + 1, words.end());
    long id = 0;
    if (args.size() > 1 || (args.size() == 1 && !net_number(args[0], &id))) return reply("<X>");
    switch (what) {
        case 'R':
            if (args.empty()) return reply(frame("<jR %d>", st_.decoder_address()));
            if (st_.is_decoder((int)id)) {
                const std::string head =
                    frame("<jR %ld \"%s\" \"", id, net_clean(st_.roster_name(), ROSTER_FORBIDDEN).c_str());
                return reply(head + dccex_roster_labels(st_.names(), REPLY_MAX - head.size() - 2) + "\">");
            }
            return reply(frame("<jR %ld \"\" \"\">", id));
        case 'T':
        case 'A':
            // No turnouts and no automations here.
            if (args.empty()) return reply(frame("<j%c>", what));
            return reply(frame("<j%c %ld X>", what, id));
        default:
            return reply("<X>");
    }
}

void dccex_session::tell_changes(const std::vector<loco_change> &changes, bool own) {
    (void)own;  // JMRI mirrors the <l> of its own commands too
    for (const loco_change &c : changes) {
        if (speed_byte(c.before) == speed_byte(c.after) && function_map(c.before) == function_map(c.after))
            continue;
        reply(loco_frame(c.address, c.after, 0));
    }
}

void dccex_session::tell_power(bool own) {
    if (!own) reply(st_.power() ? "<p1>" : "<p0>");
}
