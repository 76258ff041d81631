// The platform clock: one clock for everything, in one of three modes. By default it reads
// std::chrono::steady_clock (monotonic, so a wall-clock change neither freezes nor floods the
// timers) relative to esp_timer_init(); tests switch to a manual clock they advance; simulated
// time (os/sim.cpp) has a clock of its own that moves only when every task waits.
#include "clock.h"

#include <atomic>

#include "cpu.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "os/sim.h"
#include "stub.h"

static std::chrono::steady_clock::time_point s_start_ts = std::chrono::steady_clock::now();
static std::atomic<bool> s_manual{false};
static std::atomic<bool> s_sim{false};
static std::atomic<int64_t> s_manual_us{0};
// Never destroyed: task threads are detached and may still wait on the manual clock while the
// process runs its exit handlers; destroying these under them would be a use after free.
static std::mutex &s_clock_mutex = *new std::mutex;
static std::condition_variable &s_clock_cv = *new std::condition_variable;

bool clock_is_virtual() {
    return s_manual.load() || s_sim.load();
}

std::chrono::steady_clock::time_point clock_real_time_point(int64_t us) {
    return s_start_ts + std::chrono::microseconds(us);
}

std::mutex &clock_mutex() {
    return s_clock_mutex;
}

std::condition_variable &clock_cv() {
    return s_clock_cv;
}

void stub_clock_use_manual(int64_t start_us) {
    s_manual_us.store(start_us);
    s_manual.store(true);
    s_clock_cv.notify_all();
}

void stub_clock_use_real() {
    s_manual.store(false);
    s_clock_cv.notify_all();
}

bool stub_clock_is_manual() {
    return s_manual.load();
}

void stub_clock_advance_us(int64_t us) {
    {
        std::lock_guard<std::mutex> lock(s_clock_mutex);
        s_manual_us.fetch_add(us);
    }
    s_clock_cv.notify_all();
}

void stub_clock_set_us(int64_t now_us) {
    {
        std::lock_guard<std::mutex> lock(s_clock_mutex);
        s_manual_us.store(now_us);
    }
    s_clock_cv.notify_all();
}

static bool s_shuffle_schedule;

void stub_sim_shuffle_schedule(bool on) {
    s_shuffle_schedule = on;
}

void stub_sim_start(const char *thread_name, uint64_t seed) {
    cpu_seed_cycle_counter(seed);
    if (s_shuffle_schedule) sim_shuffle(seed);
    sim_register_first(thread_name);
    s_sim.store(true);
}

bool stub_sim_active() {
    return s_sim.load(std::memory_order_relaxed);
}

esp_err_t esp_timer_init(void) {
    s_start_ts = std::chrono::steady_clock::now();
    return ESP_OK;
}

int64_t esp_timer_get_time(void) {
    if (s_sim.load(std::memory_order_relaxed)) return sim_now_us();
    if (s_manual.load(std::memory_order_relaxed)) return s_manual_us.load(std::memory_order_relaxed);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 s_start_ts)
        .count();
}

uint32_t esp_log_timestamp(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}
