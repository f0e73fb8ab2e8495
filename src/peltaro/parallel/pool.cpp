#include "peltaro/parallel/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace peltaro::parallel {
namespace {

// A positive integer from the environment, or nothing.
std::size_t positive_env(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return 0;
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end) return 0;
  return value;
}

std::size_t configured_size() {
  if (const std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
  if (const std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
  const unsigned cpus = std::thread::hardware_concurrency();
  return cpus > 0 ? cpus : 1;
}

struct Pool {
  std::size_t size;
  // Lets the arena have as many threads as asked for, also beyond the
  // number of CPUs.
  tbb::global_control limit;
  tbb::task_arena arena;

  explicit Pool(std::size_t n)
      : size(n),
        limit(tbb::global_control::max_allowed_parallelism, n),
        arena(static_cast<int>(n)) {}
};

// Built at the first parallel call and kept for the life of the process.
// Only the process that owns it (see the fork guard) ever reaches it.
Pool& pool() {
  static Pool* instance = new Pool(configured_size());
  return *instance;
}

}  // namespace

std::size_t pool_size() { return pool().size; }

void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  pool().arena.execute([&] {
    tbb::parallel_for(std::size_t{0}, count, [&](std::size_t i) { body(i); });
  });
}

}  // namespace peltaro::parallel
