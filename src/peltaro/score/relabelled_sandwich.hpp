#pragma once
// A symmetric X under labels, for X ← T'·X·T at the cost of T's columns that
// are not plain shifts.
//
// A row r of T' with one entry, of weight 1, in column c makes row and
// column r of T'·X·T those of X at c, bit for bit: a relabelling, not a sum.
// So X is held under labels, its entry (i, j) at (slot(i), slot(j)) of a
// matrix of which only the lower triangle is kept, and such a row only takes
// the slot of c. The other rows ("formed": several entries, another weight,
// none, or a column that an earlier row took) are summed into the slots no
// row took. Most rows of a SARIMAX T' are shifts of the differencing and
// ARMA states and only a few are formed (the AR column, the differencing
// states' sums), so a step writes a few rows and columns where a product
// would write all of X.
//
// The way back of the score carries its covariance adjoint so; every read
// and update of it goes through the labels.

#include <Eigen/Dense>
#include <span>
#include <vector>

#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::score {

class RelabelledSandwich {
 public:
  // Plans for T' (its stored entries, as `SparseT::assign_transpose` gives
  // them); X becomes zero, under the identity labels.
  void assign(const core::SparseT& transposed);

  // X ← T'·X·T. A formed row's entries are Σ_c a_c·X(c, ·) in the order of
  // T''s row; where two formed rows r ≤ s meet, Σ_d T'(s, d)·(row r)(d).
  void step();

  // Vectors in slot order (v_slotted[slot(i)] = v_i) go with X's storage;
  // label(b) is the i of slot b.
  [[nodiscard]] std::size_t label(std::size_t b) const { return label_[b]; }

  // X ← X + z·p' + p·z' for the z whose non-zero entries are `z` (zs, by
  // index) and p in slot order; each entry is z_i·p_j + p_i·z_j, which
  // rounds alike for (i, j) and (j, i).
  void add_outer(std::span<const core::SparseZEntry> z, const Eigen::VectorXd& zs, const double* p);

  // u ← X·g, g by index and u in slot order; `g_slotted` is then g in slot
  // order.
  void times(const double* g, double* u);
  [[nodiscard]] const Eigen::VectorXd& g_slotted() const { return g_slotted_; }

  // Σ_i v_i·X(i, j) for v in slot order, summed in that order.
  [[nodiscard]] double column_dot(std::size_t j, const double* v) const;

  [[nodiscard]] double at(std::size_t i, std::size_t j) const {
    const std::size_t a = slot_[i];
    const std::size_t b = slot_[j];
    return a >= b ? x_.data()[b * m_ + a] : x_.data()[a * m_ + b];
  }
  // The logical X, unlabelled.
  [[nodiscard]] Eigen::MatrixXd logical() const;
  // How many rows of T' are formed.

 private:
  std::size_t m_ = 0;
  Eigen::MatrixXd x_;
  std::vector<std::size_t> slot_, next_slot_, label_;
  // Rows of T' that relabel, as runs: rows row … row + length − 1 take the
  // slots of columns from … from + length − 1.
  struct Shift {
    std::size_t row = 0;
    std::size_t from = 0;
    std::size_t length = 0;
  };
  std::vector<Shift> shifts_;
  // The columns that no shift takes, as many as the formed rows: their slots
  // go to those rows.
  std::vector<std::size_t> dropped_;
  // Formed rows of T' and their entries (column, weight), in order.
  static constexpr std::size_t NO_PREFIX = static_cast<std::size_t>(-1);
  struct Formed {
    std::size_t row = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t prefix = NO_PREFIX;  // an earlier formed row whose terms begin these
  };
  std::vector<Formed> formed_;
  std::vector<std::pair<std::size_t, double>> terms_;
  // Per formed row, its sums over X (m values each), and where two formed
  // rows meet, their entry; vectors in slot order.
  Eigen::MatrixXd sums_, meets_;
  Eigen::VectorXd g_slotted_, z_slotted_;
  std::vector<std::size_t> z_slots_;
  // Storage of the set-up, kept so that assigning again allocates nothing.
  std::vector<std::size_t> row_start_;
  std::vector<char> taken_;
};

}  // namespace peltaro::score
