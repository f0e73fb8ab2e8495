#include "peltaro/core/kalman/sparse_forms.hpp"

#include <cstdint>
#include <cstring>
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

SparseZ SparseZ::from_dense(const Eigen::VectorXd& Z, std::size_t m) {
  SparseZ out;
  out.assign(Z, m);
  return out;
}

void SparseZ::assign(const Eigen::VectorXd& Z, std::size_t m) {
  entries.clear();
  for (std::size_t i = 0; i < m; ++i) {
    const double v = Z(static_cast<Eigen::Index>(i));
    if (v != 0.0) entries.push_back({i, v});
  }
}

KalmanStrategy choose_strategy(const SparseT& sparse_t) {
  return sparse_t.entries.size() < (sparse_t.dim * sparse_t.dim) / 2 ? KalmanStrategy::Sparse
                                                                      : KalmanStrategy::Dense;
}

void predict_state(KalmanStrategy strategy, const Eigen::MatrixXd& T, const SparseT& sparse_t,
                   const Eigen::VectorXd& a, Eigen::VectorXd& out, std::span<const double> intercept,
                   std::size_t t, std::size_t row) {
  const auto m = static_cast<std::size_t>(a.size());
  if (strategy == KalmanStrategy::Sparse) {
    out.setZero();
    for (const auto& e : sparse_t.entries)
      out[static_cast<Eigen::Index>(e.row)] += e.value * a[static_cast<Eigen::Index>(e.col)];
  } else if (m > 0) {
    out = a[0] * T.col(0);
    for (Eigen::Index j = 1; j < static_cast<Eigen::Index>(m); ++j) out += a[j] * T.col(j);
  }
  if (!intercept.empty()) out[static_cast<Eigen::Index>(row)] += intercept[t];
}

// By 2 × 2 tiles: two contiguous pairs of the lower triangle, interleaved,
// are two contiguous pairs of the upper one.
namespace {

using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store_pair(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }

// Rows j, j + 1 of columns i, i + 1 of `a`, stored turned: into rows i, i + 1
// of `to_j` (a column j) and `to_j1` (a column j + 1).
inline void turn_tile(const double* a, std::size_t m, std::size_t i, std::size_t j, double* to_j,
                      double* to_j1) {
  const Pair ci = load_pair(a + i * m + j);         // (j, i), (j + 1, i)
  const Pair ci1 = load_pair(a + (i + 1) * m + j);  // (j, i + 1), (j + 1, i + 1)
  store_pair(to_j + i, __builtin_shufflevector(ci, ci1, 0, 2));
  store_pair(to_j1 + i, __builtin_shufflevector(ci, ci1, 1, 3));
}

}  // namespace

void mirror_lower(double* a, std::size_t m) {
  std::size_t j = 0;
  for (; j + 1 < m; j += 2) {
    double* up0 = a + j * m;        // upper column j: rows i < j
    double* up1 = a + (j + 1) * m;  // upper column j + 1: rows i ≤ j
    std::size_t i = 0;
    for (; i + 1 < j; i += 2) turn_tile(a, m, i, j, up0, up1);
    for (; i < j; ++i) {
      up0[i] = a[i * m + j];
      up1[i] = a[i * m + j + 1];
    }
    up1[j] = a[j * m + j + 1];
  }
  if (j < m) {
    for (std::size_t i = 0; i < j; ++i) a[j * m + i] = a[i * m + j];
  }
}

void lower_column(const double* a, std::size_t m, std::size_t c, double* out) {
  for (std::size_t i = 0; i < c; ++i) out[i] = a[i * m + c];
  for (std::size_t i = c; i < m; ++i) out[i] = a[c * m + i];
}

void transpose_into(const double* a, std::size_t m, double* b) {
  std::size_t j = 0;
  for (; j + 1 < m; j += 2) {
    double* b0 = b + j * m;        // column j of b: row j of a
    double* b1 = b + (j + 1) * m;  // column j + 1 of b: row j + 1 of a
    std::size_t i = 0;
    for (; i + 1 < m; i += 2) turn_tile(a, m, i, j, b0, b1);
    if (i < m) {
      b0[i] = a[i * m + j];
      b1[i] = a[i * m + j + 1];
    }
  }
  if (j < m) {
    for (std::size_t i = 0; i < m; ++i) b[j * m + i] = a[i * m + j];
  }
}

// The tiles of rows j, j + 1 left of the diagonal feed u_j, u_{j+1} as rows
// (two running sums, kept apart so that they do not wait on each other) and
// u_i, u_{i+1} as the mirrored columns.
void mirror_lower_times(double* a, std::size_t m, const double* x, double* u) {
  for (std::size_t i = 0; i < m; ++i) u[i] = 0.0;
  std::size_t j = 0;
  for (; j + 1 < m; j += 2) {
    double* up0 = a + j * m;
    double* up1 = a + (j + 1) * m;
    const Pair xj{x[j], x[j]};
    const Pair xj1{x[j + 1], x[j + 1]};
    Pair even{0.0, 0.0};
    Pair odd{0.0, 0.0};
    for (std::size_t i = 0; i < j; i += 2) {  // j is even: whole tiles only
      const Pair ci = load_pair(a + i * m + j);
      const Pair ci1 = load_pair(a + (i + 1) * m + j);
      const Pair row0 = __builtin_shufflevector(ci, ci1, 0, 2);
      const Pair row1 = __builtin_shufflevector(ci, ci1, 1, 3);
      store_pair(up0 + i, row0);
      store_pair(up1 + i, row1);
      even += ci * Pair{x[i], x[i]};
      odd += ci1 * Pair{x[i + 1], x[i + 1]};
      store_pair(u + i, load_pair(u + i) + (row0 * xj + row1 * xj1));
    }
    const double d0 = a[j * m + j];
    const double d10 = a[j * m + j + 1];
    const double d1 = a[(j + 1) * m + j + 1];
    up1[j] = d10;
    const Pair left = even + odd;
    u[j] += left[0] + (d0 * x[j] + d10 * x[j + 1]);
    u[j + 1] += left[1] + (d10 * x[j] + d1 * x[j + 1]);
  }
  if (j < m) {
    double left = 0.0;
    for (std::size_t i = 0; i < j; ++i) {
      const double l = a[i * m + j];
      a[j * m + i] = l;
      u[i] += l * x[j];
      left += l * x[i];
    }
    u[j] += left + a[j * m + j] * x[j];
  }
}


// T·P·T' + RQR is symmetric, but the products round (i, j) and (j, i) along
// different paths. Left alone, that rounding is not damped in the unit-root
// directions of a differenced model: P then cycles at a relative amplitude of
// a few 1e-9 forever and the steady-state rule can never see it settle.
// Averaging the two triangles after each prediction removes the cycle.
//
// By the tiles of `mirror_lower`: a walk down a row steps a whole column at
// a time and costs more than the additions.
void symmetrize(Eigen::MatrixXd& P) {
  const auto m = static_cast<std::size_t>(P.rows());
  double* a = P.data();
  // (i, j) and (j, i) for i > j, the lower one first in the sum.
  auto average = [&](std::size_t i, std::size_t j) {
    const double v = 0.5 * (a[j * m + i] + a[i * m + j]);
    a[j * m + i] = v;
    a[i * m + j] = v;
  };
  const Pair half = {0.5, 0.5};
  for (std::size_t j = 0; j + 1 < m; j += 2) {
    average(j + 1, j);
    double* low0 = a + j * m;        // lower column j
    double* low1 = a + (j + 1) * m;  // lower column j + 1
    std::size_t i = j + 2;
    for (; i + 1 < m; i += 2) {
      const Pair up0 = load_pair(a + i * m + j);        // (j, i), (j + 1, i)
      const Pair up1 = load_pair(a + (i + 1) * m + j);  // (j, i + 1), (j + 1, i + 1)
      const Pair v0 = half * (load_pair(low0 + i) + __builtin_shufflevector(up0, up1, 0, 2));
      const Pair v1 = half * (load_pair(low1 + i) + __builtin_shufflevector(up0, up1, 1, 3));
      store_pair(low0 + i, v0);
      store_pair(low1 + i, v1);
      store_pair(a + i * m + j, __builtin_shufflevector(v0, v1, 0, 2));
      store_pair(a + (i + 1) * m + j, __builtin_shufflevector(v0, v1, 1, 3));
    }
    if (i < m) {
      average(i, j);
      average(i, j + 1);
    }
  }
  // For odd m the last column has nothing below the diagonal.
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

}  // namespace peltaro::core
