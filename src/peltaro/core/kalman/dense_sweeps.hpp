#pragma once
// The sweeps over whole m × m matrices that the covariance steps share: the
// two-by-two tile walks (transposing, mirroring a lower triangle, averaging
// the two triangles) and the two products of the reference order. Each forms
// every entry by the same operations in the same order whatever the width of
// the instructions that carry them, so the widest set the processor offers
// (AVX2 or the x86-64 baseline) is chosen once, at first use, and gives the
// same bits.
//
// The source is compiled once per instruction set. It includes no Eigen and
// instantiates nothing that code built for the baseline could share.

#include <cstddef>
#include <cstdint>

namespace peltaro::core {

// A stored entry of T.
struct SparseTEntry {
  std::size_t row;
  std::size_t col;
  double value;
};

// One term of the reference order's W' = (T·(P − g·g'·f))': column `row` of
// W' gains a·(P(:, col) − g_col·(g·f)), starting from +0.0 when `first`.
struct ReferenceTerm {
  std::uint32_t row = 0;
  std::uint32_t col = 0;
  bool first = false;
  double value = 1.0;
};

struct DenseSweeps {
  // b ← a' (m × m, column-major, not overlapping).
  void (*transpose)(const double* a, std::size_t m, double* b);
  // The strict upper triangle copied from the lower one.
  void (*mirror_lower)(double* a, std::size_t m);
  // `mirror_lower`, and u ← A·x for the whole symmetric A.
  void (*mirror_lower_times)(double* a, std::size_t m, const double* x, double* u);
  // u ← A·x for the symmetric A of which the lower triangle is read, the
  // same bits as `mirror_lower_times`'s u.
  void (*lower_times)(const double* a, std::size_t m, const double* x, double* u);
  // (i, j) and (j, i), i > j, both become 0.5·(A(i, j) + A(j, i)).
  void (*symmetrize)(double* a, std::size_t m);
  // W' by its terms in order (g and gf null: no update); rows of T without
  // entries must already hold zeros.
  void (*reference_rows)(const ReferenceTerm* terms, std::size_t count, const double* p,
                         const double* g, const double* gf, std::size_t m, double* wt);
  // out ← RQR + W·T': column r takes RQR's column r, then v·(column c of W)
  // for each entry (r, c, v) of T in stored order, entries[row_start[r] …
  // row_start[r + 1]).
  void (*reference_columns)(const std::size_t* row_start, const SparseTEntry* entries,
                            const double* w, const double* rqr, std::size_t m, double* out);
  // o[k] ← 0.5·((0.0 + (x[k] − gi[k]·sl)) + (x[k] − su·gfi[k])) for k < n: the
  // reference order's averaged entry where T's two rows are plain shifts (see
  // CovarianceKernel::predict_lower_in_reference_order).
  void (*reference_plain)(double* o, const double* x, const double* gi, const double* gfi,
                          double sl, double su, std::size_t n);
};

// The sweeps this processor runs.
const DenseSweeps& dense_sweeps();

// Tests only: the baseline forms (true) or the widest again (false).
void use_baseline_sweeps(bool baseline);

}  // namespace peltaro::core
