// The drive explorer's model of a generated sound project: every file with the role it was made
// for and the tone it carries, the drive function's levels, the functions that logic conditions
// drive, and the error lines the project provokes on purpose. The generator writes it next to
// the project (model.txt) so that a stored case is checked without the generator.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace explore {

enum class Format { PCM, ADPCM, OGG };

struct File {
    std::string name;  // in data/<slot>/
    int function = 0;
    // Drive roles: "level-on", "level-loop", "level-off", "part" (of a complex loop), "start", "stop",
    // "estop", "dir", "accel", "decel" (whole range), "accel-band", "decel-band", "accelon",
    // "decelon", "turbo", "loopd", "main-on", "main-loop", "main-off". Plain roles: "on", "loop",
    // "off", "oneshot", "info", "infonext"; a MULTI function's files carry its variant in `index`.
    std::string role;
    int index = -1;  // the level of a level or part file, the variant of a MULTI file, the entry of INFO
    int freq = 0;    // Hz: every file has a tone of its own
    int ms = 0;      // length
    int channels = 1;
    Format format = Format::PCM;
    int loop_length_ms = 0;  // "_L" in the name: the loop fades out once it has run that long
};

struct Slot {
    int drive_fid = -1;  // the drive function's key, -1 without one
    bool load = false;   // levels follow the engine load (M) rather than the speed (S)
    std::vector<int> level_pct;
    std::vector<File> files;
    std::vector<std::string> logic;          // lines of logic.txt
    std::vector<int> logic_targets;          // functions a logic condition switches, blocks or triggers
    std::vector<std::string> expect_errors;  // error-line texts the project provokes on purpose

    bool empty() const { return files.empty(); }
    std::vector<const File *> of_function(int f) const;
    const File *find(const std::string &role, int index = -1) const;
    bool has_role(const std::string &role) const { return find(role) != nullptr; }
    bool is_logic_target(int f) const;
    // The drive function has a loop for every level (for a loop of parts: its first part). The
    // rules about the engine sound apply only then: a level without a loop is silent by design,
    // and shrinking a case may take a level's loop away.
    bool drive_complete() const;
    // The longest drive sound (the time a transition may take), ms.
    int longest_drive_ms() const;
};

struct Model {
    Slot slots[3];  // data/1 .. data/3
    // The file behind a path "data/<slot>/<name>", or null.
    const File *file_of(const std::string &path) const;
};

// Writes the model as text; reads it back (false with a message for a malformed file).
void save_model(const Model &m, const std::filesystem::path &file);
bool load_model(Model *m, const std::filesystem::path &file, std::string *error);

bool is_drive_role(const std::string &role);

}  // namespace explore
