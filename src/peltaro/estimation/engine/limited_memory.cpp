#include "peltaro/estimation/engine/limited_memory.hpp"

#include <cmath>

namespace peltaro::estimation::engine {

TextResult<void> LimitedMemory::start(Eigen::Index n) {
  if (capacity_ == 0) return fail_text("limited-memory BFGS needs at least one stored pair");
  const auto m = static_cast<Eigen::Index>(capacity_);
  s_.setZero(n, m);
  y_.setZero(n, m);
  rho_.setZero(m);
  alpha_.setZero(m);
  count_ = 0;
  oldest_ = 0;
  return {};
}

Eigen::Index LimitedMemory::column(std::size_t i) const {
  return static_cast<Eigen::Index>((oldest_ + i) % capacity_);
}

void LimitedMemory::direction(const Eigen::VectorXd& g, Eigen::VectorXd& d) {
  d = g;
  for (std::size_t k = count_; k-- > 0;) {
    const Eigen::Index c = column(k);
    alpha_(c) = rho_(c) * s_.col(c).dot(d);
    d -= alpha_(c) * y_.col(c);
  }
  if (count_ > 0) {
    const Eigen::Index newest = column(count_ - 1);
    d *= s_.col(newest).dot(y_.col(newest)) / y_.col(newest).squaredNorm();
  }
  for (std::size_t k = 0; k < count_; ++k) {
    const Eigen::Index c = column(k);
    const double beta = rho_(c) * y_.col(c).dot(d);
    d += (alpha_(c) - beta) * s_.col(c);
  }
  d = -d;
}

void LimitedMemory::update(const Eigen::VectorXd& s, const Eigen::VectorXd& y) {
  const double sy = s.dot(y);
  const double rho = 1.0 / sy;
  if (!(sy > 0.0) || !std::isfinite(rho)) return;
  Eigen::Index c;
  if (count_ < capacity_) {
    c = column(count_);
    ++count_;
  } else {
    c = column(0);
    oldest_ = (oldest_ + 1) % capacity_;
  }
  s_.col(c) = s;
  y_.col(c) = y;
  rho_(c) = rho;
}

}  // namespace peltaro::estimation::engine
