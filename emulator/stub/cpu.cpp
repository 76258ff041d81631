// The CPU's cycle counter. The firmware draws its random choices from it. In simulated time that
// would break replay, so the counter is a seeded sequence there (splitmix64); in real time it is
// the host's time-stamp counter, or a monotonic nanosecond count where the host has none.
#include <atomic>

#include "cpu.h"
#include "esp_cpu.h"
#include "stub.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

static std::atomic<uint64_t> s_random_state{0};

void cpu_seed_cycle_counter(uint64_t seed) {
    s_random_state.store(seed);
}

static uint32_t host_cycle_count() {
#if defined(__x86_64__) || defined(__i386__)
    return (uint32_t)__rdtsc();
#else
    return (uint32_t)std::chrono::steady_clock::now().time_since_epoch().count();
#endif
}

uint32_t esp_cpu_get_cycle_count(void) {
    if (!stub_sim_active()) return host_cycle_count();
    return (uint32_t)(stub_mix64(s_random_state.fetch_add(STUB_MIX64_GAMMA) + STUB_MIX64_GAMMA) >> 16);
}
