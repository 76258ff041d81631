// The network thread: listening sockets, the clients' connections, the command budget, and
// what changed told to everyone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "dccex.h"
#include "esp_log.h"
#include "net.h"
#include "withrottle.h"

namespace {

const char *TAG = "NET";
constexpr int MAX_CLIENTS = 16;
// What a client has not read yet, at most; past it the client is dropped.
constexpr size_t MAX_BACKLOG = 64 * 1024;
constexpr size_t READ_CHUNK = 4096;
constexpr int64_t TICK_MS = 100;

enum protocol_t { DCCEX, WITHROTTLE };

struct listener {
    int fd;
    protocol_t protocol;
};

struct client {
    int fd;
    protocol_t protocol;
    std::unique_ptr<net_session> session;
    std::string pending;  // received, not yet taken
    bool gone = false;
};

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char *name_of(protocol_t p) {
    return p == DCCEX ? "DCC-EX" : "WiThrottle";
}

std::mutex g_list_lock;
std::vector<net_throttle> g_list;

class server {
public:
    explicit server(std::vector<listener> listeners) : listeners_(std::move(listeners)) {}
    void run();

private:
    void accept_from(const listener &l, int64_t now);
    void read_from(client &c);
    void take_input(client &c, int64_t now);
    void tell(const net_session *origin);
    void write_to(client &c);
    void publish();

    std::vector<listener> listeners_;
    std::vector<std::unique_ptr<client>> clients_;
    std::unique_ptr<station> station_;
    std::vector<net_throttle> published_;
};

void server::accept_from(const listener &l, int64_t now) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(l.fd, (sockaddr *)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        const std::string where = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        int count = 0;
        for (const auto &c : clients_)
            count += c->protocol == l.protocol;
        if (count >= MAX_CLIENTS) {
            const std::string sorry =
                l.protocol == DCCEX
                    ? "<* Too many clients: " + std::to_string(MAX_CLIENTS) + " are connected *>\n"
                    : "HMToo many throttles: " + std::to_string(MAX_CLIENTS) + " are connected\n";
            (void)!send(fd, sorry.data(), sorry.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            ESP_LOGW(TAG, "Refused a %s client from %s: %d are connected", name_of(l.protocol), where.c_str(),
                     MAX_CLIENTS);
            continue;
        }
        // Replies go out at once; what a client leaves unread stays in the backlog, where it is
        // counted, rather than in a kernel buffer that may grow to megabytes.
        const int one = 1, kernel_buffer = 16 * 1024;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kernel_buffer, sizeof kernel_buffer);
        if (!station_) station_ = std::make_unique<station>();
        station_->refresh();
        auto c = std::make_unique<client>();
        c->fd = fd;
        c->protocol = l.protocol;
        if (l.protocol == DCCEX) {
            c->session = std::make_unique<dccex_session>(*station_);
        } else {
            c->session = std::make_unique<withrottle_session>(*station_, now);
        }
        c->session->name = where;
        ESP_LOGI(TAG, "%s client %s connected", name_of(l.protocol), where.c_str());
        clients_.push_back(std::move(c));
    }
}

void server::read_from(client &c) {
    char buf[READ_CHUNK];
    const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
        c.pending.append(buf, (size_t)n);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        c.gone = true;
    }
}

void server::take_input(client &c, int64_t now) {
    if (c.pending.empty() || !c.session->budget_left() || c.session->close) return;
    station_->refresh();
    tell(nullptr);  // what changed elsewhere first, so that it is not taken for this client's doing
    const size_t used = c.session->feed(c.pending.data(), c.pending.size(), now);
    c.pending.erase(0, used);
    tell(c.session.get());
}

void server::tell(const net_session *origin) {
    const std::vector<loco_change> changes = station_->take_changes();
    const bool power = station_->take_power_change();
    const bool roster = station_->take_roster_change();
    if (changes.empty() && !power && !roster) return;
    for (const auto &c : clients_) {
        const bool own = c->session.get() == origin;
        if (!changes.empty()) c->session->tell_changes(changes, own);
        if (power) c->session->tell_power(own);
        if (roster) c->session->tell_roster();
    }
}

void server::write_to(client &c) {
    while (!c.session->out.empty()) {
        const ssize_t n =
            send(c.fd, c.session->out.data(), c.session->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.session->out.erase(0, (size_t)n);
        } else {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.gone = true;
            break;
        }
    }
    if (c.session->out.size() > MAX_BACKLOG) {
        ESP_LOGW(TAG, "%s client %s does not read what it is sent: dropped", name_of(c.protocol),
                 c.session->name.c_str());
        c.gone = true;
    }
    if (c.session->close && c.session->out.empty()) c.gone = true;
}

void server::publish() {
    std::vector<net_throttle> list;
    for (const auto &c : clients_)
        list.push_back({name_of(c->protocol), c->session->name, c->session->driving()});
    if (list == published_) return;
    published_ = list;
    std::lock_guard<std::mutex> lock(g_list_lock);
    g_list = std::move(list);
}

void server::run() {
    int64_t next_tick = now_ms() + TICK_MS;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        for (const listener &l : listeners_)
            fds.push_back({l.fd, POLLIN, 0});
        for (const auto &c : clients_) {
            short events = 0;
            if (c->pending.empty() && c->session->budget_left() && !c->session->close) events |= POLLIN;
            if (!c->session->out.empty()) events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
        }
        const int64_t wait = clients_.empty() ? -1 : std::max<int64_t>(0, next_tick - now_ms());
        if (poll(fds.data(), fds.size(), (int)wait) < 0 && errno != EINTR) {
            ESP_LOGE(TAG, "poll failed: %s", strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(TICK_MS));
        }
        const int64_t now = now_ms();
        for (size_t i = 0; i < listeners_.size(); i++)
            if (fds[i].revents & POLLIN) accept_from(listeners_[i], now);
        const size_t first_client = listeners_.size();
        for (size_t i = first_client; i < fds.size(); i++) {
            client &c = *clients_[i - first_client];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) read_from(c);
        }
        if (!clients_.empty() && now >= next_tick) {
            next_tick = now + TICK_MS;
            station_->refresh();
            for (const auto &c : clients_) {
                c->session->refill();
                c->session->tick(now);
            }
            tell(nullptr);
        }
        for (const auto &c : clients_)
            if (!c->gone) take_input(*c, now);
        for (const auto &c : clients_)
            if (!c->gone) write_to(*c);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if ((*it)->gone) {
                ESP_LOGI(TAG, "%s client %s disconnected", name_of((*it)->protocol),
                         (*it)->session->name.c_str());
                close((*it)->fd);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
        publish();
        if (clients_.empty()) next_tick = now + TICK_MS;
    }
}

// A listening socket on `at`, or -1 with `error`.
int listen_on(const net_address &at, const char *what, std::string *error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)at.port);
    inet_pton(AF_INET, at.host.c_str(), &addr.sin_addr);
    const int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, MAX_CLIENTS) != 0) {
        *error = std::string("cannot listen for ") + what + " clients on " + at.host + ":" +
                 std::to_string(at.port) + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

int port_of(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, (sockaddr *)&addr, &len);
    return ntohs(addr.sin_port);
}

}  // namespace

bool net_is_loopback(const std::string &host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string net_exposure_warning(const std::string &what, const std::string &host) {
    return "The " + what + " listens on " + host +
           ": anyone on that network can drive and program the decoder";
}

bool net_parse_address(const std::string &text, net_address *address, std::string *error) {
    std::string host = address->host, port;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    } else if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        port = text;
    } else {
        host = text;
    }
    if (host == "localhost") host = "127.0.0.1";
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
        *error = "'" + text +
                 "' names no IPv4 address to listen on (give HOST:PORT, PORT or HOST, as 127.0.0.1:2560)";
        return false;
    }
    if (colon != std::string::npos || !port.empty()) {
        long p;
        if (!net_number(port, &p) || p < 0 || p > 65535) {
            *error = "'" + text + "' has no port from 0 to 65535";
            return false;
        }
        address->port = (int)p;
    }
    address->host = host;
    return true;
}

bool net_start(const net_options &o, std::string *error) {
    esp_log_level_set(TAG, ESP_LOG_INFO);
    std::vector<listener> listeners;
    int dccex_port = 0, withrottle_port = 0;
    struct wanted {
        bool on;
        const net_address &at;
        protocol_t protocol;
        int *port;
        const char *hint;
    };
    for (const wanted &w : {wanted{o.dccex, o.dccex_at, DCCEX, &dccex_port, " (JMRI: DCC++ Ethernet)"},
                            wanted{o.withrottle, o.withrottle_at, WITHROTTLE, &withrottle_port, ""}}) {
        if (!w.on) continue;
        const int fd = listen_on(w.at, name_of(w.protocol), error);
        if (fd < 0) {
            for (const listener &l : listeners)
                close(l.fd);
            return false;
        }
        listeners.push_back({fd, w.protocol});
        *w.port = port_of(fd);
        ESP_LOGI(TAG, "%s server at %s:%d%s", name_of(w.protocol), w.at.host.c_str(), *w.port, w.hint);
        if (!net_is_loopback(w.at.host))
            ESP_LOGW(TAG, "%s",
                     net_exposure_warning(std::string(name_of(w.protocol)) + " server", w.at.host).c_str());
    }
    if (listeners.empty()) return true;
    std::thread([l = std::move(listeners)]() mutable {
        pthread_setname_np(pthread_self(), "net");
        server(std::move(l)).run();
    }).detach();
    if (o.announce) {
        if ((o.dccex && net_is_loopback(o.dccex_at.host)) ||
            (o.withrottle && net_is_loopback(o.withrottle_at.host)))
            ESP_LOGW(
                TAG,
                "Announcing servers that listen on this machine only: other machines see them and cannot "
                "connect (serve them with 0.0.0.0:PORT)");
        net_announce(dccex_port, withrottle_port);
    }
    return true;
}

std::vector<net_throttle> net_throttles(void) {
    std::lock_guard<std::mutex> lock(g_list_lock);
    return g_list;
}
