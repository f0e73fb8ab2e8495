#pragma once
// Non-zero entries of T and Z, and the three products every filter pass
// repeats, either dense or over those entries. The strategy is chosen once
// per pass.

#include <Eigen/Dense>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "peltaro/core/kalman/dense_sweeps.hpp"

namespace peltaro::core {

struct SparseT {
  std::vector<SparseTEntry> entries;  // row ascending, then column ascending
  std::size_t dim = 0;

  static SparseT from_dense(const Eigen::MatrixXd& T, std::size_t m);
  // The same in place, keeping the storage.
  void assign(const Eigen::MatrixXd& T, std::size_t m);
  // The transpose of `a` (not this one), keeping the storage.
  void assign_transpose(const SparseT& a);
};

// out ← A·x over a sparse A's stored entries, each value summed from +0.0 in
// the order of its row's entries, as a product entry by entry sums it: the
// one product of a transition with a vector that every pass uses. Rows with
// one entry each that read consecutive columns run as one contiguous sweep;
// the rows with none or several are summed one at a time, in a register.
// A few short runs cost more in loops than their entries one by one: below
// MIN_RUN_ROWS rows in runs, every row is summed on its own.
class RowRuns {
 public:
  void assign(const SparseT& a);
  // `entries` are those of the A assigned. Inline: a steady step of a long
  // series does little else.
  void times(std::span<const SparseTEntry> entries, const double* x, double* out) const;
  // How many rows the sweeps take.
  [[nodiscard]] std::size_t run_rows() const { return values_.size(); }

  static constexpr std::size_t MIN_RUN_ROWS = 8;

 private:
  // Consecutive rows first … first + length − 1 with one entry each, in
  // column source + (r − first), weights values_[value …].
  struct Run {
    std::size_t first = 0;
    std::size_t length = 0;
    std::size_t source = 0;
    std::size_t value = 0;
  };
  std::vector<Run> runs_;
  std::vector<double> values_;
  // The rows with no entry or several: entries[begin … end).
  struct Row {
    std::size_t row = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
  };
  std::vector<Row> rows_;
};

inline void RowRuns::times(std::span<const SparseTEntry> entries, const double* x,
                    double* out) const {
  double* __restrict o = out;
  for (const Run& run : runs_) {
    const double* __restrict v = values_.data() + run.value;
    const double* __restrict src = x + run.source;
    double* __restrict dst = o + run.first;
    for (std::size_t k = 0; k < run.length; ++k) dst[k] = 0.0 + v[k] * src[k];
  }
  for (const Row& r : rows_) {
    double sum = 0.0;
    for (std::size_t e = r.begin; e < r.end; ++e) sum += entries[e].value * x[entries[e].col];
    o[r.row] = sum;
  }
}

struct SparseZEntry {
  std::size_t index;
  double value;
};

struct SparseZ {
  std::vector<SparseZEntry> entries;  // index ascending

  static SparseZ from_dense(const Eigen::VectorXd& Z, std::size_t m);
  // The same in place, keeping the storage.
  void assign(const Eigen::VectorXd& Z, std::size_t m);
};

// f(i, x[i]) for every i in [from, to) with x[i] != 0.0 (NaN included), in
// order. Four values at a time: a block whose bits are all zero but for the
// signs holds none, which is most blocks of a companion, differencing or
// shock matrix.
template <class F>
void for_each_nonzero(const double* x, std::size_t from, std::size_t to, F&& f) {
  auto magnitude_bits = [](double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b << 1;
  };
  auto take = [&](std::size_t i) {
    if (x[i] != 0.0) f(i, x[i]);
  };
  std::size_t i = from;
  for (; i + 4 <= to; i += 4) {
    if ((magnitude_bits(x[i]) | magnitude_bits(x[i + 1]) | magnitude_bits(x[i + 2]) |
         magnitude_bits(x[i + 3])) == 0) {
      continue;
    }
    for (std::size_t r = i; r < i + 4; ++r) take(r);
  }
  for (; i < to; ++i) take(i);
}

enum class KalmanStrategy : std::uint8_t { Dense = 0, Sparse = 1 };

// Sparse when fewer than ⌊m²/2⌋ entries are stored.
KalmanStrategy choose_strategy(const SparseT& sparse_t);

// P ← ½(P + P'): every recursion that predicts a covariance ends with it.
// Entry (i, j), i > j, of both triangles becomes 0.5·(P(i, j) + P(j, i)).
void symmetrize(Eigen::MatrixXd& P);

// The strict upper triangle of an m × m column-major matrix copied from its
// lower triangle.
void mirror_lower(double* a, std::size_t m);

// `mirror_lower`, and u ← A·x for the whole symmetric A, in one sweep over
// the lower triangle: each pair of entries is read once for the copy and
// both products (m values each in x and u, neither inside a).
void mirror_lower_times(double* a, std::size_t m, const double* x, double* u);

// u ← A·x from A's lower triangle alone, bit for bit `mirror_lower_times`'s u.
void lower_times(const double* a, std::size_t m, const double* x, double* u);

// P ← T·P·T' + RQR, with W as workspace; the result is exactly symmetric.
void predict_cov(KalmanStrategy strategy, const Eigen::MatrixXd& T, const Eigen::MatrixXd& Tt,
                 const SparseT& sparse_t, Eigen::MatrixXd& P, const Eigen::MatrixXd& RQR,
                 Eigen::MatrixXd& W);

// PZ ← P·Z; returns F = Z'·P·Z (no observation variance).
double compute_pz_and_f(KalmanStrategy strategy, const Eigen::MatrixXd& P, const Eigen::VectorXd& Z,
                        const SparseZ& sparse_z, std::size_t m, Eigen::VectorXd& PZ);

// Z'a over the stored pairs, started from −0.0.
inline double sparse_dot(const SparseZ& sparse_z, const Eigen::VectorXd& a) {
  double acc = -0.0;
  for (const auto& e : sparse_z.entries) acc += e.value * a[static_cast<Eigen::Index>(e.index)];
  return acc;
}

}  // namespace peltaro::core
