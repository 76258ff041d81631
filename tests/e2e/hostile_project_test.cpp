// A hostile sound project: a slot folder full of what editors, copying mistakes and careless
// hands produce (cut-off and empty files, foreign RIFF files, random bytes, formats the decoder
// does not play, zero rates and block sizes, damaged ADPCM blocks, too many files, names too long
// for the firmware's buffers, text files with over-long lines, missing fields and numbers out of
// range) mixed with a few good files. The real emulator must load it with errors, name every
// file it refuses, and stay healthy while every function key is pressed.
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

#include "audio_test_util.h"
#include "emulator_process.h"

namespace {

using namespace std::chrono_literals;
using audio_test::put16;
using audio_test::put32;

constexpr uint32_t RATE = 32000;
constexpr uint32_t OTHER_RATE = 22050;
constexpr int MAX_AUDIO = 100;

std::vector<int16_t> tone(double freq, double seconds, uint32_t rate = RATE, uint16_t channels = 1) {
    std::vector<int16_t> s((size_t)(seconds * rate) * channels);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (int16_t)(6000 * std::sin(2 * M_PI * freq * (double)(i / channels) / rate));
    return s;
}

std::string bytes_of(const std::vector<uint8_t> &v) {
    return std::string(v.begin(), v.end());
}

std::string pcm_wav(double seconds, uint32_t rate = RATE, uint16_t channels = 1) {
    audio_test::TempFolder tmp;
    std::string p = tmp.file("t.wav");
    audio_test::write_pcm_wav(p, tone(500, seconds, rate, channels), rate, channels);
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A WAV file with a hand-made format chunk and `data_bytes` of data (the data chunk states
// `data_size`, which may differ from what follows).
std::string raw_wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t block_align, uint16_t bits,
                    uint32_t data_size, const std::vector<uint8_t> &data, int fmt_size = 16,
                    uint16_t samples_per_block = 0) {
    std::vector<uint8_t> h = {'R', 'I', 'F', 'F'};
    put32(h, 4 + 8 + (uint32_t)fmt_size + 8 + (uint32_t)data.size());
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(h, (uint32_t)fmt_size);
    put16(h, format);
    put16(h, channels);
    put32(h, rate);
    put32(h, rate * block_align);
    put16(h, block_align);
    put16(h, bits);
    if (fmt_size >= 20) {
        put16(h, 2);
        put16(h, samples_per_block);
        for (int i = 20; i < fmt_size; i++)
            h.push_back(0);
    }
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    put32(h, data_size);
    h.insert(h.end(), data.begin(), data.end());
    return bytes_of(h);
}

// IMA ADPCM blocks of 256 bytes per channel whose headers carry `step_index`.
std::vector<uint8_t> adpcm_blocks(int blocks, uint16_t channels, uint8_t step_index) {
    std::vector<uint8_t> d;
    for (int b = 0; b < blocks; b++) {
        for (int c = 0; c < channels; c++)
            d.insert(d.end(), {0x10, 0x00, step_index, 0x00});
        for (int i = 0; i < 252 * channels; i++)
            d.push_back((uint8_t)(0x73 + i));
    }
    return d;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, 0);
    for (auto &c : s)
        c = (char)(gen() & 0xFF);
    return s;
}

std::string repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; i++)
        r += s;
    return r;
}

std::string pad_name(const std::string &prefix, const std::string &ext, size_t total) {
    return prefix + std::string(total - prefix.size() - ext.size(), 'x') + ext;
}

bool is_audio_name(const std::string &name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    if (ext != "wav" && ext != "ogg") return false;
    if (name[0] != 'F' && name[0] != 'f') return false;
    // The function token's number must fit 0..255; the names of this test are simple.
    size_t i = 1;
    while (i < dot && isdigit((unsigned char)name[i]))
        i++;
    return i == 1 || std::stoul(name.substr(1, i - 1)) <= 255;
}

std::vector<std::string> listing(const std::filesystem::path &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    if (d != nullptr) closedir(d);
    return names;
}

enum class Fate {
    Loads,        // a good file: no complaint about it
    RateDecides,  // loads when its rate is the slot's, else refused for its rate
    Reader,       // the audio reader refuses it
    Scan,         // the folder scan refuses it (name grammar, extension, length)
    TextFile,     // a text file: parsed, its bad lines reported
};

struct Entry {
    std::string name;
    std::string content;
    Fate fate;
    std::string why;  // for refusals: a text the refusal's log line carries
    uint32_t rate = RATE;
};

// Writes the hostile files into `slot`; with `fill` the folder is topped up to 101 audio files
// with short good sounds for the remaining keys.
std::vector<Entry> make_hostile_folder(const std::filesystem::path &slot, bool fill) {
    std::filesystem::create_directories(slot);
    std::vector<Entry> entries;
    auto add = [&](const std::string &name, const std::string &content, Fate fate,
                   const std::string &why = "", uint32_t rate = RATE) {
        entries.push_back({name, content, fate, why, rate});
    };

    // Good files: a plain function, a drive function, Ogg, ADPCM, a stereo file.
    add("F0_ON.wav", pcm_wav(0.3), Fate::RateDecides);
    add("F0_LOOP.wav", pcm_wav(0.3), Fate::RateDecides);
    add("F0_OFF.wav", pcm_wav(0.3), Fate::RateDecides);
    add("F1_START.wav", pcm_wav(0.4), Fate::RateDecides);
    add("F1_S0_LOOP.wav", pcm_wav(0.4), Fate::RateDecides);
    add("F1_S50_LOOP.wav", pcm_wav(0.4), Fate::RateDecides);
    add("F1_S50_OFF.wav", pcm_wav(0.3), Fate::RateDecides);
    add("F1_STOP.wav", pcm_wav(0.6), Fate::RateDecides);
    add("F1_ESTOP.wav", pcm_wav(0.3), Fate::RateDecides);
    add("F4_ON.wav", pcm_wav(0.3, RATE, 2), Fate::RateDecides);
    {
        audio_test::TempFolder tmp;
        EXPECT_TRUE(audio_test::sox("-n -r 32000 -c 1 " + tmp.file("a.ogg") + " synth 0.5 sine 600"));
        EXPECT_TRUE(
            audio_test::sox("-n -r 32000 -c 1 -e ima-adpcm " + tmp.file("b.wav") + " synth 0.5 sine 700"));
        auto read = [](const std::string &p) {
            std::ifstream in(p, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        add("F2_ON.ogg", read(tmp.file("a.ogg")), Fate::RateDecides);
        add("F3_LOOP.wav", read(tmp.file("b.wav")), Fate::RateDecides);
    }
    // Headers that do not parse, or describe audio the decoder does not play. `why` is the
    // reader's own line about it.
    const std::string good = pcm_wav(0.2);
    const std::string bad_header = "Error parse wav header";
    const std::string not_ogg = "Input does not appear to be an Ogg bitstream";
    add("F10_ON.wav", "", Fate::Reader, "No more data to parse header");
    add("F11_ON.wav", good.substr(0, 20), Fate::Reader, bad_header);
    add("F12_ON.wav", good.substr(0, 40), Fate::Reader, bad_header);
    add("F13_ON.wav",
        std::string("RIFF\x40\x00\x00\x00"
                    "AVI LIST\x04\x00\x00\x00hdrl",
                    24) +
            std::string(64, '\0'),
        Fate::Reader, bad_header);
    add("F14_ON.wav", random_bytes(3000, 14), Fate::Reader, bad_header);
    add("F15_LOOP.ogg", random_bytes(3000, 15), Fate::Reader, not_ogg);
    add("F16_ON.ogg", "", Fate::Reader, not_ogg);
    add("F17_ON.wav", raw_wav(0x11, 3, RATE, 768, 4, 768 * 4, adpcm_blocks(4, 3, 10), 20, 505), Fate::Reader,
        bad_header);
    add("F18_ON.wav", raw_wav(1, 1, RATE, 1, 8, 8000, std::vector<uint8_t>(8000, 0x80)), Fate::Reader,
        "Not supported PCM file. Bits=8");
    add("F19_ON.wav", pcm_wav(0.3, OTHER_RATE), Fate::RateDecides, "", OTHER_RATE);
    add("F20_ON.wav", raw_wav(1, 1, RATE, 0, 16, 4000, std::vector<uint8_t>(4000, 1)), Fate::Reader,
        bad_header);
    add("F21_ON.wav", raw_wav(1, 1, 0, 2, 16, 4000, std::vector<uint8_t>(4000, 1)), Fate::Reader, bad_header);
    add("F23_ON.wav", raw_wav(0x11, 1, RATE, 0, 4, 1024, adpcm_blocks(4, 1, 10), 20, 505), Fate::Reader,
        bad_header);
    add("F25_ON.wav", raw_wav(1, 1, RATE, 2, 16, 1001, std::vector<uint8_t>(1001, 1)), Fate::Reader,
        bad_header);
    add("F26_ON.wav", raw_wav(1, 1, RATE, 2, 16, 4000, std::vector<uint8_t>(4000, 1), 200), Fate::Reader,
        bad_header);
    // Loads, but its blocks are damaged or its data chunk claims more than the file holds:
    // playing must end on its own.
    add("F22_LOOP.wav", raw_wav(0x11, 1, RATE, 256, 4, 256 * 8, adpcm_blocks(8, 1, 120), 20, 505),
        Fate::RateDecides);
    add("F24_ON.wav", raw_wav(1, 1, RATE, 2, 16, 2000000, std::vector<uint8_t>(6400, 3)), Fate::RateDecides);
    // Names the scan refuses.
    add("X1_ON.wav", good, Fate::Scan, "Function is not defined in");
    add("F5_ON.WAV", good, Fate::Scan, "is not an audio file");
    add("F6_ON.mp3", good, Fate::Scan, "is not an audio file");
    add("README", "notes", Fate::Scan, "File without extention");
    add("F300_ON.wav", good, Fate::Scan, "Function is not defined in");
    add(pad_name("F30_ON_", ".wav", 79), good, Fate::Scan, "Filepath is too big for");
    add(pad_name("F31_", ".ogg", 45), good, Fate::Scan, "Filepath is too big for");
    add(pad_name("functions", ".txt", 79), "1:Long\n", Fate::Scan, "Filepath is too big for");

    // Text files: over-long lines, missing fields, numbers out of range, then a few good lines.
    add("functions.txt",
        "2:Shunter\n"
        "F1:" +
            std::string(300, 'A') + "\n" +
            "F1:5\n"
            "F99:1:Beyond\n"
            "F-3:1:Negative\n"
            "F2:99999999999999999999:Horn\n"
            "F3:8M:Bell\n"
            "4:" +
            std::string(200, 'N') + "\n" +
            "99999999999999:Big\n"
            "F:::\n"
            "F0:1:Light\n",
        Fate::TextFile, "Scanf error line='F1:5'");
    std::string logic =
        "F5_OFF\n"
        "F5_F5_ON_L100\n"
        "F3_O2_V10\n"
        "F200_ON_F1_L100\n"
        "I250_ON_F2_L100\n"
        "F6_F2_ON_L99999999999999999999\n"
        "F7_BLOCK_F300\n"
        "F8_DIM_O99_V500\n"
        "F9_VOL_F2_V300\n"
        "F60_F61_ON_L100_D-5000\n"
        "F62_F63_RANDOM_R0_L-1\n"
        "F64_F65_SPD_S200_E99999_L100\n"
        "F66_F67_MINLOAD_V255\n"
        "F68_TOGETHER_F0\n"
        "F0_F68_ONOFF_L100\n" +
        repeat("F1_F2_ON_L100_", 20) + "\n" +
        "_\n"
        "F\n"
        "I\n";
    for (int i = 0; i < 40; i++)
        logic += "F" + std::to_string(40 + i % 20) + "_F" + std::to_string(41 + i % 20) + "_ON_L200\n";
    add("logic.txt", logic, Fate::TextFile, "Function duration is 0 in logic condition F5");
    add("cv.txt", "cv1=999\ncv99999999999=1\ncv202=3\n" + std::string(500, 'c') + "\n", Fate::TextFile);
    add("map.txt",
        "AUX1:>3,4\n"
        "AUX99:1\n"
        "AUX1:99999999999999999999\n"
        "7:70,300,31,68\n"
        "nocolon\n"
        "0:1\n"
        "F0_F:1,2\n"
        "AUX2:" +
            repeat("1,", 100) + "\n" +
            "DAT:>>>>,<<<<,\n"
            "CLK:-5\n"
            "::::\n"
            "AUX4294967297:2\n",
        Fate::TextFile);

    if (fill) {
        int audio = 0;
        for (auto &e : entries)
            audio += is_audio_name(e.name) ? 1 : 0;
        for (int f = 32; audio < MAX_AUDIO + 1; f = f >= 68 ? 32 : f + 1) {
            std::string name =
                "F" + std::to_string(f) + (audio % 2 ? "_OFF" : "_ON") + "_" + std::to_string(audio) + ".wav";
            add(name, pcm_wav(0.15), Fate::RateDecides);
            audio++;
        }
    }
    for (auto &e : entries) {
        std::ofstream out(slot / e.name, std::ios::binary);
        out << e.content;
        EXPECT_TRUE(out.good()) << e.name;
    }
    return entries;
}

// Checks the load of `slot` (log lines from `from` on): the result line, every refused file
// named with its reason, no complaint about a good file.
void check_load(const EmulatorProcess &emu, size_t from, const std::filesystem::path &slot,
                const std::vector<Entry> &entries) {
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
    EXPECT_EQ(count("Applied CV"), 0) << "the CV file is not armed on a plain start";

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
    TempDir dir;
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
        check_load(emu, 0, dir.path() / "data/1", slot1);
    }
    press_everything(emu);
    expect_idle(emu);

    size_t from = emu.lines().size();
    emu.send("cv202=2");
    ASSERT_GE(emu.wait_for("Slot 2 loaded with errors", 20s, from), 0) << emu.dump();
    {
        SCOPED_TRACE("slot 2");
        check_load(emu, from, dir.path() / "data/2", slot2);
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
    TempDir dir;
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
