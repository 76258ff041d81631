// Timer service, time base and small platform services.
//
// Time: one platform clock for everything. It reads std::chrono::steady_clock (monotonic, so a
// wall-clock change neither freezes nor floods the timers) relative to esp_timer_init(), or a
// manual clock that tests advance. Timers: a fixed table of 200 entries polled by the 1 ms tick
// on the tick thread. Start, stop, create and delete come from any thread, so each entry's
// read-modify-write happens under the table lock; callbacks always run outside it.
#include "stub.h"

#include <x86intrin.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "esp_cpu.h"
#include "esp_heap_caps.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "os/sim.h"
#include "rom/ets_sys.h"

static const char *TAG = "esp_timer";

// ---------------------------------------------------------------- clock

static std::chrono::steady_clock::time_point s_start_ts = std::chrono::steady_clock::now();
static std::atomic<bool> s_manual{false};
static std::atomic<bool> s_sim{false};
static std::atomic<uint64_t> s_random_state{0};
static std::atomic<int64_t> s_manual_us{0};
// Never destroyed: task threads are detached and may still wait on the manual clock while the
// process runs its exit handlers; destroying these under them would be a use after free.
static std::mutex &s_clock_mutex = *new std::mutex;
static std::condition_variable &s_clock_cv = *new std::condition_variable;

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
    s_random_state.store(seed);
    if (s_shuffle_schedule) sim_shuffle(seed);
    sim_register_first(thread_name);
    s_sim.store(true);
}

bool stub_sim_active() {
    return s_sim.load(std::memory_order_relaxed);
}

// A thread of the scheduler in simulated time: its waits go through the scheduler. Threads it
// does not know (a test's own) wait on the host as with the manual clock.
static bool sim_thread_here() {
    return s_sim.load(std::memory_order_relaxed) && sim_self() != nullptr;
}

void stub_notify(std::condition_variable &cv) {
    if (s_sim.load(std::memory_order_relaxed)) sim_wake(&cv);
    cv.notify_all();
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

void stub_sleep_until_us(int64_t deadline_us) {
    if (sim_thread_here()) {
        while (sim_now_us() < deadline_us)
            sim_block(nullptr, deadline_us, "the end of a delay");
        return;
    }
    if (!s_manual.load() && !s_sim.load()) {
        std::this_thread::sleep_until(s_start_ts + std::chrono::microseconds(deadline_us));
        return;
    }
    std::unique_lock<std::mutex> lock(s_clock_mutex);
    while ((s_manual.load() || s_sim.load()) && esp_timer_get_time() < deadline_us) {
        s_clock_cv.wait_for(lock, std::chrono::milliseconds(1));
    }
    if (!s_manual.load() && !s_sim.load()) {
        lock.unlock();
        std::this_thread::sleep_until(s_start_ts + std::chrono::microseconds(deadline_us));
    }
}

void stub_sleep_us(int64_t us) {
    if (us <= 0) return;
    if (!s_manual.load() && !s_sim.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
        return;
    }
    stub_sleep_until_us(esp_timer_get_time() + us);
}

bool stub_wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, int64_t deadline_us,
                     const std::function<bool()> &pred) {
    if (sim_thread_here()) {
        while (!pred()) {
            if (sim_now_us() >= deadline_us) return false;
            // Nothing else runs between the unlock and the block, so no wake-up is missed.
            lock.unlock();
            sim_block(&cv, deadline_us, "an event");
            lock.lock();
        }
        return true;
    }
    while (!pred()) {
        int64_t now = esp_timer_get_time();
        if (now >= deadline_us) return false;
        if (s_manual.load() || s_sim.load()) {
            // The manual clock moves without notifying this condition variable: poll it.
            cv.wait_for(lock, std::chrono::milliseconds(1));
        } else if (deadline_us == STUB_FOREVER) {
            cv.wait(lock);
        } else {
            cv.wait_for(lock, std::chrono::microseconds(deadline_us - now));
        }
    }
    return true;
}

// ---------------------------------------------------------------- tick loop wake-up

// Counts the wake-ups; the tick loop sleeps while the count is the one it read before it
// computed its deadline, so a wake-up between the two is never lost.
static std::atomic<uint32_t> s_tick_wakeups{0};
static std::mutex &s_tick_mutex = *new std::mutex;
static std::condition_variable &s_tick_cv = *new std::condition_variable;

void stub_tick_wake() {
    {
        std::lock_guard<std::mutex> lock(s_tick_mutex);
        s_tick_wakeups.fetch_add(1);
    }
    stub_notify(s_tick_cv);
}

uint32_t stub_tick_wakeups() {
    return s_tick_wakeups.load();
}

bool stub_tick_wait_until(int64_t deadline_us, uint32_t seen) {
    std::unique_lock<std::mutex> lock(s_tick_mutex);
    return stub_wait_until(s_tick_cv, lock, deadline_us, [seen] { return s_tick_wakeups.load() != seen; });
}

uint32_t esp_log_timestamp(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}

// ---------------------------------------------------------------- timer service

// Due times are kept in 64 bits on the platform clock, so they never wrap: a periodic timer
// keeps its rhythm past the 32-bit microsecond wrap (about 71.6 minutes of run time).
struct esp_timer {
    esp_timer_create_args_t args;
    uint64_t time_us;    // absolute due time; meaningful while armed
    uint64_t period_us;  // 0 = one-shot
    bool armed;
    bool in_use;
    bool deleted;  // deleted while armed: released once it is no longer armed
};

static esp_timer s_timers[STUB_TIMER_TABLE_SIZE];
static int s_timers_pos;  // entries ever handed out (the poll scans 0 .. s_timers_pos-1)
static std::mutex s_timers_mutex;

static bool timer_is_handed_out(esp_timer_handle_t h) {
    return h >= &s_timers[0] && h < &s_timers[s_timers_pos] && h->in_use;
}

// Called with the lock held, when an entry stops being armed.
static void timer_release_if_deleted(esp_timer *t) {
    if (t->deleted && !t->armed) {
        t->in_use = false;
        t->deleted = false;
    }
}

esp_err_t esp_timer_create(const esp_timer_create_args_t *create_args, esp_timer_handle_t *out_handle) {
    if (create_args == nullptr || out_handle == nullptr) return ESP_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    // Re-creating through the same handle variable keeps the existing timer.
    if (timer_is_handed_out(*out_handle)) return ESP_OK;
    esp_timer *t = nullptr;
    for (int i = 0; i < s_timers_pos; i++) {
        if (!s_timers[i].in_use) {
            t = &s_timers[i];
            break;
        }
    }
    if (t == nullptr) {
        if (s_timers_pos >= STUB_TIMER_TABLE_SIZE) {
            *out_handle = nullptr;
            ESP_LOGE(TAG, "Timer table is full (%d entries), timer '%s' not created", STUB_TIMER_TABLE_SIZE,
                     create_args->name ? create_args->name : "");
            return ESP_ERR_NO_MEM;
        }
        t = &s_timers[s_timers_pos++];
    }
    t->args = *create_args;
    t->time_us = 0;
    t->period_us = 0;
    t->armed = false;
    t->deleted = false;
    t->in_use = true;
    *out_handle = t;
    return ESP_OK;
}

static esp_err_t timer_arm(esp_timer_handle_t timer, uint64_t due_us, uint64_t period_us, bool set_period) {
    if (timer == nullptr) return ESP_FAIL;
    {
        std::lock_guard<std::mutex> lock(s_timers_mutex);
        timer->time_us = due_us;
        if (set_period) timer->period_us = period_us;
        timer->armed = true;
    }
    // The tick loop may be asleep until a later moment.
    stub_tick_wake();
    return ESP_OK;
}

esp_err_t esp_timer_start_once(esp_timer_handle_t timer, uint64_t timeout_us) {
    return timer_arm(timer, (uint64_t)esp_timer_get_time() + timeout_us, 0, true);
}

esp_err_t esp_timer_start_periodic(esp_timer_handle_t timer, uint64_t period) {
    return timer_arm(timer, (uint64_t)esp_timer_get_time() + period, period, true);
}

esp_err_t esp_timer_start_periodic_at(esp_timer_handle_t timer, uint64_t alarm, uint64_t period) {
    return timer_arm(timer, alarm, period, true);
}

esp_err_t esp_timer_start_alarm(esp_timer_handle_t timer, uint64_t alarm) {
    return timer_arm(timer, alarm, 0, false);
}

esp_err_t esp_timer_stop(esp_timer_handle_t timer) {
    if (timer == nullptr) return ESP_FAIL;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    timer->period_us = 0;
    timer->time_us = 0;
    timer->armed = false;
    timer_release_if_deleted(timer);
    return ESP_OK;
}

// An armed timer keeps firing after delete (callers stop it first when it must not fire);
// an entry that is not armed is released for reuse.
esp_err_t esp_timer_delete(esp_timer_handle_t timer) {
    if (timer == nullptr) return ESP_OK;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    if (!timer_is_handed_out(timer)) return ESP_OK;
    timer->deleted = true;
    timer_release_if_deleted(timer);
    return ESP_OK;
}

bool esp_timer_is_active(esp_timer_handle_t timer) {
    if (timer == nullptr) return false;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    return timer->armed;
}

esp_err_t esp_timer_get_expiry_time(esp_timer_handle_t timer, uint64_t *expiry) {
    if (timer == nullptr || expiry == nullptr) return ESP_FAIL;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    *expiry = timer->armed ? timer->time_us : 0;
    return ESP_OK;
}

void esp_timer_poll(void) {
    esp_timer_poll_at(esp_timer_get_time());
}

void esp_timer_poll_at(int64_t now_us) {
    const uint64_t now = (uint64_t)now_us;
    for (int i = 0;; i++) {
        esp_timer_cb_t callback;
        void *arg;
        {
            std::lock_guard<std::mutex> lock(s_timers_mutex);
            // Re-read the count at every step: a timer created by a callback is polled in this pass.
            if (i >= s_timers_pos) break;
            esp_timer *t = &s_timers[i];
            if (!t->in_use || !t->armed || now < t->time_us) continue;
            // Re-arm before the call, so that the callback may stop or re-arm its own timer.
            if (t->period_us != 0) {
                t->time_us += t->period_us;
            } else {
                t->armed = false;
                t->time_us = 0;
            }
            callback = t->args.callback;
            arg = t->args.arg;
            timer_release_if_deleted(t);
        }
        if (callback != nullptr) callback(arg);
    }
}

int64_t stub_timer_next_due_us() {
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    uint64_t due = (uint64_t)STUB_FOREVER;
    for (int i = 0; i < s_timers_pos; i++) {
        const esp_timer &t = s_timers[i];
        if (t.in_use && t.armed && t.time_us < due) due = t.time_us;
    }
    return (int64_t)due;
}

int stub_timer_entries_in_use() {
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    int n = 0;
    for (int i = 0; i < s_timers_pos; i++)
        n += s_timers[i].in_use ? 1 : 0;
    return n;
}

void stub_timer_reset_all() {
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    for (auto &t : s_timers)
        t = esp_timer{};
    s_timers_pos = 0;
}

// ---------------------------------------------------------------- other services

void *heap_caps_calloc(size_t n, size_t size, uint32_t caps) {
    (void)caps;
    return calloc(n, size);
}

// The firmware draws its random choices from the cycle counter. In simulated time that would
// break replay, so the counter is a seeded sequence there (splitmix64).
uint32_t esp_cpu_get_cycle_count(void) {
    if (!s_sim.load(std::memory_order_relaxed)) return (uint32_t)__rdtsc();
    return (uint32_t)(stub_mix64(s_random_state.fetch_add(STUB_MIX64_GAMMA) + STUB_MIX64_GAMMA) >> 16);
}

void ets_delay_us(uint32_t us) {
    stub_sleep_us(us);
}
