// What simulated time guarantees: a render is the same file and the same log on every run, also
// with the machine busy; and it plays what a real-time run of the same script plays, at the same
// times, with a recording of the same length.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "hostile_folder.h"
#include "log_line.h"
#include "render.h"

namespace {

// How far a real-time run's track lines may lie from the render's. A sanitizer-instrumented
// emulator runs several times slower and, in real time, misses the mixer's cycle at its first
// transitions: its track ends come one buffer (64 ms) late, which is its cost, not the render's.
#ifdef INSTRUMENTED_EMULATOR
constexpr int64_t REAL_TIME_SLACK_MS = 30 + 64;
#else
constexpr int64_t REAL_TIME_SLACK_MS = 30;
#endif

std::string read_text(const std::filesystem::path &p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Processes that keep both cores busy while they live. They end with the test program, also
// when it is killed (a time-out, Ctrl+C), and after five minutes at most: left over, they would
// hold the machine's cores for ever.
class BusyCores {
public:
    BusyCores() {
        const pid_t parent = getpid();
        for (int i = 0; i < 2; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                // The parent may have ended before the line above.
                if (getppid() != parent) _exit(0);
                alarm(300);
                volatile unsigned long n = 0;
                for (;;)
                    n = n + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyCores() {
        for (pid_t p : pids_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

void expect_same(const Render &a, const Render &b, const std::string &what) {
    EXPECT_EQ(a.status, 0) << what << "\n" << a.dump();
    EXPECT_EQ(a.lines, b.lines) << what << ": the logs differ";
    EXPECT_TRUE(a.audio == b.audio) << what << ": the recordings differ";
    EXPECT_GT(a.audio.size(), 0u) << what;
}

TEST(SimulatedTime, TheSameDriveGivesTheSameBytes) {
    TempFolder dir;
    std::filesystem::copy(std::string(TEST_SOURCE_DIR) + "/demo", dir.path(),
                          std::filesystem::copy_options::recursive);
    const std::string tour = read_text(dir.path() / "tour.txt");
    const Render first = render(dir.path(), tour);
    Render busy;
    {
        BusyCores load;
        busy = render(dir.path(), tour);
    }
    expect_same(first, busy, "the demo tour, the second time with both cores loaded");
    EXPECT_GT(first.length_ms(), 100000) << "the tour lasts about two minutes";
    // The seed is the one source of the firmware's random choices: another seed, other choices.
    const Render other = render(dir.path(), tour, {"--seed", "2"});
    EXPECT_EQ(other.status, 0) << other.dump();
    EXPECT_NE(first.lines, other.lines) << "--seed 2 chose exactly as the default seed";
    EXPECT_EQ(render(dir.path(), tour, {"--seed", "1"}).lines, first.lines) << "the default seed is 1";

    // The hostile project, with every key pressed, speeds, emergency stops and a slot switch.
    Project hostile;
    hostile::make_hostile_folder(hostile.path() / "data/1", true);
    hostile::make_hostile_folder(hostile.path() / "data/2", false);
    std::string script = "wait 0.5\nf1\ns50\n";
    for (int f = 0; f <= 68; f++) {
        script += "f" + std::to_string(f) + "\n";
        if (f % 10 == 5) script += "s" + std::to_string(f % 2 ? -f : f) + "\nwait 0.3\n";
        if (f % 17 == 16) script += "estop\nwait 0.2\n";
    }
    script += "wait 2\ns100\nwait 3\ncv202=2\nwait 1\n";
    for (int f = 0; f <= 68; f++)
        script += "m" + std::to_string((f * 7) % 69) + "\n";
    script += "s0\nwait 4\n";
    const Render h1 = render(hostile.path(), script);
    Render h2;
    {
        BusyCores load;
        h2 = render(hostile.path(), script);
    }
    expect_same(h1, h2, "the hostile project");
    EXPECT_GT(h1.count("AUDIO_TRACK: Play "), 10) << h1.dump();
}

// One kind of line ("Play " or "End of ") with its time: the text after the tag, and the stamp.
std::vector<std::pair<std::string, int64_t>> events(const Render &r, const std::string &kind) {
    std::vector<std::pair<std::string, int64_t>> out;
    LogLine parsed;
    for (const auto &l : r.lines) {
        const size_t at = l.find(kind);
        if (at != std::string::npos && parse_log_line(l, &parsed)) out.push_back({l.substr(at), parsed.ms});
    }
    return out;
}

// The differences between a render and a real-time run of one script: the same tracks must start
// and end in the same order ("Play" and "End of" lines, each kind in its order) within
// REAL_TIME_SLACK_MS of each other, and the two recordings must be of one length (within 0.5 %). Empty when
// they agree.
std::string differences(const Render &sim, const Render &real) {
    std::string d;
    for (const char *kind : {"Play ", "End of "}) {
        const auto s = events(sim, kind), r = events(real, kind);
        if (s.size() != r.size()) {
            d += std::string(kind) + ": " + std::to_string(s.size()) + " lines against " +
                 std::to_string(r.size()) + "\n";
            continue;
        }
        for (size_t i = 0; i < s.size(); i++) {
            if (s[i].first != r[i].first || std::llabs(s[i].second - r[i].second) > REAL_TIME_SLACK_MS)
                d += s[i].first + " at " + std::to_string(s[i].second) + " ms against " + r[i].first +
                     " at " + std::to_string(r[i].second) + " ms\n";
        }
    }
    const double a = (double)sim.audio.size(), b = (double)real.audio.size();
    if (std::abs(a - b) > 0.005 * b)
        d += "recordings of " + std::to_string(a / 32) + " and " + std::to_string(b / 32) + " ms\n";
    return d;
}

// A render against a real-time run of the same 20 s drive, on a project without random choices.
// Track ends in real time come when a reader hands over sound; on a machine busy with other
// work a reader can miss the mixer's cycle and its end then comes a buffer (64 ms) late. That is
// the real-time run's noise, not the render's: the real-time run gets three tries.
TEST(SimulatedTime, ARenderPlaysWhatARealTimeRunPlays) {
    Project p;
    // The drive-off sound's end falls between two speed updates (100 ms apart), not within a
    // real-time run's jitter of one: which side of an update it falls on decides when the idle
    // level comes back.
    p.drive_on_f1(0.95);
    p.tones({{"F2_ON.ogg", 0.6, 700}, {"F2_LOOP.wav", 0.5, 800}, {"F2_OFF.wav", 0.4, 900}});
    const std::string script =
        "wait 0.7\nf1\nwait 2.5\ns50\nwait 5\nf2\nwait 1.5\nf2\nwait 2\ns0\nwait 6\nf1\nwait 2.3\n";
    const Render sim = render(p.path(), script);
    ASSERT_EQ(sim.status, 0) << sim.dump();
    ASSERT_GT(events(sim, "Play ").size(), 8u) << sim.dump();
    // The drive-off sound ends before the stand (its speed is reckoned less a fade); the braking
    // goes on and must not play it again. Played twice, the runs differed on which side of a
    // speed update its end fell.
    EXPECT_EQ(events(sim, "(DRVOFF)").size(), 1u) << sim.dump();
    std::string diff;
    for (int attempt = 0; attempt < 3; attempt++) {
        const Render real = play_in_real_time(p.path(), script);
        ASSERT_EQ(real.status, 0) << real.dump();
        diff = differences(sim, real);
        if (diff.empty()) break;
        diff += "simulated:\n" + sim.dump() + "real time:\n" + real.dump();
    }
    EXPECT_EQ(diff, "");
}

}  // namespace
