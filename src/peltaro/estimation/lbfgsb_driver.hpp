#pragma once
// A bounded quasi-Newton minimiser: the reference L-BFGS-B 3.0 routine
// `setulb`, driven by reverse communication. Each call of the routine leaves
// a task: evaluate value and gradient at the current point, an iteration is
// complete, or stop. The driver answers every request with its evaluation
// closure until the routine stops.
//
// All of the routine's memory lives in the arrays a run hands it (work arrays,
// save areas and the task text), so runs on different threads never share
// solver state. A state serves exactly one run.
//
// The routine writes some line-search failures to Fortran unit 6 whatever its
// print level; before the first run the driver connects that unit of the
// process's Fortran runtime to the null device, for good.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// The routine's INTEGER.
using FortranInt = std::int32_t;

// Integer codes of the routine's task texts. A range stands for a kind of
// task; the codes inside it tell its variants apart.
namespace task_code {
inline constexpr std::int64_t UNKNOWN = 0;
inline constexpr std::int64_t START = 1;
inline constexpr std::int64_t NEW_X = 2;
inline constexpr std::int64_t ABNORMAL = 3;
inline constexpr std::int64_t RESTART = 4;
inline constexpr std::int64_t FG = 10, FG_START = 11, FG_LNSRCH = 12, FG_LAST = 15;
inline constexpr std::int64_t CONVERGENCE = 20, CONVERGENCE_PGTOL = 21, CONVERGENCE_FACTR = 22,
                              CONVERGENCE_LAST = 25;
// The input check: n < 1, m < 1, factr < 0, a bound kind outside 0 … 3, and
// a coordinate bounded on both sides with l > u.
inline constexpr std::int64_t ERROR = 200, ERROR_N = 209, ERROR_M = 210, ERROR_FACTR = 211,
                              ERROR_NBD = 212, ERROR_INFEASIBLE = 213, ERROR_LAST = 240;

inline constexpr bool is_fg(std::int64_t code) { return FG <= code && code <= FG_LAST; }
inline constexpr bool is_convergence(std::int64_t code) {
  return CONVERGENCE <= code && code <= CONVERGENCE_LAST;
}
inline constexpr bool is_error(std::int64_t code) { return ERROR <= code && code <= ERROR_LAST; }
}  // namespace task_code

// The code of a task text as the routine writes it (blank-padded or not).
// Variants this version does not write fall back to their kind's base code;
// a text of no known kind is UNKNOWN.
std::int64_t task_code_of(std::string_view text);

// Bound kinds of the routine, one per coordinate.
namespace bound_kind {
inline constexpr FortranInt FREE = 0, LOWER = 1, BOTH = 2, UPPER = 3;
}

// (lower, upper) for one coordinate; an absent side is unbounded.
using Bound = std::pair<std::optional<double>, std::optional<double>>;
// One entry per coordinate, in flat-parameter-vector order.
using BoundsList = std::vector<Bound>;

// The closure is called with the point (read-only) and the gradient to fill,
// both of length n, and returns the objective value there.
template <class F>
concept EvalClosure =
    std::invocable<F&, std::span<const double>, std::span<double>> &&
    std::convertible_to<std::invoke_result_t<F&, std::span<const double>, std::span<double>>,
                        double>;

[[noreturn]] void throw_bounds_too_long(std::size_t entries, std::size_t n);

// What is minimised: the point, its gradient and value, the box and the
// closure that evaluates. `l`, `u` and `nbd` are as long as `x`.
template <EvalClosure F>
struct LbfgsbProblem {
  Vec x;                        // the start, then the last point of `minimize`
  Vec g;                        // gradient at x, written by the closure
  Vec l;                        // lower bounds
  Vec u;                        // upper bounds
  std::vector<FortranInt> nbd;  // bound kind per coordinate
  F eval_fg;
  double f = 0.0;               // value at x

  static LbfgsbProblem build(Vec x0, F eval_fg) {
    const std::size_t n = x0.size();
    return LbfgsbProblem{std::move(x0),  Vec(n, 0.0), Vec(n, 0.0), Vec(n, 0.0),
                         std::vector<FortranInt>(n, bound_kind::FREE), std::move(eval_fg), 0.0};
  }

  // Entry i bounds coordinate i; coordinates past a shorter list stay
  // unbounded. The untouched side of a one-sided coordinate keeps 0.0, which
  // the routine ignores. A list longer than the point is a caller's error.
  void set_bounds(BoundsList bounds) {
    if (bounds.size() > x.size()) throw_bounds_too_long(bounds.size(), x.size());
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      const auto& [lower, upper] = bounds[i];
      if (lower) l[i] = *lower;
      if (upper) u[i] = *upper;
      nbd[i] = lower ? (upper ? bound_kind::BOTH : bound_kind::LOWER)
                     : (upper ? bound_kind::UPPER : bound_kind::FREE);
    }
  }
};

// Counts a run's value-and-gradient requests up to a limit. A request past
// the limit is not counted and marks the limit as reached, so that a run
// stopped by its limit is not taken for a converged one.
class RequestBudget {
 public:
  explicit RequestBudget(std::size_t limit) : limit_(limit) {}

  // Whether this request is counted.
  bool take() {
    if (evals_ < limit_) {
      ++evals_;
      return true;
    }
    exhausted_ = true;
    return false;
  }

  [[nodiscard]] std::size_t evals() const { return evals_; }
  [[nodiscard]] bool exhausted() const { return exhausted_; }

 private:
  std::size_t limit_;
  std::size_t evals_ = 0;
  bool exhausted_ = false;
};

// Options of one run.
struct LbfgsbOptions {
  std::size_t m = 10;      // stored correction pairs
  double factr = 1e7;      // stop when the relative reduction of f is at most factr·ε
  double pgtol = 1e-5;     // stop when the projected gradient's largest entry is at most pgtol
  std::int64_t iprint = -1;  // -1: no progress report
};

// The routine's memory for one run: options, work arrays, save areas and the
// task text it reads and writes between calls.
class SetulbMemory {
 public:
  SetulbMemory(std::size_t n, const LbfgsbOptions& options);

  // One call of the routine on the caller's point, box, value and gradient
  // (all of length n); returns the code of the task the routine leaves.
  std::int64_t call(std::span<double> x, std::span<double> l, std::span<double> u,
                    std::span<FortranInt> nbd, double& f, std::span<double> g);

 private:
  static constexpr std::size_t TEXT_LEN = 60;

  std::size_t n_;
  FortranInt m_;
  double factr_;
  double pgtol_;
  FortranInt iprint_;
  Vec wa_;
  std::vector<FortranInt> iwa_;
  std::array<char, TEXT_LEN> task_;
  std::array<char, TEXT_LEN> csave_;
  std::array<FortranInt, 4> lsave_{};
  std::array<FortranInt, 44> isave_{};
  std::array<double, 29> dsave_{};
};

// "L-BFGS-B terminated with error (task code {})".
std::string terminated_with_error(std::int64_t code);

template <EvalClosure F>
class LbfgsbState {
 public:
  LbfgsbState(LbfgsbProblem<F> problem, const LbfgsbOptions& options)
      : problem_(std::move(problem)), memory_(problem_.x.size(), options) {}
  // The problem built from its start and closure and boxed by `bounds`.
  LbfgsbState(Vec x0, F eval_fg, BoundsList bounds, const LbfgsbOptions& options)
      : LbfgsbState(boxed(std::move(x0), std::move(eval_fg), std::move(bounds)), options) {}

  // Runs the routine to its end. A stop by convergence or by any other
  // non-error task gives the task code; a failed line search or a rejected
  // input gives the error text. Afterwards the problem's x and f hold the last
  // point and value that passed through the routine.
  TextResult<std::int64_t> minimize() {
    auto& p = problem_;
    for (;;) {
      task_ = memory_.call(p.x, p.l, p.u, p.nbd, p.f, p.g);
      if (task_code::is_fg(task_)) {
        p.f = p.eval_fg(std::span<const double>(p.x), std::span<double>(p.g));
      } else if (task_ == task_code::NEW_X) {
        continue;
      } else if (task_ == task_code::ABNORMAL || task_code::is_error(task_)) {
        return fail_text(terminated_with_error(task_));
      } else {
        return task_;
      }
    }
  }

  [[nodiscard]] const LbfgsbProblem<F>& problem() const { return problem_; }
  [[nodiscard]] std::int64_t task() const { return task_; }

 private:
  static LbfgsbProblem<F> boxed(Vec x0, F eval_fg, BoundsList bounds) {
    auto problem = LbfgsbProblem<F>::build(std::move(x0), std::move(eval_fg));
    problem.set_bounds(std::move(bounds));
    return problem;
  }

  LbfgsbProblem<F> problem_;
  SetulbMemory memory_;
  std::int64_t task_ = task_code::START;
};

}  // namespace peltaro::estimation
