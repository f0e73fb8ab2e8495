// The reference order: W = T·(P − g·g'·f), W·T' + RQR and the average of
// the two triangles, each entry summed as the filters always have; whole, or
// its lower triangle formed entry by entry where each is written.

#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace peltaro::core {
// The reference order's value of each entry of the lower triangle, with
// W = T·(P − g·g'·f) and Y = W·T' + RQR summed as they always are (W(r, ·)
// from +0.0 over row r's entries, Y(·, s) from RQR(·, s) over row s's):
//   lower (i, j), i > j: ½·(Y(i, j) + Y(j, i)); diagonal: Y(j, j).
// For rows i and j with one entry each, (c_i, a_i) and (c_j, w),
//   Y(i, j) = RQR(i, j) + w·(0.0 + a_i·(P(c_j, c_i) − g_{c_i}·(g_{c_j}·f)))
//   Y(j, i) = RQR(j, i) + a_i·(0.0 + w·(P(c_i, c_j) − g_{c_j}·(g_{c_i}·f)))
// and P is exactly symmetric, so both read one entry of P: down a run of
// rows i, the entries of one column of P, contiguous. Where a run and row j
// have weights 1 only, the terms that change nothing bit for bit are left
// out: 1·x, and RQR's zeros (of either sign) added to a value that 0.0 + x
// made never −0.0. Entries where RQR is not zero are then formed again,
// whole.
void CovarianceKernel::build_reference_lower(bool always) {
  const std::size_t m = m_;
  row_value_.assign(m, 0.0);
  for (std::size_t r = 0; r < m; ++r) {
    if (row_kind(r) == RowKind::One) row_value_[r] = entries_[row_start_[r]].value;
  }
  auto offset_of = [&](std::size_t r) {
    return static_cast<std::ptrdiff_t>(row_column(r)) - static_cast<std::ptrdiff_t>(r);
  };
  // The runs, and run_of[r] the run of row r (npos for the other rows: those
  // of summed_ and empty_rows_).
  constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::vector<Run>& runs = reference_runs_;
  runs.clear();
  runs.reserve(m);
  std::vector<std::size_t>& run_of = count_;
  run_of.assign(m, npos);
  for (std::size_t r = 0; r < m;) {
    if (row_kind(r) != RowKind::One) {
      ++r;
      continue;
    }
    Run run{r, r, offset_of(r), true};
    for (; r < m && row_kind(r) == RowKind::One && offset_of(r) == run.offset; ++r) {
      run.unit = run.unit && row_value_[r] == 1.0;
      run_of[r] = runs.size();
    }
    run.end = r;
    runs.push_back(run);
  }
  const double* rqr = rqr_.data();
  auto plain_column = [&](std::size_t j) { return row_kind(j) == RowKind::One && row_value_[j] == 1.0; };
  // Rows with several entries each take a column and a row of entries formed
  // by sums of several terms, and those between two such rows are formed one
  // at a time: where plain stretches cover less than 70% of the lower
  // triangle (a seasonal model with AR terms, say), the whole reference
  // order's four vector passes are faster.
  std::size_t plain_entries = 0;
  for (std::size_t j = 0; j < m; ++j) {
    if (!plain_column(j)) continue;
    for (const Run& run : runs) {
      if (run.unit && run.end > j) plain_entries += run.end - std::max(run.first, j);
    }
  }
  if (!always && 10 * plain_entries < 7 * (m * (m + 1) / 2)) return;
  reference_lower_ = true;

  reference_stretches_.clear();
  reference_zeros_.clear();
  reference_singles_.clear();
  reference_stretches_.reserve(2 * runs.size() * m);
  const std::size_t special = summed_.size() + empty_rows_.size();
  reference_zeros_.reserve(special * m);
  reference_singles_.reserve(special * m + 2 * m);
  auto single = [&](std::size_t i, std::size_t j) {
    reference_singles_.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
  };
  auto stretch = [&](const Run& run, std::size_t j, std::size_t lo, std::size_t hi, bool turned) {
    // Set field by field in place: a whole struct formed on the stack and
    // copied stalls on forwarding its byte-sized stores.
    ReferenceStretch& st = reference_stretches_.emplace_back();
    st.column_kind = row_kind(j);
    st.plain = !turned && plain_column(j) && run.unit;
    st.turned = turned;
    st.column = static_cast<std::uint32_t>(j);
    st.lo = static_cast<std::uint32_t>(lo);
    st.hi = static_cast<std::uint32_t>(hi);
    st.offset = static_cast<std::int32_t>(run.offset);
  };
  for (std::size_t j = 0; j < m; ++j) {
    const RowKind kind = row_kind(j);
    for (const Run& run : runs) {
      if (run.end > j) stretch(run, j, std::max(run.first, j), run.end, false);
      // Row j's own row of the output, left of the diagonal, where it meets
      // the runs above it.
      if (kind == RowKind::Several && run.first < j) {
        stretch(run, j, run.first, std::min(run.end, j), true);
      }
    }
    bool finite_row = true;
    for (std::size_t e = row_start_[j]; e < row_start_[j + 1]; ++e) {
      finite_row = finite_row && std::isfinite(entries_[e].value);
    }
    // The rows with several entries or none at or below row j.
    auto other_row = [&](std::size_t i) {
      if (i < j) return;
      if (row_kind(i) == RowKind::Several && run_of[j] != npos) return;  // turned
      // Row i without entries: Y(i, j) is RQR(i, j) plus terms v·0.0, a zero
      // when RQR(i, j) is, and Y(j, i) is RQR(j, i); their sum is +0.0 when
      // the latter is.
      const double below = rqr[j * m + i];
      const double above = rqr[i * m + j];
      const bool zero = row_kind(i) == RowKind::None && i > j && finite_row && below == 0.0 &&
                        above == 0.0 && !std::signbit(above);
      if (zero) {
        reference_zeros_.push_back(static_cast<std::uint32_t>(j * m + i));
      } else {
        single(i, j);
      }
    };
    for (const Summed& several : summed_) other_row(several.row);
    for (const std::size_t i : empty_rows_) other_row(i);
  }
  // Entries of plain stretches where RQR or RQR' is not zero, each once:
  // the lower triangle's non-zeros, then those above it whose mirror is zero.
  auto fix = [&](std::size_t i, std::size_t j) {  // i > j
    if (run_of[i] != npos && plain_column(j) && runs[run_of[i]].unit) single(i, j);
  };
  for (const std::size_t index : rqr_index_) {
    if (index % (m + 1) != 0) fix(index % m, index / m);
  }
  for (std::size_t j = 1; j < m; ++j) {
    for_each_nonzero(rqr + j * m, 0, j, [&](std::size_t i, double) {
      if (rqr[i * m + j] == 0.0) fix(j, i);
    });
  }

  // The plain stretches apart, for one tight loop; the others first in the
  // list, which keeps all of them for the reads.
  plain_stretches_.clear();
  plain_stretches_.reserve(reference_stretches_.size());
  for (const ReferenceStretch& st : reference_stretches_) {
    if (!st.plain) continue;
    const std::size_t j = st.column;
    const std::size_t lo = st.lo == j ? j + 1 : st.lo;
    const auto source = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(lo) + st.offset);
    PlainStretch& ps = plain_stretches_.emplace_back();
    ps.out = static_cast<std::uint32_t>(j * m + lo);
    ps.source = static_cast<std::uint32_t>(row_column(j) * m + source);
    ps.g = static_cast<std::uint32_t>(source);
    ps.column = static_cast<std::uint32_t>(row_column(j));
    ps.length = static_cast<std::uint32_t>(st.hi - lo);
    ps.diagonal = st.lo == j ? static_cast<std::uint32_t>(j * m + j) : NO_DIAGONAL;
  }
  general_stretches_ = static_cast<std::size_t>(
      std::partition(reference_stretches_.begin(), reference_stretches_.end(),
                     [](const ReferenceStretch& st) { return !st.plain; }) -
      reference_stretches_.begin());
  // The terms of the rows with several entries, each row's W in its slot of
  // summed_ (layer by layer, as reference_terms_ are).
  several_terms_.clear();
  for (const ReferenceTerm& term : reference_terms_) {
    if (summed_index_[term.row] < summed_.size()) {
      several_terms_.push_back(term);
      several_terms_.back().row = static_cast<std::uint32_t>(summed_index_[term.row]);
    }
  }
  rqr_rows_.resize(summed_.size() * m);
  for (std::size_t q = 0; q < summed_.size(); ++q) {
    for (std::size_t k = 0; k < m; ++k) rqr_rows_[q * m + k] = rqr[k * m + summed_[q].row];
  }

  // The reads above the diagonal: a stretch reads the columns of row j's
  // entries from its first source row on.
  std::vector<std::size_t>& first_row = count_;  // run_of no longer needed
  first_row.resize(m);
  for (std::size_t c = 0; c < m; ++c) first_row[c] = c;
  auto read = [&](std::size_t column, std::size_t row) {
    first_row[column] = std::min(first_row[column], row);
  };
  for (const UpperRead& r : upper_reads_) read(r.column, r.from);
  for (const ReferenceTerm& term : several_terms_) read(term.col, 0);
  for (const ReferenceStretch& st : reference_stretches_) {
    const auto source = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(st.lo) + st.offset);
    for (std::size_t e = row_start_[st.column]; e < row_start_[st.column + 1]; ++e) {
      read(entries_[e].col, source);
    }
  }
  reference_upper_reads_.clear();
  reference_upper_reads_.reserve(m);
  for (std::size_t c = 0; c < m; ++c) {
    if (first_row[c] < c) reference_upper_reads_.push_back({c, first_row[c]});
  }
}

// P is read whole (into W) before the first entry of the result is written,
// so the in-place form is the out-of-place one with `out` = P.
void CovarianceKernel::predict_in_reference_order(Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                                                  double f, CovarianceWorkspace& ws) const {
  predict_in_reference_order(std::as_const(P), g, f, P, ws);
}

void CovarianceKernel::predict_in_reference_order(const Eigen::MatrixXd& P,
                                                  const Eigen::VectorXd* g, double f,
                                                  Eigen::MatrixXd& out,
                                                  CovarianceWorkspace& ws) const {
  if (entries_.empty()) {
    out = rqr_;
    return;
  }
  const std::size_t m = m_;
  out.resize(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(m));

  // W = T·(P − g·g'·f), formed as its transpose W' and turned: an entry
  // (r, c, a) of T adds a·(P(c, k) − g_c·(g_k·f)) to W(r, k) for every k,
  // and P, exactly symmetric, holds P(c, k) at P(k, c) too, so column r of W'
  // is formed down column c of P in one contiguous sweep. The updated entry
  // P(c, k) + (g_k·(−f))·g_c is formed as P(c, k) − g_c·(g_k·f), which rounds
  // identically; W(r, k) sums the entries of row r from +0.0 in column
  // order, which the layers keep: the first layer starts each sum (0.0 + its
  // term), the others add, and rows without entries stay 0.
  Eigen::MatrixXd& W = ws.w();
  double* wt = ws.w_turned();
  const double* gd = g != nullptr ? g->data() : nullptr;
  double* gf = ws.gain_times_f();
  if (g != nullptr) {
    for (std::size_t i = 0; i < m; ++i) gf[i] = gd[i] * f;
  }
  for (const std::size_t r : empty_rows_) std::fill(wt + r * m, wt + (r + 1) * m, 0.0);
  const DenseSweeps& sweeps = dense_sweeps();
  sweeps.reference_rows(reference_terms_.data(), reference_terms_.size(), P.data(), gd,
                        g != nullptr ? gf : nullptr, m, wt);
  sweeps.transpose(wt, m, W.data());

  // P ← RQR + W·T': column r gains v·(column c of W) per entry (r, c, v), in
  // stored order, the first straight onto RQR's column.
  sweeps.reference_columns(row_start_.data(), entries_.data(), W.data(), rqr_.data(), m,
                           out.data());
  sweeps.symmetrize(out.data(), m);
}

namespace {

// The reference order's lower entries down one stretch of rows i (see
// build_reference_lower), n of them: x, gi and gfi hold P(c_i, c_j), g_{c_i}
// and g_{c_i}·f at the stretch's rows, a the weights a_i, rl RQR(i, j) and
// ru RQR(j, i) (along a row: every m-th value); sl = g_{c_j}·f and
// su = g_{c_j}.
template <bool Update>
void reference_one(double* __restrict o, const double* __restrict x, const double* __restrict gi,
                   const double* __restrict gfi, const double* __restrict a,
                   const double* __restrict rl, const double* __restrict ru, std::size_t m,
                   double w, double sl, double su, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    double lower, upper;
    if constexpr (Update) {
      lower = 0.0 + a[k] * (x[k] - gi[k] * sl);
      upper = 0.0 + w * (x[k] - su * gfi[k]);
    } else {
      lower = 0.0 + a[k] * x[k];
      upper = 0.0 + w * x[k];
    }
    o[k] = 0.5 * ((rl[k] + w * lower) + (ru[k * m] + a[k] * upper));
  }
}

// The same with every weight 1 and RQR's terms left out (added afterwards
// where they are not zero): 1·x is x, and a zero of either sign added to a
// value that 0.0 + x made never −0.0 leaves it as it is. The upper value's
// own 0.0 + changes only a −0.0, which then meets a lower value that is
// never −0.0, and the sum is the same. With the update, the dense sweeps'
// `reference_plain`; without it (a step without an observation):
void reference_plain_no_update(double* __restrict o, const double* __restrict x, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) o[k] = 0.5 * ((0.0 + x[k]) + x[k]);
}

}  // namespace

void CovarianceKernel::predict_lower_in_reference_order(const Eigen::MatrixXd& P,
                                                        const Eigen::VectorXd* g, double f,
                                                        Eigen::MatrixXd& out,
                                                        CovarianceWorkspace& ws) const {
  if (!reference_lower_) {
    throw std::logic_error("covariance kernel: the lower reference order was not planned");
  }
  const std::size_t m = m_;
  out.resize(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(m));
  if (entries_.empty()) {
    out = rqr_;
    return;
  }
  const double* p = P.data();
  double* o = out.data();
  const double* rqr = rqr_.data();
  const double* gd = g != nullptr ? g->data() : nullptr;
  double* gf = ws.gain_times_f();
  if (g != nullptr) {
    for (std::size_t i = 0; i < m; ++i) gf[i] = gd[i] * f;
  }
  // P(r, c) from the lower triangle.
  auto p_at = [&](std::size_t r, std::size_t c) { return r >= c ? p[c * m + r] : p[r * m + c]; };
  // A term of W(r, ·) for the entry (r, c, a): a·(P(k, c) − g_c·(g_k·f)).
  auto term = [&](double a, std::size_t c, std::size_t k) {
    return gd != nullptr ? a * (p_at(k, c) - gd[c] * gf[k]) : a * p_at(k, c);
  };

  // W(r, ·) whole for the rows with several entries, by the reference
  // order's own sweep over their terms (the columns it reads are kept whole).
  double* wt = ws.w_turned();
  const DenseSweeps& sweeps = dense_sweeps();
  sweeps.reference_rows(several_terms_.data(), several_terms_.size(), p, gd,
                        gd != nullptr ? gf : nullptr, m, wt);
  // Y(r, s) = RQR(r, s) + Σ over row s's entries (s, c, v) of v·W(r, c).
  auto y_at = [&](std::size_t r, std::size_t s) {
    double acc = rqr[s * m + r];
    const SparseTEntry* e = entries_.data() + row_start_[s];
    const SparseTEntry* end = entries_.data() + row_start_[s + 1];
    switch (row_kind(r)) {
      case RowKind::None:
        for (; e != end; ++e) acc = acc + e->value * 0.0;
        break;
      case RowKind::One: {
        const double a = row_value_[r];
        const std::size_t c = row_column(r);
        for (; e != end; ++e) acc = acc + e->value * (0.0 + term(a, c, e->col));
        break;
      }
      case RowKind::Several: {
        const double* w = wt + summed_index_[r] * m;
        for (; e != end; ++e) acc = acc + e->value * w[e->col];
        break;
      }
    }
    return acc;
  };

  // The plain stretches, in one tight loop.
  if (gd != nullptr) {
    for (const PlainStretch& ps : plain_stretches_) {
      const std::size_t cj = ps.column;
      const double sl = gf[cj];
      const double su = gd[cj];
      if (ps.diagonal != NO_DIAGONAL) {
        // Y(j, j), the lower value with i = j and w = 1.
        o[ps.diagonal] = rqr[ps.diagonal] + (0.0 + (p[cj * m + cj] - su * sl));
      }
      sweeps.reference_plain(o + ps.out, p + ps.source, gd + ps.g, gf + ps.g, sl, su, ps.length);
    }
  } else {
    for (const PlainStretch& ps : plain_stretches_) {
      const std::size_t cj = ps.column;
      if (ps.diagonal != NO_DIAGONAL) o[ps.diagonal] = rqr[ps.diagonal] + (0.0 + p[cj * m + cj]);
      reference_plain_no_update(o + ps.out, p + ps.source, ps.length);
    }
  }
  for (std::size_t q = 0; q < general_stretches_; ++q) {
    const ReferenceStretch& st = reference_stretches_[q];
    const std::size_t j = st.column;
    std::size_t lo = st.lo;
    const std::size_t hi = st.hi;
    const auto source = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(lo) + st.offset);
    double* oj = o + j * m;
    const double* a = row_value_.data();
    switch (st.column_kind) {
      case RowKind::One: {
        const std::size_t cj = row_column(j);
        const double w = row_value_[j];
        const double* x = p + cj * m + source;
        const double sl = gd != nullptr ? gf[cj] : 0.0;
        const double su = gd != nullptr ? gd[cj] : 0.0;
        std::size_t skip = 0;
        if (lo == j) {
          // Y(j, j), the lower value with i = j.
          const double x0 = gd != nullptr ? x[0] - su * sl : x[0];
          oj[j] = rqr[j * m + j] + w * (0.0 + w * x0);
          skip = 1;
        }
        const std::size_t n = hi - lo - skip;
        lo += skip;
        if (gd != nullptr) {
          reference_one<true>(oj + lo, x + skip, gd + source + skip, gf + source + skip, a + lo,
                              rqr + j * m + lo, rqr + lo * m + j, m, w, sl, su, n);
        } else {
          reference_one<false>(oj + lo, x + skip, nullptr, nullptr, a + lo, rqr + j * m + lo,
                               rqr + lo * m + j, m, w, sl, su, n);
        }
        break;
      }
      case RowKind::Several: {
        // Y(i, j) sums row j's terms in turn; then the average, into column j
        // or, turned, into row j.
        double* __restrict acc = ws.stretch_sums();
        const double* __restrict rl = rqr + j * m + lo;
        const double* __restrict ai = a + lo;
        const std::size_t n = hi - lo;
        for (std::size_t e = row_start_[j]; e < row_start_[j + 1]; ++e) {
          const double v = entries_[e].value;
          const std::size_t c = entries_[e].col;
          const double* __restrict x = p + c * m + source;
          const bool first = e == row_start_[j];
          if (gd != nullptr) {
            const double* __restrict gi = gd + source;
            const double s = gf[c];
            for (std::size_t k = 0; k < n; ++k) {
              const double t = v * (0.0 + ai[k] * (x[k] - gi[k] * s));
              acc[k] = (first ? rl[k] : acc[k]) + t;
            }
          } else {
            for (std::size_t k = 0; k < n; ++k) {
              const double t = v * (0.0 + ai[k] * x[k]);
              acc[k] = (first ? rl[k] : acc[k]) + t;
            }
          }
        }
        const double* __restrict ru = rqr_rows_.data() + summed_index_[j] * m + lo;  // RQR(j, i)
        const double* __restrict wj = wt + summed_index_[j] * m + source;
        if (st.turned) {
          double* out_row = o + lo * m + j;
          for (std::size_t k = 0; k < n; ++k) {
            out_row[k * m] = 0.5 * (acc[k] + (ru[k] + ai[k] * wj[k]));
          }
        } else {
          double* __restrict out_j = oj + lo;
          for (std::size_t k = 0; k < n; ++k) out_j[k] = 0.5 * (acc[k] + (ru[k] + ai[k] * wj[k]));
        }
        break;
      }
      case RowKind::None: {
        double* __restrict out_j = oj + lo;
        const double* __restrict rl = rqr + j * m + lo;
        const double* __restrict ru = rqr + lo * m + j;
        const double* __restrict ai = a + lo;
        for (std::size_t k = 0; k < hi - lo; ++k) {
          out_j[k] = 0.5 * (rl[k] + (ru[k * m] + ai[k] * 0.0));
        }
        break;
      }
    }
  }
  for (const std::uint32_t index : reference_zeros_) o[index] = 0.0;
  for (const Entry& e : reference_singles_) {
    const std::size_t i = e.row;
    const std::size_t j = e.column;
    o[j * m + i] = i == j ? y_at(j, j) : 0.5 * (y_at(i, j) + y_at(j, i));
  }
  mirror(reference_upper_reads_, o);
}
}  // namespace peltaro::core
