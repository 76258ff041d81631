// Replays fuzz inputs without libFuzzer: every file named on the command line, and every file
// directly inside every folder named there (in name order), goes once through the target.
// Used by the normal test suite to keep each corpus (and every input that once crashed) passing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static bool replay_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; i++) {
        fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const auto &entry : fs::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            for (const auto &f : files) {
                if (!replay_file(f)) return 1;
                replayed++;
            }
        } else if (fs::is_regular_file(arg, ec)) {
            if (!replay_file(arg)) return 1;
            replayed++;
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
            return 1;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return 0;
}
