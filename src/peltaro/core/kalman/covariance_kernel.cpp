// The covariance kernel's set-up: whether a plan still holds for a new T and
// R·Q·R', taking R·Q·R''s values, planning anew, and the mirrored reads that
// every order of operations shares.

#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "peltaro/core/kalman/pairs.hpp"

namespace peltaro::core {
namespace {

// The same entries in the same order, values bit for bit.
bool same_entries(std::span<const SparseTEntry> a, std::span<const SparseTEntry> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].row != b[k].row || a[k].col != b[k].col ||
        std::memcmp(&a[k].value, &b[k].value, sizeof(double)) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

// The plan reads T's values (which rows are plain shifts, the weights it
// copies) and, of RQR, which entries are zeros and of which sign; RQR's values
// it keeps apart (rqr_, rqr_values_, rqr_rows_).
bool CovarianceKernel::plan_holds(const SparseT& sparse_t, const Eigen::MatrixXd& rqr,
                                  std::span<const std::size_t> whole_columns,
                                  LowerReference reference_lower) const {
  if (!planned_ || sparse_t.dim != m_ || reference_lower != planned_reference_ ||
      rqr.rows() != rqr_.rows() || rqr.cols() != rqr_.cols() ||
      !std::ranges::equal(whole_columns, planned_whole_columns_)) {
    return false;
  }
  if (!same_entries(sparse_t.entries, entries_)) return false;
  // Two entries at a time, without a branch per entry (zeros and non-zeros
  // mix): the sign bit of `moved` is set where a zero came or went (the masks
  // differ) or changed sign (both zeros, their bits differ in the sign alone).
  using Bits = long long __attribute__((vector_size(16)));
  const double* now = rqr.data();
  const double* was = rqr_.data();
  const auto size = static_cast<std::size_t>(rqr.size());
  Bits moved{0, 0};
  std::size_t k = 0;
  for (; k + 2 <= size; k += 2) {
    const Pair a = load_pair(now + k);
    const Pair b = load_pair(was + k);
    const Bits zero_a = a == 0.0;
    const Bits zero_b = b == 0.0;
    moved |= (zero_a ^ zero_b) | (zero_a & (reinterpret_cast<Bits>(a) ^ reinterpret_cast<Bits>(b)));
  }
  if (k < size) {
    const bool zero = now[k] == 0.0;
    if (zero != (was[k] == 0.0) || (zero && std::signbit(now[k]) != std::signbit(was[k]))) {
      return false;
    }
  }
  return (moved[0] | moved[1]) >= 0;
}

void CovarianceKernel::take_rqr_values(const Eigen::MatrixXd& rqr) {
  if (!split_.empty()) split_.front().take_rqr_values(rqr);
  rqr_ = rqr;
  const double* v = rqr_.data();
  for (std::size_t p = 0; p < rqr_index_.size(); ++p) rqr_values_[p] = v[rqr_index_[p]];
  if (!reference_lower_) return;
  for (std::size_t q = 0; q < summed_.size(); ++q) {
    for (std::size_t k = 0; k < m_; ++k) rqr_rows_[q * m_ + k] = v[k * m_ + summed_[q].row];
  }
}

void CovarianceKernel::assign(const SparseT& sparse_t, const Eigen::MatrixXd& rqr,
                              std::span<const std::size_t> whole_columns,
                              LowerReference reference_lower) {
  if (plan_holds(sparse_t, rqr, whole_columns, reference_lower)) {
    take_rqr_values(rqr);
    return;
  }
  planned_ = false;
  m_ = sparse_t.dim;
  // The plan keeps offsets into m × m matrices in 32 bits; the module's own
  // limit on the state count (1024) is far below this.
  if (m_ > 65535) throw std::length_error("covariance kernel: more states than its offsets hold");
  entries_.assign(sparse_t.entries.begin(), sparse_t.entries.end());
  row_start_.assign(m_ + 1, 0);
  for (const auto& e : entries_) ++row_start_[e.row + 1];
  for (std::size_t r = 0; r < m_; ++r) row_start_[r + 1] += row_start_[r];
  runs_.assign(sparse_t);
  empty_rows_.clear();
  empty_rows_.reserve(m_);
  for (std::size_t r = 0; r < m_; ++r) {
    if (row_start_[r] == row_start_[r + 1]) empty_rows_.push_back(r);
  }

  // R·Q·R' of one shock touches only the states the MA coefficients reach.
  if (rqr.rows() != static_cast<Eigen::Index>(m_) || rqr.cols() != static_cast<Eigen::Index>(m_)) {
    throw std::invalid_argument("covariance kernel: R·Q·R' is not of T's size");
  }
  rqr_ = rqr;
  rqr_index_.clear();
  rqr_values_.clear();
  rqr_index_.reserve(m_);
  rqr_values_.reserve(m_);
  for (std::size_t j = 0; j < m_; ++j) {
    for_each_nonzero(rqr.col(static_cast<Eigen::Index>(j)).data(), j, m_,
                     [&](std::size_t i, double v) {
                       rqr_index_.push_back(j * m_ + i);
                       rqr_values_.push_back(v);
                     });
  }

  build_pieces();
  build_plan();
  build_upper_reads(whole_columns);
  choose_split(rqr, whole_columns);
  reference_lower_ = false;
  if (reference_lower != LowerReference::Never) {
    build_reference_lower(reference_lower == LowerReference::Always);
  }
  planned_whole_columns_.assign(whole_columns.begin(), whole_columns.end());
  planned_reference_ = reference_lower;
  planned_ = true;
}

void CovarianceKernel::mirror_reads(Eigen::MatrixXd& X) const { mirror(upper_reads_, X.data()); }

void CovarianceKernel::mirror(std::span<const UpperRead> reads, double* o) const {
  const std::size_t m = m_;
  for (const UpperRead& read : reads) {
    double* column = o + read.column * m;
    for (std::size_t i = read.from; i < read.column; ++i) column[i] = o[i * m + read.column];
  }
}
}  // namespace peltaro::core
