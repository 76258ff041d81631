// The drive explorer: generates sound projects and drive scripts from seeds, renders each in
// simulated time (twice), and checks the rules of rules.h on the log and the recording. A case
// that breaks a rule is shrunk (files, logic lines and script lines removed while the rule still
// breaks) and written as a folder with its script, which `emulator --script drive.txt --render
// take.wav` replays and `explore --case FOLDER` checks again.
//
//   explore [COUNT [SEED]] [--jobs N] [--keep FOLDER] [--no-shrink]   COUNT cases (200) from SEED (1)
//   explore --case FOLDER [--shrink TO [RULE]]            one stored case (shrunk into TO)
//   explore --write SEED FOLDER                           the case of one seed, as generated
//
// Ends with "N cases, N passed, N failed"; status 1 when a case failed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "generate.h"
#include "model.h"
#include "render.h"
#include "rules.h"

namespace {

using namespace explore;
namespace fs = std::filesystem;

struct Case {
    Model model;
    std::vector<std::string> script;
    std::string options;  // added to the emulator's command line (options.txt)
};

// A third of the seeds shuffle the schedule (another interleaving of the tasks) and one in six
// adds a fault at the platform's seams, both drawn from the seed, which the render then gets.
std::string options_of(uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0x0F7105ull);
    const char *const faults[] = {"short-read", "slow-read", "truncate", "remove", "slow-store"};
    std::string o = rng() % 3 == 0 ? " --shuffle-schedule" : "";
    if (rng() % 6 == 0) o += std::string(" --fault ") + faults[rng() % 5];
    return o.empty() ? o : o + " --seed " + std::to_string(seed);
}

// Under a fault some rules are left out (see check_all): a fault changes what a file holds or
// when it is read, or slows a load or the command that writes the store.
bool faultless(const Case &c) {
    return c.options.find("--fault") == std::string::npos;
}

// A render takes seconds: the shrinker, which renders a hanging case again and again, gives up
// on a try sooner than a first render does.
int g_timeout_s = 120;
bool g_shrink = true;  // --no-shrink: report failing seeds only (a long run over known faults)

Take take(const Case &c, const fs::path &dir, const std::string &script) {
    std::vector<std::string> args = {"--trace", (dir / "trace.jsonl").string()};
    std::istringstream words(c.options);
    for (std::string w; words >> w;)
        args.push_back(w);
    Take t{render(dir, script, args, g_timeout_s), {}};
    std::ifstream in(dir / "trace.jsonl");
    for (std::string l; std::getline(in, l);)
        t.trace.push_back(l);
    return t;
}

std::string join(const std::vector<std::string> &lines) {
    std::string s;
    for (const auto &l : lines)
        s += l + "\n";
    return s;
}

// Renders the case in `dir` (emptied first) and checks it; the second render only when asked.
std::vector<Violation> run(const Case &c, const fs::path &dir, const fs::path &cache, bool repeat) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    write_project(c.model, dir, cache);
    const std::string script = join(c.script);
    const Take first = take(c, dir, script);
    const Take second = repeat ? take(c, dir, script) : first;
    return check_all(c.model, c.script, first, second, faultless(c));
}

bool breaks(const std::vector<Violation> &v, const std::string &rule) {
    for (const auto &x : v)
        if (x.rule == rule) return true;
    return false;
}

// Removes what it can from the case while `rule` still breaks.
Case shrink(Case c, const std::string &rule, const fs::path &dir, const fs::path &cache) {
    const bool repeat = rule == "render_repeats";
    g_timeout_s = 20;
    auto still = [&](const Case &k) { return breaks(run(k, dir, cache, repeat), rule); };
    for (bool changed = true; changed;) {
        changed = false;
        for (Slot &slot : c.model.slots) {
            // Each file, then each logic line, from the last.
            auto each_left_out = [&](auto list) {
                for (size_t i = (slot.*list).size(); i-- > 0;) {
                    Case k = c;
                    auto &items = k.model.slots[&slot - c.model.slots].*list;
                    items.erase(items.begin() + (long)i);
                    if (still(k)) {
                        c = k;
                        changed = true;
                    }
                }
            };
            each_left_out(&Slot::files);
            each_left_out(&Slot::logic);
        }
        // Script lines: halves first, then ever smaller runs.
        for (size_t n = c.script.size() / 2; n >= 1; n /= 2) {
            for (size_t at = 0; at + n <= c.script.size();) {
                Case k = c;
                k.script.erase(k.script.begin() + (long)at, k.script.begin() + (long)(at + n));
                if (!k.script.empty() && still(k)) {
                    c = k;
                    changed = true;
                } else {
                    at += n;
                }
            }
        }
    }
    g_timeout_s = 120;
    return c;
}

void store(const Case &c, const fs::path &to, const fs::path &cache, const Violation &v, uint64_t seed) {
    fs::remove_all(to);
    fs::create_directories(to);
    write_project(c.model, to, cache);
    std::ofstream(to / "drive.txt") << join(c.script);
    if (!c.options.empty()) std::ofstream(to / "options.txt") << c.options << "\n";
    std::ofstream(to / "README.txt") << "Drive explorer case, seed " << seed << ": rule " << v.rule
                                     << " broke at " << v.t_ms << " ms:\n  " << v.what
                                     << "\nReplay: cd into this folder and run\n"
                                        "  emulator --script drive.txt --render take.wav --trace trace.jsonl"
                                     << c.options << "\nCheck again: explore --case <this folder>\n";
}

struct Counts {
    int cases = 0, passed = 0, failed = 0;
};

Counts explore_seeds(uint64_t first, int count, int stride, int offset, const fs::path &keep,
                     const fs::path &work, const fs::path &cache) {
    Counts n;
    for (int i = offset; i < count; i += stride) {
        const uint64_t seed = first + (uint64_t)i;
        Case c{generate_project(seed), {}, options_of(seed)};
        c.script = generate_script(c.model, seed);
        const auto v = run(c, work, cache, true);
        n.cases++;
        if (v.empty()) {
            n.passed++;
            continue;
        }
        n.failed++;
        printf("seed %llu%s: %s at %lld ms: %s\n", (unsigned long long)seed, c.options.c_str(),
               v[0].rule.c_str(), v[0].t_ms, v[0].what.c_str());
        fflush(stdout);
        if (!g_shrink) continue;
        const Case small = shrink(c, v[0].rule, work, cache);
        const auto again = run(small, work, cache, v[0].rule == "render_repeats");
        const Violation &shown = again.empty() ? v[0] : again[0];
        const fs::path to = keep / ("seed-" + std::to_string(seed) + "-" + v[0].rule);
        store(small, to, cache, shown, seed);
        size_t files = 0;
        for (const Slot &s : small.model.slots)
            files += s.files.size();
        printf("  shrunk to %zu files and %zu script lines: %s\n", files, small.script.size(), to.c_str());
        fflush(stdout);
    }
    return n;
}

bool load_case(const fs::path &dir, Case *c) {
    std::string error;
    if (!load_model(&c->model, dir / "model.txt", &error)) {
        fprintf(stderr, "explore: %s\n", error.c_str());
        return false;
    }
    // The logic lines live in the folder, not in the model.
    for (int s = 0; s < 3; s++) {
        std::ifstream logic(dir / "data" / std::to_string(s + 1) / "logic.txt");
        for (std::string l; std::getline(logic, l);)
            if (!l.empty()) c->model.slots[s].logic.push_back(l);
    }
    std::ifstream in(dir / "drive.txt");
    for (std::string l; std::getline(in, l);)
        c->script.push_back(l);
    std::ifstream options(dir / "options.txt");
    if (std::getline(options, c->options) && c->options[0] != ' ') c->options = " " + c->options;
    return true;
}

// Shrinks a stored case by `rule`, or by the first rule it breaks, into `to`.
int shrink_case(const fs::path &dir, const fs::path &to, const fs::path &cache, std::string rule) {
    Case c;
    if (!load_case(dir, &c)) return 2;
    const fs::path work = fs::temp_directory_path() / ("explore-shrink-" + std::to_string(getpid()));
    const auto v = run(c, work, cache, true);
    if (v.empty()) {
        printf("%s: every rule holds, nothing to shrink\n", dir.c_str());
        fs::remove_all(work);
        return 0;
    }
    if (rule.empty()) rule = v[0].rule;
    const Case small = shrink(c, rule, work, cache);
    const auto again = run(small, work, cache, rule == "render_repeats");
    fs::remove_all(work);
    const auto shown =
        std::find_if(again.begin(), again.end(), [&](const Violation &x) { return x.rule == rule; });
    store(small, to, cache, shown != again.end() ? *shown : v[0], 0);
    printf("%s at %lld ms: %s\nshrunk into %s\n", v[0].rule.c_str(), v[0].t_ms, v[0].what.c_str(),
           to.c_str());
    return 1;
}

int check_case(const fs::path &dir) {
    Case c;
    if (!load_case(dir, &c)) return 2;
    // In a copy: the render writes its files next to the project.
    const fs::path work = fs::temp_directory_path() / ("explore-case-" + std::to_string(getpid()));
    fs::remove_all(work);
    fs::copy(dir, work, fs::copy_options::recursive);
    const std::string script = join(c.script);
    const Take first = take(c, work, script), second = take(c, work, script);
    const auto v = check_all(c.model, c.script, first, second, faultless(c));
    fs::remove_all(work);
    for (const auto &x : v)
        printf("%s at %lld ms: %s\n", x.rule.c_str(), x.t_ms, x.what.c_str());
    printf("%s: %s\n", dir.c_str(), v.empty() ? "every rule holds" : "broken");
    return v.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    int count = 200, jobs = 1;
    uint64_t seed = 1;
    fs::path keep = "explore-failures";
    std::vector<std::string> plain;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--write" && i + 2 < argc) {
            // The case of one seed as a folder, as generated (to look at or replay by hand).
            const uint64_t one = std::strtoull(argv[i + 1], nullptr, 10);
            Case c{generate_project(one), {}, options_of(one)};
            c.script = generate_script(c.model, one);
            store(c, argv[i + 2], fs::temp_directory_path() / "explore-cache",
                  Violation{"none", -1, "as generated"}, one);
            return 0;
        }
        if (a == "--case" && i + 1 < argc) {
            const fs::path cache = fs::temp_directory_path() / "explore-cache";
            if (i + 3 < argc && std::string(argv[i + 2]) == "--shrink")
                return shrink_case(argv[i + 1], argv[i + 3], cache, i + 4 < argc ? argv[i + 4] : "");
            return check_case(argv[i + 1]);
        } else if (a == "--jobs" && i + 1 < argc) {
            jobs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-shrink") {
            g_shrink = false;
        } else if (a == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else if (a == "--help" || a == "-h") {
            printf(
                "usage: explore [COUNT [SEED]] [--jobs N] [--keep FOLDER] [--no-shrink]\n"
                "       explore --case FOLDER [--shrink TO [RULE]]\n");
            return 0;
        } else {
            plain.push_back(a);
        }
    }
    if (!plain.empty()) count = std::atoi(plain[0].c_str());
    if (plain.size() > 1) seed = std::strtoull(plain[1].c_str(), nullptr, 10);
    if (count <= 0) {
        fprintf(stderr, "explore: COUNT must be a positive number\n");
        return 2;
    }
    const fs::path cache = fs::temp_directory_path() / "explore-cache";
    fs::create_directories(cache);
    keep = fs::absolute(keep);
    // Workers, each taking every jobs-th seed; they report their counts through a pipe.
    std::vector<std::pair<pid_t, int>> workers;
    const auto work_of = [](pid_t pid) {
        return fs::temp_directory_path() / ("explore-" + std::to_string(pid));
    };
    // Ends the workers from `from` on and removes their work folders: when one fails, the run
    // has failed, and the others must not go on rendering alone.
    const auto stop_workers = [&](size_t from) {
        for (size_t k = from; k < workers.size(); k++) {
            kill(workers[k].first, SIGKILL);
            close(workers[k].second);
            waitpid(workers[k].first, nullptr, 0);
            std::error_code ec;
            fs::remove_all(work_of(workers[k].first), ec);
        }
    };
    for (int j = 0; j < jobs; j++) {
        int fd[2];
        if (pipe(fd) != 0) {
            fprintf(stderr, "explore: cannot start a worker: %s\n", strerror(errno));
            stop_workers(0);
            return 2;
        }
        const pid_t pid = fork();
        if (pid < 0) {
            fprintf(stderr, "explore: cannot start a worker: %s\n", strerror(errno));
            close(fd[0]);
            close(fd[1]);
            stop_workers(0);
            return 2;
        }
        if (pid == 0) {
            close(fd[0]);
            const fs::path work = work_of(getpid());
            const Counts n = explore_seeds(seed, count, jobs, j, keep, work, cache);
            fs::remove_all(work);
            dprintf(fd[1], "%d %d %d\n", n.cases, n.passed, n.failed);
            _exit(0);
        }
        close(fd[1]);
        workers.push_back({pid, fd[0]});
    }
    Counts total;
    for (size_t k = 0; k < workers.size(); k++) {
        const auto [pid, fd] = workers[k];
        char buf[64] = {};
        ssize_t got = read(fd, buf, sizeof buf - 1);
        close(fd);
        waitpid(pid, nullptr, 0);
        Counts n;
        if (got <= 0 || sscanf(buf, "%d %d %d", &n.cases, &n.passed, &n.failed) != 3) {
            fprintf(stderr, "explore: a worker ended without its counts\n");
            std::error_code ec;
            fs::remove_all(work_of(pid), ec);
            stop_workers(k + 1);
            return 2;
        }
        total.cases += n.cases;
        total.passed += n.passed;
        total.failed += n.failed;
    }
    printf("%d cases, %d passed, %d failed\n", total.cases, total.passed, total.failed);
    return total.failed == 0 ? 0 : 1;
}
