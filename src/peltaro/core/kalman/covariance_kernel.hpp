#pragma once
// The covariance step of every Kalman recursion over one system: from the
// predicted covariance P of time t, g = P·Z and f = 1/F, the predicted
// covariance of time t + 1,
//
//   P ← T·(P − g·g'·f)·T' + RQR,
//
// over the stored entries of T, in place or into a second matrix, without
// allocating.
//
// Contract: P is exactly symmetric on entry (every prediction below leaves it
// so, and so does every initial covariance), square of T's size, and the
// workspace was made for that size. Rows of P are then its columns, which is
// what lets the products run down contiguous memory.
//
// Two orders of operations give the step:
// - `predict` folds the update into the prediction: each entry of
//   P − g·g'·f is formed where a product reads it (so its cancellation comes
//   before any product with T, as in the unfolded order), and only the lower
//   triangle of the result is formed, then mirrored: the result is symmetric
//   by construction and no updated or intermediate matrix is stored. Where
//   an AR column of T reaches a few of many rows, those entries are taken
//   out of T and added back as one rank-two term (see choose_split).
// - `predict_in_reference_order` forms P − g·g'·f, W = T·P, then W·T' + RQR,
//   then averages the two triangles, each entry summed exactly as the filters
//   always have. While the 1e6 variances of the differencing states are being
//   resolved, entries of P are differences of numbers ten orders of magnitude
//   larger, and any other order moves a log-likelihood by up to 1e-7
//   relative; the filters use this order for those steps only.
//
// The set-up and the reads shared by all orders are in covariance_kernel.cpp;
// the folded order's plan and products in covariance_folded_plan.cpp and
// covariance_folded_products.cpp, its AR split in covariance_ar_split.cpp,
// and both reference forms in covariance_reference_order.cpp.
//
// A recursion over covariance derivatives repeats the same products:
// `sandwich` is T·(X − g·g'·f)·T' + C for any symmetric X, and `times_t` the
// product of T with one vector (for a symmetric X, a column of T·X is T times
// the same column of X).

#include <Eigen/Dense>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "peltaro/core/kalman/dense_sweeps.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::core {

// Whether a kernel plans `predict_lower_in_reference_order`: never, where it
// is faster than the whole reference order, or always (the tests, which check
// every path of it).
enum class LowerReference : std::uint8_t { Never, WhereFaster, Always };

namespace detail {
// What an entry of X takes where a product reads it: nothing, the update
// −g·g'·f, or the symmetric rank-two term g·p' + p·g'.
enum class Correction : std::uint8_t { None, RankOne, RankTwo };
}  // namespace detail

// Working storage of one recursion; its contents never carry over between
// calls. Two m × m matrices and two vectors of m serve the uses named below;
// uses that share storage never meet within one call.
class CovarianceWorkspace {
 public:
  explicit CovarianceWorkspace(Eigen::Index m)
      : square_(m, m), columns_(m, m), scaled_(m), sums_(m) {}

  // `predict` in place: the new covariance, which then exchanges with P.
  Eigen::MatrixXd& next() { return square_; }
  // The reference order: W = T·(P − g·g'·f), formed first as W' (the rows
  // of W that the lower form reads, in its slots of several-entry rows).
  Eigen::MatrixXd& w() { return square_; }
  double* w_turned() { return columns_.data(); }
  // The folded order: the columns u_j of (X − g·g'·f)·T' summed over the
  // rows of T with several entries, and a group's sums y_j.
  double* summed_columns() { return columns_.data(); }
  double* group_sums() { return sums_.data(); }
  // The AR split, once S's products are done: X̃·e_c and t.
  double* split_column() { return columns_.data(); }
  double* split_term() { return columns_.data() + columns_.rows(); }
  // Every order with an update: g·f.
  double* gain_times_f() { return scaled_.data(); }
  // The lower reference order: the running sums of one stretch.
  double* stretch_sums() { return sums_.data(); }
  // A caller's, after the kernel's call is done: a column of a covariance
  // and T times it.
  double* column() { return scaled_.data(); }
  double* column_times_t() { return sums_.data(); }

 private:
  Eigen::MatrixXd square_, columns_;
  Eigen::VectorXd scaled_, sums_;
};

class CovarianceKernel {
 public:
  CovarianceKernel() = default;
  CovarianceKernel(const SparseT& sparse_t, const Eigen::MatrixXd& rqr,
                   std::span<const std::size_t> whole_columns = {},
                   LowerReference reference_lower = LowerReference::Never) {
    assign(sparse_t, rqr, whole_columns, reference_lower);
  }

  // Takes on another T and RQR, reusing its storage where it can, and its
  // plan where T is the same, bit for bit, and RQR has its zeros (of the same
  // signs) where they were: then only RQR's values are taken.
  // `whole_columns`: columns of P that the caller reads whole between steps
  // (see `predict_lower`); `reference_lower`, whether to plan
  // `predict_lower_in_reference_order`.
  void assign(const SparseT& sparse_t, const Eigen::MatrixXd& rqr,
              std::span<const std::size_t> whole_columns = {},
              LowerReference reference_lower = LowerReference::Never);

  // Whether `predict_lower_in_reference_order` was planned: asked for always,
  // or where faster and T has enough rows that are plain shifts (with weight
  // 1) for it to be.
  [[nodiscard]] bool has_lower_reference_order() const { return reference_lower_; }

  // P ← T·(P − g·g'·f)·T' + RQR with the update folded in; no update when `g`
  // is null. The result is exactly symmetric.
  void predict(Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
               CovarianceWorkspace& ws) const;

  // The same step in the filters' reference order (see above); the triangles
  // are averaged at the end, so the result is exactly symmetric too.
  void predict_in_reference_order(Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                                  CovarianceWorkspace& ws) const;

  // Both steps out of place: `out` takes the prediction from P and P is left
  // as it was, for a caller that compares the two. The arithmetic is that of
  // the in-place forms, so the results are the same bit for bit. `out` must
  // be m × m and alias neither P, `g` nor the workspace.
  void predict(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f, Eigen::MatrixXd& out,
               CovarianceWorkspace& ws) const;
  void predict_in_reference_order(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                                  Eigen::MatrixXd& out, CovarianceWorkspace& ws) const;

  // `predict` out of place for a recursion that reads the prediction only
  // through this kernel's next step and the columns named to `assign`: the
  // lower triangle is `predict`'s, bit for bit, and of the upper one only the
  // entries those read are mirrored; the rest of it keeps what `out` held.
  // Copying the whole triangle costs about a third of a step. P may itself be
  // such a prediction; `mirror_lower` completes one.
  void predict_lower(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                     Eigen::MatrixXd& out, CovarianceWorkspace& ws) const;

  // `predict_in_reference_order` out of place for the same recursions as
  // `predict_lower`, where `has_lower_reference_order` (a logic error
  // elsewhere): the lower triangle is the reference order's, bit for bit,
  // and of the upper one only the entries that the next step of either order
  // and the columns named to `assign` read are mirrored. Each entry is formed
  // where it is written, from P, g and RQR, as the two triangles' values are
  // formed and then averaged: the result is the same, without W, its turn or
  // a pass over the whole matrix to average it. P may itself be such a
  // result; `out` must not alias P or `g`.
  void predict_lower_in_reference_order(const Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                                        double f, Eigen::MatrixXd& out,
                                        CovarianceWorkspace& ws) const;

  // out ← T·(X − g·g'·f)·T' + C for an exactly symmetric X (C null: no term;
  // g null: no update), formed as `predict` forms it. `out` must not alias X
  // or C; of the workspace, `matrix` is left alone.
  void sandwich(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C, const Eigen::VectorXd* g,
                double f, Eigen::MatrixXd& out, CovarianceWorkspace& ws) const;

  // out ← T·(X + g·p' + p·g')·T' + C for an exactly symmetric X, the term
  // folded in where the products read X as the update is in `sandwich`
  // (g·p' + p·g' rounds alike in both triangles). The derivative of an
  // update P − g·g'·f is one such term. Same rules for `out` as `sandwich`.
  void sandwich_rank_two(const Eigen::MatrixXd& X, const Eigen::MatrixXd* C,
                         const Eigen::VectorXd& g, const Eigen::VectorXd& p, Eigen::MatrixXd& out,
                         CovarianceWorkspace& ws) const;

  // out ← T·x over the stored entries (m values each; no aliasing), each
  // value summed from +0.0 in the order of its row's entries.
  void times_t(const double* x, double* out) const { runs_.times(entries_, x, out); }

  // X's strict upper triangle copied from the lower one where `sandwich`
  // and the columns named to `assign` read it: a recursion that forms only
  // lower triangles completes them so.
  void mirror_reads(Eigen::MatrixXd& X) const;

  [[nodiscard]] const Eigen::MatrixXd& rqr() const { return rqr_; }
  [[nodiscard]] std::size_t dim() const { return m_; }

 private:
  // T split into pieces that the products run over without looking entries
  // up one at a time. A run: entries (r, r + offset) on consecutive rows
  // r = first … first + length − 1, read down contiguous memory. A group:
  // entries of one column `column` at the rows group_rows_[first …], which
  // all read the same entries of the other factor.
  struct Piece {
    bool group = false;
    bool unit = false;  // all values 1
    std::size_t first = 0;
    std::size_t length = 0;
    std::ptrdiff_t offset = 0;
    std::size_t column = 0;
    std::size_t value = 0;  // values_[value …]
  };

  // One term of `predict`'s lower triangle, in flat offsets into the output
  // and X: `length` output entries from `out` take (or gain) a_k·w·X̃ of the
  // entries from `source`, X̃(r, c') = X(r, c') − g_r·(g_c'·f); `update_row`
  // is r of the first entry and `update_col` is c'. The weight w is that of
  // an entry (j, c', w) of T's row j, the a_k those of a run. The Column kinds
  // read a column of (X − g·g'·f)·T' formed beforehand instead (see
  // build_plan), with w = 1.
  enum class Kind : std::uint8_t { Copy, Scaled, Weighted, Column, ColumnWeighted };
  struct Stretch {
    Kind kind = Kind::Copy;
    bool assign = false;
    std::uint32_t out = 0;
    std::uint32_t length = 0;
    std::uint32_t source = 0;
    std::uint32_t update_row = 0;
    std::uint32_t update_col = 0;
    std::uint32_t value = 0;  // a_0 in values_ (Weighted kinds)
    double weight = 1.0;
  };
  // Phases of the plan: assignments by kind, then additions by kind.
  // Assignments (and the zeros written before them) never write an entry
  // twice and every addition lands on an entry already written, so phase by
  // phase is a valid order and each phase runs as one tight loop.
  static constexpr std::size_t PHASES = 10;
  static constexpr std::size_t phase_of(Kind kind, bool assign) {
    return static_cast<std::size_t>(kind) + (assign ? 0 : 5);
  }

  // Pieces of the entries marked in `member`, appended to `pieces`: runs of
  // `min_run` rows or more, the other entries in groups.
  void split(const char* member, std::size_t min_run,
             std::vector<Piece>& pieces);
  void build_pieces();
  void build_plan();
  void build_upper_reads(std::span<const std::size_t> whole_columns);
  [[nodiscard]] std::size_t row_of(const Piece& piece, std::size_t k) const {
    return piece.group ? group_rows_[piece.first + k] : piece.first + k;
  }
  // `predict`'s lower triangle, sized; the callers mirror it.
  void predict_triangle(const Eigen::MatrixXd& P, const Eigen::VectorXd* g, double f,
                        Eigen::MatrixXd& out, CovarianceWorkspace& ws) const;
  // What the products add to their lower triangle last: C's (nothing when
  // null), or this kernel's RQR.
  struct Addend {
    const Eigen::MatrixXd* matrix = nullptr;
    bool rqr = false;
  };
  void add(Addend addend, double* out) const;
  // The lower triangle of the result by the pieces of T; the callers mirror
  // it (and take `split_sandwich` instead where T is split).
  template <detail::Correction U>
  void sandwich_lower(const Eigen::MatrixXd& X, const double* g, double f, const double* gf,
                      const double* p, double* out, CovarianceWorkspace& ws, Addend addend) const;
  // A column c of T that holds one of the two entries of several rows (an
  // AR column: T(r, c) = φ_r beside a shift) splits T into S + φ·e_c', S
  // without those entries. Then
  //   T·X·T' = S·X·S' + φ·t' + t·φ',  t = S·X·e_c + ½·X(c, c)·φ,
  // and S's rows are shifts that the pieces copy: its plan is the rows of
  // `split_` (one kernel, of S), the rank-two term is added over the rows
  // and columns of φ. Chosen where that is faster (see choose_split).
  void choose_split(const Eigen::MatrixXd& rqr, std::span<const std::size_t> whole_columns);
  // Out of line, so that the pieces' own path stays as compact as it was.
  [[gnu::noinline]] void split_sandwich(detail::Correction u, const Eigen::MatrixXd& X,
                                        const double* g, double f, const double* gf,
                                        const double* p, double* out, CovarianceWorkspace& ws,
                                        Addend addend) const;
  // `sandwich_lower` (`split_sandwich` if Split) of X − g·g'·f (of X when g
  // is null).
  template <bool Split>
  void sandwich_lower_updated(const Eigen::MatrixXd& X, const Eigen::VectorXd* g, double f,
                              double* out, CovarianceWorkspace& ws, Addend addend) const;

  std::size_t m_ = 0;
  // Whether the plan below was completed for entries_, RQR's zeros, and:
  bool planned_ = false;
  std::vector<std::size_t> planned_whole_columns_;
  LowerReference planned_reference_ = LowerReference::Never;
  [[nodiscard]] bool plan_holds(const SparseT& sparse_t, const Eigen::MatrixXd& rqr,
                                std::span<const std::size_t> whole_columns,
                                LowerReference reference_lower) const;
  void take_rqr_values(const Eigen::MatrixXd& rqr);

  std::vector<SparseTEntry> entries_;  // T's stored entries, row ascending, then column
  std::vector<std::size_t> row_start_;  // row r: entries_[row_start_[r] … row_start_[r + 1])
  std::vector<std::size_t> empty_rows_;  // rows of T without entries
  RowRuns runs_;                          // T's rows, for `times_t`
  Eigen::MatrixXd rqr_;
  std::vector<std::size_t> rqr_index_;  // non-zero entries of RQR's lower triangle (j·m + i)
  std::vector<double> rqr_values_;

  std::vector<Piece> pieces_;          // fewest and longest, for `sandwich`
  std::vector<ReferenceTerm> reference_terms_;  // T's entries by layer (see build_pieces)
  std::vector<double> values_;
  std::vector<std::size_t> group_rows_;

  std::vector<std::size_t> zeros_;  // output entries (j·m + i) that start from zero
  std::vector<Stretch> plan_;                   // the runs of pieces_, by phase
  std::array<std::size_t, PHASES + 1> phase_start_{};  // phase q: plan_[phase_start_[q] … phase_start_[q + 1])
  std::vector<std::size_t> groups_;  // the groups of pieces_, those in the cover first
  std::size_t assigning_groups_ = 0;  // how many are in the cover
  // Rows of T with two or more entries: the row, and the first row of its
  // column u_j that is read.
  struct Summed {
    std::size_t row = 0;
    std::size_t from = 0;
  };
  std::vector<Summed> summed_;
  std::vector<std::size_t> summed_index_;  // row j: its index in summed_, or npos
  // Upper-triangle entries the products read, and the whole columns asked
  // for: rows from … column − 1 of each column listed.
  struct UpperRead {
    std::size_t column = 0;
    std::size_t from = 0;
  };
  std::vector<UpperRead> upper_reads_;

  // `predict_lower_in_reference_order`'s plan. Rows of T with one entry
  // (c_r, a_r) are cut into runs of consecutive rows with one offset c_r − r;
  // a stretch is the part of a run at or below the diagonal of one output
  // column j, and its kind is that of row j (one entry, several, none). A row
  // s with several entries also meets the runs above it, in its own row of
  // the output: the entry (s, r) takes the value that (r, s) would in the
  // column s, and those are `turned` stretches. The entries between rows
  // with several entries or none are formed one at a time, or are zeros
  // where their value is +0.0 whatever P holds.
  enum class RowKind : std::uint8_t { One, Several, None };
  struct ReferenceStretch {
    RowKind column_kind = RowKind::One;
    bool plain = false;  // run and row j all weights 1: RQR's terms left to `reference_singles_`
    bool turned = false;  // rows lo … hi − 1 of the run are columns of row `column`
    std::uint32_t column = 0;
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    std::int32_t offset = 0;
  };
  struct Entry {
    std::uint32_t row = 0;
    std::uint32_t column = 0;
  };
  // Plans it (unless where faster only and too few entries would go by
  // plain stretches).
  void build_reference_lower(bool always);
  // The strict upper triangle of o copied from the lower one at `reads`.
  void mirror(std::span<const UpperRead> reads, double* o) const;
  bool reference_lower_ = false;
  // c_r of a row with one entry.
  [[nodiscard]] std::size_t row_column(std::size_t r) const { return entries_[row_start_[r]].col; }
  [[nodiscard]] RowKind row_kind(std::size_t r) const {
    const std::size_t count = row_start_[r + 1] - row_start_[r];
    return count == 0 ? RowKind::None : count == 1 ? RowKind::One : RowKind::Several;
  }
  std::vector<ReferenceStretch> reference_stretches_;
  std::vector<std::uint32_t> reference_zeros_;  // output entries (j·m + i) that are +0.0
  std::vector<Entry> reference_singles_;       // formed one at a time, after the stretches
  std::vector<double> row_value_;              // a_r of rows with one entry, by row (else 0)
  std::vector<UpperRead> reference_upper_reads_;
  struct Run {
    std::size_t first, end;
    std::ptrdiff_t offset;
    bool unit;  // all weights 1
  };
  // The plain stretches again, in the offsets their sweep takes: output
  // `out`, P's entries from `source`, g's from `g`; the diagonal first at
  // `diagonal` (j·m + j) unless that is NO_DIAGONAL.
  struct PlainStretch {
    std::uint32_t out = 0;
    std::uint32_t source = 0;
    std::uint32_t g = 0;
    std::uint32_t column = 0;  // c_j
    std::uint32_t length = 0;
    std::uint32_t diagonal = 0;
  };
  static constexpr std::uint32_t NO_DIAGONAL = 0xffffffffU;
  std::vector<PlainStretch> plain_stretches_;
  std::size_t general_stretches_ = 0;  // reference_stretches_ that are not plain, listed first
  std::vector<double> rqr_rows_;  // RQR's row r for the rows with several entries, as in summed_
  std::vector<ReferenceTerm> several_terms_;  // their terms, in rows numbered as in summed_
  std::vector<Run> reference_runs_;

  // The split (empty when T is not split): S's kernel, the column c, φ by
  // row (zero off its rows), its rows ascending, those rows as runs of
  // consecutive rows (first, length), and the columns outside them as
  // ranges [from, to).
  bool may_split_ = true;  // not for S itself
  std::vector<CovarianceKernel> split_;
  std::size_t split_column_ = 0;
  std::vector<double> split_phi_;
  std::vector<std::size_t> split_rows_;
  std::vector<std::pair<std::size_t, std::size_t>> split_runs_, split_gaps_;

  // Storage of the set-up, kept so that a kernel assigned again allocates nothing.
  std::vector<char> flags_;  // entries: member, taken; pieces: in the cover, tried; rows: covered
  std::vector<std::size_t> count_;
  std::vector<Stretch> unsorted_plan_;
};

}  // namespace peltaro::core
