// Faults at the platform's seams. The firmware's file calls reach __wrap_fopen, __wrap_fread and
// __wrap_fclose (see fault.h); with no fault armed they go straight to the C library. The store
// faults wrap the installed NVS backend.
//
// Threads: the readers' tasks and the slot loader read files; a lock guards the table of open
// sound files and the draws. Nothing waits while holding it: a slow read or store sleeps on the
// platform clock after the lock is released, so in simulated time it hands the run on to the
// other threads as a slow device would.
#include "fault.h"

#include <strings.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "nvs_backend.h"
#include "stub.h"

extern "C" {
FILE *__real_fopen(const char *path, const char *mode);
size_t __real_fread(void *ptr, size_t size, size_t n, FILE *f);
int __real_fclose(FILE *f);
FILE *__wrap_fopen(const char *path, const char *mode);
size_t __wrap_fread(void *ptr, size_t size, size_t n, FILE *f);
int __wrap_fclose(FILE *f);
}

const char *const FAULT_NAMES = "short-read, slow-read, truncate, remove, slow-store";

namespace {

enum : unsigned { SHORT_READ = 1, SLOW_READ = 2, TRUNCATE = 4, REMOVE = 8, SLOW_STORE = 16 };

std::atomic<unsigned> g_armed{0};  // set before the firmware starts
std::atomic<bool> g_on{false};

std::mutex g_mu;                              // every field below
std::map<FILE *, std::string> g_sound_files;  // open sound files
std::set<std::string> g_cut, g_removed;       // files truncated or removed so far
std::set<FILE *> g_cut_open;                  // open streams of a truncated file
uint64_t g_seed, g_draws;
uint64_t g_reads;      // reads of sound files so far
uint64_t g_strike_at;  // the read at which a file is truncated or removed

// The next draw in [0, n).
uint64_t draw(uint64_t n) {
    return stub_mix64(g_seed + ++g_draws * STUB_MIX64_GAMMA) % n;
}

bool is_sound_file(const char *path) {
    const size_t n = path != nullptr ? strlen(path) : 0;
    return n > 4 && (strcasecmp(path + n - 4, ".wav") == 0 || strcasecmp(path + n - 4, ".ogg") == 0);
}

// The store, slow to write: each write and commit takes 5 to 200 ms longer.
class SlowStore : public NvsBackend {
public:
    explicit SlowStore(NvsBackend *inner) : inner_(inner) {}
    esp_err_t open(const char *ns, nvs_open_mode_t mode, nvs_handle_t *out) override {
        return inner_->open(ns, mode, out);
    }
    void close(nvs_handle_t h) override { inner_->close(h); }
    esp_err_t commit(nvs_handle_t h) override {
        slow();
        return inner_->commit(h);
    }
    esp_err_t erase_key(nvs_handle_t h, const char *key) override {
        slow();
        return inner_->erase_key(h, key);
    }
    esp_err_t get(nvs_handle_t h, const char *key, NvsType type, void *out, size_t *length) override {
        return inner_->get(h, key, type, out, length);
    }
    esp_err_t set(nvs_handle_t h, const char *key, NvsType type, const void *value, size_t length) override {
        slow();
        return inner_->set(h, key, type, value, length);
    }

private:
    static void slow() {
        int64_t us;
        {
            std::lock_guard<std::mutex> lock(g_mu);
            us = 5000 + (int64_t)draw(195001);
        }
        stub_sleep_us(us);
    }
    NvsBackend *inner_;
};

}  // namespace

FILE *__wrap_fopen(const char *path, const char *mode) {
    if (!g_on.load(std::memory_order_relaxed) || !is_sound_file(path)) return __real_fopen(path, mode);
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_removed.count(path) != 0) {
        errno = ENOENT;
        return nullptr;
    }
    FILE *f = __real_fopen(path, mode);
    if (f != nullptr) {
        g_sound_files[f] = path;
        if (g_cut.count(path) != 0) g_cut_open.insert(f);
    }
    return f;
}

int __wrap_fclose(FILE *f) {
    if (g_on.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(g_mu);
        g_sound_files.erase(f);
        g_cut_open.erase(f);
    }
    return __real_fclose(f);
}

size_t __wrap_fread(void *ptr, size_t size, size_t n, FILE *f) {
    if (!g_on.load(std::memory_order_relaxed)) return __real_fread(ptr, size, n, f);
    int64_t slow_us = 0;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        auto it = g_sound_files.find(f);
        if (it == g_sound_files.end()) return __real_fread(ptr, size, n, f);
        const unsigned armed = g_armed.load(std::memory_order_relaxed);
        if (++g_reads == g_strike_at) {
            // Cut at the point it has reached, or removed from its folder (an open stream of a
            // removed file still reads, as on Linux).
            if (armed & TRUNCATE) {
                g_cut.insert(it->second);
                for (const auto &[g, path] : g_sound_files)
                    if (path == it->second) g_cut_open.insert(g);
            }
            if (armed & REMOVE) g_removed.insert(it->second);
        }
        if (g_cut_open.count(f) != 0) return 0;
        if ((armed & SHORT_READ) && n > 1 && draw(40) == 0) n = 1 + draw(n - 1);
        if ((armed & SLOW_READ) && draw(10) == 0) slow_us = 1000 + (int64_t)draw(49001);
    }
    if (slow_us > 0) stub_sleep_us(slow_us);
    return __real_fread(ptr, size, n, f);
}

bool fault_arm(const char *name, std::string *error) {
    static const std::map<std::string, unsigned> names = {{"short-read", SHORT_READ},
                                                          {"slow-read", SLOW_READ},
                                                          {"truncate", TRUNCATE},
                                                          {"remove", REMOVE},
                                                          {"slow-store", SLOW_STORE}};
    auto it = names.find(name);
    if (it == names.end()) {
        *error = std::string("--fault takes one of ") + FAULT_NAMES + ", not '" + name + "'";
        return false;
    }
    g_armed.fetch_or(it->second);
    return true;
}

void fault_start(uint64_t seed) {
    const unsigned armed = g_armed.load();
    if (armed == 0) return;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        // A stream of its own: the firmware's random choices draw from the seed itself.
        g_seed = seed ^ 0xFA017FA017FA017Full;
        g_strike_at = 20 + draw(600);
    }
    if (armed & SLOW_STORE) {
        static std::unique_ptr<SlowStore> store;
        if (NvsBackend *inner = stub_nvs_backend()) {
            store = std::make_unique<SlowStore>(inner);
            stub_nvs_set_backend(store.get());
        }
    }
    g_on.store((armed & ~SLOW_STORE) != 0);
}
