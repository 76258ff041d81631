// The hostile sound project (hostile_folder.h) on the real emulator, in real time: it must load
// with errors, name every file it refuses, stay healthy while every function key is pressed, and
// idle without spinning afterwards.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "audio_files.h"
#include "emulator_process.h"
#include "hostile_folder.h"

namespace {

using namespace hostile;

using namespace std::chrono_literals;
using test_support::put16;
using test_support::put32;

// Checks the load of `slot` (log lines from `from` on): the result line, every refused file
// named with its reason, no complaint about a good file.
void check_load(const EmulatorProcess &emu, size_t from, const std::filesystem::path &slot,
                const std::vector<Entry> &entries, int cv_lines_applied) {
    std::map<std::string, const Entry *> by_name;
    for (auto &e : entries)
        by_name[e.name] = &e;

    // Replay the scan's walk over the listing: which entries it looks at, and which file sets
    // the slot's sample rate (the first one that loads).
    std::set<std::string> looked_at, leftover;
    uint32_t slot_rate = 0;
    int seen_audio = 0;
    for (const std::string &name : listing(slot)) {
        if (seen_audio >= MAX_AUDIO) {
            leftover.insert(name);
            continue;
        }
        looked_at.insert(name);
        const Entry *e = by_name.at(name);
        if (e->fate == Fate::RateDecides && slot_rate == 0) slot_rate = e->rate;
        if (is_audio_name(name)) seen_audio++;
    }

    auto all = emu.lines();
    std::vector<std::string> lines;
    for (size_t i = from; i < all.size(); i++)
        lines.push_back(all[i].text);
    auto count = [&](const std::string &text) {
        int n = 0;
        for (const auto &l : lines)
            n += l.find(text) != std::string::npos ? 1 : 0;
        return n;
    };
    auto complaints_naming = [&](const std::string &name) {
        std::vector<std::string> found;
        for (const auto &l : lines) {
            bool complaint = l.rfind("E (", 0) == 0 || l.rfind("W (", 0) == 0;
            if (complaint && l.find(name) != std::string::npos) found.push_back(l);
        }
        return found;
    };

    EXPECT_EQ(count("loaded with errors"), 1);
    EXPECT_EQ(count("loaded successfully"), 0);
    EXPECT_EQ(count("Only 100 files are supported"), leftover.empty() ? 0 : 1);
    EXPECT_EQ(count("Applied CV"), cv_lines_applied);

    for (const Entry &e : entries) {
        SCOPED_TRACE(e.name);
        const auto named = complaints_naming(e.name);
        if (leftover.count(e.name) != 0) {
            // Beyond the hundredth audio file nothing is opened, but the user learns what was left.
            EXPECT_EQ(named.size(), 1u);
            EXPECT_GE(count(e.name + " skipped: only 100 files are supported"), 1);
            continue;
        }
        bool refused = e.fate == Fate::Reader || e.fate == Fate::Scan ||
                       (e.fate == Fate::RateDecides && e.rate != slot_rate);
        if (e.fate == Fate::TextFile) {
            if (!e.why.empty()) {
                EXPECT_GE(count(e.why), 1);
            }
        } else if (!refused) {
            EXPECT_TRUE(named.empty()) << named.front();
        } else if (named.empty()) {
            ADD_FAILURE() << "refused without its name in the log";
        } else if (e.fate == Fate::Scan) {
            bool why = false;
            for (const auto &l : named)
                why = why || l.find(e.why) != std::string::npos;
            EXPECT_TRUE(why) << e.why;
        } else if (e.fate == Fate::RateDecides) {
            EXPECT_NE(named.front().find("is not equal to slot value"), std::string::npos) << named.front();
        } else {
            // The reader gives its reason under its tag, wav<track id>; the loader's line names
            // the file with that track id.
            int track = -1;
            for (const auto &l : named) {
                const std::string tag = "SOUND_HL: ";
                size_t at = l.find(tag);
                if (at == std::string::npos || l.find(" could not be loaded") == std::string::npos) continue;
                at += tag.size();
                if (at < l.size() && isdigit((unsigned char)l[at])) track = std::stoi(l.substr(at));
            }
            ASSERT_GE(track, 0) << "no loader line with the track id";
            EXPECT_EQ(count("[wav" + std::to_string(track) + "] " + e.why), 1) << e.why;
        }
    }
    if (looked_at.count("logic.txt") != 0) {
        EXPECT_EQ(count("Only 32 logic conditions are allowed"), 1);
        EXPECT_EQ(count("Function id and trigger id could not be the same in logic condition F5"), 1);
        EXPECT_EQ(count("Unknown parameter 'O' for type"), 1);
    }
    EXPECT_EQ(count("Mixed mono and stereo files"), slot_rate == RATE ? 1 : 0);
}

// Processor time the process has used so far, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    // Fields after the command name (which may hold blanks) start after its closing bracket;
    // utime and stime are fields 14 and 15 of the line.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; i++)
        if (i >= 14) ticks += std::stod(field);
    return ticks / (double)sysconf(_SC_CLK_TCK);
}

// Every key on and off, with speed changes, momentary presses and emergency stops between;
// then everything off again and a check that the keys did reach the sound engine.
void press_everything(EmulatorProcess &emu) {
    const size_t from = emu.lines().size();
    emu.send("f1");
    emu.send("s50");
    for (int f = 0; f <= 68; f++) {
        emu.send("f" + std::to_string(f));
        if (f % 10 == 5) emu.send("s" + std::to_string(f % 2 ? -f : f));
        if (f % 17 == 16) emu.send("estop");
        if (f % 7 == 3) std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(1500ms);
    emu.send("s100");
    for (int f = 0; f <= 68; f++) {
        emu.send("f" + std::to_string(f));
        emu.send("m" + std::to_string((f * 7) % 69));
        if (f % 11 == 0) emu.send("s-30");
        if (f == 40) emu.send("estop");
    }
    emu.send("s0");
    std::this_thread::sleep_for(2500ms);
    for (int f = 0; f <= 68; f += 3)
        emu.send("f" + std::to_string(f));
    emu.send("s1");
    std::this_thread::sleep_for(1000ms);
    for (int f = 0; f <= 68; f += 3)
        emu.send("f" + std::to_string(f));
    std::this_thread::sleep_for(1000ms);
    int plays = 0;
    auto lines = emu.lines();
    for (size_t i = from; i < lines.size(); i++)
        plays += lines[i].text.find("AUDIO_TRACK: Play ") != std::string::npos ? 1 : 0;
    EXPECT_GT(plays, 10) << "the keys did not reach the sound engine";
}

// With every key off the emulator idles: no thread spins on a damaged file or a bad line.
void expect_idle(const EmulatorProcess &emu) {
    std::this_thread::sleep_for(2000ms);  // fades and OFF sounds end
    const double before = cpu_seconds(emu.pid());
    std::this_thread::sleep_for(2000ms);
    const double used = cpu_seconds(emu.pid()) - before;
    std::printf("processor time while idling for 2 s: %.2f s\n", used);
    EXPECT_LT(used, 1.0) << "processor seconds used in 2 s of idling";
}

TEST(HostileProject, LoadsWithErrorsNamesEveryRefusedFileAndSurvivesEveryKey) {
    TempFolder dir;
    dir.write("slot.txt", "1\n");
    // Slot 1 has 101 audio files; slot 2 the same hostile files without the top-up, so that
    // every text file of it is parsed whatever the listing order.
    const auto slot1 = make_hostile_folder(dir.path() / "data/1", true);
    const auto slot2 = make_hostile_folder(dir.path() / "data/2", false);
    ASSERT_FALSE(HasFailure());

    EmulatorProcess emu(dir.path(), {"--no-sound"});
    ASSERT_GE(emu.wait_for("Slot 1 loaded with errors", 20s), 0) << emu.dump();
    {
        SCOPED_TRACE("slot 1");
        // Its CV file lies past the hundredth audio file: it is not read.
        check_load(emu, 0, dir.path() / "data/1", slot1, 0);
    }
    press_everything(emu);
    expect_idle(emu);

    size_t from = emu.lines().size();
    emu.send("cv202=2");
    ASSERT_GE(emu.wait_for("Slot 2 loaded with errors", 20s, from), 0) << emu.dump();
    {
        SCOPED_TRACE("slot 2");
        // The switch arms the slot's CV file: its two readable lines are applied.
        check_load(emu, from, dir.path() / "data/2", slot2, 2);
    }
    press_everything(emu);
    // The damaged ADPCM blocks gave no audio, and their reader ended on its own.
    EXPECT_GE(emu.count("No audio in the file, stopping task"), 1);
    expect_idle(emu);

    // Still answering: a CV write is logged, and the process ends only when told to.
    from = emu.lines().size();
    emu.send("cv3=7");
    EXPECT_GE(emu.wait_for("CV3=7", 10s, from), 0) << emu.dump();
    int status = emu.stop(SIGINT);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status << "\n"
                                                                   << emu.dump();
    EXPECT_EQ(emu.count("Timer table is full"), 0);
    if (HasFailure() || getenv("HOSTILE_DUMP")) printf("%s", emu.dump().c_str());
}

// The project check against a real load of the same hostile folder: the same result, the same
// tracks in the same places (the load's own slot summary), and every file the load names in a
// complaint is a file the check reports as refused, skipped or ignored.
TEST(HostileProject, CheckAgreesWithARealLoad) {
    TempFolder dir;
    dir.write("slot.txt", "1\n");
    const auto entries = make_hostile_folder(dir.path() / "data/1", true);
    ASSERT_FALSE(HasFailure());

    std::vector<std::string> log;
    {
        EmulatorProcess emu(dir.path(), {"--no-sound"});
        ASSERT_GE(emu.wait_for("Slot params:", 20s), 0) << emu.dump();
        emu.stop(SIGINT);
        for (const auto &l : emu.lines())
            log.push_back(l.text);
    }
    std::string out, err;
    ASSERT_EQ(run_emulator(dir.path(), {"--check", "--json"}, &out, &err), 2) << err;
    const nlohmann::json r = nlohmann::json::parse(out);
    EXPECT_EQ(r["result"], "loaded with errors");
    EXPECT_EQ(r["sample_rate"], RATE);

    // Tracks of the keys (ON, LOOP, OFF) and of the drive levels, as the load's summary lists them.
    using ids = std::array<int, 3>;
    auto id_of = [](const nlohmann::json &ref) { return ref.is_object() ? ref["track"].get<int>() : -1; };
    auto three = [&](const nlohmann::json &j) {
        return ids{id_of(j.value("on", nlohmann::json())), id_of(j.value("loop", nlohmann::json())),
                   id_of(j.value("off", nlohmann::json()))};
    };
    std::map<int, ids> load_keys, check_keys;
    std::map<std::string, ids> load_levels, check_levels;
    // "F2: 11 6 2" (a key), "F1: SPD 30-55%: 42 1 23" (a level), "F1: SPD 39 0 -1" (the idle level).
    for (const std::string &l : log) {
        const size_t at = l.find(" SOUND_HL: ");
        if (l.rfind("I (", 0) != 0 || at == std::string::npos) continue;
        const char *t = l.c_str() + at + 11;
        int f, a, b, c, lo, hi, n = -1;
        char variant[5];
        if (sscanf(t, "F%d: %d %d %d%n", &f, &a, &b, &c, &n) == 4 && t[n] == 0) {
            load_keys[f] = {a, b, c};
        } else if (sscanf(t, "F%d: %4s %d-%d%%: %d %d %d%n", &f, variant, &lo, &hi, &a, &b, &c, &n) == 7 &&
                   t[n] == 0) {
            load_levels["F" + std::to_string(f) + " " + variant + " " + std::to_string(lo) + "-" +
                        std::to_string(hi)] = {a, b, c};
        } else if (sscanf(t, "F%d: %4s %d %d %d%n", &f, variant, &a, &b, &c, &n) == 5 && t[n] == 0) {
            load_levels["F" + std::to_string(f) + " " + variant + " idle"] = {a, b, c};
        }
    }
    for (const auto &f : r["functions"]) {
        if (f["kind"] == "plain") check_keys[f["key"].get<int>()] = three(f);
        if (f["kind"] == "drive" && f.contains("key_sounds"))
            check_keys[f["key"].get<int>()] = three(f["key_sounds"]);
    }
    for (const auto &d : r["drive"]) {
        const std::string variant = d["follows"] == "load" ? "LOAD" : "SPD";
        for (const auto &l : d["levels"]) {
            const std::string range = l["from_pct"] == 0 ? "idle"
                                                         : std::to_string(l["from_pct"].get<int>()) + "-" +
                                                               std::to_string(l["to_pct"].get<int>());
            check_levels["F" + std::to_string(d["key"].get<int>()) + " " + variant + " " + range] = three(l);
        }
    }
    EXPECT_GT(load_keys.size(), 30u);
    EXPECT_EQ(check_keys, load_keys);
    EXPECT_EQ(load_levels.size(), 2u);
    EXPECT_EQ(check_levels, load_levels);

    // Every file a complaint of the load names is one the check did not use.
    std::set<std::string> named, not_used;
    for (const auto &e : entries) {
        for (const std::string &l : log) {
            const bool complaint = l.rfind("E (", 0) == 0 || l.rfind("W (", 0) == 0;
            if (complaint && l.find(e.name) != std::string::npos) named.insert(e.name);
        }
    }
    for (const auto &f : r["files"]) {
        const std::string status = f["status"];
        if (status == "refused" || status == "skipped" || status == "ignored") not_used.insert(f["name"]);
    }
    for (const std::string &n : named)
        EXPECT_EQ(not_used.count(n), 1u) << n << " is named in the load's log but the check used it";
    // Files the load refuses without a line of their own: another file of the same role took the
    // place. The check names the file that did.
    for (const std::string &n : not_used) {
        if (named.count(n) != 0) continue;
        for (const auto &f : r["files"]) {
            if (f["name"] != n || f["status"] != "refused") continue;
            EXPECT_NE(f["reason"].get<std::string>().find("its place went to"), std::string::npos)
                << f.dump();
        }
    }
    EXPECT_GT(named.size(), 20u);
}

}  // namespace
