// Simulated time: every task is a host thread, yet only one of them runs at a time, and the
// clock moves only when all of them wait.
//
// Threads: each registered thread (the tick thread, every firmware task, the script feeder) runs
// only while it holds the one run token, and hands it back only inside a platform call that
// blocks (sim_block: event-group and queue waits, delays, sleeps, the sound output's write, a
// lock held by another registered thread) or when its task ends. Waits do not use the host's
// condition variables for their wake-ups: a notification marks the threads waiting on its key
// ready, and they look at their condition again when they next run.
//
// Choice: the ready thread of highest priority runs next; among equals the one that became ready
// first, threads made ready together in the order they were created. Nothing depends on the
// host's timing, so one build, one input and one seed give one execution. With the schedule
// shuffled (sim_shuffle), the pick among equals is a draw from the seed instead, made over the
// equals in creation order: other seeds try other interleavings, each replays.
//
// Time: when no thread is ready the clock jumps to the earliest deadline of a waiting thread,
// and every thread due then becomes ready. With no deadline left, or with a thread that has
// waited for a lock for minutes of simulated time, or with threads that keep waking each other
// while the clock stands still, the run cannot go on: the threads are named on standard error
// with what they wait for, and the process ends with status 3 rather than hanging.
#include "sim.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <semaphore>
#include <vector>

#include "stub.h"

struct sim_thread {
    char name[16];
    unsigned priority;
    enum { READY, RUNNING, BLOCKED, ENDED } state;
    uint64_t ready_seq;  // order of becoming ready
    const void *key;     // what a blocked thread waits to be woken by (null: its deadline only)
    int64_t deadline;
    int64_t blocked_since;
    const char *what;
    const sim_thread *holder;  // for a lock wait: the thread that holds the lock
    // A wait the scheduler can look at itself (sim_block_rechecked): its key and the look.
    const void *recheck_key;
    sim_recheck_t recheck;
    void *recheck_ctx;
    // Given a permit each time the thread is handed the token (a thread that finds the token
    // already its own may leave one unused: wait_for_turn looks at the token again). A semaphore
    // rather than a condition variable on the scheduler's mutex: a hand-over costs the host
    // fewer calls into the kernel (a render of the tour: 10,245 futex calls instead of 28,173).
    std::counting_semaphore<> turn{0};
};

namespace {

// The longest a thread may wait for a lock before the run counts as stuck. The firmware holds
// its lock across waits of at most a few seconds (a slot load waiting for readers to stop).
constexpr int64_t STUCK_LOCK_WAIT_US = 120LL * 1000 * 1000;
// Hand-overs at one moment of simulated time before the run counts as stuck in a loop that
// takes no time (tasks waking each other for ever). A slot load of 100 files at one moment
// takes a few thousand.
constexpr uint64_t STUCK_HANDOVERS = 200000;
constexpr unsigned FIRST_THREAD_PRIORITY = 1000;

// Never destroyed: detached task threads may still wait here while the process ends.
std::mutex &g_mu = *new std::mutex;
std::vector<sim_thread *> &g_threads = *new std::vector<sim_thread *>;  // creation order
std::vector<sim_thread *> &g_ended = *new std::vector<sim_thread *>;    // see sim_thread_end
sim_thread *g_running;
std::atomic<int64_t> g_now{0};
uint64_t g_ready_seq;
uint64_t g_handovers_now;  // hand-overs since the clock last moved
bool g_shuffle;            // pick among equals by a draw
uint64_t g_shuffle_seed, g_draws;
thread_local sim_thread *t_self;

void make_ready(sim_thread *t) {
    t->state = sim_thread::READY;
    t->ready_seq = ++g_ready_seq;
    t->key = nullptr;
    t->holder = nullptr;
}

sim_thread *pick_ready() {
    sim_thread *best = nullptr;
    unsigned equals = 0;
    for (sim_thread *t : g_threads) {
        if (t->state != sim_thread::READY) continue;
        if (best == nullptr || t->priority > best->priority) {
            best = t;
            equals = 1;
        } else if (t->priority == best->priority) {
            equals++;
            if (t->ready_seq < best->ready_seq) best = t;
        }
    }
    if (!g_shuffle || equals < 2) return best;
    unsigned k = (unsigned)(stub_mix64(g_shuffle_seed + ++g_draws * STUB_MIX64_GAMMA) % equals);
    const unsigned priority = best->priority;
    for (sim_thread *t : g_threads) {
        if (t->state != sim_thread::READY || t->priority != priority) continue;
        if (k-- == 0) return t;
    }
    return best;
}

[[noreturn]] void report_stuck(const char *why) {
    fprintf(stderr, "emulator: simulated time cannot go on at %lld ms: %s\n",
            (long long)(g_now.load() / 1000), why);
    for (const sim_thread *t : g_threads) {
        if (t->state != sim_thread::BLOCKED) {
            fprintf(stderr, "  %s is %s\n", t->name, t == g_running ? "running" : "ready to run");
            continue;
        }
        if (t->holder != nullptr) {
            fprintf(stderr, "  %s waits for %s held by %s%s since %lld ms\n", t->name, t->what,
                    t->holder->name, t->holder->state == sim_thread::ENDED ? " (which has ended)" : "",
                    (long long)(t->blocked_since / 1000));
        } else if (t->deadline == STUB_FOREVER) {
            fprintf(stderr, "  %s waits for %s, with no time-out\n", t->name, t->what);
        } else {
            fprintf(stderr, "  %s waits for %s until %lld ms\n", t->name, t->what,
                    (long long)(t->deadline / 1000));
        }
    }
    fflush(stderr);
    stub_exit(3);
}

// Hands the token to the next ready thread, moving the clock on while none is ready. Called
// with g_mu held by the thread that gives the token up.
void schedule_locked() {
    for (;;) {
        sim_thread *next = pick_ready();
        if (next != nullptr) {
            if (++g_handovers_now > STUCK_HANDOVERS)
                report_stuck("the tasks go on waking each other without the clock moving");
            if (next->recheck != nullptr) {
                // The chosen thread would only look at its condition and wait again: it does so
                // here, in the same turn, without its host thread being woken for it.
                int64_t deadline = next->deadline;
                if (!next->recheck(next->recheck_ctx, g_now.load(std::memory_order_relaxed), &deadline)) {
                    next->state = sim_thread::BLOCKED;
                    next->key = next->recheck_key;
                    next->deadline = deadline;
                    next->blocked_since = g_now.load(std::memory_order_relaxed);
                    continue;
                }
            }
            g_running = next;
            // A thread that gave the token up and is picked again has not stopped running.
            if (next != t_self) next->turn.release();
            return;
        }
        int64_t due = STUB_FOREVER;
        for (const sim_thread *t : g_threads) {
            if (t->state == sim_thread::BLOCKED) due = std::min(due, t->deadline);
        }
        if (due == STUB_FOREVER) report_stuck("every task waits and nothing is due");
        for (const sim_thread *t : g_threads) {
            if (t->state == sim_thread::BLOCKED && t->holder != nullptr &&
                due - t->blocked_since > STUCK_LOCK_WAIT_US)
                report_stuck("a task has waited for a lock for minutes");
        }
        if (due > g_now.load(std::memory_order_relaxed)) {
            g_now.store(due, std::memory_order_relaxed);
            g_handovers_now = 0;
        }
        for (sim_thread *t : g_threads) {
            if (t->state == sim_thread::BLOCKED && t->deadline <= due) make_ready(t);
        }
    }
}

void wait_for_turn(std::unique_lock<std::mutex> &lock, sim_thread *self) {
    while (g_running != self) {
        lock.unlock();
        self->turn.acquire();
        lock.lock();
    }
    self->state = sim_thread::RUNNING;
}

sim_thread *new_thread(const char *name, unsigned priority) {
    auto *t = new sim_thread();
    snprintf(t->name, sizeof t->name, "%s", name != nullptr ? name : "task");
    t->priority = priority;
    g_threads.push_back(t);
    return t;
}

}  // namespace

sim_thread *sim_thread_create(const char *name, unsigned priority) {
    std::lock_guard<std::mutex> lock(g_mu);
    sim_thread *t = new_thread(name, priority);
    make_ready(t);
    return t;
}

void sim_thread_discard(sim_thread *t) {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_threads.erase(std::find(g_threads.begin(), g_threads.end(), t));
    }
    delete t;
}

void sim_thread_begin(sim_thread *t) {
    std::unique_lock<std::mutex> lock(g_mu);
    t_self = t;
    wait_for_turn(lock, t);
}

// The record of an ended thread is kept, not freed: a lock it still held names it as its owner,
// and a waiter names it as the holder it waits for. Freed, those would point at nothing, or at a
// new thread given the same address, which would then own a lock it never took. Threads end
// rarely (a few per run), so what is kept is small.
void sim_thread_end(void) {
    sim_thread *self = t_self;
    if (self == nullptr) return;
    std::unique_lock<std::mutex> lock(g_mu);
    g_threads.erase(std::find(g_threads.begin(), g_threads.end(), self));
    self->state = sim_thread::ENDED;
    g_ended.push_back(self);
    t_self = nullptr;
    schedule_locked();
}

sim_thread *sim_self(void) {
    return t_self;
}

static void block_self(const void *key, int64_t deadline_us, const char *what, const sim_thread *holder,
                       sim_recheck_t recheck, void *ctx) {
    sim_thread *self = t_self;
    std::unique_lock<std::mutex> lock(g_mu);
    self->state = sim_thread::BLOCKED;
    self->key = key;
    self->deadline = deadline_us;
    self->blocked_since = g_now.load(std::memory_order_relaxed);
    self->what = what;
    self->holder = holder;
    self->recheck_key = key;
    self->recheck = recheck;
    self->recheck_ctx = ctx;
    schedule_locked();
    wait_for_turn(lock, self);
    self->recheck = nullptr;
}

void sim_block_on(const void *key, int64_t deadline_us, const char *what, const sim_thread *holder) {
    block_self(key, deadline_us, what, holder, nullptr, nullptr);
}

void sim_block_rechecked(const void *key, int64_t deadline_us, const char *what, sim_recheck_t recheck,
                         void *ctx) {
    block_self(key, deadline_us, what, nullptr, recheck, ctx);
}

void sim_block(const void *key, int64_t deadline_us, const char *what) {
    sim_block_on(key, deadline_us, what, nullptr);
}

void sim_wake(const void *key) {
    std::lock_guard<std::mutex> lock(g_mu);
    for (sim_thread *t : g_threads) {
        if (t->state == sim_thread::BLOCKED && t->key == key) make_ready(t);
    }
}

int64_t sim_now_us(void) {
    return g_now.load(std::memory_order_relaxed);
}

void sim_shuffle(uint64_t seed) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_shuffle = true;
    // A stream of its own: the firmware's random choices draw from the seed itself.
    g_shuffle_seed = seed ^ 0x5C4ED01E5C4ED01Eull;
}

void sim_register_first(const char *name) {
    std::lock_guard<std::mutex> lock(g_mu);
    sim_thread *t = new_thread(name, FIRST_THREAD_PRIORITY);
    t->state = sim_thread::RUNNING;
    t_self = t;
    g_running = t;
}
