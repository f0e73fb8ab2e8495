// The AR split of the folded order: T = S + φ·e_c' where an AR column
// reaches a few of many rows, S's products by its own kernel and φ's as one
// rank-two term.

#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <algorithm>
#include <vector>

namespace peltaro::core {
using detail::Correction;

// The split pays where φ has a few rows of many: its rank-two term costs
// about an entry per row of φ and column, where the pieces of T spend a sum
// of two columns per row of φ and a group over them, and S's pieces are
// fewer. Measured: from four rows on, up to a quarter of the states (three
// rows lose 6–8%, six gain 4–9%, nine 10%).
void CovarianceKernel::choose_split(const Eigen::MatrixXd& rqr,
                                    std::span<const std::size_t> whole_columns) {
  constexpr std::size_t MIN_ROWS = 4;
  constexpr std::size_t MIN_STATES_PER_ROW = 4;
  split_rows_.clear();
  // The rows of two entries that each column holds one of.
  auto two = [&](std::size_t r) { return row_start_[r + 1] - row_start_[r] == 2; };
  std::vector<std::size_t>& rows_in = count_;
  rows_in.assign(m_, 0);
  for (std::size_t r = 0; r < m_; ++r) {
    if (!two(r)) continue;
    ++rows_in[entries_[row_start_[r]].col];
    ++rows_in[entries_[row_start_[r] + 1].col];
  }
  std::size_t c = 0;
  for (std::size_t k = 1; k < m_; ++k) {
    if (rows_in[k] > rows_in[c]) c = k;
  }
  const std::size_t rows = m_ == 0 ? 0 : rows_in[c];
  if (!may_split_ || rows < MIN_ROWS || rows * MIN_STATES_PER_ROW > m_) {
    split_.clear();
    return;
  }
  split_column_ = c;
  split_phi_.assign(m_, 0.0);
  SparseT s;
  s.dim = m_;
  s.entries.reserve(entries_.size());
  for (std::size_t r = 0; r < m_; ++r) {
    const bool split_row = two(r);
    for (std::size_t q = row_start_[r]; q < row_start_[r + 1]; ++q) {
      const SparseTEntry& e = entries_[q];
      if (split_row && e.col == c) {
        split_rows_.push_back(r);
        split_phi_[r] = e.value;
      } else {
        s.entries.push_back(e);
      }
    }
  }
  split_runs_.clear();
  for (const std::size_t r : split_rows_) {
    if (!split_runs_.empty() && split_runs_.back().first + split_runs_.back().second == r) {
      ++split_runs_.back().second;
    } else {
      split_runs_.emplace_back(r, 1);
    }
  }
  split_gaps_.clear();
  std::size_t from = 0;
  for (const auto& [first, length] : split_runs_) {
    if (first > from) split_gaps_.emplace_back(from, first);
    from = first + length;
  }
  if (from < m_) split_gaps_.emplace_back(from, m_);
  if (split_.empty()) {
    split_.emplace_back();
    split_.front().may_split_ = false;
  }
  CovarianceKernel& inner = split_.front();
  inner.assign(s, rqr, whole_columns, LowerReference::Never);
  // The folded steps read what S's pieces read; X(·, c) they take from the
  // lower triangle.
  upper_reads_ = inner.upper_reads_;
}

void CovarianceKernel::split_sandwich(Correction u, const Eigen::MatrixXd& X, const double* g,
                                      double f, const double* gf, const double* p, double* out,
                                      CovarianceWorkspace& ws, Addend addend) const {
  // S's kernel was given the same RQR: it adds what this one would.
  const CovarianceKernel& inner = split_.front();
  switch (u) {
    case Correction::None:
      inner.sandwich_lower<Correction::None>(X, g, f, gf, p, out, ws, addend);
      break;
    case Correction::RankOne:
      inner.sandwich_lower<Correction::RankOne>(X, g, f, gf, p, out, ws, addend);
      break;
    case Correction::RankTwo:
      inner.sandwich_lower<Correction::RankTwo>(X, g, f, gf, p, out, ws, addend);
      break;
  }
  // The inner products are done with the workspace: x̃ = X̃·e_c and t take
  // its columns. X̃(k, c) is read from the lower triangle.
  const std::size_t m = m_;
  const std::size_t c = split_column_;
  const double* x = X.data();
  double* xt = ws.split_column();
  double* t = ws.split_term();
  for (std::size_t k = 0; k < m; ++k) {
    const double v = k >= c ? x[c * m + k] : x[k * m + c];
    if (u == Correction::RankOne) {
      xt[k] = v - g[k] * gf[c];
    } else if (u == Correction::RankTwo) {
      xt[k] = v + (g[k] * p[c] + p[k] * g[c]);
    } else {
      xt[k] = v;
    }
  }
  inner.times_t(xt, t);
  const double half = 0.5 * xt[c];
  const double* phi = split_phi_.data();
  for (const std::size_t r : split_rows_) t[r] += half * phi[r];
  // φ_i·t_j + t_i·φ_j: down the columns of φ's rows whole, and along φ's
  // rows (a run's rows side by side in each column) outside them.
  for (const auto& [first, length] : split_runs_) {
    const double* __restrict ph = phi + first;
    for (const auto& [from, to] : split_gaps_) {
      const std::size_t end = std::min(to, first);
      for (std::size_t j = from; j < end; ++j) {
        double* __restrict o = out + j * m + first;
        const double tj = t[j];
        if (length == 2) {
          o[0] += ph[0] * tj;
          o[1] += ph[1] * tj;
        } else {
          for (std::size_t k = 0; k < length; ++k) o[k] += ph[k] * tj;
        }
      }
    }
  }
  for (const std::size_t j : split_rows_) {
    double* __restrict o = out + j * m;
    const double* __restrict ph = phi;
    const double* __restrict tt = t;
    const double pj = phi[j];
    const double tj = t[j];
    for (std::size_t i = j; i < m; ++i) o[i] += ph[i] * tj + tt[i] * pj;
  }
}

}  // namespace peltaro::core
