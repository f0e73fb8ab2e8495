// The dense sweeps give the baseline's bits in every instruction set: each
// sweep is run by the baseline forms and by the widest this processor has,
// on the same inputs, with signed zeros, infinities, NaN and subnormals
// among ordinary values.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "peltaro/core/kalman/dense_sweeps.hpp"

namespace peltaro::core {
namespace {

std::vector<double> values(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N;
  const double specials[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), 5e-324};
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i % 7 == 3 ? specials[(i / 7) % 6] : N(rng);
  return v;
}

// Bit for bit, except that any NaN matches any NaN: which of two NaN
// operands an addition passes on is not part of the arithmetic.
bool same(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
  }
  return true;
}

std::vector<std::vector<double>> run_all(std::size_t m) {
  const DenseSweeps& s = dense_sweeps();
  const std::vector<double> a = values(m * m, 7 + static_cast<unsigned>(m));
  const std::vector<double> x = values(m, 3 + static_cast<unsigned>(m));
  std::vector<double> turned(m * m), mirrored = a, fused = a, u(m), averaged = a, read_only(m);
  s.transpose(a.data(), m, turned.data());
  s.mirror_lower(mirrored.data(), m);
  s.mirror_lower_times(fused.data(), m, x.data(), u.data());
  s.lower_times(a.data(), m, x.data(), read_only.data());
  // The product from the lower triangle alone is the fused sweep's, bit for bit.
  EXPECT_TRUE(same(read_only, u)) << "m = " << m << ": lower_times";
  s.symmetrize(averaged.data(), m);

  // Rows of T with one to three entries and weights 1, −0.5 and 2; the rows
  // with no entries of the last product's T.
  std::vector<ReferenceTerm> terms;
  std::vector<std::size_t> row_start{0};
  std::vector<SparseTEntry> entries;
  const double weights[] = {1.0, -0.5, 2.0};
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t k = 0; k <= r % 3; ++k) {
      const std::size_t c = (r + 5 * k) % m;
      terms.push_back({static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c), k == 0,
                       weights[(r + k) % 3]});
    }
    for (std::size_t k = 0; k < r % 5; ++k) entries.push_back({r, (3 * r + k) % m, weights[k % 3]});
    row_start.push_back(entries.size());
  }
  std::vector<double> gf = values(m, 5);
  std::vector<double> updated(m * m, 0.0), plain(m * m, 0.0), product(m * m);
  s.reference_rows(terms.data(), terms.size(), a.data(), x.data(), gf.data(), m, updated.data());
  s.reference_rows(terms.data(), terms.size(), a.data(), nullptr, nullptr, m, plain.data());
  s.reference_columns(row_start.data(), entries.data(), updated.data(), averaged.data(), m,
                      product.data());
  std::vector<double> shifted(m);
  s.reference_plain(shifted.data(), a.data(), x.data(), gf.data(), x[0], gf[m - 1], m);
  return {turned, mirrored, fused, u, averaged, updated, plain, product, shifted};
}

TEST(DenseSweeps, EveryInstructionSetGivesTheBaselineBits) {
  const char* names[] = {"transpose", "mirror_lower",   "mirror_lower_times (copy)",
                         "mirror_lower_times (product)", "symmetrize", "reference_rows",
                         "reference_rows (no update)",   "reference_columns",
                         "reference_plain"};
  for (const std::size_t m : {1u, 2u, 3u, 5u, 8u, 27u, 28u}) {
    use_baseline_sweeps(true);
    const auto baseline = run_all(m);
    use_baseline_sweeps(false);
    const auto widest = run_all(m);
    for (std::size_t k = 0; k < baseline.size(); ++k) {
      EXPECT_TRUE(same(baseline[k], widest[k])) << "m = " << m << ": " << names[k];
    }
  }
}

}  // namespace
}  // namespace peltaro::core
