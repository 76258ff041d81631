// Host-side controls of the platform layer, for the emulator's entry and for tests.
// The firmware never includes this header.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// ---- time base (clock.cpp; the waits in waits.cpp) ----
// The platform clock is the monotonic clock by default. Tests switch to a manual clock that
// moves only when they advance it; every timed wait of the platform (task delays, event-group
// and queue time-outs, sleeps) then waits for the manual clock.
void stub_clock_use_manual(int64_t start_us);
void stub_clock_use_real();
bool stub_clock_is_manual();
void stub_clock_advance_us(int64_t us);
void stub_clock_set_us(int64_t now_us);

constexpr int64_t STUB_FOREVER = INT64_MAX;
// Sleeps the calling thread on the platform clock.
void stub_sleep_us(int64_t us);
void stub_sleep_until_us(int64_t deadline_us);
// Waits on `cv` until `pred` holds or the platform clock reaches `deadline_us`; returns pred().
bool stub_wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, int64_t deadline_us,
                     const std::function<bool()> &pred);

// ---- simulated time (clock.cpp; the scheduler in os/sim.cpp) ----
// The splitmix64 sequence: the n-th value of a seed is stub_mix64(seed + n * STUB_MIX64_GAMMA).
// Simulated time draws what must replay from it (the firmware's random choices, script jitter).
constexpr uint64_t STUB_MIX64_GAMMA = 0x9E3779B97F4A7C15ull;
inline uint64_t stub_mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
// Switches the platform to simulated time (emulator/stub/os/sim.cpp): the calling thread becomes
// the first registered thread, every task created later is registered too, only one of them runs
// at a time, and the clock (from 0) moves only when all of them wait. Call it before any task is
// created; it stays on for the life of the process. `seed` seeds the platform's random numbers
// (the cycle counter the firmware draws them from, cpu.cpp).
void stub_sim_start(const char *thread_name, uint64_t seed);
// Asks that simulated time pick among ready threads of equal priority by a draw from the seed
// rather than in the order they became ready (one seed, one other interleaving). Call before
// stub_sim_start; off by default.
void stub_sim_shuffle_schedule(bool on);
bool stub_sim_active();
// Wakes the platform waits on `cv` (stub_wait_until): in real time cv.notify_all(); in simulated
// time the registered threads waiting on it become ready and look at their condition again.
void stub_notify(std::condition_variable &cv);

// ---- tick loop (the wake-up in tick_wake.cpp, the loop in os/tasks.cpp) ----
// The tick loop sleeps until the next millisecond in which something is due. Whatever may
// bring that moment forward from another thread (a timer armed, a callback scheduled, a
// command) calls stub_tick_wake(), and the loop looks again at once.
void stub_tick_wake();
// The number of wake-ups so far; read it before working out the deadline.
uint32_t stub_tick_wakeups();
// The wake-ups so far that came from other threads than the tick loop's, and the call that
// tells the tick loop's thread apart (stub_tick_loop makes it).
uint32_t stub_tick_outside_wakeups();
void stub_tick_mark_thread();
// Sleeps until the platform clock reaches `deadline_us` or the wake-up count differs from
// `seen`; true if woken.
bool stub_tick_wait_until(int64_t deadline_us, uint32_t seen);
// The host's tick: `run` runs every millisecond that has elapsed since its last call, `due_us`
// gives the platform-clock time of the next millisecond with work. The tick loop calls them;
// they are registered at run time because the host sits above the platform.
void stub_tick_set_hooks(void (*run)(void), int64_t (*due_us)(void));
// The tick loop itself, without the priority request of vTaskStartScheduler (a test in simulated
// time runs it as a task of its own); never returns.
[[noreturn]] void stub_tick_loop();

// ---- timer service (timer_service.cpp) ----
constexpr int STUB_TIMER_TABLE_SIZE = 200;
// The earliest due time of an armed entry on the platform clock, or STUB_FOREVER.
int64_t stub_timer_next_due_us();
// Entries of the timer table that are handed out and not released.
int stub_timer_entries_in_use();
// Releases every entry (tests only: handles held anywhere become invalid).
void stub_timer_reset_all();

// ---- tasks (os/tasks.cpp) ----
// Threads of firmware tasks that are currently running.
int stub_tasks_running();
// Sets the nice value best effort; refusals are ignored.
void stub_set_thread_priority(unsigned freertos_priority);

// ---- process end (os/process.cpp) ----
// Ctrl+C, SIGTERM and SIGHUP run the registered hooks (for example to finish a recording)
// and then end the process. Must be called before any thread is created.
void stub_install_exit_signals();
void stub_on_exit(void (*hook)(void));
// Runs the exit hooks (a recording's header), flushes standard output and ends the process.
[[noreturn]] void stub_exit(int status);
// SIGUSR1 runs this hook (a status report) and the process carries on.
void stub_on_status_request(void (*hook)(void));
