#include "peltaro/core/kalman/steady_state.hpp"

#include <cmath>
#include <limits>

#include "peltaro/core/kalman/pairs.hpp"

namespace peltaro::core {
namespace {

// 2^±300: the change's smallest square that a decision reads, about
// (1e-14·trace)², stays far above the least normal double, its largest far
// below overflow.
constexpr double PLAIN_TRACE_LOW = 0x1p-300;
constexpr double PLAIN_TRACE_HIGH = 0x1p300;

// ‖P_new − P_old‖_F / trace by the lower triangles, each entry scaled by the
// power of two of the trace first. A trace that is not positive and finite
// gives no scale: only a covariance that stands exactly still has settled.
[[gnu::noinline, gnu::cold]] double rescaled_change(const StateCovariance& p_new,
                                                    const StateCovariance& p_old, double trace) {
  const bool scaled = trace > 0.0 && std::isfinite(trace);
  const int e = scaled ? std::ilogb(trace) : 0;
  const std::size_t m = p_new.dim();
  double sum = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = j; i < m; ++i) {
      const double d = std::scalbn(p_new(i, j), -e) - std::scalbn(p_old(i, j), -e);
      sum += (i == j ? 1.0 : 2.0) * (d * d);
    }
  }
  if (!scaled) return sum == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
  return std::sqrt(sum) / std::scalbn(trace, -e);
}

}  // namespace

// The change of a step is ‖P_new − P_old‖_F / trace(P_old): relative to the
// total variance of the state, which for a covariance is at least ‖P_old‖_F.
// It does not depend on the units of the series, and neither may the way it
// is computed: the entries' changes are squared as they are only while the
// trace lies between 2^-300 and 2^300, where no change that a decision reads
// underflows or overflows when squared. Beyond that the entries are first
// scaled by the power of two that brings the trace near 1, which leaves every
// ratio as it was.
//
// Most checks end after O(m) work. The diagonal part of the squared change is
// summed first, and the whole sum is that partial sum plus the off-diagonal
// squares; adding a non-negative number never makes a rounded sum smaller, so
// the diagonal alone bounds the computed change from below, bit for bit. A
// change above the rounding floor and not below the tolerance cannot pass, and
// the next check only needs to know that it was that large, so the
// off-diagonal sum is then not formed. The decisions are exactly those of the
// full test.
bool SteadyStateRule::after_update(std::size_t t, const StateCovariance& p_new,
                                   const StateCovariance& p_old) {
  if (t < first_check_) return false;
  const auto m = static_cast<Eigen::Index>(p_new.dim());
  // Four partial sums each, element i into sum i mod 4: one running sum
  // would be a chain of m dependent additions that the steps after it wait
  // on. Two sums to a vector.
  const double* pn = p_new.lower_data();
  const double* po = p_old.lower_data();
  const Eigen::Index step = m + 1;
  // The diagonal of p_old, kept from the last check when p_old is the
  // matrix that check had as p_new (the callers exchange the two after each
  // step): one walk across the columns instead of two.
  const auto mm = static_cast<std::size_t>(m);
  if (diagonal_of_ != po || diagonal_.size() != mm) {
    diagonal_.resize(mm);
    for (Eigen::Index i = 0; i < m; ++i) diagonal_[static_cast<std::size_t>(i)] = po[i * step];
  }
  double* kept = diagonal_.data();
  Pair diag01{0.0, 0.0}, diag23{0.0, 0.0}, trace01{0.0, 0.0}, trace23{0.0, 0.0};
  Eigen::Index i = 0;
  for (; i + 4 <= m; i += 4) {
    const double* n = pn + i * step;
    const Pair old01 = load_pair(kept + i);
    const Pair old23 = load_pair(kept + i + 2);
    const Pair new01{n[0], n[step]};
    const Pair new23{n[2 * step], n[3 * step]};
    store_pair(kept + i, new01);
    store_pair(kept + i + 2, new23);
    const Pair d01 = new01 - old01;
    const Pair d23 = new23 - old23;
    diag01 += d01 * d01;
    diag23 += d23 * d23;
    trace01 += old01;
    trace23 += old23;
  }
  double diag_part[4] = {diag01[0], diag01[1], diag23[0], diag23[1]};
  double trace_part[4] = {trace01[0], trace01[1], trace23[0], trace23[1]};
  for (int l = 0; i < m; ++i, ++l) {
    const double old_value = kept[i];
    const double new_value = pn[i * step];
    kept[i] = new_value;
    const double d = new_value - old_value;
    diag_part[l] += d * d;
    trace_part[l] += old_value;
  }
  diagonal_of_ = pn;
  const double diagonal = (diag_part[0] + diag_part[1]) + (diag_part[2] + diag_part[3]);
  const double trace = (trace_part[0] + trace_part[1]) + (trace_part[2] + trace_part[3]);
  if (!(trace >= PLAIN_TRACE_LOW && trace <= PLAIN_TRACE_HIGH)) {
    return judge(rescaled_change(p_new, p_old, trace));
  }
  const double tolerance = options_.tolerance;
  const double diagonal_change = std::sqrt(diagonal) / trace;
  if (!(diagonal_change < tolerance || diagonal_change <= options_.rounding_floor)) {
    last_change_ = diagonal_change;
    passed_ = 0;
    return false;
  }

  double off_diagonal = 0.0;
  auto add = [&](std::size_t at) { off_diagonal += (pn[at] - po[at]) * (pn[at] - po[at]); };
  // The entries above the diagonal are read at their mirror images, in the
  // order of the whole matrix's columns.
  const auto mu = static_cast<std::size_t>(m);
  for (std::size_t j = 0; j < mu; ++j) {
    for (std::size_t i = 0; i < j; ++i) add(i * mu + j);
    for (std::size_t i = j + 1; i < mu; ++i) add(j * mu + i);
  }
  return judge(std::sqrt(diagonal + off_diagonal) / trace);
}

bool SteadyStateRule::judge(double change) {
  const double tolerance = options_.tolerance;
  bool passed = change <= options_.rounding_floor;
  if (!passed && last_change_ < tolerance && last_change_ - change > options_.rate_resolution) {
    const double rho = change / last_change_;
    passed = change * rho / (1.0 - rho) < tolerance;
  }
  passed_ = passed ? passed_ + 1 : 0;
  last_change_ = change;
  return passed && passed_ >= options_.checks_in_a_row;
}

}  // namespace peltaro::core
