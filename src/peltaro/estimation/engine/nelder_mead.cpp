#include "peltaro/estimation/engine/nelder_mead.hpp"

#include <string>
#include <utility>

namespace peltaro::estimation::engine {

NelderMead::NelderMead(std::vector<Eigen::VectorXd> simplex, NelderMeadOptions options)
    : options_(options) {
  vertices_.reserve(simplex.size());
  for (Eigen::VectorXd& x : simplex) vertices_.push_back(Vertex{std::move(x), 0.0});
}

TextResult<void> NelderMead::check_simplex() const {
  if (vertices_.empty()) return fail_text("the simplex has no vertices");
  const Eigen::Index n = vertices_.front().x.size();
  for (std::size_t i = 1; i < vertices_.size(); ++i) {
    if (vertices_[i].x.size() != n) {
      return fail_text("simplex vertex " + std::to_string(i) + " has " +
                       std::to_string(vertices_[i].x.size()) + " coordinates, vertex 0 has " +
                       std::to_string(n));
    }
  }
  return {};
}

// Insertion sort: stable, allocation-free, and linear when only the
// replaced worst vertex is out of place.
void NelderMead::order_vertices() {
  for (std::size_t i = 1; i < vertices_.size(); ++i) {
    for (std::size_t j = i; j > 0 && vertices_[j - 1].cost > vertices_[j].cost; --j) {
      std::swap(vertices_[j - 1], vertices_[j]);
    }
  }
}

void NelderMead::compute_centroid() {
  const std::size_t n = vertices_.size() - 1;
  centroid_.setZero();
  for (std::size_t i = 0; i < n; ++i) centroid_ += vertices_[i].x;
  if (n > 0) centroid_ /= static_cast<double>(n);
}

void NelderMead::publish(IterState& state) const {
  state.x = vertices_.front().x;
  state.cost = vertices_.front().cost;
}

void NelderMead::replace_worst(Eigen::VectorXd& x, double cost) {
  vertices_.back().x.swap(x);
  vertices_.back().cost = cost;
}

bool NelderMead::terminate(const IterState& /*state*/) const {
  return cost_spread(vertices_) < options_.sd_tolerance;
}

double cost_spread(const std::vector<NelderMead::Vertex>& vertices) {
  if (vertices.size() < 2) return 0.0;
  double mean = 0.0, sum_sq = 0.0;
  double count = 0.0;
  for (const auto& v : vertices) {
    count += 1.0;
    const double delta = v.cost - mean;
    mean += delta / count;
    sum_sq += delta * (v.cost - mean);
  }
  return std::sqrt(sum_sq / (count - 1.0));
}

}  // namespace peltaro::estimation::engine
