#pragma once
// The only gate to the worker pool. A child made by fork() inherits the
// parent's memory, the pool's bookkeeping included, but none of its threads:
// parallel work there would wait for ever. The first process to pass the
// guard owns the pool; any other process is refused for its whole life.

#include <optional>

#include "peltaro/core/error.hpp"

namespace peltaro::parallel {

// Nothing when parallel work may proceed in this process; otherwise the
// `InvalidInput` error carrying the fork message. Records the caller's
// process id on first use.
std::optional<core::SarimaxError> guard_rayon_fork();

}  // namespace peltaro::parallel
