// The scheduler of simulated time, inside the platform layer (tasks, waits, locks, the clock).
// Only the platform's own files include this header; the emulator's entry and the tests use the
// stub_sim_* controls of stub.h.
#pragma once

#include <cstdint>

struct sim_thread;

// Registers a task about to be created; called by the creating (running) thread, so that the
// order of registration never depends on when the host starts the new thread.
sim_thread *sim_thread_create(const char *name, unsigned priority);
// Forgets a registered task whose thread could not be started.
void sim_thread_discard(sim_thread *t);
// First call of a new task's thread: waits for its first turn.
void sim_thread_begin(sim_thread *t);
// Last call of a task's thread: hands the turn on and forgets the thread.
void sim_thread_end(void);
// The calling thread, or null for a thread the scheduler does not know.
sim_thread *sim_self(void);
// The running thread waits until `key` is woken or the clock reaches `deadline_us`, whichever
// comes first, and then until it is chosen again. `what` names the wait in a stuck report.
void sim_block(const void *key, int64_t deadline_us, const char *what);
// The same for a wait on a lock that `holder` holds; a lock wait of minutes counts as stuck.
void sim_block_on(const void *key, int64_t deadline_us, const char *what, const sim_thread *holder);
// A wait whose condition the scheduler may look at itself. When the thread is chosen to run,
// `recheck(ctx, now, &deadline)` tells what the thread would do: true, go on (it then runs and
// looks again itself); false, wait again on `key` until `deadline` (which it may move). The
// turn is the same either way, so a run replays as with sim_block; only the host thread is not
// woken for a look that ends in waiting again. It runs on another host thread, with the
// scheduler's lock held: it may only read, and take no lock but with try_lock (and answer true
// when that fails).
typedef bool (*sim_recheck_t)(void *ctx, int64_t now_us, int64_t *deadline_us);
void sim_block_rechecked(const void *key, int64_t deadline_us, const char *what, sim_recheck_t recheck,
                         void *ctx);
// Makes every thread waiting on `key` ready (it looks at its condition again when it runs).
void sim_wake(const void *key);
// The simulated clock in microseconds.
int64_t sim_now_us(void);
// From now on the next thread among ready ones of equal priority is a draw from `seed` rather
// than the one ready first: each seed tries another interleaving, the same one every time.
void sim_shuffle(uint64_t seed);
// Registers the calling thread as the first one, running (the process's main thread).
void sim_register_first(const char *name);
