#include "render.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "audio_files.h"
#include "log_line.h"
#include "tone_detector.h"

namespace {

constexpr uint32_t RATE = 32000;
// 40 ms windows: long enough to tell tones 50 Hz apart, short enough to time a change.
constexpr size_t WINDOW = RATE / 25;
const test_support::ToneDetector TONES(RATE, WINDOW, 2e5);

}  // namespace

Project::Project() {
    dir_.write("slot.txt", "1\n");
    for (int slot = 1; slot <= 3; slot++)
        std::filesystem::create_directories(dir_.path() / "data" / std::to_string(slot));
}

void Project::tone(const std::string &name, double seconds, double freq, int channels, bool adpcm,
                   int slot) const {
    write(name, test_support::tone(seconds, freq, RATE, (uint16_t)channels), channels, adpcm, slot);
}

void Project::drive_on_f1(double off_seconds) const {
    tone("F1_S0_LOOP.wav", 1, 200);
    tone("F1_S0_ON.wav", 1.2, 250);
    tone("F1_START.wav", 0.8, 300);
    tone("F1_S30_LOOP.wav", 0.7, 400, 1, true);
    tone("F1_S30_ON.wav", 0.9, 450);
    tone("F1_S30_OFF.wav", off_seconds, 500);
    tone("F1_STOP.wav", 1.5, 600);
}

void Project::samples(const std::string &name, const std::vector<int16_t> &samples, bool adpcm,
                      int slot) const {
    write(name, samples, 1, adpcm, slot);
}

void Project::write(const std::string &name, const std::vector<int16_t> &samples, int channels, bool adpcm,
                    int slot) const {
    const auto out = dir_.path() / "data" / std::to_string(slot) / name;
    const bool ogg = name.size() > 4 && name.compare(name.size() - 4, 4, ".ogg") == 0;
    if (!ogg && !adpcm) {
        if (!test_support::write_pcm_wav(out.string(), samples, RATE, (uint16_t)channels))
            throw std::runtime_error("cannot write " + name);
        return;
    }
    // Through a PCM file of our own, so that sox sees exactly the samples we mean.
    const auto pcm = dir_.path() / ("tmp-" + name + ".wav");
    const bool ok = test_support::write_pcm_wav(pcm.string(), samples, RATE, (uint16_t)channels) &&
                    test_support::sox("'" + pcm.string() + "' " + (adpcm ? "-e ima-adpcm " : "") + "'" +
                                      out.string() + "'");
    std::filesystem::remove(pcm);
    if (!ok) throw std::runtime_error("sox could not write " + name);
}

namespace {

// Runs the emulator on `script` in `dir` with `args` after the script option; the recording is
// read from take.wav.
Render run_script(const std::filesystem::path &dir, const std::string &script,
                  const std::vector<std::string> &args, int timeout_s = 120) {
    Render r;
    const auto script_path = dir / "drive.txt";
    const auto wav = dir / "take.wav";
    {
        std::ofstream s(script_path);
        s << script;
    }
    std::filesystem::remove(wav);
    std::vector<std::string> all = {"--script", script_path.string()};
    all.insert(all.end(), args.begin(), args.end());
    // A render takes seconds at most; one that runs on for two minutes has hung.
    std::string out;
    r.status = run_emulator(dir, all, &out, &r.errors, std::chrono::seconds(timeout_s));
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);)
        r.lines.push_back(l);
    r.audio = test_support::read_wav(wav.string()).samples;
    return r;
}

}  // namespace

Render render(const std::filesystem::path &dir, const std::string &script,
              const std::vector<std::string> &args, int timeout_s) {
    std::vector<std::string> all = {"--render", (dir / "take.wav").string()};
    all.insert(all.end(), args.begin(), args.end());
    return run_script(dir, script, all, timeout_s);
}

Render play_in_real_time(const std::filesystem::path &dir, const std::string &script) {
    return run_script(dir, script, {"--no-sound", "--record", (dir / "take.wav").string()});
}

std::vector<int64_t> Render::times(const std::string &text) const {
    std::vector<int64_t> t;
    LogLine parsed;
    for (const auto &l : lines)
        if (l.find(text) != std::string::npos && parse_log_line(l, &parsed)) t.push_back(parsed.ms);
    return t;
}

int Render::count(const std::string &text) const {
    int n = 0;
    for (const auto &l : lines)
        n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
}

std::string Render::dump() const {
    std::string s;
    for (const auto &l : lines)
        s += l + "\n";
    return s + errors;
}

int Render::level_track(const std::string &level, const std::string &role) const {
    const int slot = role == "ON" ? 0 : role == "LOOP" ? 1 : 2;
    for (const auto &l : lines) {
        const size_t at = l.find(level);
        if (at == std::string::npos) continue;
        std::istringstream ids(l.substr(at + level.size()));
        int v[3];
        if (ids >> v[0] >> v[1] >> v[2]) return v[slot];
    }
    return -1;
}

bool Render::heard(double freq, int64_t t_ms) const {
    return TONES.heard(audio, (size_t)(t_ms < 0 ? 0 : t_ms) * RATE / 1000, freq);
}

int64_t Render::first_heard(double freq, int64_t from_ms) const {
    for (int64_t t = from_ms; t * RATE / 1000 + WINDOW <= audio.size(); t += 5)
        if (heard(freq, t)) return t;
    return -1;
}

int64_t Render::longest_silence(int64_t from_ms, int64_t to_ms) const {
    // 10 ms steps; a step is silent when its mean square stays at the level of the idle output.
    int64_t longest = 0, run = 0;
    for (int64_t t = from_ms; t < to_ms; t += 10) {
        const size_t p = (size_t)t * RATE / 1000, n = RATE / 100;
        if (p + n > audio.size()) break;
        double energy = 0;
        for (size_t i = p; i < p + n; i++)
            energy += (double)audio[i] * audio[i];
        run = energy / (double)n < 1e4 ? run + 10 : 0;
        if (run > longest) longest = run;
    }
    return longest;
}
