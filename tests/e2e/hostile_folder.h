// The hostile sound project: a slot folder full of what editors, copying mistakes and careless
// hands produce (cut-off and empty files, foreign RIFF files, random bytes, formats the decoder
// does not play, zero rates and block sizes, damaged ADPCM blocks, too many files, names too long
// for the firmware's buffers, text files with over-long lines, missing fields and numbers out of
// range) mixed with a few good files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace hostile {

constexpr uint32_t RATE = 32000;
constexpr uint32_t OTHER_RATE = 22050;
constexpr int MAX_AUDIO = 100;

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
std::vector<Entry> make_hostile_folder(const std::filesystem::path &slot, bool fill);
// The folder's entries in the order the host lists them.
std::vector<std::string> listing(const std::filesystem::path &dir);
bool is_audio_name(const std::string &name);

}  // namespace hostile
