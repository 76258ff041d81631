// The timeline of a render (--timeline) and the comparison of two (--diff), with the real
// emulator on a small project: what the page's data says must be what the log says was played.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "render.h"

namespace {

const char *DRIVE = "wait 0.5\nf1\nwait 2\ns60\nwait 3\nf2\nwait 2\nf2\nwait 1\ns0\nwait 5\n";
constexpr double BUFFER_MS = 64;  // 4096 bytes at 32 kHz

// A project with a drive function on F1 and ON, LOOP and OFF tracks on F2, its ON `on_s` long.
void make(const Project &p, double on_s) {
    p.drive_on_f1(0.6);
    p.tones({{"F2_ON.wav", on_s, 700}, {"F2_LOOP.wav", 0.5, 800}, {"F2_OFF.wav", 0.4, 900}});
}

nlohmann::json read_json(const std::filesystem::path &f) {
    std::ifstream in(f);
    return nlohmann::json::parse(in);
}

Render diff(const std::filesystem::path &dir, const std::vector<std::string> &args) {
    Render r;
    std::string out;
    std::vector<std::string> all = {"--diff"};
    all.insert(all.end(), args.begin(), args.end());
    r.status = run_emulator(dir, all, &out, &r.errors);
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);)
        r.lines.push_back(l);
    return r;
}

}  // namespace

TEST(Timeline, NamesEveryTrackTheLogSaysPlayedWhereItWasHeard) {
    Project p;
    make(p, 0.5);
    const Render r = render(p.path(), DRIVE, {"--timeline", (p.path() / "take.html").string()});
    ASSERT_EQ(r.status, 0) << r.dump();
    const auto data = read_json(p.path() / "take.json");
    std::ifstream html(p.path() / "take.html");
    const std::string page((std::istreambuf_iterator<char>(html)), std::istreambuf_iterator<char>());
    EXPECT_NE(page.find("data/1/F2_ON.wav"), std::string::npos);
    EXPECT_EQ(page.find("@TIMELINE_DATA@"), std::string::npos);
    // Each "Play <track>" line has its play, heard from within a buffer of the line. The log's
    // "End of <track>" comes when the reader has decoded the file's end; readers work up to two
    // buffers ahead of the mixer, so the last sound is heard up to two buffers later.
    std::map<int, std::vector<nlohmann::json>> plays;
    for (const auto &pl : data["plays"])
        plays[pl["track"].get<int>()].push_back(pl);
    std::map<int, size_t> next, ended;
    const std::regex play_re(R"(\((\d+)\) AUDIO_TRACK: Play (\d+)\()"),
        end_re(R"(\((\d+)\) SOUND_HL: End of (\d+))");
    int seen = 0;
    for (const std::string &l : r.lines) {
        std::smatch m;
        if (std::regex_search(l, m, play_re)) {
            const int t = std::stoi(m[1]), track = std::stoi(m[2]);
            ASSERT_LT(next[track], plays[track].size()) << "no play of track " << track << " at " << t;
            const auto &pl = plays[track][next[track]++];
            EXPECT_TRUE(pl["heard"].get<bool>()) << pl;
            EXPECT_NEAR(pl["start"].get<double>(), t + BUFFER_MS / 2, BUFFER_MS / 2) << pl;
            EXPECT_FALSE(pl["file"].get<std::string>().empty());
            EXPECT_FALSE(pl["role"].get<std::string>().empty());
            seen++;
        } else if (std::regex_search(l, m, end_re)) {
            const int t = std::stoi(m[1]), track = std::stoi(m[2]);
            ASSERT_LT(ended[track], next[track]) << l;
            const auto &pl = plays[track][ended[track]++];
            EXPECT_NEAR(pl["end"].get<double>(), t + BUFFER_MS, BUFFER_MS) << pl;
        }
    }
    EXPECT_GE(seen, 6) << r.dump();
    EXPECT_EQ((size_t)seen, data["plays"].size());
    EXPECT_EQ(data["plays"][0]["role"], "level 1 ON");
}

TEST(Timeline, DiffNamesTheOneTrackThatChanged) {
    Project a, b;
    make(a, 0.5);
    make(b, 1.0);  // a longer ON track
    for (const Project *p : {&a, &b})
        ASSERT_EQ(render(p->path(), DRIVE, {"--timeline", (p->path() / "take.html").string()}).status, 0);
    const std::string ja = (a.path() / "take.json").string(), jb = (b.path() / "take.json").string();

    const Render same = diff(a.path(), {ja, ja});
    EXPECT_EQ(same.status, 0) << same.dump();
    EXPECT_EQ(same.lines,
              std::vector<std::string>{"No differences: every track starts, ends and sounds as before."});

    // The ON track plays half a second longer; its LOOP starts that much later because of it, and
    // says so. Nothing else changes.
    const Render changed = diff(a.path(), {ja, jb, "--timeline", (a.path() / "diff.html").string()});
    EXPECT_EQ(changed.status, 1) << changed.dump();
    ASSERT_FALSE(changed.lines.empty());
    int longer = 0;
    for (const std::string &l : changed.lines) {
        if (l.rfind("data/1/F2_ON.wav: plays longer by ", 0) == 0)
            longer++;
        else
            EXPECT_NE(l.find("as data/1/F2_ON.wav before it ends later"), std::string::npos) << l;
    }
    EXPECT_EQ(longer, 1) << changed.dump();
    EXPECT_TRUE(std::filesystem::exists(a.path() / "diff.html"));

    // Not a timeline's data: no format, a buffer of no length, not JSON at all.
    a.text("no-format.json", "{\"plays\": []}");
    a.text("no-buffer.json", "{\"format\": \"dcc-sound-emu timeline 1\", \"buffer_ms\": 0, \"plays\": []}");
    for (const char *bad : {"no-format.json", "no-buffer.json", "take.wav"})
        EXPECT_EQ(diff(a.path(), {ja, (a.path() / bad).string()}).status, 2) << bad;
}
