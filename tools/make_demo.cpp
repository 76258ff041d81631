// Synthesises the bundled demo sound project into <demo>/data/1 (a diesel locomotive) and
// <demo>/data/2 (an electric locomotive with a load-driven engine sound).
//
// Every sound is made from oscillators, filtered noise and envelopes (synth.h) by the recipes of
// the two slots (demo_diesel.cpp, demo_electric.cpp); spoken announcements come from espeak-ng.
// All randomness uses fixed seeds, so a second run writes the same bytes.
// Three file formats are written on purpose, so that the demo exercises every decoder of the
// firmware: 16-bit PCM WAV (short one-shots), IMA ADPCM WAV through the firmware's own encoder
// (the loops) and Ogg Vorbis through oggenc (the longer one-shots). 32000 Hz mono throughout.
//
// Loops must join without a click: every periodic part of a loop completes whole cycles within
// the loop length, and the noise parts are made longer than the loop and their tail is
// cross-faded into the head.
//
// Usage: make_demo <demo folder>   (needs oggenc and espeak-ng on the PATH)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "demo_slots.h"

namespace fs = std::filesystem;
using namespace synth;

namespace {

// Removes what an earlier run wrote (audio and text files), so renamed sounds do not linger.
void clear_slot(const std::string &dir) {
    fs::create_directories(dir);
    for (const auto &e : fs::directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        if (e.is_regular_file() &&
            (ext == ".wav" || ext == ".ogg" || ext == ".txt" || e.path().filename() == ".keep"))
            fs::remove(e.path());
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo <demo folder>\n");
        return 2;
    }
    std::string demo = argv[1];
    char tmpl[] = "/tmp/make_demo_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("make_demo: mkdtemp");
        return 1;
    }
    std::string tmp = tmpl;
    int rc = 0;
    try {
        for (const char *tool : {"oggenc", "espeak-ng"}) {
            std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0)
                throw std::runtime_error(std::string(tool) + " is not installed");
        }
        Writer w(tmp);
        std::string s1 = demo + "/data/1/", s2 = demo + "/data/2/";
        clear_slot(s1);
        clear_slot(s2);
        make_diesel_slot(w, s1, tmp);
        make_electric_slot(w, s2);
        write_text(demo + "/slot.txt", "1\n");
        uintmax_t total = 0;
        for (const Written &f : w.written) {
            std::printf("%-40s %6.2f s %8ju bytes  peak %5.2f  rms %6.1f dBFS\n", f.path.c_str(), f.seconds,
                        f.bytes, f.peak, 20.0 * std::log10(std::max(f.rms, 1e-9)));
            total += f.bytes;
        }
        std::printf("%zu audio files, %ju bytes\n", w.written.size(), total);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_demo: %s\n", e.what());
        rc = 1;
    }
    fs::remove_all(tmp);
    return rc;
}
