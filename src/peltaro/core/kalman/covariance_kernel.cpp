#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
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

void CovarianceKernel::assign(const SparseT& sparse_t, const Eigen::MatrixXd& rqr,
                              std::span<const std::size_t> whole_columns) {
  m_ = sparse_t.dim;
  // The plan keeps offsets into m × m matrices in 32 bits; the module's own
  // limit on the state count (1024) is far below this.
  if (m_ > 65535) throw std::length_error("covariance kernel: more states than its offsets hold");
  entries_.assign(sparse_t.entries.begin(), sparse_t.entries.end());
  row_start_.assign(m_ + 1, 0);
  for (const auto& e : entries_) ++row_start_[e.row + 1];
  for (std::size_t r = 0; r < m_; ++r) row_start_[r + 1] += row_start_[r];
  empty_rows_.clear();
  empty_rows_.reserve(m_);
  for (std::size_t r = 0; r < m_; ++r) {
    if (row_start_[r] == row_start_[r + 1]) empty_rows_.push_back(r);
  }

  // R·Q·R' of one shock touches only the states the MA coefficients reach.
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
}

void CovarianceKernel::split(const char* member, std::size_t min_run,
                             std::vector<Piece>& pieces) {
  auto offset_of = [](const SparseTEntry& e) {
    return static_cast<std::ptrdiff_t>(e.col) - static_cast<std::ptrdiff_t>(e.row);
  };
  // The member entry of row r with a given offset (a row has at most one).
  constexpr std::size_t npos = static_cast<std::size_t>(-1);
  auto find = [&](std::size_t r, std::ptrdiff_t offset) {
    for (std::size_t q = row_start_[r]; q < row_start_[r + 1]; ++q) {
      if (member[q] && offset_of(entries_[q]) == offset) return q;
    }
    return npos;
  };
  char* taken = flags_.data() + entries_.size();
  std::fill(taken, taken + entries_.size(), 0);
  // Runs: `min_run` or more consecutive rows with a member entry of one
  // offset.
  for (std::size_t p = 0; p < entries_.size(); ++p) {
    if (!member[p] || taken[p]) continue;
    const std::ptrdiff_t offset = offset_of(entries_[p]);
    std::size_t end = entries_[p].row + 1;
    while (end < m_ && find(end, offset) != npos) ++end;
    if (end - entries_[p].row < min_run) continue;
    // Formed where it is kept: a piece put together beside it and copied
    // in costs a stalled reload of each field just written.
    Piece& run = pieces.emplace_back();
    run.first = entries_[p].row;
    run.length = end - run.first;
    run.offset = offset;
    run.value = values_.size();
    run.unit = true;
    for (std::size_t r = run.first; r < end; ++r) {
      const std::size_t q = find(r, offset);
      taken[q] = 1;
      values_.push_back(entries_[q].value);
      run.unit = run.unit && entries_[q].value == 1.0;
    }
  }
  // Groups: the other members by column, rows ascending (the entries are in
  // row order, so a stable bucketing by column keeps it).
  std::vector<std::size_t>& count = count_;
  count.assign(m_ + 1, 0);
  for (std::size_t q = 0; q < entries_.size(); ++q) {
    if (member[q] && !taken[q]) ++count[entries_[q].col + 1];
  }
  for (std::size_t c = 0; c < m_; ++c) count[c + 1] += count[c];
  const std::size_t base = group_rows_.size();
  group_rows_.resize(base + count[m_]);
  values_.resize(values_.size() + count[m_]);
  const std::size_t value_base = values_.size() - count[m_];
  for (std::size_t c = 0; c < m_; ++c) {
    if (count[c + 1] == count[c]) continue;
    Piece& group = pieces.emplace_back();
    group.group = true;
    group.column = c;
    group.first = base + count[c];
    group.value = value_base + count[c];
    group.length = count[c + 1] - count[c];
  }
  for (std::size_t q = 0; q < entries_.size(); ++q) {
    if (!member[q] || taken[q]) continue;
    const std::size_t slot = count[entries_[q].col]++;
    group_rows_[base + slot] = entries_[q].row;
    values_[value_base + slot] = entries_[q].value;
  }
}

void CovarianceKernel::build_pieces() {
  values_.clear();
  values_.reserve(entries_.size());
  group_rows_.clear();
  group_rows_.reserve(entries_.size());
  pieces_.reserve(entries_.size());
  // For `sandwich`, whatever covers T in the fewest, longest pieces. A run
  // of two rows costs a stretch in every column of the result it reaches,
  // more than its two entries read one at a time: runs start at three.
  pieces_.clear();
  flags_.resize(std::max(2 * entries_.size(), 2 * entries_.size() + m_));
  char* member = flags_.data();
  std::fill(member, member + entries_.size(), 1);
  split(member, 3, pieces_);
  // The reference order's terms, layer by layer: layer L holds the L-th
  // entry (by column) of every row, so the layers, taken in turn, sum each
  // row in the order of its entries.
  reference_terms_.clear();
  reference_terms_.reserve(entries_.size());
  for (std::size_t layer = 0; reference_terms_.size() < entries_.size(); ++layer) {
    for (std::size_t r = 0; r < m_; ++r) {
      if (row_start_[r] + layer >= row_start_[r + 1]) continue;
      const SparseTEntry& e = entries_[row_start_[r] + layer];
      reference_terms_.push_back({static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(e.col),
                                  layer == 0, e.value});
    }
  }
}

// `sandwich` forms its lower triangle column by column: output column j,
// rows i ≥ j, is the sum over the entries (i, c, a) and (j, c', w) of T of
// a·w·X̃(c, c'). For a run on the i side and the entry of row j, the terms
// run down a contiguous stretch of column c' of X̃ (X̃ is symmetric, so row c'
// is column c'); that is one stretch of the plan. A group on the i side reads
// one entry of X̃ per output entry instead, so it is done a row at a time:
// row r of the group gains a·y with y_j the sum over row j's entries of
// w·X̃(c, c').
//
// Where row j of T has two or more entries (differencing and AR rows), its
// entries are summed first, into the column
// u_j = Σ w·X(:, c') − g·(f·Σ w·g_c') of (X − g·g'·f)·T', and the stretches
// of column j read u_j. Those rows add up the diffuse-scale differencing
// states; summing them before the second product, as the unfolded order
// does, keeps the partial sums at the scale of the result.
//
// A cover, pieces that reach every row T reaches, each once, longest first,
// assigns: its runs in every column with a non-empty row j, its groups whole
// rows. Everything else adds; entries the cover does not write start from
// zero.
void CovarianceKernel::build_plan() {
  // The cover, taken greedily: a piece joins unless a longer one (or an
  // earlier one as long) already reaches one of its rows.
  const std::size_t n_pieces = pieces_.size();
  flags_.assign(2 * n_pieces + m_, 0);
  char* in_cover = flags_.data();
  char* tried = in_cover + n_pieces;
  char* covered = tried + n_pieces;  // 1: by a run, 2: by a group
  for (std::size_t round = 0; round < n_pieces; ++round) {
    std::size_t best = n_pieces;
    for (std::size_t i = 0; i < n_pieces; ++i) {
      if (!tried[i] && (best == n_pieces || pieces_[i].length > pieces_[best].length)) best = i;
    }
    tried[best] = 1;
    const Piece& piece = pieces_[best];
    bool free = true;
    for (std::size_t k = 0; k < piece.length; ++k) free = free && covered[row_of(piece, k)] == 0;
    if (!free) continue;
    in_cover[best] = 1;
    for (std::size_t k = 0; k < piece.length; ++k) covered[row_of(piece, k)] = piece.group ? 2 : 1;
  }

  auto u32 = [](std::size_t v) { return static_cast<std::uint32_t>(v); };
  groups_.clear();
  groups_.reserve(n_pieces);
  for (const bool cover : {true, false}) {
    for (std::size_t i = 0; i < n_pieces; ++i) {
      if (pieces_[i].group && (in_cover[i] != 0) == cover) groups_.push_back(i);
    }
    if (cover) assigning_groups_ = groups_.size();
  }
  constexpr std::size_t npos = static_cast<std::size_t>(-1);
  summed_.clear();
  summed_.reserve(m_);
  summed_index_.assign(m_, npos);
  for (std::size_t j = 0; j < m_; ++j) {
    if (row_start_[j + 1] - row_start_[j] < 2) continue;
    summed_index_[j] = summed_.size();
    // u_j is read only at the source rows of rows ≥ j.
    std::size_t from = m_;
    for (const Piece& piece : pieces_) {
      if (piece.group) {
        if (group_rows_[piece.first + piece.length - 1] >= j) from = std::min(from, piece.column);
      } else if (piece.first + piece.length > j) {
        const std::size_t lo = std::max(piece.first, j);
        from = std::min(from, static_cast<std::size_t>(static_cast<std::ptrdiff_t>(lo) + piece.offset));
      }
    }
    summed_.push_back({j, from});
  }

  std::vector<Stretch>& plan = unsorted_plan_;
  zeros_.clear();
  zeros_.reserve(m_);
  plan.clear();
  plan.reserve(m_ * (n_pieces + 2));
  // Column j of the output from the entry e of row j (e null: from u_j).
  auto term = [&](const Piece& run, std::size_t j, const SparseTEntry* e, bool assign) {
    const std::size_t end = run.first + run.length;
    if (end <= j) return;
    const std::size_t lo = std::max(run.first, j);
    const auto src = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(lo) + run.offset);
    Stretch& st = plan.emplace_back();
    st.assign = assign;
    st.out = u32(j * m_ + lo);
    st.length = u32(end - lo);
    st.value = u32(run.value + (lo - run.first));
    if (e == nullptr) {
      st.kind = run.unit ? Kind::Column : Kind::ColumnWeighted;
      st.source = u32(summed_index_[j] * m_ + src);
    } else {
      st.kind = !run.unit ? Kind::Weighted : e->value == 1.0 ? Kind::Copy : Kind::Scaled;
      st.source = u32(e->col * m_ + src);
      st.update_row = u32(src);
      st.update_col = u32(e->col);
      st.weight = e->value;
    }
  };
  // Entries the cover leaves unwritten start from zero: rows outside the
  // cover, and in an empty row j's column all but the cover's group rows.
  // Both as segments of rows, count_ holding [from, to) pairs; the entries
  // themselves are listed one by one (a handful per column), which is
  // cheaper than a call to clear each stretch.
  std::vector<std::size_t>& segments = count_;
  segments.clear();
  std::size_t split_at = 0;
  for (const int written_by : {1, 2}) {
    for (std::size_t i = 0; i < m_;) {
      const std::size_t from = i;
      while (i < m_ && covered[i] < written_by) ++i;
      if (i > from) {
        segments.push_back(from);
        segments.push_back(i);
      }
      while (i < m_ && covered[i] >= written_by) ++i;
    }
    if (written_by == 1) split_at = segments.size();
  }
  for (std::size_t j = 0; j < m_; ++j) {
    const bool empty = row_start_[j] == row_start_[j + 1];
    const std::size_t first = empty ? split_at : 0;
    const std::size_t last = empty ? segments.size() : split_at;
    for (std::size_t q = first; q < last; q += 2) {
      for (std::size_t i = std::max(segments[q], j); i < segments[q + 1]; ++i) {
        zeros_.push_back(j * m_ + i);
      }
    }
    if (empty) continue;
    const SparseTEntry* e = summed_index_[j] == npos ? &entries_[row_start_[j]] : nullptr;
    for (std::size_t i = 0; i < n_pieces; ++i) {
      if (!pieces_[i].group) term(pieces_[i], j, e, in_cover[i]);
    }
  }
  // By phase, keeping column order within each.
  phase_start_.fill(0);
  for (const Stretch& st : plan) ++phase_start_[phase_of(st.kind, st.assign) + 1];
  for (std::size_t q = 0; q < PHASES; ++q) phase_start_[q + 1] += phase_start_[q];
  plan_.resize(plan.size());
  std::array<std::size_t, PHASES> next{};
  std::copy(phase_start_.begin(), phase_start_.end() - 1, next.begin());
  for (const Stretch& st : plan) plan_[next[phase_of(st.kind, st.assign)]++] = st;
}

// Every read of X in `sandwich_lower` that may fall above the diagonal:
// the columns u_j sum, the sources of the stretches and the entries the
// groups take one at a time. Per column only the first row read is kept,
// so a column's list may hold entries read by nothing; copying those costs
// little and keeps the list one range per column.
void CovarianceKernel::build_upper_reads(std::span<const std::size_t> whole_columns) {
  std::vector<std::size_t>& first_row = count_;
  first_row.resize(m_);
  for (std::size_t c = 0; c < m_; ++c) first_row[c] = c;
  auto read = [&](std::size_t column, std::size_t row) {
    first_row[column] = std::min(first_row[column], row);
  };
  for (const std::size_t c : whole_columns) {
    if (c < m_) read(c, 0);
  }
  for (const Summed& summed : summed_) {
    for (std::size_t e = row_start_[summed.row]; e < row_start_[summed.row + 1]; ++e) {
      read(entries_[e].col, summed.from);
    }
  }
  for (const Stretch& st : plan_) {
    if (st.kind != Kind::Column && st.kind != Kind::ColumnWeighted) {
      read(st.update_col, st.update_row);
    }
  }
  for (const std::size_t index : groups_) {
    const Piece& group = pieces_[index];
    const std::size_t last = group_rows_[group.first + group.length - 1];
    for (std::size_t j = 0; j <= last; ++j) {
      if (row_start_[j] != row_start_[j + 1] && summed_index_[j] >= summed_.size()) {
        read(group.column, entries_[row_start_[j]].col);
      }
    }
  }
  upper_reads_.clear();
  upper_reads_.reserve(m_);
  for (std::size_t c = 0; c < m_; ++c) {
    if (first_row[c] < c) upper_reads_.push_back({c, first_row[c]});
  }
}

void CovarianceKernel::times_t(const double* x, double* out) const {
  for (std::size_t i = 0; i < m_; ++i) out[i] = 0.0;
  for (const auto& e : entries_) out[e.row] += e.value * x[e.col];
}

template <Correction U, class AddC>
void CovarianceKernel::sandwich_lower(const Eigen::MatrixXd& X, const double* g, double f,
                                      const double* gf, const double* p, double* out,
                                      CovarianceWorkspace& ws, AddC add_c) const {
  const std::size_t m = m_;
  const double* x = X.data();
  const double* values = values_.data();
  // u_j for the rows of T with several entries.
  double* u = ws.columns.data();
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
    double* y = ws.product.data();
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
  add_c(out);
}

void CovarianceKernel::sandwich(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C,
                                const Eigen::VectorXd* g, double f, Eigen::MatrixXd& out,
                                CovarianceWorkspace& ws) const {
  const std::size_t m = m_;
  sandwich_lower_updated(X, g, f, out.data(), ws, [C, m](double* o) { add_lower(C, o, m); });
  mirror_lower(out.data(), m);
}

void CovarianceKernel::sandwich_triangle(const Eigen::MatrixXd& X, Eigen::MatrixXd& out,
                                         CovarianceWorkspace& ws) const {
  sandwich_lower<Correction::None>(X, nullptr, 0.0, nullptr, nullptr, out.data(), ws,
                                   [](double*) {});
}

void CovarianceKernel::sandwich_rank_two(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C,
                                         const Eigen::VectorXd& g, const Eigen::VectorXd& p,
                                         Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  const std::size_t m = m_;
  auto add_c = [C, m](double* o) { add_lower(C, o, m); };
  sandwich_lower<Correction::RankTwo>(X, g.data(), 0.0, nullptr, p.data(), out.data(), ws, add_c);
  mirror_lower(out.data(), m);
}

void CovarianceKernel::predict(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                               Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  predict_triangle(P, g, f, out, ws);
  mirror_lower(out.data(), m_);
}

void CovarianceKernel::predict_lower(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                                     Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  predict_triangle(P, g, f, out, ws);
  const std::size_t m = m_;
  double* o = out.data();
  for (const UpperRead& read : upper_reads_) {
    double* column = o + read.column * m;
    for (std::size_t i = read.from; i < read.column; ++i) column[i] = o[i * m + read.column];
  }
}

void CovarianceKernel::predict_triangle(const Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                                        double f, Eigen::MatrixXd& out,
                                        CovarianceWorkspace& ws) const {
  out.resize(static_cast<Eigen::Index>(m_), static_cast<Eigen::Index>(m_));
  sandwich_lower_updated(P, g, f, out.data(), ws, [&](double* o) {
    for (std::size_t p = 0; p < rqr_index_.size(); ++p) o[rqr_index_[p]] += rqr_values_[p];
  });
}

template <class AddC>
void CovarianceKernel::sandwich_lower_updated(const Eigen::MatrixXd& X, const Eigen::VectorXd* g,
                                              double f, double* out, CovarianceWorkspace& ws,
                                              AddC add_c) const {
  if (g == nullptr) {
    sandwich_lower<Correction::None>(X, nullptr, 0.0, nullptr, nullptr, out, ws, add_c);
    return;
  }
  double* gf = ws.scaled.data();
  for (std::size_t i = 0; i < m_; ++i) gf[i] = (*g)[static_cast<Eigen::Index>(i)] * f;
  sandwich_lower<Correction::RankOne>(X, g->data(), f, gf, nullptr, out, ws, add_c);
}

// The result is formed in the workspace's matrix, which `sandwich_lower` does
// not use, and then takes P's place.
void CovarianceKernel::predict(Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                               CovarianceWorkspace& ws) const {
  predict(std::as_const(P), g, f, ws.matrix, ws);
  P.swap(ws.matrix);
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
  Eigen::MatrixXd& W = ws.matrix;
  double* wt = ws.columns.data();
  const double* gd = g != nullptr ? g->data() : nullptr;
  double* gf = ws.scaled.data();
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

}  // namespace peltaro::core
