// The emulator as a command station on the network, with the real binary in real time: JMRI
// DecoderPro, a JMRI throttle, Engine Driver in native mode and over WiThrottle, each played by
// the exchanges those clients make, and hostile clients. What is checked is what the decoder
// did: its log, and what was heard (a slot the test writes: an engine on F1 whose running level
// sounds 400 Hz, a momentary horn on F2 at 1000 Hz).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "audio_files.h"
#include "log_line.h"
#include "render.h"

namespace {

using namespace std::chrono_literals;
constexpr double ENGINE_RUNNING_HZ = 400, RUNNING_LEVEL_ON_HZ = 450, HORN_HZ = 1000;

// A client's connection: what it sends, and waits for what it is sent.
class Client {
public:
    explicit Client(int port, int receive_buffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, (sockaddr *)&a, sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    // False when the server no longer takes anything (it closed the connection).
    bool send(const std::string &text, bool wait = true) {
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n =
                ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
            if (n <= 0) return !wait && n < 0 && errno == EAGAIN;
            sent += (size_t)n;
        }
        return true;
    }
    // Waits until `text` arrives after the last thing waited for; true when it did.
    bool wait_for(const std::string &text, std::chrono::milliseconds timeout = 5s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t at = got_.find(text, from_);
            if (at != std::string::npos) {
                from_ = at + text.size();
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !receive((int)left.count())) return false;
        }
    }
    bool ask(const std::string &text, const std::string &reply) { return send(text) && wait_for(reply); }
    // True when the server closes the connection within `timeout`.
    bool closed_within(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end)
            if (!receive(50) && eof_) return true;
        return false;
    }

private:
    bool receive(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[65536];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        got_.append(buf, (size_t)n);
        return true;
    }

    int fd_ = -1;
    std::string got_;
    size_t from_ = 0;
    bool eof_ = false;
};

// The emulator on a slot made for these tests, serving both protocols on free ports, with what
// it plays recorded.
class Station {
public:
    Station() {
        p_.drive_on_f1(0.6);
        p_.tone("F2_LOOP.wav", 0.5, HORN_HZ);
        p_.text("data/1/functions.txt", "1:NetLoco\nF0:1:Light\nF1:2:Engine\nF2:8M:Horn\n");
        emu_ = std::make_unique<EmulatorProcess>(
            p_.path(), std::vector<std::string>{"--no-sound", "--record", wav().string(), "--dccex",
                                                "127.0.0.1:0", "--withrottle", "127.0.0.1:0"});
        dccex = port_of("DCC-EX server at 127.0.0.1:");
        withrottle = port_of("WiThrottle server at 127.0.0.1:");
        loaded = emu_->wait_for("Slot 1 loaded") >= 0;
    }
    EmulatorProcess &emu() { return *emu_; }
    // Ends the run; the log and what was heard.
    Render finish() {
        emu_->stop();
        Render r;
        for (const OutputLine &l : emu_->lines())
            r.lines.push_back(l.text);
        r.audio = test_support::read_wav(wav().string()).samples;
        return r;
    }
    // Waits for the first log line that holds `text`; its log time, or -1.
    int64_t logged(const std::string &text, std::chrono::milliseconds timeout = 5s) {
        const int at = emu_->wait_for(text, timeout);
        LogLine l;
        return at >= 0 && parse_log_line(emu_->lines()[(size_t)at].text, &l) ? l.ms : -1;
    }

    int dccex = -1, withrottle = -1;
    bool loaded = false;

private:
    std::filesystem::path wav() const { return p_.path() / "take.wav"; }
    int port_of(const std::string &prefix) {
        const int at = emu_->wait_for(prefix);
        if (at < 0) return -1;
        const std::string line = emu_->lines()[(size_t)at].text;
        return atoi(line.c_str() + line.find(prefix) + prefix.size());
    }

    Project p_;
    std::unique_ptr<EmulatorProcess> emu_;
};

#define ASSERT_STARTED(s) ASSERT_TRUE((s).loaded && (s).dccex > 0 && (s).withrottle > 0) << (s).emu().dump()

// Whether `freq` sounds anywhere from `from_ms` to `to_ms` of the recording.
bool heard_between(const Render &r, double freq, int64_t from_ms, int64_t to_ms) {
    const int64_t t = r.first_heard(freq, from_ms);
    return t >= 0 && t <= to_ms;
}

TEST(NetE2e, JmriDecoderProReadsAndWritesCvsOnBothTracks) {
    Station s;
    ASSERT_STARTED(s);
    Client jmri(s.dccex);
    ASSERT_TRUE(jmri.connected());
    // Start-up: status and the number of slots, within JMRI's 20 s.
    EXPECT_TRUE(jmri.ask("<s><#>", "<iDCC-EX V-5.0.0 / PC / EMULATOR G-0000000>\n<p1>\n<# 50>"));
    // Identification, and the configuration byte.
    EXPECT_TRUE(jmri.ask("<V 8 0>", "<v 8 172>"));
    EXPECT_TRUE(jmri.ask("<V 7 0>", "<v 7 255>"));
    EXPECT_TRUE(jmri.ask("<V 29 0>", "<v 29 10>"));
    // A write, a split frame, and a refusal.
    EXPECT_TRUE(jmri.ask("<W 3 10 0 87>", "<r0|87|3 10>"));
    EXPECT_GE(s.emu().wait_for("CV3=10"), 0);
    jmri.send("<W 4 2");
    EXPECT_TRUE(jmri.ask("0 0 87>", "<r0|87|4 20>"));
    EXPECT_TRUE(jmri.ask("<W 600 1 0 87><R 1025 0 82>", "<r0|87|600 -1>\n<r0|82|1025 -1>"));
    // Bit writes: the long address on and off again.
    EXPECT_TRUE(jmri.ask("<B 29 5 1 0 66>", "<r0|66|29 5 1>"));
    EXPECT_TRUE(jmri.ask("<R>", "<r 100>"));
    EXPECT_TRUE(jmri.ask("<B 29 5 0 0 66><R 29 0 82>", "<r0|66|29 5 0>\n<r0|82|29 10>"));
    // Programming on the main: only the decoder at that address takes it.
    EXPECT_TRUE(jmri.ask("<w 3 63 0><w 5 63 40><V 63 0>", "<v 63 0>"));
    EXPECT_GE(s.emu().wait_for("CV63=0"), 0);
    EXPECT_EQ(s.emu().count("CV63=40"), 0);
    // What the last write does: with no start delay left, the engine runs up at once.
    s.emu().send("f1");
    std::this_thread::sleep_for(1500ms);
    s.emu().send("s60");
    std::this_thread::sleep_for(1500ms);
    // s60: speed byte 77 in the reverse direction.
    const int64_t asked = s.logged("New speed 4d");
    const Render r = s.finish();
    ASSERT_GT(asked, 0) << r.dump();
    // The running level's ON track sounds once the motor passes 30 %: at once, not after a
    // second's delay.
    EXPECT_TRUE(heard_between(r, RUNNING_LEVEL_ON_HZ, asked, asked + 900))
        << "the start waited for its delay";
}

TEST(NetE2e, JmriThrottleDrivesSwitchesEveryKeyAndStops) {
    Station s;
    ASSERT_STARTED(s);
    Client jmri(s.dccex);
    jmri.send("<s>");
    ASSERT_TRUE(jmri.wait_for("<p1>"));
    EXPECT_TRUE(jmri.ask("<F 3 1 1>", "<l 3 0 0 2>"));
    std::this_thread::sleep_for(1500ms);
    // Step 60 forward: 48 % at the decoder (speed byte 62), after its start delay of a second.
    EXPECT_TRUE(jmri.ask("<t 1 3 60 1>", "<T 1 60 1>\n<l 3 0 189 2>"));
    const int64_t asked = s.logged("New speed 13e");
    std::this_thread::sleep_for(4000ms);
    // Every key on, then off again (F1 keeps the engine running).
    std::string on, off;
    for (int f = 0; f <= 68; f++) {
        on += "<F 3 " + std::to_string(f) + " 1>";
        if (f != 1) off += "<F 3 " + std::to_string(f) + " 0>";
    }
    jmri.send(on);
    EXPECT_TRUE(jmri.wait_for("<l 3 0 189 4294967295>"));
    jmri.send(off);
    EXPECT_TRUE(jmri.wait_for("<l 3 0 189 2>"));
    EXPECT_GE(s.emu().wait_for("Function 68 Changed to 0"), 0);
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(jmri.ask("<t 1 3 -1 1>", "<l 3 0 129 2>"));
    const int64_t stopped = s.logged("New speed 0");
    std::this_thread::sleep_for(2500ms);
    const Render r = s.finish();
    ASSERT_GT(asked, 0) << r.dump();
    ASSERT_GT(stopped, asked) << r.dump();
    EXPECT_EQ(r.count("Changed to 0"), 68) << "keys leave their reset state unlogged";
    EXPECT_FALSE(heard_between(r, ENGINE_RUNNING_HZ, 0, asked + 500)) << "running before the start delay";
    EXPECT_TRUE(heard_between(r, ENGINE_RUNNING_HZ, asked + 800, asked + 4000)) << "the engine never ran up";
    EXPECT_FALSE(heard_between(r, ENGINE_RUNNING_HZ, stopped + 1500, r.length_ms())) << "still running";
}

TEST(NetE2e, EngineDriverNativeModeFollowsOtherThrottlesAndTrackPower) {
    Station s;
    ASSERT_STARTED(s);
    Client ed(s.dccex);
    ed.send("<#> <s> <JR> <JT> <JA> <=>");
    EXPECT_TRUE(
        ed.wait_for("<# 50>\n<iDCC-EX V-5.0.0 / PC / EMULATOR G-0000000>\n<p1>\n<jR 3>\n<jT>\n<jA>\n"
                    "<= A MAIN>\n<= B PROG>"));
    EXPECT_TRUE(ed.ask("<JR 3>\n<t 3>\n", "<jR 3 \"NetLoco\" \"Light/Engine/*Horn\">\n<l 3 0 0 0>"));
    ed.send("<F 3 1 1>");
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(ed.ask("<t 3 40 1>", "<l 3 0 169 2>"));
    const int64_t pressed = s.logged("New speed 129");
    // The horn: Engine Driver sends the press and the release itself.
    EXPECT_TRUE(ed.ask("<F 3 2 1>", "<l 3 0 169 6>"));
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(ed.ask("<F 3 2 0>", "<l 3 0 169 2>"));
    const int64_t released = s.logged("Function 2 Changed to 0");
    EXPECT_TRUE(ed.ask("<R 29>", "<v 29 10>"));
    EXPECT_TRUE(ed.ask("<W 29 6>", "<r 29 6>"));
    // The console is another throttle: its speed reaches Engine Driver (s30: step 38, reverse).
    s.emu().send("s30");
    EXPECT_TRUE(ed.wait_for("<l 3 0 39 2>"));
    // Track power off: the packets stop, and a speed given meanwhile goes out once it is back.
    EXPECT_TRUE(ed.ask("<0>", "<p0>"));
    std::this_thread::sleep_for(300ms);
    const int before = s.emu().count("New speed");
    s.emu().send("s50");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(s.emu().count("New speed"), before) << "packets went out with the power off";
    EXPECT_TRUE(ed.ask("<1>", "<p1>"));
    EXPECT_GE(s.emu().wait_for("New speed 40", 2s), 0);
    std::this_thread::sleep_for(1500ms);
    const Render r = s.finish();
    ASSERT_GT(pressed, 0);
    ASSERT_GT(released, pressed);
    EXPECT_FALSE(heard_between(r, HORN_HZ, 0, pressed - 100));
    EXPECT_TRUE(heard_between(r, HORN_HZ, pressed, released)) << r.dump();
    EXPECT_FALSE(heard_between(r, HORN_HZ, released + 600, r.length_ms()));
}

TEST(NetE2e, EngineDriverOverWiThrottleDrivesAndBlowsTheHorn) {
    Station s;
    ASSERT_STARTED(s);
    Client ed(s.withrottle);
    EXPECT_TRUE(ed.ask("NEngine Driver\r\nHUe2e-test\r\n", "VN2.0\nRL1]\\[NetLoco}|{3}|{S\nPPA1\n"));
    EXPECT_TRUE(ed.wait_for("*10\n"));
    EXPECT_TRUE(ed.ask("M0+S3<;>S3\n*+\n", "M0+S3<;>\nM0LS3<;>]\\[Light]\\[Engine]\\[Horn]\\["));
    EXPECT_TRUE(ed.wait_for("M0AS3<;>F068\nM0AS3<;>V0\nM0AS3<;>R0\nM0AS3<;>s1\n"));
    ed.send("M0AS3<;>F11\rM0AS3<;>F01\r");  // a latching key: the press switches, the release does nothing
    EXPECT_TRUE(ed.wait_for("M0AS3<;>F11\n"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(ed.ask("M0A*<;>R1\nM0A*<;>V40\nM0A*<;>qV\nM0A*<;>qR\n", "M0AS3<;>V40\nM0AS3<;>R1\n"));
    const int64_t pressed = s.logged("New speed 129");
    EXPECT_TRUE(ed.ask("M0AS3<;>F12\n", "M0AS3<;>F12\n"));
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(ed.ask("M0AS3<;>F02\n", "M0AS3<;>F02\n"));
    const int64_t released = s.logged("Function 2 Changed to 0");
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(ed.ask("M0A*<;>X\n", "M0AS3<;>V-1\n"));
    EXPECT_GE(s.emu().wait_for("New speed 0"), 0);
    EXPECT_TRUE(ed.ask("M0-*<;>r\nQ\n", "M0-S3<;>\n"));
    EXPECT_TRUE(ed.closed_within(2s));
    EXPECT_GE(s.emu().wait_for("WiThrottle client Engine Driver disconnected"), 0);
    const Render r = s.finish();
    ASSERT_GT(pressed, 0);
    EXPECT_EQ(r.count("Function 1 Changed"), 0) << "the release of a latching key switched it";
    EXPECT_FALSE(heard_between(r, HORN_HZ, 0, pressed - 100));
    EXPECT_TRUE(heard_between(r, HORN_HZ, pressed, released)) << r.dump();
    EXPECT_FALSE(heard_between(r, HORN_HZ, released + 600, r.length_ms()));
}

TEST(NetE2e, HostileClientsNeitherStallNorCrashTheStation) {
    Station s;
    ASSERT_STARTED(s);
    // Sixteen clients per server; the seventeenth is told so and closed.
    std::vector<std::unique_ptr<Client>> many;
    for (int i = 0; i < 16; i++) {
        many.push_back(std::make_unique<Client>(s.dccex));
        many.back()->send("<s>");
        ASSERT_TRUE(many.back()->wait_for("<p1>")) << i;
    }
    Client extra(s.dccex);
    EXPECT_TRUE(extra.wait_for("<* Too many clients: 16 are connected *>"));
    EXPECT_TRUE(extra.closed_within(2s));
    many.clear();
    std::this_thread::sleep_for(300ms);
    // Garbage, an endless frame and an endless line: dropped with one warning each.
    Client junk(s.dccex), long_frame(s.dccex), long_line(s.withrottle);
    std::string garbage(20000, '\0');
    for (size_t i = 0; i < garbage.size(); i++)
        garbage[i] = (char)(i * 7919 % 251);
    junk.send(garbage);
    long_frame.send("<" + std::string(100000, '9'));
    long_line.send(std::string(100000, 'M'));
    EXPECT_GE(s.emu().wait_for("dropped a frame longer than 256 bytes"), 0);
    EXPECT_GE(s.emu().wait_for("dropped a line longer than 512 bytes"), 0);
    // A client that floods and never reads is dropped; the others are served all along.
    Client greedy(s.dccex, 4096);
    Client fine(s.dccex);
    const std::string burst = [] {
        std::string b;
        for (int i = 0; i < 200; i++)
            b += "<JR 3>";
        return b;
    }();
    for (int i = 0; i < 4000 && s.emu().count("does not read") == 0; i++) {
        greedy.send(burst, false);
        if (i % 20 == 0) {
            fine.send("<t 3>");
            ASSERT_TRUE(fine.wait_for("<l 3 0 0 0>")) << "a greedy client held up the others";
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GE(s.emu().wait_for("does not read what it is sent: dropped", 10s), 0);
    s.emu().send("cv3=7");
    EXPECT_GE(s.emu().wait_for("CV3=7"), 0) << "the console stopped";
    EXPECT_TRUE(fine.ask("<V 3 0>", "<v 3 7>"));
    const Render r = s.finish();
    EXPECT_LE(r.count("dropped a frame"), 2) << "one warning per client";
    EXPECT_GT(r.length_ms(), 2000);
}

TEST(NetE2e, RefusedWithRenderCheckAndBadAddresses) {
    TempFolder dir;
    std::string out, err;
    EXPECT_EQ(run_emulator(dir.path(), {"--dccex", "--script", "x", "--render", "y.wav"}, &out, &err), 2);
    EXPECT_NE(err.find("leave them out of --render"), std::string::npos) << err;
    EXPECT_EQ(run_emulator(dir.path(), {"--withrottle", "300.1.2.3:5"}, &out, &err), 2);
    EXPECT_NE(err.find("names no IPv4 address"), std::string::npos) << err;
    EXPECT_EQ(run_emulator(dir.path(), {"--announce"}, &out, &err), 2);
    EXPECT_NE(err.find("give one of them"), std::string::npos) << err;
}

}  // namespace
