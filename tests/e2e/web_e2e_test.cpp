// The web panel's server against hostile and greedy clients, with the real binary on the demo:
// garbage and oversized requests, pages of other origins, malformed and oversized messages and
// a flood of commands. Throughout, the decoder keeps its sound (the recording grows in real
// time) and keeps answering its pages and its console; eight pages get the sound at once. Then
// stalled clients are closed, and with more pages open than a person opens, one more still gets in.
#include <arpa/inet.h>
#include <civetweb.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "emulator_process.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// A TCP connection to the panel that has sent `request`; its reads time out after a second.
int raw_connect(int port, const std::string &request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += (size_t)n;
    }
    return fd;
}

// What comes on `fd` until the server closes it (then `*closed`) or `limit` passes.
std::string read_all(int fd, std::chrono::seconds limit, bool *closed = nullptr) {
    std::string got;
    char buf[4096];
    for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) got.append(buf, (size_t)n);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (closed != nullptr) *closed = true;
            break;
        }
    }
    return got;
}

// Sends `request` on a fresh TCP connection and returns what comes back within a second.
std::string raw_exchange(int port, const std::string &request) {
    const int fd = raw_connect(port, request);
    if (fd < 0) return "(no connection)";
    const std::string reply = read_all(fd, 1s);
    close(fd);
    return reply;
}

// A WebSocket opened by hand: the socket once the server has answered the upgrade, else -1.
int raw_page(int port) {
    const std::string at = "127.0.0.1:" + std::to_string(port);
    const int fd = raw_connect(
        port, "GET /ws HTTP/1.1\r\nHost: " + at + "\r\nOrigin: http://" + at +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: AQIDBAUGBwgJCgsMDQ4PEA==\r\n\r\n");
    char head[12] = {};
    if (fd >= 0 && recv(fd, head, sizeof head, MSG_WAITALL) == 12 && memcmp(head, "HTTP/1.1 101", 12) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// A page's connection, made with CivetWeb's own client: the messages it received.
class Page {
public:
    Page(int port, const std::string &origin) {
        char error[256] = {};
        conn_ = mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, "/ws", origin.c_str(),
                                            on_data, on_close, this);
        error_ = error;
    }
    // Also after the server closed it: this joins the client's thread.
    ~Page() {
        if (conn_ != nullptr) mg_close_connection(conn_);
    }
    bool connected() const { return conn_ != nullptr; }
    const std::string &error() const { return error_; }
    void send(const std::string &text, int opcode = MG_WEBSOCKET_OPCODE_TEXT) {
        mg_websocket_client_write(conn_, opcode, text.data(), text.size());
    }
    // Waits for a text message that `match` accepts.
    json wait_for(const std::function<bool(const json &)> &match, std::chrono::milliseconds timeout = 5s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (size_t seen = 0; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(10ms)) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (; seen < texts_.size(); seen++)
                if (match(texts_[seen])) return texts_[seen];
        }
        return nullptr;
    }
    json wait_error(const std::string &says) {
        return wait_for([&](const json &m) {
            return m["type"] == "error" && m["message"].get<std::string>().find(says) != std::string::npos;
        });
    }
    int errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const json &m : texts_)
            n += m["type"] == "error";
        return n;
    }
    int frames() const { return frames_.load(); }
    bool closed() const { return closed_.load(); }

private:
    static int on_data(mg_connection *, int flags, char *data, size_t len, void *user) {
        auto *p = static_cast<Page *>(user);
        if ((flags & 0x0F) == MG_WEBSOCKET_OPCODE_BINARY) {
            if (len > 20 && memcmp(data, "PCM1", 4) == 0) p->frames_++;
        } else if ((flags & 0x0F) == MG_WEBSOCKET_OPCODE_TEXT) {
            json m = json::parse(std::string(data, len), nullptr, false);
            std::lock_guard<std::mutex> lock(p->mutex_);
            p->texts_.push_back(std::move(m));
        }
        return 1;
    }
    static void on_close(const mg_connection *, void *user) { static_cast<Page *>(user)->closed_ = true; }

    mg_connection *conn_ = nullptr;
    std::string error_;
    std::mutex mutex_;
    std::vector<json> texts_;
    std::atomic<int> frames_{0};
    std::atomic<bool> closed_{false};
};

uintmax_t file_size_or_0(const std::filesystem::path &p) {
    std::error_code ec;
    const uintmax_t n = std::filesystem::file_size(p, ec);
    return ec ? 0 : n;
}

TEST(WebE2e, HostileClientsNeitherSilenceNorStopTheDecoder) {
    mg_init_library(0);
    TempFolder dir;
    std::filesystem::copy(std::string(TEST_SOURCE_DIR) + "/demo", dir.path(),
                          std::filesystem::copy_options::recursive);
    dir.write("data/1/Notiz_\xe4.txt", "a name in Latin-1: the check's reply must still go out");
    const auto rec = dir.path() / "take.wav";
    EmulatorProcess emu(dir.path(), {"--web", "127.0.0.1:0", "--no-sound", "--record", rec.string()});
    const int at = emu.wait_for("WEB: Panel at http://127.0.0.1:");
    ASSERT_GE(at, 0) << emu.dump();
    std::smatch m;
    const std::string line = emu.lines()[(size_t)at].text;
    ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(127\.0\.0\.1:(\d+)/)"))) << line;
    const int port = std::stoi(m[1]);
    ASSERT_GE(emu.wait_for("Slot 1 loaded"), 0) << emu.dump();
    const std::string origin = "http://127.0.0.1";  // CivetWeb's client names the host without the port

    // Requests: the page is served, nothing else is.
    EXPECT_NE(raw_exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").find("200 OK"), std::string::npos);
    EXPECT_NE(raw_exchange(port, "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n").find(" 404 "),
              std::string::npos);
    EXPECT_NE(raw_exchange(port, "GET /ws HTTP/1.1\r\nHost: x\r\n\r\n").find(" 404 "), std::string::npos);
    EXPECT_NE(raw_exchange(port, "DELETE /index.html HTTP/1.1\r\nHost: x\r\n\r\n").find(" 405 "),
              std::string::npos);
    EXPECT_EQ(raw_exchange(port, std::string("GET / HTTP/1.1\r\nHost: x\r\nX: ") + std::string(100000, 'a') +
                                     "\r\n\r\n")
                  .find("200 OK"),
              std::string::npos);
    std::string garbage(20000, '\0');
    for (size_t i = 0; i < garbage.size(); i++)
        garbage[i] = (char)(i * 7919 % 251);
    EXPECT_EQ(raw_exchange(port, garbage).find("200 OK"), std::string::npos);

    // Pages of another site get no connection.
    EXPECT_FALSE(Page(port, "http://evil.example").connected());
    EXPECT_NE(emu.wait_for("Refused a connection from a page of another site"), -1);

    // Malformed messages: each refused with its reason, the connection kept.
    Page bad(port, origin);
    ASSERT_TRUE(bad.connected()) << bad.error();
    ASSERT_FALSE(bad.wait_for([](const json &m) { return m["type"] == "state"; }).is_null());
    bad.send("f1");
    EXPECT_FALSE(bad.wait_error("not a JSON object").is_null());
    bad.send("\x01\x02\x03", MG_WEBSOCKET_OPCODE_BINARY);
    EXPECT_FALSE(bad.wait_error("only JSON text messages").is_null());
    bad.send(R"({"type":"function","fn":99,"on":true})");
    EXPECT_FALSE(bad.wait_error("'fn' must be a whole number from 0 to 68, not 99").is_null());
    bad.send(R"({"type":"cv_write","cv":3,"value":300})");
    EXPECT_FALSE(bad.wait_error("'value' must be a whole number from 0 to 255, not 300").is_null());
    // A stream of them gets a few answers a second; the rest go unanswered, with one log line.
    const int answered = bad.errors();
    for (int i = 0; i < 100; i++)
        bad.send("f1");
    EXPECT_GE(emu.wait_for("sends invalid messages faster"), 0) << emu.dump();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(bad.errors() - answered, 10);
    EXPECT_FALSE(bad.closed());

    // An oversized message: refused, and that connection closed.
    Page big(port, origin);
    ASSERT_TRUE(big.connected());
    big.send(std::string(1 << 20, 'x'));
    EXPECT_FALSE(big.wait_error("too long").is_null());
    for (int i = 0; i < 200 && !big.closed(); i++)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(big.closed());

    // A flood: 3000 switches as fast as they can be sent. Most are refused; the decoder goes on.
    const auto flood_size_before = file_size_or_0(rec);
    Page flood(port, origin);
    ASSERT_TRUE(flood.connected());
    for (int i = 0; i < 3000; i++)
        flood.send(std::string(R"({"type":"function","fn":3,"on":)") + (i % 2 ? "true" : "false") + "}");
    EXPECT_FALSE(flood.wait_error("too many requests").is_null());
    EXPECT_LE(flood.errors(), 10) << "a refusal is told once a second, not for every message";

    // Eight pages with their sound, and the decoder answering all of them and its console.
    std::vector<std::unique_ptr<Page>> pages;
    for (int i = 0; i < 8; i++) {
        pages.push_back(std::make_unique<Page>(port, origin));
        ASSERT_TRUE(pages.back()->connected());
        pages.back()->send(R"({"type":"audio","on":true})");
    }
    std::this_thread::sleep_for(500ms);
    std::vector<int> before;
    for (auto &p : pages)
        before.push_back(p->frames());
    const auto size_before = file_size_or_0(rec);
    const auto t0 = std::chrono::steady_clock::now();
    pages[0]->send(R"({"type":"function","fn":2,"on":true})");
    EXPECT_FALSE(pages[0]
                     ->wait_for([](const json &m) {
                         if (m["type"] != "delta" || !m["set"].contains("play")) return false;
                         for (const auto &[id, p] : m["set"]["play"].items())
                             if (p.is_object() && p["file"] == "F2_ON.wav" && p["role"] == "ON") return true;
                         return false;
                     })
                     .is_null())
        << "the horn's ON sound shows as playing";
    emu.send("cv3?");
    EXPECT_GE(emu.wait_for("DCC_HL: CV3="), 0) << emu.dump();
    pages[7]->send(R"({"type":"cv_read","cv":203})");
    EXPECT_FALSE(
        pages[7]->wait_for([](const json &m) { return m["type"] == "cv" && m["value"] == 255; }).is_null());
    for (auto &p : pages)
        EXPECT_FALSE(p->wait_for([](const json &m) {
                          return m["type"] == "delta" && m["set"].contains("fn") &&
                                 m["set"]["fn"].contains("2");
                      }).is_null());
    std::this_thread::sleep_for(3s);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double audio_s = (double)(file_size_or_0(rec) - size_before) / 2 / 32000;
    // The decoder's own sound keeps real time (the recording is paced by the sound output).
    EXPECT_NEAR(audio_s, wall, 0.3 * wall) << "seconds of sound in " << wall << " s";
    EXPECT_GT(size_before, flood_size_before);
    for (size_t i = 0; i < pages.size(); i++)
        EXPECT_GE(pages[i]->frames() - before[i], 25) << "page " << i << " in about 3.5 s";
    EXPECT_TRUE(emu.running());
    EXPECT_EQ(emu.count("E ("), 0) << emu.dump();

    // The project check reloads the slot: the reload stays in the decoder's log, as any reload
    // does; the check's own parsing of the text files does not go there.
    const size_t from = emu.lines().size();
    const int cv_parses = emu.count("Parsing CV file");
    pages[1]->send(R"({"type":"check"})");
    const json check = pages[1]->wait_for([](const json &m) { return m["type"] == "check"; }, 60s);
    ASSERT_FALSE(check.is_null());
    EXPECT_NE(check["text"].get<std::string>().find(" files, "), std::string::npos) << check.dump();
    EXPECT_NE(check["text"].get<std::string>().find("Notiz_\\xe4.txt"), std::string::npos) << check.dump();
    EXPECT_GE(emu.wait_for("Slot 1 loaded", 10s, from), 0) << emu.dump();
    // The reload parses the CV file at most once; the check parses each of its five lines alone.
    EXPECT_LE(emu.count("Parsing CV file") - cv_parses, 1) << "the check's own parsing reached the log";

    // 400 MB announced, nothing of it sent: refused at once with close code 1009.
    const int huge = raw_page(port);
    ASSERT_GE(huge, 0);
    send(huge, "\x81\xFF\0\0\0\0\x17\xD7\x84\0mask", 14, MSG_NOSIGNAL);
    bool closed = false;
    EXPECT_NE(read_all(huge, 10s, &closed).find("\x88\x02\x03\xF1"), std::string::npos) << "close code 1009";
    EXPECT_TRUE(closed);
    // A frame begun and never finished, and a request never finished: both closed in time.
    const int stalled = raw_page(port), loris = raw_connect(port, "GET / HTTP/1.1\r\nHost: x\r\n");
    send(stalled, "\x81\xE4maskxx", 8, MSG_NOSIGNAL);
    for (const int fd : {huge, stalled, loris}) {
        closed = false;
        read_all(fd, 30s, &closed);
        EXPECT_TRUE(closed) << "a client stalled half-way";
        close(fd);
    }
    // More pages than a person opens: one more page and a request are still answered.
    std::vector<int> held;
    for (int i = 0; i < 40; i++) {
        held.push_back(raw_page(port));
        ASSERT_GE(held.back(), 0) << "page " << i;
    }
    Page page(port, origin);
    ASSERT_TRUE(page.connected()) << page.error();
    EXPECT_FALSE(page.wait_for([](const json &m) { return m["type"] == "state"; }).is_null());
    EXPECT_NE(raw_exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").find("200 OK"), std::string::npos);
    for (const int fd : held)
        close(fd);
}

TEST(WebE2e, RefusedWithRenderAndCheckAndOnABadAddress) {
    TempFolder dir;
    std::string out, err;
    dir.write("drive.txt", "wait 0.1\n");
    EXPECT_EQ(run_emulator(dir.path(), {"--script", "drive.txt", "--render", "r.wav", "--web"}, &out, &err),
              2);
    EXPECT_NE(err.find("--web shows a decoder running in real time; leave it out of --render"),
              std::string::npos)
        << err;
    EXPECT_EQ(run_emulator(dir.path(), {"--check", "--web"}, &out, &err), 2);
    EXPECT_NE(err.find("leave it out of --check"), std::string::npos) << err;
    EXPECT_EQ(run_emulator(dir.path(), {"--web", "example.com:80"}, &out, &err), 2);
    EXPECT_NE(err.find("IPv4 address"), std::string::npos) << err;
    EXPECT_EQ(run_emulator(dir.path(), {"--web", "127.0.0.1:70000"}, &out, &err), 2);
    EXPECT_NE(err.find("port from 0 to 65535"), std::string::npos) << err;

    // A port another program holds: a clear message, before any sound starts.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(fd, (sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    ASSERT_EQ(getsockname(fd, (sockaddr *)&addr, &len), 0);
    const std::string taken = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    EXPECT_EQ(run_emulator(dir.path(), {"--web", taken, "--no-sound"}, &out, &err), 2);
    EXPECT_NE(err.find("cannot serve the panel on " + taken), std::string::npos) << err;
    close(fd);
}

}  // namespace
