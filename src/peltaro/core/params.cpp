#include "peltaro/core/params.hpp"

namespace peltaro::core {

Result<SarimaxParams> SarimaxParams::from_flat(std::span<const double> flat,
                                               const SarimaxConfig& config) {
  const std::uint64_t expected = config.n_params();
  if (flat.size() != expected) {
    return fail(SarimaxError::parameter_length_mismatch(expected, flat.size()));
  }
  const SarimaxOrder& o = config.order;
  std::size_t pos = 0;
  auto take = [&](std::uint64_t len) {
    Vec block(flat.begin() + static_cast<std::ptrdiff_t>(pos),
              flat.begin() + static_cast<std::ptrdiff_t>(pos + len));
    pos += len;
    return block;
  };
  SarimaxParams out;
  out.trend = take(config.k_trend());
  out.exog = take(config.n_exog);
  out.ar = take(o.p);
  out.ma = take(o.q);
  out.seasonal_ar = take(o.P);
  out.seasonal_ma = take(o.Q);
  if (!config.concentrate_scale) out.sigma2 = flat.back();
  return out;
}

}  // namespace peltaro::core
