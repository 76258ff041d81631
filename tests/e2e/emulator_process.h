// End-to-end helper: runs the real emulator binary in a folder of its own, feeds it console
// lines and collects its output lines with their arrival times.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

struct OutputLine {
    std::string text;
    double t_ms;  // milliseconds since the process was started
};

using test_support::TempFolder;

class EmulatorProcess {
public:
    // Starts the emulator with `args` in `workdir`.
    EmulatorProcess(const std::filesystem::path &workdir, const std::vector<std::string> &args = {});
    ~EmulatorProcess();

    void send(const std::string &line);
    void close_input();
    // Waits until a line containing `text` arrives (searching from line index `from`); returns
    // its index or -1 after `timeout`.
    int wait_for(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 size_t from = 0);
    // Number of lines containing `text` so far.
    int count(const std::string &text) const;
    std::vector<OutputLine> lines() const;
    std::string dump() const;
    // Sends SIGINT and waits for the end; returns the wait status (see waitpid).
    int stop(int sig = 2);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    void reader_loop();

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    std::chrono::steady_clock::time_point start_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<OutputLine> lines_;
    bool eof_ = false;
};

// Runs the emulator with `args` in `workdir` to its end, with no input; its standard output and
// standard error go to `out` and `err`. One still running after `timeout` is killed, and `err`
// begins with a line that says so. Returns the exit status, or -1 when it did not exit. EMULATOR
// in the environment names another emulator binary to run.
int run_emulator(const std::filesystem::path &workdir, const std::vector<std::string> &args, std::string *out,
                 std::string *err, std::chrono::seconds timeout = std::chrono::seconds(120));
