#include "bench_util.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

double process_cpu_seconds() {
    struct rusage ru = {};
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           (double)ru.ru_stime.tv_usec / 1e6;
}

// Run time of one thread in seconds, from /proc/self/task/<tid>/schedstat (nanoseconds on the
// CPU): finer than the clock-tick counts of .../stat, which miss a thread that runs briefly.
static double thread_cpu(const std::string &tid) {
    std::ifstream f("/proc/self/task/" + tid + "/schedstat");
    unsigned long long ns = 0;
    f >> ns;
    return (double)ns / 1e9;
}

double threads_cpu_seconds(const std::string &prefix) {
    double total = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr) return 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream c(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(c, name);
        if (name.compare(0, prefix.size(), prefix) == 0) total += thread_cpu(e->d_name);
    }
    closedir(d);
    return total;
}

bool run(const std::string &cmd) {
    return std::system(cmd.c_str()) == 0;
}

bool make_sound(const std::string &path, double seconds, int rate, const std::string &encoding) {
    std::string enc = encoding == "adpcm" ? "-e ima-adpcm" : encoding == "pcm" ? "-e signed -b 16" : "";
    char cmd[1024];
    // Noise mixed with a sweep: every ADPCM step size and every Vorbis band gets used.
    snprintf(cmd, sizeof cmd,
             "%s -n -r %d -c 1 %s '%s' synth %.3f pinknoise mix sine 200-2000 vol 0.5 >/dev/null 2>&1",
             SOX_PATH, rate, enc.c_str(), path.c_str(), seconds);
    if (!run(cmd)) {
        fprintf(stderr, "bench: sox could not make %s\n", path.c_str());
        return false;
    }
    return true;
}

long long file_size(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    fseek(f, 0, SEEK_END);
    long long n = ftell(f);
    fclose(f);
    return n;
}

}  // namespace bench
