// Whole-drive tests: a slot folder written by the test, a drive script, and the real emulator
// rendering it in simulated time (--script --render). What the test checks is what a user would
// see and hear: the log's track lines and the recording.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "emulator_process.h"

// A working folder with slot.txt and data/1 .. data/3, filled by the test.
class Project {
public:
    Project();
    const std::filesystem::path &path() const { return dir_.path(); }
    // A tone file in slot `slot`: .wav as 16-bit PCM (or IMA ADPCM with `adpcm`), .ogg as Ogg
    // Vorbis; `seconds` long at `freq` Hz, with `channels` channels, at 32000 Hz.
    void tone(const std::string &name, double seconds, double freq, int channels = 1, bool adpcm = false,
              int slot = 1) const;
    // Several tone files in slot 1, in this order.
    struct Tone {
        std::string name;
        double seconds, freq;
        int channels = 1;
    };
    void tones(const std::vector<Tone> &list) const {
        for (const Tone &t : list)
            tone(t.name, t.seconds, t.freq, t.channels);
    }
    // A file of `samples` (mono, 32000 Hz) as 16-bit PCM or IMA ADPCM.
    void samples(const std::string &name, const std::vector<int16_t> &samples, bool adpcm = false,
                 int slot = 1) const;
    void text(const std::string &relative, const std::string &content) const {
        dir_.write(relative, content);
    }
    // A drive function on F1: the idle level (ON 250 Hz, LOOP 200 Hz), START (300 Hz), one
    // running level from 30 % (ON 450 Hz, ADPCM LOOP 400 Hz, OFF 500 Hz, `off_seconds` long) and
    // STOP (600 Hz). When its OFF ends against the speed updates depends on `off_seconds`.
    void drive_on_f1(double off_seconds) const;

private:
    // `samples` (interleaved `channels`) as `name`: PCM, IMA ADPCM or, by its extension, Ogg.
    void write(const std::string &name, const std::vector<int16_t> &samples, int channels, bool adpcm,
               int slot) const;

    TempFolder dir_;
};

struct Render {
    int status = -1;                 // exit status of the emulator, -1 if it did not exit normally
    std::vector<std::string> lines;  // standard output
    std::string errors;              // standard error
    std::vector<int16_t> audio;      // the recording (mono, 32000 Hz)

    // Log time (simulated ms) of each line that contains `text`.
    std::vector<int64_t> times(const std::string &text) const;
    int count(const std::string &text) const;
    std::string dump() const;
    // Track id of role `role` ("ON", "LOOP", "OFF") of the level whose load line shows `level`
    // (for example "F1: SPD 30-50%:" or, for the lowest level, "F1: SPD "), from the slot
    // summary the firmware logs after a load; -1 if absent.
    int level_track(const std::string &level, const std::string &role) const;
    // Whether `freq` sounds in the recording around `t_ms` (a 40 ms window starting there).
    bool heard(double freq, int64_t t_ms) const;
    // The first moment at or after `from_ms` at which `freq` is heard, or -1.
    int64_t first_heard(double freq, int64_t from_ms = 0) const;
    // The longest stretch (ms) of silence between `from_ms` and `to_ms` of the recording.
    int64_t longest_silence(int64_t from_ms, int64_t to_ms) const;
    int64_t length_ms() const { return (int64_t)audio.size() * 1000 / 32000; }
};

// Renders `script` on the project in `dir`; `args` are added to the command line. A render that
// runs on for `timeout_s` seconds has hung: it is stopped (status -1).
Render render(const std::filesystem::path &dir, const std::string &script,
              const std::vector<std::string> &args = {}, int timeout_s = 120);
// Plays `script` in real time without a sound device, recording what would be heard.
Render play_in_real_time(const std::filesystem::path &dir, const std::string &script);
