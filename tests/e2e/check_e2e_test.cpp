// `emulator --check`: the demo's slots come out clean, and a project full of typical mistakes
// gets each warning and error with the file or line it concerns.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "audio_files.h"
#include "emulator_process.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct CheckRun {
    int status = -1;
    std::string out;
    std::string err;
};

CheckRun run_check(const fs::path &dir, const std::string &args) {
    std::vector<std::string> argv;
    std::istringstream words(args);
    for (std::string w; words >> w;)
        argv.push_back(w);
    CheckRun r;
    r.status = run_emulator(dir, argv, &r.out, &r.err);
    return r;
}

json run_json(const fs::path &dir, const std::string &args, int *status) {
    CheckRun r = run_check(dir, args + " --json");
    *status = r.status;
    EXPECT_TRUE(r.err.empty()) << r.err;
    return json::parse(r.out);
}

const json *file_entry(const json &report, const std::string &name) {
    for (const json &f : report["files"])
        if (f["name"] == name) return &f;
    return nullptr;
}

// Findings of one code: the files (and lines) they name.
std::vector<json> findings(const json &report, const char *list, const std::string &code) {
    std::vector<json> found;
    for (const json &f : report[list])
        if (f["code"] == code) found.push_back(f);
    return found;
}

bool has_finding(const json &report, const char *list, const std::string &code, const std::string &file) {
    for (const json &f : findings(report, list, code))
        if (f["file"] == file) return true;
    return false;
}

void write_tone(const fs::path &p, double seconds, uint32_t rate = 32000, uint16_t channels = 1) {
    fs::create_directories(p.parent_path());
    ASSERT_TRUE(test_support::write_pcm_wav(
        p.string(), test_support::tone(seconds, 440, rate, channels, 6000), rate, channels));
}

TEST(Check, DemoSlotsAreClean) {
    TempFolder dir;
    fs::copy(fs::path(TEST_SOURCE_DIR) / "demo", dir.path(), fs::copy_options::recursive);
    for (int slot : {1, 2}) {
        SCOPED_TRACE("slot " + std::to_string(slot));
        CheckRun text = run_check(dir.path(), "--check " + std::to_string(slot));
        EXPECT_EQ(text.status, 0) << text.out;
        int status = -1;
        const json r = run_json(dir.path(), "--check " + std::to_string(slot), &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(r["result"], "loaded successfully");
        EXPECT_TRUE(r["warnings"].empty()) << r["warnings"].dump(2);
        EXPECT_TRUE(r["errors"].empty()) << r["errors"].dump(2);
        // Sound files are used and text files read; the CV file is applied at every start, as a
        // real start-up does.
        for (const json &f : r["files"])
            EXPECT_TRUE(f["status"] == "used" || f["status"] == "read") << f.dump();
        const std::string summary = std::to_string(r["files"].size()) + " files, " +
                                    std::to_string(r["summary"]["functions"].get<int>()) +
                                    " functions, 0 warnings, 0 errors\n";
        EXPECT_TRUE(text.out.size() >= summary.size() &&
                    text.out.compare(text.out.size() - summary.size(), summary.size(), summary) == 0)
            << text.out;
    }
    // What an author of slot 1 reads: the chains, the drive sound, the logic in words.
    const std::string out = run_check(dir.path(), "--check").out;
    for (const char *line : {
             "F2      ON 0.8 s → LOOP 0.99 s → OFF 0.9 s",
             "F4      3 variants picked at random (A: ON 1.0 s; B: ON 2.0 s; C: ON 1.8 s)",
             "F8/F9   announcements 1..3 (F8 steps forward, F9 back), 3 with their \"next\" entries",
             "  level S30-55 %: ON F1_S30_ON.ogg, LOOP F1_S30_LOOP.wav, OFF F1_S30_OFF.ogg",
             "  START F1_START_D-800.ogg: plays 200 ms after a start from standstill",
             "  TURBO F1_S60_TURBO.ogg: while accelerating above 60 %",
             "      F10 plays 2.5 s whenever the speed drops by 15 %, only while moving",
             "      with the drive sound on, F11 plays 7.0 s every 20 to 60 s, only while standing",
             "  F0    F0_F, AUX2           F0_R, AUX2",
             "55 files, 10 functions, 0 warnings, 0 errors",
         })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

// Slot 1: one file or line per mistake. Slot 2: more than 100 audio files.
void make_mistakes(const fs::path &root) {
    const fs::path s = root / "data/1";
    // A drive sound whose S30 level has no LOOP, and whose START reaches before the start delay.
    write_tone(s / "F1_S0_LOOP.wav", 0.4);
    write_tone(s / "F1_S30_ON.wav", 0.2);
    write_tone(s / "F1_S30_OFF.wav", 0.2);
    write_tone(s / "F1_START_D-2000.wav", 0.3);
    // A complex-loop part without its number.
    write_tone(s / "F1_S50_P1000_LOOP.wav", 0.2);
    write_tone(s / "F2_LOPP.wav", 0.2);  // a typo: played once
    write_tone(s / "F3_ON.wav", 0.2);    // ON and OFF without LOOP
    write_tone(s / "F3_OFF.wav", 0.2);
    write_tone(s / "F4_ON.wav", 0.2, 32000, 2);  // stereo
    ASSERT_TRUE(
        test_support::sox("-n -r 32000 -c 1 " + (s / "F6_LOOP_T1500.ogg").string() + " synth 1 sine 500"));
    ASSERT_TRUE(test_support::sox("-n -r 32000 -c 1 " + (s / "F16_LOOP.ogg").string() +
                                  " synth 1.1 sine 500"));  // not a whole number of buffers
    write_tone(s / "F7_ON.wav", 0.2);                       // names that differ only in case
    write_tone(s / "f7_on.wav", 0.2);
    write_tone(s / "F8_START.wav", 0.2);  // two START files of F8
    write_tone(s / "F8_START_D100.wav", 0.2);
    write_tone(s / "F9_M0_LOOP.wav", 0.2);  // a load level without an OFF: no drive-off
    write_tone(s / "F9_M50_LOOP.wav", 0.2);
    write_tone(s / "F11_ON.wav", 0.2, 22050);  // another sample rate
    write_tone(s / "F13F_ON.wav", 0.2);        // variant F: beyond E
    write_tone(s / "F14_ACCEL.wav", 0.2);      // whole-range ACCEL: no level ON/OFF
    write_tone(s / "F14_S0_LOOP.wav", 0.2);
    write_tone(s / "F14_S50_ON.wav", 0.2);
    write_tone(s / "F100_ON.wav", 0.2);  // no such key
    write_tone(s / "F5_ON.WAV", 0.2);    // upper-case extension
    write_tone(s / "F6_ON.mp3", 0.2);
    write_tone(s / "X1_ON.wav", 0.2);
    write_tone(s / ("F15_ON_" + std::string(40, 'x') + ".wav"), 0.2);  // path too long
    std::ofstream(s / "F10_ON.wav") << "not a wave file at all";
    std::ofstream(s / "README") << "notes";
    std::ofstream(s / "Logic.txt") << "F2_ON_F3_L100\n";
    std::ofstream(s / "logic.txt") << "F40_DCL_S10_L1000\n"
                                      "F5_OFF\n"
                                      "G5_ON_F1_L100\n"
                                      "F12_F2_ON_O5_L100\n"
                                      "F2_F3_ON_L1500\n";
    std::ofstream(s / "cv.txt") << "cv63=10\ncv600=1\n";
    std::ofstream(s / "cv_map.txt") << "AUX3:5,45\nAUX99:1\n";
    std::ofstream(s / "functions.txt") << "1:Mistakes\nF1:5\nF2:8M:Horn\n";

    const fs::path s2 = root / "data/2";
    for (int f = 20; f < 54; f++)
        for (const char *role : {"ON", "LOOP", "OFF"})
            write_tone(s2 / ("F" + std::to_string(f) + "_" + role + ".wav"), 0.05);
}

TEST(Check, TypicalMistakesEachGetTheirFinding) {
    TempFolder dir;
    dir.write("slot.txt", "1\n");
    make_mistakes(dir.path());
    ASSERT_FALSE(HasFailure());
    if (getenv("CHECK_KEEP")) fs::copy(dir.path(), getenv("CHECK_KEEP"), fs::copy_options::recursive);

    int status = -1;
    const json r = run_json(dir.path(), "--check", &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(r["result"], "loaded with errors");
    struct Expected {
        const char *list, *code, *file;
    };
    const Expected expected[] = {
        {"warnings", "no-loop-level", "F1_S30_ON.wav"},
        {"warnings", "start-never", "F1_START_D-2000.wav"},
        {"warnings", "loader-note", "F1_S50_P1000_LOOP.wav"},
        {"warnings", "ignored-token", "F2_LOPP.wav"},
        {"warnings", "silent-while-on", "F3_OFF.wav"},
        {"warnings", "stereo", "F4_ON.wav"},
        {"warnings", "loop-length", "F6_LOOP_T1500.ogg"},
        {"warnings", "loop-length", "F16_LOOP.ogg"},
        {"warnings", "no-drive-off", "F9"},
        {"warnings", "text-name-case", "Logic.txt"},
        {"warnings", "unused-key", "logic.txt"},
        {"warnings", "logic-note", "logic.txt"},
        {"warnings", "map-item", "cv_map.txt"},
        {"errors", "sample-rate", "F11_ON.wav"},
        {"errors", "limit", "F13F_ON.wav"},
        {"errors", "accel-mode", "F14_S50_ON.wav"},
        {"errors", "no-such-key", "F100_ON.wav"},
        {"errors", "not-audio", "F5_ON.WAV"},
        {"errors", "not-audio", "F6_ON.mp3"},
        {"errors", "no-function", "X1_ON.wav"},
        {"errors", "unreadable", "F10_ON.wav"},
        {"errors", "logic-line", "logic.txt"},
        {"errors", "cv-line", "cv.txt"},
        {"errors", "map-line", "cv_map.txt"},
        {"errors", "functions-line", "functions.txt"},
    };
    for (const Expected &e : expected)
        EXPECT_TRUE(has_finding(r, e.list, e.code, e.file)) << e.code << " " << e.file << "\n" << r.dump(2);

    // Two files of one place: whichever the listing gives first keeps it, the other is named.
    EXPECT_EQ(findings(r, "errors", "place-taken").size(), 1u);
    EXPECT_EQ(findings(r, "errors", "not-used").size(), 1u) << "one of F7_ON.wav and f7_on.wav";
    // F7_ON.wav and f7_on.wav; logic.txt and Logic.txt.
    EXPECT_EQ(findings(r, "warnings", "case-twins").size(), 2u);
    const json *long_name = file_entry(r, "F15_ON_" + std::string(40, 'x') + ".wav");
    ASSERT_NE(long_name, nullptr);
    EXPECT_EQ((*long_name)["status"], "refused");
    EXPECT_EQ((*file_entry(r, "README"))["status"], "ignored");
    EXPECT_TRUE(findings(r, "errors", "no-extension").empty()) << "a README is not a sound";

    // The reasons are the firmware's own lines, and the lines are named.
    for (const json &e : findings(r, "errors", "logic-line")) {
        const std::string m = e["message"];
        const char *why =
            e["line"] == 2 ? "Function duration is 0 in logic condition F5" : "Function is not defined in G5";
        EXPECT_NE(m.find(why), std::string::npos) << m;
    }
    EXPECT_EQ(findings(r, "errors", "logic-line").size(), 2u);
    const json *rate = file_entry(r, "F11_ON.wav");
    EXPECT_NE(
        (*rate)["reason"].get<std::string>().find("sample rate(22050) is not equal to slot value(32000)"),
        std::string::npos);
    EXPECT_NE(
        file_entry(r, "F13F_ON.wav")->at("reason").get<std::string>().find("MULTI variant id 5 is too big"),
        std::string::npos);

    // What the files became.
    EXPECT_EQ((*file_entry(r, "F2_LOPP.wav"))["roles"][0], "F2 played once");
    EXPECT_EQ((*file_entry(r, "F1_S30_OFF.wav"))["roles"][0], "F1 drive-off (DRVOFF)");
    EXPECT_EQ((*file_entry(r, "F6_LOOP_T1500.ogg"))["loop_pass_ms"], 960);
    const json &logic = r["text_files"]["logic"];
    for (const json &section : logic) {
        if (section["file"] != "logic.txt") continue;
        ASSERT_EQ(section["conditions"].size(), 3u) << section.dump(2);
        EXPECT_EQ(section["conditions"][2]["sentence"], "F2 plays 1.5 s at every switch-on of F3");
    }

    // The text report ends with the summary of the same counts.
    const CheckRun text = run_check(dir.path(), "--check 1");
    EXPECT_EQ(text.status, 2);
    const std::string summary = std::to_string(r["files"].size()) + " files, " +
                                std::to_string(r["summary"]["functions"].get<int>()) + " functions, " +
                                std::to_string(r["warnings"].size()) + " warnings, " +
                                std::to_string(r["errors"].size()) + " errors\n";
    EXPECT_EQ(text.out.substr(text.out.size() - summary.size()), summary) << text.out;

    // Past the 100-file limit: the files left out are named.
    const json r2 = run_json(dir.path(), "--check 2", &status);
    EXPECT_EQ(status, 1);
    // (A function that lost its LOOP that way is silent while on: that warning may come too.)
    const auto left_out = findings(r2, "warnings", "file-limit");
    ASSERT_EQ(left_out.size(), 2u) << r2["warnings"].dump(2);
    for (const json &w : left_out)
        EXPECT_EQ((*file_entry(r2, w["file"]))["status"], "skipped");
    EXPECT_TRUE(r2["errors"].empty());
}

TEST(Check, UnusableFolders) {
    // Without slot.txt the check loads slot 1, as the emulator does (CV 202 starts at 1).
    TempFolder dir;
    fs::create_directories(dir.path() / "data/1");
    std::ofstream(dir.path() / "data/1/F1_ON.wav") << "garbage";
    int status = -1;
    const json r = run_json(dir.path(), "--check", &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(r["slot"], 1);
    EXPECT_EQ(r["result"], "not loaded");
    EXPECT_FALSE(findings(r, "errors", "nothing-loaded").empty()) << r.dump(2);

    TempFolder bare;
    const json r2 = run_json(bare.path(), "--check 2", &status);
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(findings(r2, "errors", "no-folder").empty()) << r2.dump(2);
    CheckRun bad = run_check(bare.path(), "--check 4");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("slot 1..3"), std::string::npos) << bad.err;
}

// Names are bytes: one in Latin-1, escape sequences and a line feed in names and in a text
// file's line. The JSON report takes them (as U+FFFD), and neither the text report nor the log
// of a drive hands the terminal a control character or a line of the project's making.
TEST(Check, NamesThatAreNotTextNeitherEndNorSteerTheOutput) {
    TempFolder dir;
    write_tone(dir.path() / "data/1/F1_ON.wav", 0.2);
    write_tone(dir.path() / "data/1/F2_ON_Pfeife_\xe4.wav", 0.2);
    dir.write("data/1/F3_ON_\x1b[2J\x1b]0;title\x07.wav", "not a sound");
    dir.write("data/1/F4_ON_a\nE (0) FORGED: b.wav", "not a sound");
    dir.write("data/1/logic.txt", "K\xe4lte \x1b[31mF1 ON\n");
    dir.write("drive.txt", "f1\nf2\nf3\nf4\nwait 0.5\n");
    const CheckRun j = run_check(dir.path(), "--check 1 --json"), text = run_check(dir.path(), "--check 1");
    const CheckRun drive = run_check(dir.path(), "--script drive.txt --render r.wav");
    EXPECT_EQ(j.status, 2) << j.err;
    const json r = json::parse(j.out, nullptr, false);
    ASSERT_FALSE(r.is_discarded()) << j.out;
    EXPECT_NE(file_entry(r, "F2_ON_Pfeife_\xef\xbf\xbd.wav"), nullptr) << j.out;
    EXPECT_NE(text.out.find("F2_ON_Pfeife_\\xe4.wav"), std::string::npos) << text.out;
    EXPECT_NE(drive.out.find("F4_ON_a\\x0aE (0) FORGED: b.wav could not be loaded"), std::string::npos);
    for (const CheckRun *run : {&text, &drive}) {
        EXPECT_EQ(run->out.find_first_of(std::string("\x01\x07\x1b\r\x7f\t", 6)), std::string::npos)
            << run->out;
        EXPECT_EQ(run->out.find("\nE (0) FORGED"), std::string::npos) << run->out;
    }
}

}  // namespace
