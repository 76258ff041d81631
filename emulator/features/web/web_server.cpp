// The panel's server: CivetWeb serves the page's files and one WebSocket per page; the
// observer and sound threads feed every page through a writer of its own.
//
// Locks: `g_clients_lock` guards the list of pages (never held while sending); each page's
// `lock` guards its queue of outgoing messages. The firmware lock is taken only by the
// observer's snapshot and by the console's entry points, never around network I/O.
#include "web.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "check.h"
#include "console.h"
#include "decoder.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "web_assets.h"
#include "web_audio.h"
#include "web_commands.h"
#include "web_observer.h"
#include "web_protocol.h"

static const char *TAG = "WEB";

namespace {

// Pages see changes at this rate (at least ten a second is what a moving gauge needs).
constexpr auto OBSERVE_PERIOD = std::chrono::milliseconds(50);
// A page that does not take what it is sent is dropped once this much waits for it.
constexpr size_t MAX_QUEUED_BYTES = 8u << 20;
// Sound frames waiting for one page beyond this are left out of its sound (about 1 s at 32 kHz).
constexpr size_t MAX_QUEUED_AUDIO = 64u << 10;
// Requests per page: a burst of this many, then this many a second.
constexpr double REQUEST_BURST = 60, REQUESTS_PER_S = 30;

struct message {
    int opcode;
    std::shared_ptr<const std::string> data;
};

struct client {
    mg_connection *conn = nullptr;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<message> queue;  // under lock
    size_t queued = 0;          // bytes, under lock
    size_t queued_audio = 0;    // bytes of sound frames, under lock
    bool closing = false;       // under lock: nothing more is queued; the writer ends
    std::thread writer;
    std::atomic<bool> audio{false};
    bool synced = false;  // observer only: the full state went out
    // The connection's own thread only:
    double tokens = REQUEST_BURST;
    int64_t refill_us = 0;
    int64_t refused_note_us = -1000000;
};

std::mutex g_clients_lock;
std::condition_variable g_clients_changed;
std::vector<std::shared_ptr<client>> g_clients;  // under g_clients_lock
std::string g_machine_name;
std::atomic<bool> g_check_running{false};

std::vector<std::shared_ptr<client>> clients_now() {
    std::lock_guard<std::mutex> lock(g_clients_lock);
    return g_clients;
}

void update_listening() {
    bool any = false;
    for (const auto &c : clients_now())
        any = any || c->audio.load();
    web_audio_set_listening(any);
}

// Queues a message for one page; false when the page is closing or has been dropped.
bool send_to(client &c, int opcode, std::shared_ptr<const std::string> data) {
    std::lock_guard<std::mutex> lock(c.lock);
    if (c.closing) return false;
    const bool audio = opcode == MG_WEBSOCKET_OPCODE_BINARY;
    if (audio && c.queued_audio + data->size() > MAX_QUEUED_AUDIO) return true;  // lagging: skip sound
    if (c.queued + data->size() > MAX_QUEUED_BYTES) {
        // A page that takes nothing: drop it rather than keep its backlog.
        c.queue.clear();
        c.closing = true;
        c.wake.notify_one();
        return false;
    }
    c.queued += data->size();
    if (audio) c.queued_audio += data->size();
    c.queue.push_back({opcode, std::move(data)});
    c.wake.notify_one();
    return true;
}

// Replies carry what a project names (the check's report, log lines): bytes that are not UTF-8
// go out as U+FFFD instead of throwing in the connection's thread.
void send_json(client &c, const web_json &j) {
    send_to(c, MG_WEBSOCKET_OPCODE_TEXT,
            std::make_shared<const std::string>(j.dump(-1, ' ', false, web_json::error_handler_t::replace)));
}

void send_error(client &c, const std::string &request, const std::string &text) {
    send_json(c, {{"type", "error"}, {"request", request}, {"message", text}});
}

void writer_loop(client *c) {
    for (;;) {
        message m;
        {
            std::unique_lock<std::mutex> lock(c->lock);
            c->wake.wait(lock, [&] { return !c->queue.empty() || c->closing; });
            if (c->queue.empty()) return;
            m = std::move(c->queue.front());
            c->queue.pop_front();
            c->queued -= m.data->size();
            if (m.opcode == MG_WEBSOCKET_OPCODE_BINARY) c->queued_audio -= m.data->size();
        }
        if (mg_websocket_write(c->conn, m.opcode, m.data->data(), m.data->size()) <= 0) {
            std::lock_guard<std::mutex> lock(c->lock);
            c->queue.clear();
            c->closing = true;
            return;
        }
    }
}

// ---------------------------------------------------------------- observer and sound threads

void observer_loop() {
    web_observer observer;
    web_json last = web_json::object();
    uint64_t log_seen = 0;
    web_log_since(0, &log_seen);  // the start-up lines go out as each page's backlog
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_clients_lock);
            g_clients_changed.wait(lock, [] { return !g_clients.empty(); });
        }
        const auto next = std::chrono::steady_clock::now() + OBSERVE_PERIOD;
        web_json state = observer.observe();
        const web_json delta = web_state_delta(last, state);
        uint64_t log_last = 0;
        const std::vector<std::string> fresh = web_log_since(log_seen, &log_last);
        log_seen = log_last;
        const auto delta_text = std::make_shared<const std::string>(web_json{
            {"type", "delta"}, {"set", delta}}.dump(-1, ' ', false, web_json::error_handler_t::replace));
        const auto log_text = std::make_shared<const std::string>(web_json{
            {"type", "log"}, {"lines", fresh}}.dump(-1, ' ', false, web_json::error_handler_t::replace));
        std::shared_ptr<const std::string> full_text;
        for (const auto &c : clients_now()) {
            if (!c->synced) {
                if (full_text == nullptr) {
                    uint64_t backlog_last = 0;
                    std::vector<std::string> backlog = web_log_since(0, &backlog_last);
                    // Lines newer than `fresh` go out with the next cycle's lines.
                    backlog.resize(backlog.size() -
                                   std::min<size_t>(backlog.size(), backlog_last - log_seen));
                    full_text = std::make_shared<const std::string>(
                        web_json{{"type", "state"}, {"state", state}, {"log", backlog}}.dump(
                            -1, ' ', false, web_json::error_handler_t::replace));
                }
                c->synced = send_to(*c, MG_WEBSOCKET_OPCODE_TEXT, full_text);
                continue;
            }
            if (!delta.empty()) send_to(*c, MG_WEBSOCKET_OPCODE_TEXT, delta_text);
            if (!fresh.empty()) send_to(*c, MG_WEBSOCKET_OPCODE_TEXT, log_text);
        }
        last = std::move(state);
        std::this_thread::sleep_until(next);
    }
}

void audio_loop() {
    for (;;) {
        const auto frame = std::make_shared<const std::string>(web_audio_next_frame());
        for (const auto &c : clients_now())
            if (c->audio.load()) send_to(*c, MG_WEBSOCKET_OPCODE_BINARY, frame);
    }
}

// ---------------------------------------------------------------- requests from a page

// True when the page may make another request now (a token bucket per page).
bool take_token(client &c) {
    const int64_t now = esp_timer_get_time();
    c.tokens = std::min(REQUEST_BURST, c.tokens + (double)(now - c.refill_us) * REQUESTS_PER_S / 1e6);
    c.refill_us = now;
    if (c.tokens < 1) return false;
    c.tokens -= 1;
    return true;
}

void run_check(client &c) {
    if (g_check_running.exchange(true)) {
        send_error(c, "check", "a project check is already running");
        return;
    }
    const int slot = decoder_read_cv(202);
    const check_json report = check_report_json(slot);
    g_check_running.store(false);
    send_json(c, {{"type", "check"}, {"slot", slot}, {"text", check_report_text(report)}});
}

void handle_request(client &c, const std::string &text) {
    web_request req;
    std::string error;
    if (!web_parse_request(text, &req, &error)) {
        send_error(c, req.type, error);
        return;
    }
    if (!take_token(c)) {
        // One note a second is enough to tell the page; the rest are dropped quietly.
        const int64_t now = esp_timer_get_time();
        if (now - c.refused_note_us >= 1000000) {
            c.refused_note_us = now;
            send_error(c, req.type, "too many requests: at most 30 a second are taken");
        }
        return;
    }
    web_json reply;
    if (web_execute(req, &reply)) {
        if (!reply.is_null()) send_json(c, reply);
        return;
    }
    switch (req.kind) {
        case web_request::CHECK:
            run_check(c);
            break;
        case web_request::AUDIO:
            c.audio.store(req.on);
            update_listening();
            break;
        case web_request::PING:
            send_json(c, {{"type", "pong"}, {"t", req.t}, {"server_ms", web_server_ms()}});
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------- CivetWeb handlers

int ws_connect(const mg_connection *conn, void *) {
    const char *origin = mg_get_header(conn, "Origin");
    const char *host = mg_get_header(conn, "Host");
    if (web_origin_allowed(origin, host, g_machine_name)) return 0;
    ESP_LOGW(TAG, "Refused a connection from a page of another site (Origin %s, Host %s)",
             origin != nullptr ? origin : "none", host != nullptr ? host : "none");
    // CivetWeb has taken the request for a WebSocket by now and its response calls refuse to
    // answer it: the refusal is written out whole.
    static const char body[] = "Only the panel's own page may connect to the decoder.\n";
    mg_printf(const_cast<mg_connection *>(conn),
              "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n%s",
              sizeof body - 1, body);
    return 1;
}

void ws_ready(mg_connection *conn, void *) {
    auto c = std::make_shared<client>();
    c->conn = conn;
    c->refill_us = esp_timer_get_time();
    mg_set_user_connection_data(conn, c.get());
    c->writer = std::thread(writer_loop, c.get());
    std::lock_guard<std::mutex> lock(g_clients_lock);
    g_clients.push_back(c);
    g_clients_changed.notify_all();
}

int ws_data(mg_connection *conn, int flags, char *data, size_t len, void *) {
    auto *c = static_cast<client *>(mg_get_user_connection_data(conn));
    if (c == nullptr) return 0;
    {
        // A page that was dropped (it took nothing for too long) is closed at its next word,
        // so that it connects anew and gets the whole state again.
        std::lock_guard<std::mutex> lock(c->lock);
        if (c->closing) return 0;
    }
    const int opcode = flags & 0x0F;
    const bool final = (flags & 0x80) != 0;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG) return 1;
    if (!final || opcode == MG_WEBSOCKET_OPCODE_CONTINUATION) {
        send_error(*c, "", "messages in parts are not taken: the connection is closed");
        return 0;
    }
    if (opcode != MG_WEBSOCKET_OPCODE_TEXT) {
        send_error(*c, "", "only JSON text messages are taken");
        return 1;
    }
    if (len > WEB_MAX_MESSAGE) {
        send_error(*c, "",
                   "the message is too long (" + std::to_string(len) + " bytes; at most " +
                       std::to_string(WEB_MAX_MESSAGE) + "): the connection is closed");
        return 0;
    }
    handle_request(*c, std::string(data, len));
    return 1;
}

void ws_close(const mg_connection *conn, void *) {
    auto *c = static_cast<client *>(mg_get_user_connection_data(conn));
    if (c == nullptr) return;
    std::shared_ptr<client> keep;
    {
        std::lock_guard<std::mutex> lock(g_clients_lock);
        auto it =
            std::find_if(g_clients.begin(), g_clients.end(), [&](const auto &p) { return p.get() == c; });
        if (it != g_clients.end()) {
            keep = *it;
            g_clients.erase(it);
        }
    }
    {
        std::lock_guard<std::mutex> lock(c->lock);
        c->closing = true;
        c->wake.notify_one();
    }
    // What was queued before the close (an error that explains it) still goes out; then no
    // write may touch the connection, which CivetWeb frees after this returns.
    if (c->writer.joinable()) c->writer.join();
    update_listening();
}

int http_request(mg_connection *conn, void *) {
    const mg_request_info *ri = mg_get_request_info(conn);
    const bool head = strcmp(ri->request_method, "HEAD") == 0;
    if (!head && strcmp(ri->request_method, "GET") != 0) {
        mg_send_http_error(conn, 405, "%s", "Only GET and HEAD are served.");
        return 405;
    }
    const std::string uri = ri->local_uri != nullptr ? ri->local_uri : "";
    const web_asset *asset = web_asset_find(uri == "/" ? "/index.html" : uri);
    if (asset == nullptr) {
        mg_send_http_error(conn, 404, "%s", "Not found: the panel serves its own files only.");
        return 404;
    }
    mg_response_header_start(conn, 200);
    mg_response_header_add(conn, "Content-Type", asset->type, -1);
    mg_response_header_add(conn, "Content-Length", std::to_string(asset->size).c_str(), -1);
    mg_response_header_add(conn, "Cache-Control", "no-cache", -1);
    mg_response_header_add(conn, "X-Content-Type-Options", "nosniff", -1);
    mg_response_header_add(
        conn, "Content-Security-Policy",
        "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'", -1);
    mg_response_header_send(conn);
    if (!head) mg_write(conn, asset->data, asset->size);
    return 200;
}

int log_civetweb(const mg_connection *, const char *message) {
    ESP_LOGW(TAG, "%s", message);
    return 1;
}

mg_context *g_context;

}  // namespace

bool web_parse_address(const std::string &text, web_address *address, std::string *error) {
    web_address a;
    std::string host = text, port;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    } else if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        host.clear();
        port = text;
    }
    if (!host.empty()) {
        in_addr ip;
        if (host == "localhost") host = "127.0.0.1";
        if (inet_pton(AF_INET, host.c_str(), &ip) != 1) {
            *error = "--web takes HOST:PORT with an IPv4 address (or localhost) as HOST, not '" + text + "'";
            return false;
        }
        a.host = host;
    }
    if (!port.empty() || colon != std::string::npos) {
        char *end = nullptr;
        const long p = strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || p < 0 || p > 65535) {
            *error = "--web takes a port from 0 to 65535, not '" + port + "'";
            return false;
        }
        a.port = (int)p;
    }
    *address = a;
    return true;
}

void web_prepare(void) {
    web_log_install();
    web_audio_install();
}

bool web_start(const web_address &address, std::string *error) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) g_machine_name = name;
    mg_init_library(0);
    const std::string ports = address.host + ":" + std::to_string(address.port);
    // A worker per open connection: eight pages and their requests fit with room to spare.
    const char *options[] = {"listening_ports",
                             ports.c_str(),
                             "num_threads",
                             "32",
                             "request_timeout_ms",
                             "5000",
                             "websocket_timeout_ms",
                             "5000",
                             "enable_websocket_ping_pong",
                             "yes",
                             "enable_keep_alive",
                             "yes",
                             nullptr};
    mg_callbacks callbacks = {};
    callbacks.log_message = log_civetweb;
    mg_init_data init = {};
    init.callbacks = &callbacks;
    init.configuration_options = options;
    char text[256] = {};
    mg_error_data err = {};
    err.text = text;
    err.text_buffer_size = sizeof text;
    g_context = mg_start2(&init, &err);
    if (g_context == nullptr) {
        *error = "cannot serve the panel on " + ports + (text[0] ? std::string(": ") + text : std::string());
        return false;
    }
    mg_set_request_handler(g_context, "/", http_request, nullptr);
    mg_set_websocket_handler(g_context, "/ws", ws_connect, ws_ready, ws_data, ws_close, nullptr);
    mg_server_port port = {};
    mg_get_server_ports(g_context, 1, &port);
    esp_log_level_set(TAG, ESP_LOG_INFO);
    const bool everywhere = address.host == "0.0.0.0";
    ESP_LOGI(TAG, "Panel at http://%s:%d/%s", everywhere ? g_machine_name.c_str() : address.host.c_str(),
             port.port, everywhere ? " (served on every network interface)" : "");
    std::thread(observer_loop).detach();
    std::thread(audio_loop).detach();
    return true;
}
