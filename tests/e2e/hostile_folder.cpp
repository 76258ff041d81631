#include "hostile_folder.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "audio_files.h"

namespace hostile {

using test_support::put16;
using test_support::put32;

namespace {

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
    test_support::TempFolder tmp;
    std::string p = tmp.file("t.wav");
    test_support::write_pcm_wav(p, tone(500, seconds, rate, channels), rate, channels);
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

}  // namespace

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
        test_support::TempFolder tmp;
        EXPECT_TRUE(test_support::sox("-n -r 32000 -c 1 " + tmp.file("a.ogg") + " synth 0.5 sine 600"));
        EXPECT_TRUE(
            test_support::sox("-n -r 32000 -c 1 -e ima-adpcm " + tmp.file("b.wav") + " synth 0.5 sine 700"));
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

}  // namespace hostile
