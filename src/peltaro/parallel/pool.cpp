#include "peltaro/parallel/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "peltaro/parallel/fork_guard.hpp"

namespace peltaro::parallel {
namespace {

// More threads than this would exhaust the process before doing any good.
constexpr std::size_t MAX_THREADS = 4096;

// A non-negative decimal integer (a leading '+' allowed) from the
// environment; nothing when unset or not such a number.
std::optional<std::size_t> env_count(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || ptr == text) return std::nullopt;
  return value;
}

// CPUs this process may run on (its affinity mask), at least one.
std::size_t cpu_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// RAYON_NUM_THREADS when it is a positive integer (0 asks for the CPU
// count), else RAYON_RS_NUM_CPUS when positive, else the CPU count.
std::size_t configured_size() {
  std::size_t n = 0;
  if (const auto v = env_count("RAYON_NUM_THREADS"); v && *v > 0) {
    n = *v;
  } else if (const auto w = env_count("RAYON_RS_NUM_CPUS"); !v && w && *w > 0) {
    n = *w;
  } else {
    n = cpu_count();
  }
  return std::min(n, MAX_THREADS);
}

struct Pool {
  std::size_t size;
  // Only raised above TBB's default when asked for more threads than it
  // would run; the setting applies to the whole process.
  std::optional<tbb::global_control> limit;
  tbb::task_arena arena;

  explicit Pool(std::size_t n) : size(n), arena(static_cast<int>(n)) {
    if (n > static_cast<std::size_t>(tbb::info::default_concurrency())) {
      limit.emplace(tbb::global_control::max_allowed_parallelism, n);
    }
  }
};

}  // namespace

std::size_t pool_size() {
  static const std::size_t size = configured_size();
  return size;
}

namespace {

// Built at the first parallel call and kept for the life of the process.
// Only the process that owns it (see the fork guard) ever reaches it.
Pool& pool() {
  static Pool* instance = new Pool(pool_size());
  return *instance;
}

}  // namespace

void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body) {
  // A pool inherited through fork() has no threads: entering it would wait
  // for ever, so a caller that skipped the guard is a programming error.
  if (guard_rayon_fork()) throw std::logic_error("worker pool entered from a fork()ed child");
  if (count == 0) return;
  // Isolated, so that a thread waiting for a nested loop (a multi-start inside
  // a batch item) runs only that loop's work, not other items.
  pool().arena.execute([&] {
    tbb::this_task_arena::isolate([&] {
      tbb::parallel_for(std::size_t{0}, count, [&](std::size_t i) { body(i); });
    });
  });
}

}  // namespace peltaro::parallel
