// The panel's server: CivetWeb serves the page's files and one WebSocket per page; the
// observer and sound threads feed every page through a writer of its own.
//
// Locks: `g_clients_lock` guards the list of pages (never held while sending); each page's
// `lock` guards its queue of outgoing messages. The firmware lock is taken only by the
// observer's snapshot and by the console's entry points, never around network I/O.
#include "web.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "check.h"
#include "console.h"
#include "decoder.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "net.h"
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
// Replies to messages that cannot be taken, per page: a burst of this many, then this many a second.
constexpr double REFUSAL_BURST = 5, REFUSALS_PER_S = 5;
// Every page holds one of CivetWeb's workers while it is open. Pages beyond MAX_PAGES are
// refused, so that requests and the refusals themselves always find a worker. A worker costs
// its 100 kB stack and a 16 kB buffer, mostly untouched.
constexpr int WORKERS = 256;
constexpr size_t MAX_PAGES = 200;
// A page silent this long is pinged (browsers answer by themselves); one silent for
// SILENCE_CLOSE is closed. A frame begun must come whole within FRAME_TIME. On closing, the
// peer has CLOSE_GRACE to take the close and answer it.
constexpr auto SILENCE_PING = std::chrono::seconds(5);
constexpr auto SILENCE_CLOSE = std::chrono::seconds(30);
constexpr auto FRAME_TIME = std::chrono::seconds(5);
constexpr auto CLOSE_GRACE = std::chrono::seconds(1);

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
    double refusals = REFUSAL_BURST;
    int64_t refusals_us = 0;
    bool refusals_noted = false;
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

// A reply to a message that cannot be taken; a page that sends them faster than a few a
// second gets no more replies (one log line says so).
void refuse_message(client &c, const std::string &request, const std::string &text) {
    const int64_t now = esp_timer_get_time();
    c.refusals = std::min(REFUSAL_BURST, c.refusals + (double)(now - c.refusals_us) * REFUSALS_PER_S / 1e6);
    c.refusals_us = now;
    if (c.refusals >= 1) {
        c.refusals -= 1;
        send_error(c, request, text);
    } else if (!c.refusals_noted) {
        c.refusals_noted = true;
        ESP_LOGW(TAG, "A page sends invalid messages faster than they are answered: the rest go unanswered");
    }
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
        refuse_message(c, req.type, error);
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

// ---------------------------------------------------------------- reading a page's messages

// CivetWeb's own WebSocket reader buffers a whole frame of whatever length its header announces
// before anyone sees it, and waits without end for a frame that stops half-way. So each page's
// messages are read here, on the connection's worker thread, before CivetWeb's reader starts:
// a frame's header decides before its payload is read, and a page that stalls or falls silent
// is closed.

// CivetWeb does not hand out a connection's socket: it is the one with both of its ends.
int connection_socket(const mg_connection *conn) {
    const mg_request_info *ri = mg_get_request_info(conn);
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const int fd = atoi(entry.path().filename().c_str());
        sockaddr_in local{}, peer{};
        socklen_t local_len = sizeof local, peer_len = sizeof peer;
        char addr[INET_ADDRSTRLEN] = {};
        if (getsockname(fd, (sockaddr *)&local, &local_len) != 0 || local.sin_family != AF_INET ||
            ntohs(local.sin_port) != ri->server_port || getpeername(fd, (sockaddr *)&peer, &peer_len) != 0 ||
            ntohs(peer.sin_port) != ri->remote_port ||
            inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr) == nullptr ||
            strcmp(addr, ri->remote_addr) != 0)
            continue;
        return fd;
    }
    return -1;
}

using steady = std::chrono::steady_clock;

// Waits until `fd` has something to read or `until` passes; false on time out.
bool readable(int fd, steady::time_point until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, (int)std::min<int64_t>(left, 1000));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // the read that follows reports it
    }
}

// Reads exactly `len` bytes unless the peer ends, an error comes or `until` passes.
bool read_exact(int fd, char *buf, size_t len, steady::time_point until) {
    for (size_t got = 0; got < len;) {
        if (!readable(fd, until)) return false;
        const ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return false;
        }
        got += (size_t)n;
    }
    return true;
}

// The end of a page's connection: what was queued for it goes out first, then a close frame
// with `code` (none when 0), then nothing more is read, whatever the peer still sends.
void end_page(client &c, int fd, uint16_t code) {
    {
        std::lock_guard<std::mutex> lock(c.lock);
        c.closing = true;
        c.wake.notify_one();
    }
    if (c.writer.joinable()) c.writer.join();
    if (code != 0) {
        const char payload[2] = {(char)(code >> 8), (char)(code & 0xFF)};
        mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, payload, sizeof payload);
    }
    if (fd < 0) return;
    shutdown(fd, SHUT_WR);
    // A moment for the peer's own close, so that it reads ours before the connection goes.
    char sink[4096];
    const auto until = steady::now() + CLOSE_GRACE;
    while (readable(fd, until)) {
        const ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    }
    // CivetWeb reads the connection once this returns: put an ended socket in its place, so
    // that it finds the end at once and not what the peer may still send.
    int ended[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ended) == 0) {
        close(ended[1]);
        dup2(ended[0], fd);
        close(ended[0]);
    }
}

// Reads and handles the page's messages until it closes, breaks the protocol or falls silent.
void read_page(client &c, int fd) {
    std::string payload;
    payload.reserve(WEB_MAX_MESSAGE);
    auto heard = steady::now();
    auto next_ping = heard + SILENCE_PING;
    for (;;) {
        // Between frames: a page silent for a while is pinged (browsers answer by themselves),
        // and closed when it stays silent. One dropped for taking nothing it was sent is closed
        // too, so that it connects anew and gets the whole state again.
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(c.lock);
                if (c.closing) return end_page(c, fd, 1008);
            }
            const auto now = steady::now();
            if (now >= heard + SILENCE_CLOSE) return end_page(c, fd, 1001);
            if (now >= next_ping) {
                mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_PING, nullptr, 0);
                next_ping += SILENCE_PING;
            }
            if (readable(fd, std::min({next_ping, heard + SILENCE_CLOSE, now + std::chrono::seconds(1)})))
                break;
        }
        const auto until = steady::now() + FRAME_TIME;  // a frame begun comes whole in this time
        unsigned char h[14];
        if (!read_exact(fd, (char *)h, 2, until)) return end_page(c, fd, 0);
        const bool final = (h[0] & 0x80) != 0, masked = (h[1] & 0x80) != 0;
        const int opcode = h[0] & 0x0F;
        uint64_t len = h[1] & 0x7F;
        const size_t extra = len == 126 ? 2 : len == 127 ? 8 : 0;
        if (!read_exact(fd, (char *)h + 2, extra + (masked ? 4 : 0), until)) return end_page(c, fd, 0);
        if (extra != 0) {
            len = 0;
            for (size_t i = 0; i < extra; i++)
                len = len << 8 | h[2 + i];
        }
        const bool control = (opcode & 0x08) != 0;
        if ((h[0] & 0x70) != 0 || (control && (!final || len > 125)) || (opcode > 2 && opcode < 8) ||
            opcode > 10)
            return end_page(c, fd, 1002);  // a protocol error; nothing of it is answered
        if (len > WEB_MAX_MESSAGE) {
            send_error(c, "",
                       "the message is too long (" + std::to_string(len) + " bytes; at most " +
                           std::to_string(WEB_MAX_MESSAGE) + "): the connection is closed");
            return end_page(c, fd, 1009);
        }
        payload.resize((size_t)len);
        if (!read_exact(fd, payload.data(), payload.size(), until)) return end_page(c, fd, 0);
        if (masked)
            for (size_t i = 0; i < payload.size(); i++)
                payload[i] = (char)(payload[i] ^ h[2 + extra + (i & 3)]);
        heard = steady::now();
        next_ping = heard + SILENCE_PING;
        switch (opcode) {
            case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE:
                return end_page(c, fd, 1000);
            case MG_WEBSOCKET_OPCODE_PING:
                mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_PONG, payload.data(), payload.size());
                continue;
            case MG_WEBSOCKET_OPCODE_PONG:
                continue;
            case MG_WEBSOCKET_OPCODE_TEXT:
                if (!final) break;
                handle_request(c, payload);
                // A long request (a project check) is not the page's silence.
                heard = steady::now();
                next_ping = heard + SILENCE_PING;
                continue;
            case MG_WEBSOCKET_OPCODE_BINARY:
                if (!final) break;
                refuse_message(c, "", "only JSON text messages are taken");
                continue;
            default:
                break;
        }
        send_error(c, "", "messages in parts are not taken: the connection is closed");
        return end_page(c, fd, 1003);
    }
}

// ---------------------------------------------------------------- CivetWeb handlers

// CivetWeb has taken the request for a WebSocket by the time it asks, and its response calls
// refuse to answer it: a refusal is written out whole.
int refuse_page(const mg_connection *conn, const char *status, const char *body) {
    mg_printf(const_cast<mg_connection *>(conn),
              "HTTP/1.1 %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n%s",
              status, strlen(body), body);
    return 1;
}

int ws_connect(const mg_connection *conn, void *) {
    const char *origin = mg_get_header(conn, "Origin");
    const char *host = mg_get_header(conn, "Host");
    if (!web_origin_allowed(origin, host, g_machine_name)) {
        ESP_LOGW(TAG, "Refused a connection from a page of another site (Origin %s, Host %s)",
                 origin != nullptr ? origin : "none", host != nullptr ? host : "none");
        return refuse_page(conn, "403 Forbidden", "Only the panel's own page may connect to the decoder.\n");
    }
    size_t open_pages;
    {
        std::lock_guard<std::mutex> lock(g_clients_lock);
        open_pages = g_clients.size();
    }
    if (open_pages >= MAX_PAGES) {
        ESP_LOGW(TAG, "Refused a page: %zu are open", open_pages);
        return refuse_page(conn, "503 Service Unavailable", "Too many panel pages are open; close one.\n");
    }
    return 0;
}

// The page's whole life: it is registered, its messages are read until it ends, and CivetWeb's
// own reader, which runs once this returns, finds the connection ended.
void ws_ready(mg_connection *conn, void *) {
    auto c = std::make_shared<client>();
    c->conn = conn;
    c->refill_us = c->refusals_us = esp_timer_get_time();
    mg_set_user_connection_data(conn, c.get());
    c->writer = std::thread(writer_loop, c.get());
    {
        std::lock_guard<std::mutex> lock(g_clients_lock);
        g_clients.push_back(c);
        g_clients_changed.notify_all();
    }
    const int fd = connection_socket(conn);
    if (fd < 0) {
        ESP_LOGE(TAG, "Cannot find the socket of a page's connection: the page is closed");
        return end_page(*c, fd, 1011);
    }
    read_page(*c, fd);
}

// Only what CivetWeb read itself comes here, after the page's end: it is not taken.
int ws_data(mg_connection *, int, char *, size_t, void *) {
    return 0;
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
    // A worker per open connection. A request must arrive whole within 5 s of its first byte,
    // and a kept-alive connection is closed after 5 s without one; pages time out in read_page.
    const std::string workers = std::to_string(WORKERS);
    const char *options[] = {
        "listening_ports",   ports.c_str(), "num_threads", workers.c_str(), "request_timeout_ms", "5000",
        "enable_keep_alive", "yes",         nullptr};
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
    if (!net_is_loopback(address.host))
        ESP_LOGW(TAG, "%s", net_exposure_warning("web panel", address.host).c_str());
    std::thread(observer_loop).detach();
    std::thread(audio_loop).detach();
    return true;
}
