#include "emulator_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

EmulatorProcess::EmulatorProcess(const std::filesystem::path &workdir, const std::vector<std::string> &args) {
    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
    start_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(out_pipe[1], 2);
        close(in_pipe[0]);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(out_pipe[1]);
        if (chdir(workdir.c_str()) != 0) _exit(127);
        std::vector<char *> argv;
        std::string exe = EMULATOR_PATH;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto &a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    signal(SIGPIPE, SIG_IGN);
    reader_ = std::thread([this] { reader_loop(); });
}

EmulatorProcess::~EmulatorProcess() {
    if (pid_ > 0) stop(SIGKILL);
    if (reader_.joinable()) reader_.join();
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (stdout_fd_ >= 0) close(stdout_fd_);
}

void EmulatorProcess::reader_loop() {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = read(stdout_fd_, buf, sizeof buf);
        if (n <= 0) break;
        double t =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        partial.append(buf, (size_t)n);
        size_t pos;
        std::lock_guard<std::mutex> lock(mutex_);
        while ((pos = partial.find('\n')) != std::string::npos) {
            lines_.push_back({partial.substr(0, pos), t});
            partial.erase(0, pos + 1);
        }
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) lines_.push_back({partial, 0});
    eof_ = true;
    cv_.notify_all();
}

void EmulatorProcess::send(const std::string &line) {
    std::string s = line + "\n";
    ssize_t ignored = write(stdin_fd_, s.data(), s.size());
    (void)ignored;
}

void EmulatorProcess::close_input() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
}

int EmulatorProcess::wait_for(const std::string &text, std::chrono::milliseconds timeout, size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    size_t next = from;
    cv_.wait_for(lock, timeout, [&] {
        for (; next < lines_.size(); next++) {
            if (lines_[next].text.find(text) != std::string::npos) {
                found = (int)next;
                return true;
            }
        }
        return eof_;
    });
    return found;
}

int EmulatorProcess::count(const std::string &text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (auto &l : lines_)
        n += l.text.find(text) != std::string::npos ? 1 : 0;
    return n;
}

std::vector<OutputLine> EmulatorProcess::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string EmulatorProcess::dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string s;
    for (auto &l : lines_)
        s += l.text + "\n";
    return s;
}

int EmulatorProcess::stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = 0;
    // Give it a generous time to finish (recordings are closed on the way out).
    for (int i = 0; i < 1000; i++) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            break;
        }
        usleep(10000);
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return status;
}

int run_emulator(const std::filesystem::path &workdir, const std::vector<std::string> &args, std::string *out,
                 std::string *err, std::chrono::seconds timeout) {
    TempFolder files;
    const std::filesystem::path out_path = files.path() / "out", err_path = files.path() / "err";
    // EMULATOR names another binary than the one of this build (a long explorer run keeps going
    // while the build changes).
    std::string exe = getenv("EMULATOR") != nullptr ? getenv("EMULATOR") : EMULATOR_PATH;
    std::vector<std::string> copy = args;
    std::vector<char *> argv = {exe.data()};
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        if (err != nullptr) *err = "fork failed\n";
        return -1;
    }
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || e < 0 || chdir(workdir.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    // A run that goes on past `timeout` is stopped, so that a hang shows as a failure rather than
    // as a test that never ends.
    int status = 0;
    bool stopped = false;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            stopped = true;
            break;
        }
        usleep(2000);
    }
    auto slurp = [](const std::filesystem::path &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (out != nullptr) *out = slurp(out_path);
    if (err != nullptr) {
        *err = stopped ? "the emulator did not finish within " + std::to_string(timeout.count()) +
                             " s and was stopped\n"
                       : "";
        *err += slurp(err_path);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
