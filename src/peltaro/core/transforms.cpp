#include "peltaro/core/transforms.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace peltaro::core {

namespace {

// Forward-difference step of the stationary and invertible blocks of the
// Jacobian. It is absolute on purpose: those maps saturate (|r| -> 1) long
// before |x| is large enough for 1e-7 to be lost in x + 1e-7.
constexpr double kJacobianStep = 1e-7;
// Floor of 1 - r^2 when unconstraining; std::fmax keeps the floor when the
// difference is NaN.
constexpr double kUnconstrainFloor = 1e-15;

// Durbin-Levinson recursion on a k x k work table (row m at m·k), written into
// `out`. With `negate` the result is +y[k-1][.] instead of -y[k-1][.], which is
// the invertible map bit for bit (negation is exact).
void constrain_into(std::span<const double> x, std::span<double> out, Vec& table, bool negate) {
  const std::size_t k = x.size();
  if (k == 0) return;
  table.assign(k * k, 0.0);
  for (std::size_t m = 0; m < k; ++m) {
    const double r = x[m] / std::sqrt(x[m] * x[m] + 1.0);
    for (std::size_t i = 0; i < m; ++i) {
      table[m * k + i] = table[(m - 1) * k + i] + r * table[(m - 1) * k + (m - 1 - i)];
    }
    table[m * k + m] = r;
  }
  for (std::size_t i = 0; i < k; ++i) {
    out[i] = negate ? table[(k - 1) * k + i] : -table[(k - 1) * k + i];
  }
}

// Inverse recursion. With `negate` the last row starts at +c instead of -c,
// i.e. the input is taken as an MA block.
void unconstrain_into(std::span<const double> c, std::span<double> out, Vec& table, bool negate) {
  const std::size_t k = c.size();
  if (k == 0) return;
  table.assign(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) table[(k - 1) * k + i] = negate ? c[i] : -c[i];
  for (std::size_t m = k - 1; m >= 1; --m) {
    const double ymm = table[m * k + m];
    const double den = std::fmax(1.0 - ymm * ymm, kUnconstrainFloor);
    for (std::size_t i = 0; i < m; ++i) {
      table[(m - 1) * k + i] = (table[m * k + i] - ymm * table[m * k + (m - 1 - i)]) / den;
    }
  }
  for (std::size_t i = 0; i < k; ++i) {
    const double r = table[i * k + i];
    out[i] = r / std::sqrt(std::fmax(1.0 - r * r, kUnconstrainFloor));
  }
}

enum class BlockMap : std::uint8_t { Identity, Stationary, Invertible, Variance };

struct Block {
  std::size_t start = 0;
  std::size_t len = 0;
  BlockMap map = BlockMap::Identity;
};

// The flat vector cut into the blocks that map independently: trend and
// exog together, then ar, ma, seasonal_ar, seasonal_ma, sigma2.
struct BlockLayout {
  std::array<Block, 6> blocks{};
  std::size_t n = 0;
};

Result<BlockLayout> layout_of(const SarimaxConfig& config) {
  const auto code = static_cast<std::uint8_t>(config.trend);
  if (code >= K_TREND_TABLE.size()) {
    return fail(SarimaxError::invalid_input("trend code " + std::to_string(code) +
                                            " is not one of 0, 1, 2, 3"));
  }
  const SarimaxOrder& o = config.order;
  const bool stationary = config.enforce_stationarity;
  const bool invertible = config.enforce_invertibility;
  const std::array<std::uint64_t, 6> lens{K_TREND_TABLE[code], o.p, o.q, o.P, o.Q,
                                          config.concentrate_scale ? 0u : 1u};
  const std::array<BlockMap, 6> maps{
      BlockMap::Identity,
      stationary ? BlockMap::Stationary : BlockMap::Identity,
      invertible ? BlockMap::Invertible : BlockMap::Identity,
      stationary ? BlockMap::Stationary : BlockMap::Identity,
      invertible ? BlockMap::Invertible : BlockMap::Identity,
      BlockMap::Variance,
  };
  BlockLayout layout;
  std::uint64_t pos = 0;
  for (std::size_t b = 0; b < lens.size(); ++b) {
    std::uint64_t len = lens[b];
    // Wrapping counts would let a short vector pass the length check and the
    // block copies read past its end.
    if (b == 0 && __builtin_add_overflow(len, config.n_exog, &len)) {
      return fail(SarimaxError::invalid_input("parameter count of the configuration overflows"));
    }
    std::uint64_t end = 0;
    if (__builtin_add_overflow(pos, len, &end)) {
      return fail(SarimaxError::invalid_input("parameter count of the configuration overflows"));
    }
    layout.blocks[b] = Block{static_cast<std::size_t>(pos), static_cast<std::size_t>(len), maps[b]};
    pos = end;
  }
  layout.n = static_cast<std::size_t>(pos);
  return layout;
}

Result<BlockLayout> checked_layout(std::span<const double> x, const SarimaxConfig& config) {
  auto layout = layout_of(config);
  if (!layout) return layout;
  if (x.size() != layout->n) {
    return fail(SarimaxError::parameter_length_mismatch(layout->n, x.size()));
  }
  return layout;
}

}  // namespace

Vec constrain_stationary(std::span<const double> x) {
  Vec out(x.size());
  Vec table;
  constrain_into(x, out, table, false);
  return out;
}

Vec unconstrain_stationary(std::span<const double> phi) {
  Vec out(phi.size());
  Vec table;
  unconstrain_into(phi, out, table, false);
  return out;
}

Vec constrain_invertible(std::span<const double> x) {
  Vec out(x.size());
  Vec table;
  constrain_into(x, out, table, true);
  return out;
}

Vec unconstrain_invertible(std::span<const double> theta) {
  Vec out(theta.size());
  Vec table;
  unconstrain_into(theta, out, table, true);
  return out;
}

Result<Vec> transform_params_inner(std::span<const double> x, const SarimaxConfig& config,
                                   bool direction) {
  const auto layout = checked_layout(x, config);
  if (!layout) return fail(layout.error());

  Vec out(x.size());
  Vec table;
  for (const Block& block : layout->blocks) {
    if (block.len == 0) continue;
    const auto in = x.subspan(block.start, block.len);
    const auto dst = std::span<double>(out).subspan(block.start, block.len);
    switch (block.map) {
      case BlockMap::Identity:
        std::copy(in.begin(), in.end(), dst.begin());
        break;
      case BlockMap::Stationary:
      case BlockMap::Invertible: {
        const bool negate = block.map == BlockMap::Invertible;
        if (direction) {
          constrain_into(in, dst, table, negate);
        } else {
          unconstrain_into(in, dst, table, negate);
        }
        break;
      }
      case BlockMap::Variance: {
        const double s = in[0];
        if (direction) {
          dst[0] = std::exp(s);
        } else {
          // NaN is not <= 0 and goes through the logarithm as NaN.
          if (s <= 0.0) {
            return fail(SarimaxError::data_error(refused_variance_text(s)));
          }
          dst[0] = std::log(s);
        }
        break;
      }
    }
  }
  return out;
}

Result<Vec> transform_jacobian_t_vec(std::span<const double> x, const SarimaxConfig& config,
                                     std::span<const double> v) {
  const auto base = transform_params_inner(x, config, true);
  if (!base) return fail(base.error());
  const std::size_t n = x.size();
  if (v.size() < n) {
    return fail(SarimaxError::invalid_input("gradient has " + std::to_string(v.size()) +
                                            " entries, fewer than the " + std::to_string(n) +
                                            " parameters"));
  }
  // The layout was already validated by the transform above.
  const BlockLayout layout = *layout_of(config);

  std::size_t widest = 0;
  for (const Block& block : layout.blocks) widest = std::max(widest, block.len);
  Vec xp;
  Vec f(widest);
  Vec table;
  xp.reserve(widest);
  table.reserve(widest * widest);

  Vec out(n, 0.0);
  for (const Block& block : layout.blocks) {
    if (block.len == 0) continue;
    const std::size_t b0 = block.start;
    switch (block.map) {
      case BlockMap::Identity:
        // Exact: a difference quotient would lose the step against large |x|.
        for (std::size_t j = 0; j < block.len; ++j) out[b0 + j] = v[b0 + j];
        break;
      case BlockMap::Variance:
        out[b0] = v[b0] * std::exp(x[b0]);
        break;
      case BlockMap::Stationary:
      case BlockMap::Invertible: {
        // The Jacobian is block diagonal, so column j only meets the rows of
        // its own block; rows elsewhere would add exact zeros.
        const bool negate = block.map == BlockMap::Invertible;
        const auto fb = std::span<double>(f).first(block.len);
        xp.assign(x.begin() + static_cast<std::ptrdiff_t>(b0),
                  x.begin() + static_cast<std::ptrdiff_t>(b0 + block.len));
        for (std::size_t j = 0; j < block.len; ++j) {
          const double kept = xp[j];
          xp[j] = kept + kJacobianStep;
          constrain_into(xp, fb, table, negate);
          xp[j] = kept;
          double acc = out[b0 + j];
          for (std::size_t i = 0; i < block.len; ++i) {
            acc = acc + (v[b0 + i] * (fb[i] - (*base)[b0 + i])) / kJacobianStep;
          }
          out[b0 + j] = acc;
        }
        break;
      }
    }
  }
  return out;
}

std::expected<Vec, std::string> apply_transform_jacobian(std::span<const double> grad,
                                                         std::span<const double> x,
                                                         const SarimaxConfig& config) {
  auto out = transform_jacobian_t_vec(x, config, grad);
  if (!out) return std::unexpected(out.error().display());
  return std::move(*out);
}

}  // namespace peltaro::core
