// The folded order's plan: T cut into runs and groups (the pieces), a cover
// of them that assigns, the stretches of every output column by phase, and
// the entries above the diagonal that the products read.

#include "peltaro/core/kalman/covariance_kernel.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace peltaro::core {
using detail::Correction;

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
}  // namespace peltaro::core
