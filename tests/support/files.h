// Temporary folders and files for the tests. A temporary folder is made fresh under the system's
// temporary directory and removed, with everything in it, when the object goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

class TempFolder {
public:
    // "<temporary directory>/<prefix>-XXXXXX"; throws when it cannot be made. No underscore
    // before the random part: "_T", "_L" or "_V" followed by digits in a folder name would count
    // as file-name parameters of the audio files in it.
    explicit TempFolder(const std::string &prefix = "test");
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // The path of `name` in the folder.
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    // Writes `content` to `relative` (below the folder), creating parent folders.
    void write(const std::string &relative, const std::string &content = "") const;

private:
    std::filesystem::path path_;
};

// Makes `folder` the working directory while it lives: the firmware takes its slot folders
// relative to the working directory.
class InFolder {
public:
    explicit InFolder(const std::filesystem::path &folder);
    ~InFolder();
    InFolder(const InFolder &) = delete;
    InFolder &operator=(const InFolder &) = delete;

private:
    std::filesystem::path previous_;
};

// A temporary folder that is the working directory while it lives.
class WorkFolder : public TempFolder {
public:
    explicit WorkFolder(const std::string &prefix = "test") : TempFolder(prefix), in_(path()) {}

private:
    InFolder in_;
};

// Writes `content` to `path`, creating parent folders.
void write_file(const std::filesystem::path &path, const std::string &content = "");
// The whole file as text ("" when it cannot be read).
std::string read_file(const std::filesystem::path &path);
// The whole file (empty when it cannot be read), and a file written from bytes.
std::vector<uint8_t> read_bytes(const std::string &path);
bool write_bytes(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace test_support
