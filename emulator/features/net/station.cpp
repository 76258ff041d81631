// The emulated command station: the decoder through the seam, other locos remembered.
#include "station.h"

#include <algorithm>

namespace {

constexpr uint8_t CV29_LONG_ADDRESS = 0x20;
constexpr long CV_LAST = 1024;  // the highest CV number there is
constexpr long CV_PAGE = 511;   // the highest the decoder keeps
constexpr long CV_RESET = 8;    // a write of 8 here restores the factory defaults
constexpr int SHORT_ADDRESS_MAX = 127;

// The console's encoding of a speed (see decoder_set_speed): 0 emergency stop, 1 stop,
// 2..101 = 1..100 %, negative for the DCC forward direction.
uint32_t encode(int step, bool forward) {
    if (step < 0) return 0;
    const int a = step == 0 ? 1 : net_step_to_percent(step) + 1;
    return (uint32_t)(uint8_t)(int8_t)(forward ? -a : a);
}

}  // namespace

int net_step_to_percent(int step) {
    return std::max(1, (step * 100 + NET_STEPS / 2) / NET_STEPS);
}

int net_percent_to_step(int percent) {
    return (percent * NET_STEPS + 50) / 100;
}

station::station() {
    refresh();
    roster_changed_ = false;
    note(address_.number);
}

loco_state station::decoder_state(const decoder_throttle_view &v) {
    loco_state s;
    for (int f = 0; f < NET_FUNCTIONS; f++)
        s.fn[(size_t)f] = v.keys[f];
    if (v.speed == sent_encoded_) {
        s.step = sent_step_;
        s.forward = sent_forward_;
        return s;
    }
    const int8_t b = (int8_t)(uint8_t)v.speed;
    if (b == 0) {
        s.step = -1;
        s.forward = last_forward_;
        return s;
    }
    const int a = b < 0 ? -(int)b : b;
    s.forward = b < 0;
    last_forward_ = s.forward;
    s.step = a == 1 ? 0 : net_percent_to_step(std::min(a, 101) - 1);
    return s;
}

loco_state station::state(int address) {
    if (is_decoder(address)) return decoder_state(decoder_get_throttle_view());
    const auto it = others_.find(address);
    return it != others_.end() ? it->second : loco_state{};
}

bool station::known(int address) const {
    return is_decoder(address) || others_.count(address) != 0;
}

void station::note(int address) {
    if (reported_.count(address) == 0) reported_[address] = state(address);
}

bool station::set_speed(int address, int step, bool forward) {
    if (is_decoder(address)) {
        note(address);
        const uint32_t e = encode(step, forward);
        sent_encoded_ = e;
        sent_step_ = step;
        sent_forward_ = forward;
        last_forward_ = forward;
        if (step < 0) {
            decoder_emergency_stop();
        } else {
            decoder_set_speed(e);
        }
        return true;
    }
    if (!known(address) && (int)others_.size() + 1 >= NET_LOCO_SLOTS) return false;
    note(address);
    loco_state &s = others_[address];
    s.step = step;
    s.forward = forward;
    return true;
}

bool station::set_function(int address, int fn, bool on) {
    if (fn < 0 || fn >= NET_FUNCTIONS) return false;
    if (is_decoder(address)) {
        note(address);
        decoder_set_key(fn, on);
        return true;
    }
    if (!known(address) && (int)others_.size() + 1 >= NET_LOCO_SLOTS) return false;
    note(address);
    others_[address].fn[(size_t)fn] = on;
    return true;
}

void station::emergency_stop_all() {
    set_speed(address_.number, -1, state(address_.number).forward);
    for (auto &[address, s] : others_) {
        note(address);
        s.step = -1;
    }
}

void station::forget(int address) {
    others_.erase(address);
    if (!is_decoder(address)) reported_.erase(address);
}

void station::forget_all() {
    others_.clear();
    for (auto it = reported_.begin(); it != reported_.end();)
        it = is_decoder(it->first) ? std::next(it) : reported_.erase(it);
}

void station::set_power(bool on) {
    decoder_set_track_power(on);
}

int station::read_cv(long cv) {
    if (cv < 1 || cv > CV_LAST || cv > CV_PAGE) return -1;
    return decoder_read_cv((uint16_t)cv);
}

int station::write_cv(long cv, long value) {
    if (cv < 1 || cv > CV_LAST || cv > CV_PAGE || value < 0 || value > 255) return -1;
    decoder_write_cv((uint16_t)cv, (uint8_t)value);
    // The factory reset leaves the manufacturer's number in CV 8, not the 8 written.
    if (cv == CV_RESET && value == CV_RESET) return (int)value;
    const int kept = decoder_read_cv((uint16_t)cv);
    return kept == value ? kept : -1;
}

int station::read_bit(long cv, long bit) {
    const int v = read_cv(cv);
    if (v < 0 || bit < 0 || bit > 7) return -1;
    return (v >> bit) & 1;
}

int station::write_bit(long cv, long bit, long value) {
    const int v = read_cv(cv);
    if (v < 0 || bit < 0 || bit > 7 || (value != 0 && value != 1)) return -1;
    const int want = value != 0 ? v | (1 << bit) : v & ~(1 << bit);
    const int kept = write_cv(cv, want);
    return kept < 0 ? -1 : (kept >> bit) & 1;
}

int station::read_address() {
    return decoder_get_address().number;
}

int station::write_address(long address) {
    if (address < 1 || address > NET_MAX_ADDRESS) return -1;
    const int cv29 = read_cv(29);
    if (cv29 < 0) return -1;
    bool ok;
    if (address <= SHORT_ADDRESS_MAX) {
        ok = write_cv(1, address) >= 0 && write_cv(29, cv29 & ~CV29_LONG_ADDRESS) >= 0;
    } else {
        ok = write_cv(17, 0xC0 | (address >> 8)) >= 0 && write_cv(18, address & 0xFF) >= 0 &&
             write_cv(29, cv29 | CV29_LONG_ADDRESS) >= 0;
    }
    refresh();
    return ok ? (int)address : -1;
}

std::string station::roster_name() const {
    return names_.vehicle.empty() ? std::string("Sound decoder") : names_.vehicle;
}

void station::refresh() {
    const decoder_dcc_address now = decoder_get_address();
    if (now.number != address_.number) {
        // The loco that answered at the old address is gone from there, not stopped.
        reported_.erase(address_.number);
        address_ = now;
        note(address_.number);
    }
    address_ = now;
    decoder_key_names names = decoder_get_key_names();
    bool same = names.loaded == names_.loaded && names.vehicle == names_.vehicle;
    for (int f = 0; same && f < NET_FUNCTIONS; f++)
        same = names.label[f] == names_.label[f] && names.momentary[f] == names_.momentary[f];
    if (!same) {
        names_ = std::move(names);
        roster_changed_ = true;
    }
}

std::vector<loco_change> station::take_changes() {
    std::vector<loco_change> changes;
    auto look = [&](int address, const loco_state &now) {
        const auto it = reported_.find(address);
        if (it == reported_.end()) {
            reported_[address] = now;
        } else if (!(it->second == now)) {
            changes.push_back({address, it->second, now});
            it->second = now;
        }
    };
    look(address_.number, state(address_.number));
    for (const auto &[address, s] : others_)
        if (!is_decoder(address)) look(address, s);
    return changes;
}

bool station::take_power_change() {
    const bool on = power();
    if (on == power_reported_) return false;
    power_reported_ = on;
    return true;
}

bool station::take_roster_change() {
    const bool changed = roster_changed_;
    roster_changed_ = false;
    return changed;
}
