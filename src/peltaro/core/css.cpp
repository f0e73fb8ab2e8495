#include "peltaro/core/css.hpp"

namespace peltaro::core {

Vec apply_differencing(std::span<const double> x, const SarimaxConfig& config) {
  const SarimaxOrder& o = config.order;
  Vec w(x.begin(), x.end());
  for (std::uint64_t pass = 0; pass < o.D; ++pass) {
    const std::size_t s = o.s;
    if (s == 0 || w.size() <= s) break;
    Vec next(w.size() - s);
    for (std::size_t i = s; i < w.size(); ++i) next[i - s] = w[i] - w[i - s];
    w = std::move(next);
  }
  for (std::uint64_t pass = 0; pass < o.d; ++pass) {
    if (w.size() <= 1) break;
    Vec next(w.size() - 1);
    for (std::size_t i = 1; i < w.size(); ++i) next[i - 1] = w[i] - w[i - 1];
    w = std::move(next);
  }
  return w;
}

}  // namespace peltaro::core
