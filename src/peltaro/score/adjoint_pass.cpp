#include "peltaro/score/adjoint_pass.hpp"

#include <algorithm>
#include <optional>

#include "peltaro/score/initial_derivatives.hpp"
#include "peltaro/score/relabelled_sandwich.hpp"

namespace peltaro::score {
namespace {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

}  // namespace

AdjointPass::AdjointPass(std::span<const double> y, const core::StateSpace& ss,
                         const core::KalmanInit& init, const SystemDerivatives& derivs,
                         const core::FilterSystem& system, std::size_t budget)
    : y_(y),
      ss_(ss),
      init_(init),
      derivs_(derivs),
      system_(system),
      n_(y.size()),
      m_(ss.k_states),
      k_(derivs.n_params),
      burn_(init.burn),
      budget_(budget),
      taped_(npos) {
  slot_.assign(m_, npos);
  for (const auto& entries : derivs.dt_entries) {
    for (const auto& e : entries) {
      if (slot_[e.col] != npos) continue;
      slot_[e.col] = columns_.size();
      columns_.push_back(e.col);
    }
  }
}

std::size_t AdjointPass::values_held() const {
  return tape_.capacity() + states_.size() * (m_ + m_ * m_);
}

void AdjointPass::run_forward() {
  const std::size_t nc = columns_.size();
  kind_.resize(n_);
  v_.resize(n_);
  finv_.resize(n_);
  mean_columns_.resize(n_ * nc);
  frozen_pz_.resize(0);
  column_.resize(static_cast<Eigen::Index>(m_));
  sums_ = TlkfResult{};

  // Planned as if no step were steady: a series that settles early keeps
  // fewer values than planned for, and runs fewer steps again.
  const std::size_t per_step = m_ + m_ * nc;
  plan_ = plan_checkpoints(n_, per_step, m_ + m_ * m_, budget_);
  const std::size_t segment = plan_.segment;
  tape_.clear();
  tape_.reserve(std::min(segment, n_) * per_step);
  taped_ = npos;
  held_.clear();
  held_.reserve(plan_.slots);
  states_.reserve(plan_.slots);
  captures_ = WayBackSchedule::first_pass_states((n_ + segment - 1) / segment, plan_.slots);
  next_capture_ = 0;
  stop_ = npos;
  keep_from_ = 0;
  run_again_ = 0;

  // The filter itself, followed step by step: its covariances, switch step
  // and sums are the log-likelihood's own.
  first_pass_ = true;
  auto res = core::kalman_core(y_, ss_, init_, system_, false, false, std::nullopt, this);
  first_pass_ = false;
  // A pass whose sums are not finite fails in the filter but is complete
  // here: its gradient is NaN, as the log-likelihood's would be.
  if (res) {
    sums_.steady_from = res->steady_from;
  } else {
    const auto first = std::find(kind_.begin(), kind_.end(), StepKind::Steady);
    if (first != kind_.end()) sums_.steady_from = static_cast<std::size_t>(first - kind_.begin());
  }
}

bool AdjointPass::step(const core::FilterStep& s) {
  const std::size_t t = s.t;
  if (first_pass_) {
    note(s);
    if (s.kind == StepKind::Steady) return true;
  }
  if (t % plan_.segment == 0) {
    const std::size_t segment = t / plan_.segment;
    if (next_capture_ < captures_.size() && captures_[next_capture_] == segment) {
      hold(s, segment);
      ++next_capture_;
    }
    // The first pass keeps one segment's values at a time, so at its end
    // those of the last.
    if (first_pass_) {
      tape_.clear();
      taped_ = segment;
    }
  }
  if (t == stop_) return false;
  if (!first_pass_) ++run_again_;
  if (t >= keep_from_) keep(s);
  return true;
}

// What the way back needs of every step, steady or not.
void AdjointPass::note(const core::FilterStep& s) {
  const std::size_t t = s.t;
  const std::size_t nc = columns_.size();
  kind_[t] = s.kind;
  v_[t] = s.v;
  finv_[t] = s.finv;
  if (t >= burn_) {
    sums_.sumsq += (s.v * s.v) * s.finv;
    sums_.sum_ln_f += s.ln_f;
    sums_.sum_v2_f += s.v2_f;
  }
  const Eigen::VectorXd& a = s.mean;
  const Eigen::VectorXd& g = s.pz;
  const double w = s.kind == StepKind::Skip ? 0.0 : s.v * s.finv;
  for (std::size_t q = 0; q < nc; ++q) {
    const auto c = static_cast<Eigen::Index>(columns_[q]);
    mean_columns_[t * nc + q] = a[c] + g[c] * w;
  }
  if (s.kind == StepKind::Steady && frozen_pz_.size() == 0) frozen_pz_ = g;
}

// The vectors of a non-steady step.
void AdjointPass::keep(const core::FilterStep& s) {
  const Eigen::VectorXd& g = s.pz;
  const bool update = s.kind == StepKind::Update;
  if (update) tape_.insert(tape_.end(), g.data(), g.data() + m_);
  // T times column c of the covariance the prediction starts from,
  // P − g·g'·f after an update (a column of T·P for a symmetric P).
  for (const std::size_t c : columns_) {
    const auto cc = static_cast<Eigen::Index>(c);
    s.cov.column(c, column_.data());
    if (update) column_ -= g * (g[cc] * s.finv);
    const std::size_t at = tape_.size();
    tape_.resize(at + m_);
    system_.covariance.times_t(column_.data(), tape_.data() + at);
  }
}

// The predicted state before step t, the covariance as the pass holds it, so
// that a pass taken up there reads what this one read.
void AdjointPass::hold(const core::FilterStep& s, std::size_t segment) {
  const std::size_t depth = held_.size();
  if (depth == states_.size()) states_.emplace_back();
  HeldState& state = states_[depth];
  state.mean = s.mean;
  state.cov = s.cov;
  state.t = s.t;
  held_.push_back(segment);
}

void AdjointPass::run_again(std::size_t from, std::size_t stop, std::size_t capture,
                            std::size_t keep_from) {
  captures_.assign(capture == npos ? 0 : 1, capture);
  next_capture_ = 0;
  stop_ = stop;
  keep_from_ = keep_from;
  if (from == 0) {
    const core::StateCovariance start(init_.p0);
    core::kalman_resume(y_, ss_, init_, system_, {0, init_.a0, start}, *this);
  } else {
    // The state on top of the stack; a state stored by this run goes above
    // it, in storage reserved beforehand, so the references stay valid.
    const HeldState& state = states_[held_.size() - 1];
    core::kalman_resume(y_, ss_, init_, system_, {state.t, state.mean, state.cov}, *this);
  }
}

// The way back, a stretch of steps at a time, backwards from the end, with ā
// and P̄ the adjoints of the mean and covariance predicted for the step after
// t. A step t, in the forward direction (steady mode: g, F frozen, no
// covariance recursion):
//   v = y − Z'a − d,  F = Z'P·Z,  g = P·Z,  f = 1/F,
//   a⁺ = T·(a + g·v·f) + c,  P⁺ = T·(P − g·g'·f)·T' + RQR,
// and the log-likelihood term −½·(ln F + v²·f/s2) for t ≥ burn.
class AdjointPass::WayBack {
 public:
  WayBack(const AdjointPass& pass, double s2);

  // Steps [from, to) backwards; the kept values of the non-steady ones end
  // at `kept_end`.
  void walk(std::size_t from, std::size_t to, const double* kept_end);

  // The initial state's part, and R·Q·R' summed over the predictions.
  Vec finish();

 private:
  const AdjointPass& pass_;
  const double s2_;
  const Eigen::Index m_;
  const std::size_t nc_;
  const bool trend_;
  const std::size_t steady_from_;

  // T'·ā by the rows of T', and P̄ under labels: T'·P̄·T relabels P̄ but
  // for the few rows of T' that are not shifts (see RelabelledSandwich).
  // Their storage stays with the thread from one pass to the next, for
  // systems of up to FilterSystem::MAX_KEPT_STATES states.
  core::SparseT* tt_;
  core::RowRuns* transposed_;
  std::optional<RelabelledSandwich> own_pbar_;
  RelabelledSandwich* pbar_;

  Vec grad_;
  Eigen::VectorXd abar_, afilt_bar_, frozen_gbar_;
  double frozen_fbar_ = 0.0;
  // Σ of the P̄ that met R·Q·R', kept over the lower triangle only where
  // some dRQR_j = q·(dR·R' + R·dR') may not be zero: the pairs of the rows
  // where R or a dR is not zero (a few).
  std::vector<std::pair<std::size_t, std::size_t>> rqr_at_;  // (row, column)
  Vec sbar_;
  bool pbar_live_ = false;  // P̄ is zero until a covariance first matters
  // P̄ += ½·(ḡ·Z' + Z·ḡ') + F̄·Z·Z' = Z·p' + p·Z' with p = ½·ḡ + ½·F̄·Z.
  // u = P̃̄·g and p in the order of P̄'s slots.
  Eigen::VectorXd p_, u_slotted_;
  Vec tp_slotted_;
};

AdjointPass::WayBack::WayBack(const AdjointPass& pass, double s2)
    : pass_(pass),
      s2_(s2),
      m_(static_cast<Eigen::Index>(pass.m_)),
      nc_(pass.columns_.size()),
      trend_(pass.ss_.state_intercept.size() == pass.n_),
      steady_from_(pass.sums_.steady_from.value_or(pass.n_)),
      grad_(pass.k_, 0.0),
      abar_(Eigen::VectorXd::Zero(m_)),
      afilt_bar_(m_),
      frozen_gbar_(Eigen::VectorXd::Zero(m_)),
      p_(m_),
      u_slotted_(m_),
      tp_slotted_(pass.m_ * nc_) {
  const std::size_t m = pass.m_;
  thread_local core::SparseT tt;
  thread_local core::RowRuns transposed;
  tt.assign_transpose(pass.system_.sparse_t);
  transposed.assign(tt);
  tt_ = &tt;
  transposed_ = &transposed;
  thread_local RelabelledSandwich kept_pbar;
  pbar_ = m <= core::FilterSystem::MAX_KEPT_STATES ? &kept_pbar : &own_pbar_.emplace();
  pbar_->assign(tt);

  std::vector<char> reached(m, 0);
  for (const auto& d : pass.derivs_.drqr) {
    if (!d) continue;
    core::for_each_nonzero(d->data(), 0, m * m,
                           [&](std::size_t at, double) { reached[at / m] = 1; });
  }
  for (std::size_t c = 0; c < m; ++c) {
    for (std::size_t i = c; i < m && reached[c]; ++i) {
      if (reached[i]) rqr_at_.emplace_back(i, c);
    }
  }
  sbar_.assign(rqr_at_.size(), 0.0);
}

void AdjointPass::WayBack::walk(std::size_t from, std::size_t to, const double* kept_end) {
  const AdjointPass& pass = pass_;
  const SystemDerivatives& derivs = pass.derivs_;
  const std::size_t m = pass.m_;
  const std::size_t k = pass.k_;
  const std::size_t nc = nc_;
  const Eigen::VectorXd& Z = pass.ss_.design;
  const auto& z_entries = pass.system_.sparse_z.entries;
  const auto k_diff = static_cast<Eigen::Index>(pass.ss_.k_diff);
  RelabelledSandwich& pbar = *pbar_;
  Eigen::VectorXd& abar = abar_;
  Eigen::VectorXd& afilt_bar = afilt_bar_;
  Eigen::VectorXd& p = p_;
  Eigen::VectorXd& u_slotted = u_slotted_;
  Vec& grad = grad_;

  // The values lie in time order: the way back reads them from the end.
  const double* end = kept_end;
  for (std::size_t t = to; t-- > from;) {
    const StepKind kind = pass.kind_[t];
    const double v = pass.v_[t];
    const double f = pass.finv_[t];
    double Lv = 0.0;
    double LF = 0.0;
    if (t >= pass.burn_) {
      Lv = -(v * f) / s2_;
      if (kind != StepKind::Skip) LF = -0.5 * f + (0.5 * (v * v) * (f * f)) / s2_;
    }

    // a⁺ = T·a_filt + c: the coefficients that move T, and the trend.
    for (std::size_t j = 0; j < k; ++j) {
      for (const auto& e : derivs.dt_entries[j]) {
        grad[j] += e.value * abar[static_cast<Eigen::Index>(e.row)] *
                   pass.mean_columns_[t * nc + pass.slot_[e.col]];
      }
      const Vec& dc = derivs.dstate_intercept[j];
      if (trend_ && !dc.empty()) grad[j] += abar[k_diff] * dc[t];
    }
    // T'·ā: each sum runs down a column of T in the order of its rows, and
    // the shifts run as sweeps.
    transposed_->times(tt_->entries, abar.data(), afilt_bar.data());

    double vbar = Lv;
    if (kind == StepKind::Steady) {
      const double w = v * f;
      const double wbar = pass.frozen_pz_.dot(afilt_bar);
      frozen_gbar_ += w * afilt_bar;
      vbar += wbar * f;
      frozen_fbar_ += -(wbar * v) * (f * f) + LF;
      if (t == steady_from_) {
        // P̄ of the frozen covariance, through g = P·Z and F = Z'P·Z.
        for (std::size_t b = 0; b < m; ++b) {
          const auto i = static_cast<Eigen::Index>(pbar.label(b));
          p[static_cast<Eigen::Index>(b)] = 0.5 * frozen_gbar_[i] + (0.5 * frozen_fbar_) * Z[i];
        }
        pbar.add_outer(z_entries, Z, p.data());
        pbar_live_ = true;
      }
    } else {
      const bool update = kind == StepKind::Update;
      end -= (update ? m : 0) + m * nc;
      const double* kept = end;
      if (pbar_live_) {
        // P⁺ = T·P̃·T' + RQR: dT·P̃·T' + T·P̃·dT' meets P̄ twice.
        if (nc > 0) {
          // The columns of T·P̃ in slot order, each read by every entry of
          // dT in its column.
          const double* tp = kept + (update ? m : 0);
          for (std::size_t q = 0; q < nc; ++q) {
            for (std::size_t b = 0; b < m; ++b) tp_slotted_[q * m + b] = tp[q * m + pbar.label(b)];
          }
          for (std::size_t j = 0; j < k; ++j) {
            for (const auto& e : derivs.dt_entries[j]) {
              const double dot =
                  pbar.column_dot(e.row, tp_slotted_.data() + pass.slot_[e.col] * m);
              grad[j] += 2.0 * e.value * dot;
            }
          }
        }
        for (std::size_t q = 0; q < rqr_at_.size(); ++q) {
          sbar_[q] += pbar.at(rqr_at_[q].first, rqr_at_[q].second);
        }
        pbar.step();  // now P̃̄
        if (update) pbar.times(kept, u_slotted.data());
      }
      if (update) {
        const Eigen::Map<const Eigen::VectorXd> g(kept, m_);
        const double w = v * f;
        const double wbar = g.dot(afilt_bar);
        double fbar = wbar * v;
        if (pbar_live_) fbar -= pbar.g_slotted().dot(u_slotted);
        vbar += wbar * f;
        const double Fbar = -fbar * (f * f) + LF;
        // ḡ = w·ā − 2f·u, and p from it (u is zero until P̄ lives).
        const double f2 = 2.0 * f;
        const double half_fbar = 0.5 * Fbar;
        if (!pbar_live_) u_slotted.setZero();
        for (std::size_t b = 0; b < m; ++b) {
          const auto i = static_cast<Eigen::Index>(pbar.label(b));
          const auto s = static_cast<Eigen::Index>(b);
          p[s] = 0.5 * (w * afilt_bar[i] - f2 * u_slotted[s]) + half_fbar * Z[i];
        }
        pbar.add_outer(z_entries, Z, p.data());
        pbar_live_ = true;
      }
    }
    abar.swap(afilt_bar);  // the next step writes afilt_bar whole
    for (const auto& e : z_entries) abar[static_cast<Eigen::Index>(e.index)] -= e.value * vbar;
    for (std::size_t j = 0; j < k; ++j) {
      const std::span<const double> dd = derivs.dobs_intercept[j];
      if (t < dd.size()) grad[j] -= vbar * dd[t];
    }
  }
}

Vec AdjointPass::WayBack::finish() {
  const AdjointPass& pass = pass_;
  const std::size_t m = pass.m_;
  const Vec start =
      initial_state_adjoint(pass.ss_, pass.init_, pass.derivs_, abar_, pbar_->logical());
  for (std::size_t j = 0; j < pass.k_; ++j) {
    grad_[j] += start[j];
    if (pass.derivs_.drqr[j]) {
      // Both triangles: the off-diagonal entries count twice.
      const double* d = pass.derivs_.drqr[j]->data();
      for (std::size_t q = 0; q < rqr_at_.size(); ++q) {
        const auto [i, c] = rqr_at_[q];
        const double both = i == c ? 1.0 : 2.0;
        grad_[j] += both * (sbar_[q] * d[c * m + i]);
      }
    }
  }
  return std::move(grad_);
}

Vec AdjointPass::gradient(double s2) {
  WayBack back(*this, s2);
  const std::size_t active = sums_.steady_from.value_or(n_);
  back.walk(active, n_, nullptr);

  // The segments before the switch, from the last; the first pass kept the
  // values of the last one it reached.
  const std::size_t segment = plan_.segment;
  const std::size_t count = (active + segment - 1) / segment;
  auto end_of = [&](std::size_t i) { return std::min((i + 1) * segment, active); };
  WayBackSchedule schedule(count, plan_.slots, held_, count > 0 && taped_ == count - 1);
  while (const auto action = schedule.next()) {
    const std::size_t i = action->segment;
    switch (action->kind) {
      case WayBackSchedule::Kind::Store:
        run_again(action->from, i * segment, i, npos);
        break;
      case WayBackSchedule::Kind::Replay:
        tape_.clear();
        taped_ = i;
        run_again(action->from, end_of(i), npos, i * segment);
        break;
      case WayBackSchedule::Kind::Walk:
        back.walk(i * segment, end_of(i), tape_.data() + tape_.size());
        break;
      case WayBackSchedule::Kind::Drop:
        held_.pop_back();
        break;
    }
  }
  return back.finish();
}

}  // namespace peltaro::score
