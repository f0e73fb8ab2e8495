#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <algorithm>
#include <cmath>
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

template <Correction U, class AddC>
void CovarianceKernel::split_sandwich(const Eigen::MatrixXd& X, const double* g, double f,
                                      const double* gf, const double* p, double* out,
                                      CovarianceWorkspace& ws, AddC add_c) const {
  // Through a lambda of its own: an instance of the pieces' products apart
  // from the one the kernels without a split inline.
  const CovarianceKernel& inner = split_.front();
  inner.sandwich_lower<U>(X, g, f, gf, p, out, ws, [&](double* o) { add_c(o); });
  // The inner products are done with the workspace: x̃ = X̃·e_c and t take
  // its columns. X̃(k, c) is read from the lower triangle.
  const std::size_t m = m_;
  const std::size_t c = split_column_;
  const double* x = X.data();
  double* xt = ws.columns.data();
  double* t = xt + m;
  for (std::size_t k = 0; k < m; ++k) {
    const double v = k >= c ? x[c * m + k] : x[k * m + c];
    if constexpr (U == Correction::RankOne) {
      xt[k] = v - g[k] * gf[c];
    } else if constexpr (U == Correction::RankTwo) {
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
  auto add_c = [C, m](double* o) { add_lower(C, o, m); };
  if (split_.empty()) {
    sandwich_lower_updated<false>(X, g, f, out.data(), ws, add_c);
  } else {
    sandwich_lower_updated<true>(X, g, f, out.data(), ws, add_c);
  }
  mirror_lower(out.data(), m);
}

void CovarianceKernel::sandwich_rank_two(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C,
                                         const Eigen::VectorXd& g, const Eigen::VectorXd& p,
                                         Eigen::MatrixXd& out, CovarianceWorkspace& ws) const {
  const std::size_t m = m_;
  auto add_c = [C, m](double* o) { add_lower(C, o, m); };
  if (!split_.empty()) {
    split_sandwich<Correction::RankTwo>(X, g.data(), 0.0, nullptr, p.data(), out.data(), ws,
                                        add_c);
  } else {
    sandwich_lower<Correction::RankTwo>(X, g.data(), 0.0, nullptr, p.data(), out.data(), ws,
                                        add_c);
  }
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
  mirror_reads(out);
}

void CovarianceKernel::mirror_reads(Eigen::MatrixXd& X) const { mirror(upper_reads_, X.data()); }

void CovarianceKernel::mirror(std::span<const UpperRead> reads, double* o) const {
  const std::size_t m = m_;
  for (const UpperRead& read : reads) {
    double* column = o + read.column * m;
    for (std::size_t i = read.from; i < read.column; ++i) column[i] = o[i * m + read.column];
  }
}

void CovarianceKernel::predict_triangle(const Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                                        double f, Eigen::MatrixXd& out,
                                        CovarianceWorkspace& ws) const {
  out.resize(static_cast<Eigen::Index>(m_), static_cast<Eigen::Index>(m_));
  auto add_rqr = [&](double* o) {
    for (std::size_t p = 0; p < rqr_index_.size(); ++p) o[rqr_index_[p]] += rqr_values_[p];
  };
  if (split_.empty()) {
    sandwich_lower_updated<false>(P, g, f, out.data(), ws, add_rqr);
  } else {
    sandwich_lower_updated<true>(P, g, f, out.data(), ws, add_rqr);
  }
}

template <bool Split, class AddC>
void CovarianceKernel::sandwich_lower_updated(const Eigen::MatrixXd& X, const Eigen::VectorXd* g,
                                              double f, double* out, CovarianceWorkspace& ws,
                                              AddC add_c) const {
  if (g == nullptr) {
    if constexpr (Split) {
      split_sandwich<Correction::None>(X, nullptr, 0.0, nullptr, nullptr, out, ws, add_c);
    } else {
      sandwich_lower<Correction::None>(X, nullptr, 0.0, nullptr, nullptr, out, ws, add_c);
    }
    return;
  }
  double* gf = ws.scaled.data();
  for (std::size_t i = 0; i < m_; ++i) gf[i] = (*g)[static_cast<Eigen::Index>(i)] * f;
  if constexpr (Split) {
    split_sandwich<Correction::RankOne>(X, g->data(), f, gf, nullptr, out, ws, add_c);
  } else {
    sandwich_lower<Correction::RankOne>(X, g->data(), f, gf, nullptr, out, ws, add_c);
  }
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
  double* gf = ws.scaled.data();
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
  double* wt = ws.columns.data();
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
        double* __restrict acc = ws.product.data();
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
