// Seeded generators of sound projects and drive scripts for the drive explorer, and the writing
// of a project's folder (audio files are made once per kind and kept in a cache folder).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "model.h"

namespace explore {

// A project for slot 1, and sometimes a smaller one for slot 2 (for slot switches).
Model generate_project(uint64_t seed);

// A drive script of about half a minute to a minute and a half: lines as the emulator reads them.
std::vector<std::string> generate_script(const Model &m, uint64_t seed);

// Writes slot.txt, data/1..3 and the model into `dir` (which must exist and be empty of them).
// Audio files come from `cache`, made there on first use.
void write_project(const Model &m, const std::filesystem::path &dir, const std::filesystem::path &cache);

}  // namespace explore
