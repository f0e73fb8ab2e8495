// The folded order's products: the lower triangle of T·(X − g·g'·f)·T' + C
// (or of T·(X + g·p' + p·g')·T' + C) by the plan's stretches and groups, and
// the steps built on it.

#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

#include "peltaro/core/kalman/pairs.hpp"

namespace peltaro::core {
using detail::Correction;

namespace {

// How a stretch writes its terms: over what is there, or onto it.
enum class Put : std::uint8_t { Assign, Add };

// o[k] (=, +=) a_k·(w·x̃_k) for k < n, a_k = 1 when `a` is null, with
// x̃_k = x[k] (None), x[k] − h[k]·s (RankOne) or x[k] + (h[k]·s + h2[k]·s2)
// (RankTwo). The cases are split so that every inner loop is a plain vector
// loop.
template <Correction U, Put How>
inline void stretch(double* __restrict o, const double* __restrict x, const double* __restrict h,
                    const double* __restrict h2, const double* __restrict a, double w, double s,
                    double s2, std::size_t n) {
  auto put = [&](std::size_t k, double v) {
    if constexpr (How == Put::Assign) {
      o[k] = v;
    } else {
      o[k] += v;
    }
  };
  auto source = [&](std::size_t k) {
    if constexpr (U == Correction::RankOne) {
      return x[k] - h[k] * s;
    } else if constexpr (U == Correction::RankTwo) {
      return x[k] + (h[k] * s + h2[k] * s2);
    } else {
      return x[k];
    }
  };
  if (a == nullptr && w == 1.0) {
    for (std::size_t k = 0; k < n; ++k) put(k, source(k));
  } else if (a == nullptr) {
    for (std::size_t k = 0; k < n; ++k) put(k, w * source(k));
  } else {
    for (std::size_t k = 0; k < n; ++k) put(k, a[k] * (w * source(k)));
  }
}

// `stretch` for the plain copies that assign, by pairs: the same
// operations on each entry, with less to set up per stretch.
template <Correction U>
inline void copy_pairs(double* __restrict o, const double* __restrict x,
                       const double* __restrict h, const double* __restrict h2, double s,
                       double s2, std::uint32_t n) {
  const Pair sv = {s, s};
  const Pair s2v = {s2, s2};
  auto value = [&](std::size_t k) {
    if constexpr (U == Correction::RankOne) return load_pair(x + k) - load_pair(h + k) * sv;
    if constexpr (U == Correction::RankTwo) {
      return load_pair(x + k) + (load_pair(h + k) * sv + load_pair(h2 + k) * s2v);
    }
    return load_pair(x + k);
  };
  const std::uint32_t pairs = n >> 1;
  for (std::uint32_t k = 0; k < pairs; ++k) store_pair(o + 2 * k, value(2 * k));
  if (n & 1) {
    const std::size_t k = n - 1;
    if constexpr (U == Correction::RankOne) o[k] = x[k] - h[k] * s;
    if constexpr (U == Correction::RankTwo) o[k] = x[k] + (h[k] * s + h2[k] * s2);
    if constexpr (U == Correction::None) o[k] = x[k];
  }
}

template <bool Updated, Put How>
inline void stretch(double* __restrict o, const double* __restrict x, const double* __restrict h,
                    const double* __restrict a, double w, double s, std::size_t n) {
  stretch<Updated ? Correction::RankOne : Correction::None, How>(o, x, h, nullptr, a, w, s, 0.0,
                                                                 n);
}

// o += C over the lower triangle (nothing when C is null).
void add_lower(const Eigen::MatrixXd* C, double* o, std::size_t m) {
  if (C == nullptr) return;
  for (std::size_t j = 0; j < m; ++j) {
    const double* c = C->data() + j * m;
    for (std::size_t i = j; i < m; ++i) o[j * m + i] += c[i];
  }
}

}  // namespace

template <Correction U>
void CovarianceKernel::sandwich_lower(const Eigen::MatrixXd& X, const double* g, double f,
                                      const double* gf, const double* p, double* out,
                                      CovarianceWorkspace& ws, Addend addend) const {
  const std::size_t m = m_;
  const double* x = X.data();
  const double* values = values_.data();
  // u_j for the rows of T with several entries.
  double* u = ws.summed_columns();
  for (std::size_t q = 0; q < summed_.size(); ++q) {
    const std::size_t j = summed_[q].row;
    const std::size_t from = summed_[q].from;
    const SparseTEntry* row = entries_.data() + row_start_[j];
    const std::size_t count = row_start_[j + 1] - row_start_[j];
    double k = 0.0;
    double kp = 0.0;
    for (std::size_t e = 0; e < count; ++e) {
      if constexpr (U != Correction::None) k += row[e].value * g[row[e].col];
      if constexpr (U == Correction::RankTwo) kp += row[e].value * p[row[e].col];
    }
    const double fk = f * k;
    // The entries' terms summed in order, then the correction: rank one
    // −g·(f·k), rank two +(g·kp + p·k).
    auto correct = [&](double v, std::size_t i) {
      if constexpr (U == Correction::RankOne) return v - g[i] * fk;
      if constexpr (U == Correction::RankTwo) return v + (g[i] * kp + p[i] * k);
      return v;
    };
    double* __restrict uj = u + q * m;
    auto column = [&](std::size_t e) -> const double* { return x + row[e].col * m; };
    // Two or three entries (the differencing and AR rows) in one sweep
    // each, the value kept in a register between the terms.
    if (count == 2) {
      const double* __restrict x0 = column(0);
      const double* __restrict x1 = column(1);
      const double w0 = row[0].value, w1 = row[1].value;
      for (std::size_t i = from; i < m; ++i) uj[i] = correct(w0 * x0[i] + w1 * x1[i], i);
      continue;
    }
    if (count == 3) {
      const double* __restrict x0 = column(0);
      const double* __restrict x1 = column(1);
      const double* __restrict x2 = column(2);
      const double w0 = row[0].value, w1 = row[1].value, w2 = row[2].value;
      for (std::size_t i = from; i < m; ++i) {
        uj[i] = correct((w0 * x0[i] + w1 * x1[i]) + w2 * x2[i], i);
      }
      continue;
    }
    for (std::size_t e = 0; e < count; ++e) {
      const double w = row[e].value;
      const double* xc = column(e);
      if (e == 0) {
        for (std::size_t i = from; i < m; ++i) uj[i] = w * xc[i];
      } else {
        for (std::size_t i = from; i < m; ++i) uj[i] += w * xc[i];
      }
    }
    if constexpr (U != Correction::None) {
      for (std::size_t i = from; i < m; ++i) uj[i] = correct(uj[i], i);
    }
  }
  auto stretches = [&]<bool Assign>(std::integral_constant<bool, Assign>) {
    constexpr Put how = Assign ? Put::Assign : Put::Add;
    auto phase = [&](Kind kind) {
      const std::size_t q = phase_of(kind, Assign);
      return std::pair{plan_.data() + phase_start_[q], plan_.data() + phase_start_[q + 1]};
    };
    // Rank one: x − g_r·(g_c·f); rank two: x + (g_r·p_c + p_r·g_c).
    auto h = [&](const Stretch& st) { return U != Correction::None ? g + st.update_row : nullptr; };
    auto h2 = [&](const Stretch& st) {
      return U == Correction::RankTwo ? p + st.update_row : nullptr;
    };
    auto s = [&](const Stretch& st) {
      if constexpr (U == Correction::RankOne) return gf[st.update_col];
      if constexpr (U == Correction::RankTwo) return p[st.update_col];
      return 0.0;
    };
    auto s2 = [&](const Stretch& st) { return U == Correction::RankTwo ? g[st.update_col] : 0.0; };
    for (auto [q, e] = phase(Kind::Copy); q != e; ++q) {
      if constexpr (Assign) {
        copy_pairs<U>(out + q->out, x + q->source, h(*q), h2(*q), s(*q), s2(*q), q->length);
      } else {
        stretch<U, how>(out + q->out, x + q->source, h(*q), h2(*q), nullptr, 1.0, s(*q), s2(*q),
                        q->length);
      }
    }
    for (auto [q, e] = phase(Kind::Scaled); q != e; ++q) {
      stretch<U, how>(out + q->out, x + q->source, h(*q), h2(*q), nullptr, q->weight, s(*q),
                      s2(*q), q->length);
    }
    for (auto [q, e] = phase(Kind::Weighted); q != e; ++q) {
      stretch<U, how>(out + q->out, x + q->source, h(*q), h2(*q), values + q->value, q->weight,
                      s(*q), s2(*q), q->length);
    }
    for (auto [q, e] = phase(Kind::Column); q != e; ++q) {
      stretch<false, how>(out + q->out, u + q->source, nullptr, nullptr, 1.0, 0.0, q->length);
    }
    for (auto [q, e] = phase(Kind::ColumnWeighted); q != e; ++q) {
      stretch<false, how>(out + q->out, u + q->source, nullptr, values + q->value, 1.0, 0.0,
                          q->length);
    }
  };
  auto groups = [&]<bool Assign>(std::span<const std::size_t> list,
                                 std::integral_constant<bool, Assign>) {
    double* y = ws.group_sums();
    for (const std::size_t index : list) {
      const Piece& group = pieces_[index];
      // y_j = Σ over the entries (j, c', w) of row j of w·X̃(c', c), for the
      // columns j the group's rows reach.
      const std::size_t c = group.column;
      const double* col = x + c * m;
      const std::size_t last = group_rows_[group.first + group.length - 1];
      for (std::size_t j = 0; j <= last; ++j) {
        if (row_start_[j] == row_start_[j + 1]) {
          y[j] = 0.0;
        } else if (summed_index_[j] < summed_.size()) {
          y[j] = u[summed_index_[j] * m + c];
        } else {
          const std::size_t cj = entries_[row_start_[j]].col;
          double xt = col[cj];
          if constexpr (U == Correction::RankOne) xt = col[cj] - g[c] * gf[cj];
          if constexpr (U == Correction::RankTwo) xt = col[cj] + (g[c] * p[cj] + p[c] * g[cj]);
          y[j] = entries_[row_start_[j]].value * xt;
        }
      }
      // Output (r, j) takes a_r·y_j for every row r of the group and j ≤ r,
      // one block of consecutive rows at a time and in it a column j at a
      // time, down contiguous memory. Each entry takes its single term.
      const std::size_t* rows = group_rows_.data() + group.first;
      const double* a = values + group.value;
      for (std::size_t b = 0; b < group.length;) {
        std::size_t e = b + 1;
        while (e < group.length && rows[e] == rows[e - 1] + 1) ++e;
        const std::size_t r0 = rows[b];
        const std::size_t r1 = rows[e - 1];
        if (e - b < 4) {
          // A short block: a row at a time.
          for (std::size_t k = b; k < e; ++k) {
            double* row = out + rows[k];
            for (std::size_t j = 0; j <= rows[k]; ++j) {
              if constexpr (Assign) {
                row[j * m] = a[k] * y[j];
              } else {
                row[j * m] += a[k] * y[j];
              }
            }
          }
          b = e;
          continue;
        }
        for (std::size_t j = 0; j <= r1; ++j) {
          const double yj = y[j];
          double* o = out + j * m + r0;
          for (std::size_t k = j > r0 ? j - r0 : 0; k < e - b; ++k) {
            if constexpr (Assign) {
              o[k] = a[b + k] * yj;
            } else {
              o[k] += a[b + k] * yj;
            }
          }
        }
        b = e;
      }
    }
  };
  for (const std::size_t index : zeros_) out[index] = 0.0;
  stretches(std::true_type{});
  groups(std::span(groups_).first(assigning_groups_), std::true_type{});
  stretches(std::false_type{});
  groups(std::span(groups_).subspan(assigning_groups_), std::false_type{});
  add(addend, out);
}

void CovarianceKernel::add(Addend addend, double* out) const {
  if (addend.rqr) {
    for (std::size_t p = 0; p < rqr_index_.size(); ++p) out[rqr_index_[p]] += rqr_values_[p];
  } else {
    add_lower(addend.matrix, out, m_);
  }
}

void CovarianceKernel::sandwich(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C,
                                const Eigen::VectorXd* g, double f, Eigen::MatrixXd& out,
                                CovarianceWorkspace& ws) const {
  if (split_.empty()) {
    sandwich_lower_updated<false>(X, g, f, out.data(), ws, {C});
  } else {
    sandwich_lower_updated<true>(X, g, f, out.data(), ws, {C});
  }
  mirror_lower(out.data(), m_);
}

void CovarianceKernel::sandwich_rank_two(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C,
                                         const Eigen::VectorXd& g, const Eigen::VectorXd& p,
                                         Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  if (!split_.empty()) {
    split_sandwich(Correction::RankTwo, X, g.data(), 0.0, nullptr, p.data(), out.data(), ws,
                                        {C});
  } else {
    sandwich_lower<Correction::RankTwo>(X, g.data(), 0.0, nullptr, p.data(), out.data(), ws,
                                        {C});
  }
  mirror_lower(out.data(), m_);
}

void CovarianceKernel::predict(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                               Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  predict_triangle(P, g, f, out, ws);
  mirror_lower(out.data(), m_);
}

void CovarianceKernel::predict_lower(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                                     Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  predict_triangle(P, g, f, out, ws);
  mirror_reads(out);
}

void CovarianceKernel::predict_triangle(const Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                                        double f, Eigen::MatrixXd& out,
                                        CovarianceWorkspace& ws) const {
  out.resize(static_cast<Eigen::Index>(m_), static_cast<Eigen::Index>(m_));
  const Addend rqr{nullptr, true};
  if (split_.empty()) {
    sandwich_lower_updated<false>(P, g, f, out.data(), ws, rqr);
  } else {
    sandwich_lower_updated<true>(P, g, f, out.data(), ws, rqr);
  }
}

template <bool Split>
void CovarianceKernel::sandwich_lower_updated(const Eigen::MatrixXd& X, const Eigen::VectorXd* g,
                                              double f, double* out, CovarianceWorkspace& ws,
                                              Addend addend) const {
  if (g == nullptr) {
    if constexpr (Split) {
      split_sandwich(Correction::None, X, nullptr, 0.0, nullptr, nullptr, out, ws, addend);
    } else {
      sandwich_lower<Correction::None>(X, nullptr, 0.0, nullptr, nullptr, out, ws, addend);
    }
    return;
  }
  double* gf = ws.gain_times_f();
  for (std::size_t i = 0; i < m_; ++i) gf[i] = (*g)[static_cast<Eigen::Index>(i)] * f;
  if constexpr (Split) {
    split_sandwich(Correction::RankOne, X, g->data(), f, gf, nullptr, out, ws, addend);
  } else {
    sandwich_lower<Correction::RankOne>(X, g->data(), f, gf, nullptr, out, ws, addend);
  }
}

// The result is formed in the workspace's `next`, which `sandwich_lower`
// does not use, and then takes P's place.
void CovarianceKernel::predict(Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                               CovarianceWorkspace& ws) const {
  predict(std::as_const(P), g, f, ws.next(), ws);
  P.swap(ws.next());
}

// S's kernel in the AR split runs these.
template void CovarianceKernel::sandwich_lower<Correction::None>(
    const Eigen::MatrixXd&, const double*, double, const double*, const double*, double*,
    CovarianceWorkspace&, Addend) const;
template void CovarianceKernel::sandwich_lower<Correction::RankOne>(
    const Eigen::MatrixXd&, const double*, double, const double*, const double*, double*,
    CovarianceWorkspace&, Addend) const;
template void CovarianceKernel::sandwich_lower<Correction::RankTwo>(
    const Eigen::MatrixXd&, const double*, double, const double*, const double*, double*,
    CovarianceWorkspace&, Addend) const;
}  // namespace peltaro::core
