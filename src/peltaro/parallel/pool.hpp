#pragma once
// The process-wide worker pool: one task arena, built at the first parallel
// call and sized once from RAYON_NUM_THREADS (a positive integer), else
// RAYON_RS_NUM_CPUS, else the number of CPUs. Nested use (a multi-start inside
// a batch item) runs in the same arena. Callers pass the fork guard first.

#include <cstddef>
#include <functional>

namespace peltaro::parallel {

// Number of threads the pool runs (reads the environment once).
std::size_t pool_size();

// Runs body(i) for every i in [0, count) on the pool and returns when all are
// done. Each body must catch its own exceptions and write its result into a
// slot of its own (index i), so that results keep input order whatever the
// schedule.
void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body);

}  // namespace peltaro::parallel
