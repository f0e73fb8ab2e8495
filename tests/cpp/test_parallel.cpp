#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "peltaro/parallel/fork_guard.hpp"
#include "peltaro/parallel/pool.hpp"
#include "fork_child.hpp"

using namespace peltaro;

namespace {

using test::in_child;

TEST(ForkGuard, ChildOfAnOwnerIsRefusedAndAFreshChildOwnsItsOwnPool) {
  // A child forked before any guard records itself and may use the pool.
  const std::string fresh = in_child([] {
    const bool passed = !parallel::guard_rayon_fork().has_value();
    std::atomic<int> sum{0};
    parallel::for_each_index(100, [&](std::size_t i) { sum += static_cast<int>(i); });
    return std::string(passed && sum == 4950 ? "ok" : "refused");
  });
  EXPECT_EQ(fresh, "ok");

  ASSERT_FALSE(parallel::guard_rayon_fork().has_value()) << "the first guard records this process";
  const std::string parent = std::to_string(getpid());
  const std::string refused = in_child([] {
    auto err = parallel::guard_rayon_fork();
    return err ? err->display() + "|" + std::to_string(getpid()) : std::string("passed");
  });
  const std::string child = refused.substr(refused.find('|') + 1);
  EXPECT_EQ(refused.substr(0, refused.find('|')),
            "invalid input: parallel API called in fork()ed child (pid " + child +
                ") but the rayon thread pool belongs to parent pid " + parent +
                "; running would deadlock. Use the 'spawn' multiprocessing context, or fork "
                "before the first parallel call.");
}

TEST(Pool, SizeComesFromTheEnvironmentInOrder) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::string expected;
  };
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const std::string cpus = std::to_string(CPU_COUNT(&allowed));  // the CPUs this process may use
  const Case cases[] = {
      {"3", "5", "3"},  {"+4", nullptr, "4"}, {"0", "5", cpus},   {"x", "5", "5"},
      {nullptr, "2", "2"}, {"-1", "2x", cpus}, {"3000000000", nullptr, "4096"},
  };
  for (const Case& c : cases) {
    const std::string size = in_child([&] {
      c.num_threads ? setenv("RAYON_NUM_THREADS", c.num_threads, 1) : unsetenv("RAYON_NUM_THREADS");
      c.rs_num_cpus ? setenv("RAYON_RS_NUM_CPUS", c.rs_num_cpus, 1) : unsetenv("RAYON_RS_NUM_CPUS");
      return std::to_string(parallel::pool_size());
    });
    EXPECT_EQ(size, c.expected) << (c.num_threads ? c.num_threads : "-") << " "
                                << (c.rs_num_cpus ? c.rs_num_cpus : "-");
  }
}

TEST(Pool, EveryIndexRunsOnceAlsoWhenNested) {
  std::vector<std::atomic<int>> hits(64);
  parallel::for_each_index(8, [&](std::size_t i) {
    parallel::for_each_index(8, [&](std::size_t j) { ++hits[i * 8 + j]; });
  });
  for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
}

}  // namespace
