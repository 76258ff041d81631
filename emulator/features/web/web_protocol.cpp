// Validation of the page's requests, the Origin check and the state changes.
#include "web_protocol.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cmath>

namespace {

// An integer field within [lo, hi]; false with a sentence naming the field and its range.
bool int_field(const web_json &msg, const char *name, int lo, int hi, int *out, std::string *error) {
    const auto it = msg.find(name);
    const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
    if (it == msg.end() || !it->is_number()) {
        *error = std::string("'") + name + "' must be a whole number from " + range;
        return false;
    }
    const double v = it->get<double>();
    if (!std::isfinite(v) || v != std::floor(v) || v < lo || v > hi) {
        *error = std::string("'") + name + "' must be a whole number from " + range + ", not " + it->dump();
        return false;
    }
    *out = (int)v;
    return true;
}

bool bool_field(const web_json &msg, const char *name, bool *out, std::string *error) {
    const auto it = msg.find(name);
    if (it == msg.end() || !it->is_boolean()) {
        *error = std::string("'") + name + "' must be true or false";
        return false;
    }
    *out = it->get<bool>();
    return true;
}

// "host:port" or "host" (a bracketed IPv6 address keeps its colons) into its host part.
std::string host_part(std::string_view host_port) {
    if (!host_port.empty() && host_port.front() == '[') {
        const size_t close = host_port.find(']');
        return close == std::string_view::npos ? std::string() : std::string(host_port.substr(0, close + 1));
    }
    return std::string(host_port.substr(0, host_port.find(':')));
}

bool is_ip_address(const std::string &host) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, host.c_str(), buf) == 1) return true;
    return host.size() > 2 && host.front() == '[' &&
           inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
}

bool same_text(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool web_parse_request(std::string_view text, web_request *req, std::string *error) {
    *req = web_request{};
    if (text.size() > WEB_MAX_MESSAGE) {
        *error = "the message is too long (" + std::to_string(text.size()) + " bytes; at most " +
                 std::to_string(WEB_MAX_MESSAGE) + ")";
        return false;
    }
    const web_json msg = web_json::parse(text.begin(), text.end(), nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) {
        *error = "the message is not a JSON object";
        return false;
    }
    const auto type = msg.find("type");
    if (type == msg.end() || !type->is_string()) {
        *error = "the message has no \"type\"";
        return false;
    }
    req->type = type->get<std::string>();
    const std::string &t = req->type;
    if (t == "function") {
        req->kind = web_request::FUNCTION;
        return int_field(msg, "fn", 0, 68, &req->number, error) && bool_field(msg, "on", &req->on, error);
    }
    if (t == "speed") {
        req->kind = web_request::SPEED;
        if (!int_field(msg, "percent", 0, 100, &req->number, error)) return false;
        const auto dir = msg.find("dir");
        if (dir == msg.end() || (*dir != "forward" && *dir != "reverse")) {
            *error = "'dir' must be \"forward\" or \"reverse\"";
            return false;
        }
        req->on = *dir == "reverse";
        return true;
    }
    if (t == "estop") {
        req->kind = web_request::ESTOP;
        return true;
    }
    if (t == "cv_write") {
        req->kind = web_request::CV_WRITE;
        return int_field(msg, "cv", 0, 511, &req->number, error) &&
               int_field(msg, "value", 0, 255, &req->value, error);
    }
    if (t == "cv_read") {
        req->kind = web_request::CV_READ;
        return int_field(msg, "cv", 0, 511, &req->number, error);
    }
    if (t == "slot") {
        req->kind = web_request::SLOT;
        return int_field(msg, "slot", 1, 3, &req->number, error);
    }
    if (t == "check") {
        req->kind = web_request::CHECK;
        return true;
    }
    if (t == "audio") {
        req->kind = web_request::AUDIO;
        return bool_field(msg, "on", &req->on, error);
    }
    if (t == "ping") {
        req->kind = web_request::PING;
        const auto v = msg.find("t");
        if (v == msg.end() || !v->is_number()) {
            *error = "'t' must be a number";
            return false;
        }
        req->t = v->get<double>();
        return true;
    }
    *error = "unknown request type \"" + t + "\"";
    return false;
}

std::string web_console_line(const web_request &req) {
    switch (req.kind) {
        case web_request::SPEED:
            // The console's s-N drives the other way with N - 2 speed steps above a stop (s-2 is
            // a stop in reverse, s-1 an emergency stop), so reverse p % is s-(p + 2).
            return req.on ? "s-" + std::to_string(req.number + 2) : "s" + std::to_string(req.number);
        case web_request::ESTOP:
            return "estop";
        case web_request::CV_WRITE:
            return "cv" + std::to_string(req.number) + "=" + std::to_string(req.value);
        case web_request::SLOT:
            return "cv202=" + std::to_string(req.number);
        default:
            return "";
    }
}

std::string web_function_line(int fn, bool on, bool commanded_now) {
    return on == commanded_now ? std::string() : "f" + std::to_string(fn);
}

web_throttle web_throttle_of(uint32_t console_speed) {
    const int8_t b = (int8_t)(uint8_t)console_speed;
    web_throttle t;
    t.estop = b == 0;
    t.reverse = b < 0;
    t.percent = b > 0 ? b - 1 : b < 0 ? -b - 1 : 0;
    return t;
}

bool web_origin_allowed(const char *origin, const char *host, std::string_view machine_name) {
    if (origin == nullptr || host == nullptr || host[0] == '\0') return false;
    const std::string_view o(origin);
    const std::string_view scheme = "http://";
    if (o.size() <= scheme.size() || !same_text(o.substr(0, scheme.size()), scheme)) return false;
    if (!same_text(o.substr(scheme.size()), host)) return false;
    const std::string name = host_part(host);
    return is_ip_address(name) || same_text(name, "localhost") ||
           (!machine_name.empty() && same_text(name, machine_name));
}

web_json web_state_delta(const web_json &before, const web_json &after) {
    web_json delta = web_json::object();
    for (const auto &[section, values] : after.items()) {
        const auto old = before.find(section);
        web_json changes = web_json::object();
        for (const auto &[key, value] : values.items()) {
            if (old == before.end() || !old->contains(key) || (*old)[key] != value) changes[key] = value;
        }
        if (old != before.end()) {
            for (const auto &[key, value] : old->items()) {
                if (!values.contains(key)) changes[key] = nullptr;
            }
        }
        if (!changes.empty()) delta[section] = std::move(changes);
    }
    for (const auto &[section, values] : before.items()) {
        if (after.contains(section)) continue;
        web_json changes = web_json::object();
        for (const auto &[key, value] : values.items())
            changes[key] = nullptr;
        if (!changes.empty()) delta[section] = std::move(changes);
    }
    return delta;
}

void web_state_apply(web_json &state, const web_json &delta) {
    for (const auto &[section, changes] : delta.items()) {
        web_json &target = state[section];
        if (!target.is_object()) target = web_json::object();
        for (const auto &[key, value] : changes.items()) {
            if (value.is_null()) {
                target.erase(key);
            } else {
                target[key] = value;
            }
        }
    }
}
