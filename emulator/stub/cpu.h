// The emulated CPU's cycle counter, as the platform's own files see it.
#pragma once

#include <cstdint>

// Seeds the sequence the cycle counter reads in simulated time (stub_sim_start).
void cpu_seed_cycle_counter(uint64_t seed);
