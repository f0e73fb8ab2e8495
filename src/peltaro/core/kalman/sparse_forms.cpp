#include "peltaro/core/kalman/sparse_forms.hpp"

#include <cstdint>
#include <vector>

namespace peltaro::core {

SparseT SparseT::from_dense(const Eigen::MatrixXd& T, std::size_t m) {
  SparseT out;
  out.assign(T, m);
  return out;
}

void SparseT::assign(const Eigen::MatrixXd& T, std::size_t m) {
  dim = m;
  entries.clear();
  // A SARIMAX transition stores at most a few entries per row.
  entries.reserve(2 * m);
  // Down the columns, where T is contiguous.
  for (std::size_t j = 0; j < m; ++j) {
    for_each_nonzero(T.col(static_cast<Eigen::Index>(j)).data(), 0, m,
                     [&](std::size_t i, double v) { entries.push_back({i, j, v}); });
  }
  // Into row order by a stable counting sort, so that a row's columns stay
  // ascending.
  std::vector<std::size_t> next(m + 1, 0);
  for (const auto& e : entries) ++next[e.row + 1];
  for (std::size_t r = 0; r < m; ++r) next[r + 1] += next[r];
  std::vector<SparseTEntry> sorted(entries.size());
  for (const auto& e : entries) sorted[next[e.row]++] = e;
  entries.swap(sorted);
}

void SparseT::assign_transpose(const SparseT& a) {
  dim = a.dim;
  // A's entries of one column lie in ascending rows: a stable counting sort
  // by column leaves each row of the transpose in ascending columns.
  std::vector<std::size_t> next(dim + 1, 0);
  for (const auto& e : a.entries) ++next[e.col + 1];
  for (std::size_t c = 0; c < dim; ++c) next[c + 1] += next[c];
  entries.resize(a.entries.size());
  for (const auto& e : a.entries) entries[next[e.col]++] = {e.col, e.row, e.value};
}

SparseZ SparseZ::from_dense(const Eigen::VectorXd& Z, std::size_t m) {
  SparseZ out;
  out.assign(Z, m);
  return out;
}

void SparseZ::assign(const Eigen::VectorXd& Z, std::size_t m) {
  entries.clear();
  entries.reserve(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double v = Z(static_cast<Eigen::Index>(i));
    if (v != 0.0) entries.push_back({i, v});
  }
}

KalmanStrategy choose_strategy(const SparseT& sparse_t) {
  return sparse_t.entries.size() < (sparse_t.dim * sparse_t.dim) / 2 ? KalmanStrategy::Sparse
                                                                      : KalmanStrategy::Dense;
}


void mirror_lower(double* a, std::size_t m) { dense_sweeps().mirror_lower(a, m); }

void mirror_lower_times(double* a, std::size_t m, const double* x, double* u) {
  dense_sweeps().mirror_lower_times(a, m, x, u);
}

void lower_times(const double* a, std::size_t m, const double* x, double* u) {
  dense_sweeps().lower_times(a, m, x, u);
}

void symmetrize(Eigen::MatrixXd& P) {
  dense_sweeps().symmetrize(P.data(), static_cast<std::size_t>(P.rows()));
}

void predict_cov(KalmanStrategy strategy, const Eigen::MatrixXd& T, const Eigen::MatrixXd& Tt,
                 const SparseT& sparse_t, Eigen::MatrixXd& P, const Eigen::MatrixXd& RQR,
                 Eigen::MatrixXd& W) {
  if (strategy == KalmanStrategy::Dense) {
    W.noalias() = T * P;
    P.noalias() = W * Tt;
    P += RQR;
    symmetrize(P);
    return;
  }
  const std::size_t m = sparse_t.dim;
  W.setZero();
  if (m == 0 || sparse_t.entries.empty()) {
    P = RQR;
    return;
  }
  // W ← T·P: row r of W gains v·(row c of P) per triplet, so every W(r, k)
  // sums its terms in triplet order. Whole rows at a time keep the updates
  // independent; scattering into one column entry by entry would chain each
  // update on the previous store.
  const auto mm = static_cast<Eigen::Index>(m);
  for (const auto& e : sparse_t.entries) {
    W.row(static_cast<Eigen::Index>(e.row)) += e.value * P.row(static_cast<Eigen::Index>(e.col));
  }
  P = RQR;
  // P ← RQR + W·T': column r of P gains v·(column c of W) per triplet.
  for (const auto& e : sparse_t.entries) {
    const double v = e.value;
    const double* wc = W.col(static_cast<Eigen::Index>(e.col)).data();
    double* pr = P.col(static_cast<Eigen::Index>(e.row)).data();
    for (Eigen::Index k = 0; k < mm; ++k) pr[k] += v * wc[k];
  }
  symmetrize(P);
}

double compute_pz_and_f(KalmanStrategy strategy, const Eigen::MatrixXd& P, const Eigen::VectorXd& Z,
                        const SparseZ& sparse_z, std::size_t m, Eigen::VectorXd& PZ) {
  if (strategy == KalmanStrategy::Dense) {
    PZ.noalias() = P * Z;
    return Z.dot(PZ);
  }
  const auto mm = static_cast<Eigen::Index>(m);
  const auto& z = sparse_z.entries;
  auto column = [&](std::size_t e) { return P.col(static_cast<Eigen::Index>(z[e].index)).data(); };
  double* __restrict pz = PZ.data();
  // Each entry sums its terms from +0.0 in Z's order; up to three terms (the
  // differencing and MA states Z reads) in one sweep.
  if (z.size() == 2) {
    const double* __restrict p0 = column(0);
    const double* __restrict p1 = column(1);
    const double v0 = z[0].value, v1 = z[1].value;
    for (Eigen::Index i = 0; i < mm; ++i) pz[i] = (0.0 + v0 * p0[i]) + v1 * p1[i];
  } else if (z.size() == 3) {
    const double* __restrict p0 = column(0);
    const double* __restrict p1 = column(1);
    const double* __restrict p2 = column(2);
    const double v0 = z[0].value, v1 = z[1].value, v2 = z[2].value;
    for (Eigen::Index i = 0; i < mm; ++i) pz[i] = ((0.0 + v0 * p0[i]) + v1 * p1[i]) + v2 * p2[i];
  } else {
    PZ.setZero();
    for (std::size_t e = 0; e < z.size(); ++e) {
      const double* pk = column(e);
      for (Eigen::Index i = 0; i < mm; ++i) pz[i] += z[e].value * pk[i];
    }
  }
  double f = -0.0;
  for (const auto& e : sparse_z.entries) f += e.value * PZ[static_cast<Eigen::Index>(e.index)];
  return f;
}

void RowRuns::assign(const SparseT& a) {
  runs_.clear();
  values_.clear();
  rows_.clear();
  // Entries are in row order: each row is one range of them.
  const auto& entries = a.entries;
  std::size_t begin = 0;
  for (std::size_t r = 0; r < a.dim; ++r) {
    std::size_t end = begin;
    while (end < entries.size() && entries[end].row == r) ++end;
    if (end - begin != 1) {
      rows_.push_back({r, begin, end});
    } else {
      // A single entry extends the run of the row above when it reads the
      // next column.
      const SparseTEntry& entry = entries[begin];
      const bool extends = !runs_.empty() && runs_.back().first + runs_.back().length == r &&
                           runs_.back().source + runs_.back().length == entry.col;
      if (!extends) runs_.push_back({r, 0, entry.col, values_.size()});
      ++runs_.back().length;
      values_.push_back(entry.value);
    }
    begin = end;
  }
  if (values_.size() >= MIN_RUN_ROWS) return;
  // Too few rows in runs: every row on its own, in row order.
  runs_.clear();
  values_.clear();
  rows_.clear();
  begin = 0;
  for (std::size_t r = 0; r < a.dim; ++r) {
    std::size_t end = begin;
    while (end < entries.size() && entries[end].row == r) ++end;
    rows_.push_back({r, begin, end});
    begin = end;
  }
}

}  // namespace peltaro::core
