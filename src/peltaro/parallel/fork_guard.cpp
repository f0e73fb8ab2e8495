#include "peltaro/parallel/fork_guard.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace peltaro::parallel {
namespace {

// 0 while no guard has run. Set once by compare-exchange, never reset: a
// lock or once-flag could be left held by a fork() and wait for ever.
std::atomic<std::uint32_t> RAYON_OWNER_PID{0};

}  // namespace

std::optional<core::SarimaxError> guard_rayon_fork() {
  const auto pid = static_cast<std::uint32_t>(getpid());
  std::uint32_t owner = RAYON_OWNER_PID.load(std::memory_order_acquire);
  if (owner == 0) {
    std::uint32_t expected = 0;
    owner = RAYON_OWNER_PID.compare_exchange_strong(expected, pid, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)
                ? pid
                : expected;
  }
  if (owner == pid) return std::nullopt;
  return core::SarimaxError::invalid_input(
      "parallel API called in fork()ed child (pid " + std::to_string(pid) +
      ") but the rayon thread pool belongs to parent pid " + std::to_string(owner) +
      "; running would deadlock. Use the 'spawn' multiprocessing context, or fork before the "
      "first parallel call.");
}

}  // namespace peltaro::parallel
