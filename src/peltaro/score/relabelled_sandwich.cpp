#include "peltaro/score/relabelled_sandwich.hpp"

#include <algorithm>

namespace peltaro::score {
namespace {

// w ← a·X(·, c) (First) or w + a·X(·, c), X kept in its lower triangle; a
// weight of 1 multiplies exactly and is left out.
template <bool First>
void accumulate(const double* x, std::size_t m, std::size_t c, double a, double* __restrict w) {
  const double* __restrict col = x + c * m;
  if (a == 1.0) {
    for (std::size_t b = 0; b < c; ++b) w[b] = First ? x[b * m + c] : w[b] + x[b * m + c];
    for (std::size_t b = c; b < m; ++b) w[b] = First ? col[b] : w[b] + col[b];
  } else {
    for (std::size_t b = 0; b < c; ++b) w[b] = First ? a * x[b * m + c] : w[b] + a * x[b * m + c];
    for (std::size_t b = c; b < m; ++b) w[b] = First ? a * col[b] : w[b] + a * col[b];
  }
}

void write_column(double* x, std::size_t m, std::size_t c, const double* __restrict in) {
  for (std::size_t b = 0; b < c; ++b) x[b * m + c] = in[b];
  double* __restrict col = x + c * m;
  for (std::size_t b = c; b < m; ++b) col[b] = in[b];
}

}  // namespace

void RelabelledSandwich::assign(const core::SparseT& transposed) {
  m_ = transposed.dim;
  const auto m = static_cast<Eigen::Index>(m_);
  x_.setZero(m, m);
  slot_.resize(m_);
  next_slot_.resize(m_);
  label_.resize(m_);
  for (std::size_t i = 0; i < m_; ++i) slot_[i] = label_[i] = i;
  // T''s entries lie row by row: row r is terms_[start[r] … start[r + 1]).
  std::vector<std::size_t>& start = row_start_;
  start.assign(m_ + 1, 0);
  for (const auto& e : transposed.entries) ++start[e.row + 1];
  for (std::size_t r = 0; r < m_; ++r) start[r + 1] += start[r];
  terms_.clear();
  for (const auto& e : transposed.entries) terms_.emplace_back(e.col, e.value);

  shifts_.clear();
  formed_.clear();
  dropped_.clear();
  std::vector<char>& taken = taken_;
  taken.assign(m_, 0);
  for (std::size_t r = 0; r < m_; ++r) {
    const std::size_t b = start[r];
    const std::size_t e = start[r + 1];
    if (e == b + 1 && terms_[b].second == 1.0 && !taken[terms_[b].first]) {
      const std::size_t c = terms_[b].first;
      taken[c] = 1;
      // Consecutive rows from consecutive columns: one run.
      if (!shifts_.empty() && shifts_.back().row + shifts_.back().length == r &&
          shifts_.back().from + shifts_.back().length == c) {
        ++shifts_.back().length;
      } else {
        shifts_.push_back({r, c, 1});
      }
    } else {
      formed_.push_back({r, b, e});
    }
  }
  for (std::size_t c = 0; c < m_; ++c) {
    if (!taken[c]) dropped_.push_back(c);
  }
  // The longest earlier formed row whose terms begin a formed row's.
  for (std::size_t f = 0; f < formed_.size(); ++f) {
    Formed& row = formed_[f];
    std::size_t best = 0;
    for (std::size_t g = 0; g < f; ++g) {
      const Formed& earlier = formed_[g];
      const std::size_t n = earlier.end - earlier.begin;
      if (n == 0 || n <= best || n > row.end - row.begin) continue;
      if (std::equal(terms_.begin() + static_cast<std::ptrdiff_t>(earlier.begin),
                     terms_.begin() + static_cast<std::ptrdiff_t>(earlier.end),
                     terms_.begin() + static_cast<std::ptrdiff_t>(row.begin))) {
        best = n;
        row.prefix = g;
      }
    }
  }
  const auto f = static_cast<Eigen::Index>(formed_.size());
  sums_.resize(m, f);
  meets_.resize(f, f);
  g_slotted_.resize(m);
  z_slotted_.setZero(m);
  z_slots_.clear();
}

void RelabelledSandwich::step() {
  const std::size_t nf = formed_.size();
  double* x = x_.data();
  // Every formed row's sums over X and where formed rows meet, before any
  // slot is written: the slots they read are given up.
  for (std::size_t f = 0; f < nf; ++f) {
    double* __restrict w = sums_.col(static_cast<Eigen::Index>(f)).data();
    const Formed& row = formed_[f];
    std::size_t e = row.begin;
    if (row.prefix != NO_PREFIX) {
      // An earlier formed row's terms begin this one: its sum so far.
      const double* __restrict v = sums_.col(static_cast<Eigen::Index>(row.prefix)).data();
      std::copy(v, v + m_, w);
      const Formed& earlier = formed_[row.prefix];
      e += earlier.end - earlier.begin;
    } else if (row.begin == row.end) {
      std::fill(w, w + m_, 0.0);
    }
    for (; e < row.end; ++e) {
      const auto [c, a] = terms_[e];
      if (e == row.begin) {
        accumulate<true>(x, m_, slot_[c], a, w);
      } else {
        accumulate<false>(x, m_, slot_[c], a, w);
      }
    }
  }
  for (std::size_t g = 0; g < nf; ++g) {
    const Formed& row = formed_[g];
    for (std::size_t f = 0; f <= g; ++f) {
      const double* w = sums_.col(static_cast<Eigen::Index>(f)).data();
      double sum = 0.0;
      for (std::size_t e = row.begin; e < row.end; ++e) {
        sum += terms_[e].second * w[slot_[terms_[e].first]];
      }
      meets_(static_cast<Eigen::Index>(f), static_cast<Eigen::Index>(g)) = sum;
    }
  }

  // The shifts take their columns' slots; the formed rows those of the
  // columns no shift takes.
  for (const Shift& s : shifts_) {
    std::copy(slot_.begin() + static_cast<std::ptrdiff_t>(s.from),
              slot_.begin() + static_cast<std::ptrdiff_t>(s.from + s.length),
              next_slot_.begin() + static_cast<std::ptrdiff_t>(s.row));
  }
  for (std::size_t f = 0; f < nf; ++f) next_slot_[formed_[f].row] = slot_[dropped_[f]];
  slot_.swap(next_slot_);
  for (std::size_t i = 0; i < m_; ++i) label_[slot_[i]] = i;

  for (std::size_t f = 0; f < nf; ++f) {
    write_column(x, m_, slot_[formed_[f].row], sums_.col(static_cast<Eigen::Index>(f)).data());
  }
  for (std::size_t f = 0; f < nf; ++f) {
    const std::size_t k = slot_[formed_[f].row];
    for (std::size_t g = 0; g <= f; ++g) {
      const std::size_t l = slot_[formed_[g].row];
      x[std::min(k, l) * m_ + std::max(k, l)] =
          meets_(static_cast<Eigen::Index>(g), static_cast<Eigen::Index>(f));
    }
  }
}

void RelabelledSandwich::add_outer(std::span<const core::SparseZEntry> z,
                                   const Eigen::VectorXd& zs, const double* p) {
  double* x = x_.data();
  // z in slot order: zero but at its entries' slots.
  double* __restrict zo = z_slotted_.data();
  for (const std::size_t k : z_slots_) zo[k] = 0.0;
  z_slots_.clear();
  for (const auto& e : z) {
    z_slots_.push_back(slot_[e.index]);
    zo[slot_[e.index]] = zs[static_cast<Eigen::Index>(e.index)];
  }
  std::sort(z_slots_.begin(), z_slots_.end());
  // Column k of z's entry from the diagonal down, and row k left of it but
  // for the other entries' columns, which take their (k, ·) from below.
  for (const auto& e : z) {
    const std::size_t k = slot_[e.index];
    const double zc = zs[static_cast<Eigen::Index>(e.index)];
    const double pc = p[k];
    double* __restrict col = x + k * m_;
    for (std::size_t b = k; b < m_; ++b) col[b] += zo[b] * pc + p[b] * zc;
    std::size_t b = 0;
    for (const std::size_t other : z_slots_) {
      if (other >= k) break;
      for (; b < other; ++b) x[b * m_ + k] += zo[b] * pc + p[b] * zc;
      b = other + 1;
    }
    for (; b < k; ++b) x[b * m_ + k] += zo[b] * pc + p[b] * zc;
  }
}

void RelabelledSandwich::times(const double* g, double* u) {
  double* __restrict gs = g_slotted_.data();
  for (std::size_t b = 0; b < m_; ++b) gs[b] = g[label_[b]];
  core::lower_times(x_.data(), m_, gs, u);
}

double RelabelledSandwich::column_dot(std::size_t j, const double* v) const {
  // Down the slots: along row k above the diagonal, then down column k.
  const std::size_t k = slot_[j];
  const double* x = x_.data();
  const double* col = x + k * m_;
  double dot = 0.0;
  for (std::size_t b = 0; b < k; ++b) dot += v[b] * x[b * m_ + k];
  for (std::size_t b = k; b < m_; ++b) dot += v[b] * col[b];
  return dot;
}

Eigen::MatrixXd RelabelledSandwich::logical() const {
  const auto m = static_cast<Eigen::Index>(m_);
  Eigen::MatrixXd out(m, m);
  for (std::size_t j = 0; j < m_; ++j) {
    for (std::size_t i = 0; i < m_; ++i) out(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = at(i, j);
  }
  return out;
}

}  // namespace peltaro::score
