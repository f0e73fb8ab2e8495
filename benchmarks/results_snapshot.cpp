// Not a timing: the numbers of the recursions on a fixed sweep of models, so
// that a change that must not move them can be checked against a snapshot
// taken before it.
//
//   results_snapshot write FILE   the log-likelihood, the summed score, the
//                                 per-observation score rows and the batched
//                                 filter's innovations of 1,200 models
//   results_snapshot check FILE   the same, against FILE: how many
//                                 log-likelihoods and innovations differ in
//                                 any bit, and the largest relative change
//                                 of a score entry
//
// The models are drawn from a fixed seed over the public series: every trend,
// zero to three regressors, orders up to (3,2,3)(2,1,2,s), both enforce
// flags, concentrated or not, simple differencing or not, series long enough
// for the steady state and short enough to miss it.

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "peltaro/core/kalman/batched_filter.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/score/score.hpp"
#include "timing.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::benchmarks;
using core::Columns;

constexpr std::size_t MODELS = 1200;

struct Series {
  Vec y;
  std::size_t s;
};

std::vector<Series> series_pool() {
  return {{log_of(load_column("airpassengers.csv", 1)), 12},
          {load_column("co2.csv", 1), 12},
          {log_of(load_column("ukgas.csv", 1)), 4},
          {log_of(load_column("lynx.csv", 1)), 4},
          {load_column("nile.csv", 1), 4},
          {load_column("lakehuron.csv", 1), 4},
          {log_of(load_column("seatbelts.csv", 2)), 12},
          {load_column("seatbelts.csv", 1), 12}};
}

struct Model {
  core::SarimaxConfig config;
  Vec y;
  Columns exog;
  Vec params;
};

Model draw(std::mt19937_64& rng, const std::vector<Series>& pool) {
  auto pick = [&](std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
  };
  std::normal_distribution<double> normal;
  Model m;
  const Series& series = pool[pick(0, pool.size() - 1)];
  // Some series cut short, so that the steady state is not always reached.
  const std::size_t n = pick(0, 3) == 0 ? std::min<std::size_t>(series.y.size(), 40 + pick(0, 30))
                                        : series.y.size();
  m.y.assign(series.y.begin(), series.y.begin() + static_cast<std::ptrdiff_t>(n));
  core::SarimaxConfig& c = m.config;
  const bool seasonal = pick(0, 2) != 0;
  c.order = {pick(0, 3), pick(0, 2), pick(0, 3), 0, 0, 0, 0};
  if (seasonal) {
    c.order.s = series.s;
    c.order.P = pick(0, 2);
    c.order.D = pick(0, 1);
    c.order.Q = pick(0, 2);
  }
  c.trend = static_cast<core::Trend>(pick(0, 3));
  c.n_exog = pick(0, 3) == 0 ? pick(1, 3) : 0;
  c.enforce_stationarity = pick(0, 3) != 0;
  c.enforce_invertibility = pick(0, 3) != 0;
  c.concentrate_scale = pick(0, 2) == 0;
  c.simple_differencing = pick(0, 4) == 0;
  for (std::size_t j = 0; j < c.n_exog; ++j) {
    Vec column(n);
    double level = 0.0;
    for (double& v : column) v = (level += normal(rng)) * 0.1 + normal(rng);
    m.exog.push_back(std::move(column));
  }
  // Unconstrained draws mapped into the flags' region; unenforced blocks
  // keep small coefficients. The variance is of the series' own size.
  Vec x(c.n_params());
  for (double& v : x) v = 0.4 * normal(rng);
  if (!c.concentrate_scale) {
    double spread = 0.0;
    for (std::size_t t = 1; t < n; ++t) spread += (m.y[t] - m.y[t - 1]) * (m.y[t] - m.y[t - 1]);
    x.back() = std::log(spread / static_cast<double>(n) + 1e-12) + 0.3 * normal(rng);
  }
  m.params = *core::transform_params_inner(x, c, true);
  return m;
}

struct Numbers {
  bool ok = false;
  double loglike = 0.0;
  Vec score, rows, innovations;
};

Numbers evaluate(const Model& m) {
  Numbers out;
  const Columns* exog = m.exog.empty() ? nullptr : &m.exog;
  const auto params = core::SarimaxParams::from_flat(m.params, m.config);
  if (!params) return out;
  const auto model = core::FilterModel::build(m.y, *params, m.config, exog);
  if (!model) return out;
  const auto ll = core::kalman_eval(m.y, *params, m.config, exog);
  const auto g = score::score(model->series(), model->state_space(), model->init(), m.config,
                              *params, m.config.concentrate_scale, model->columns());
  const auto rows = score::score_obs(model->series(), model->state_space(), model->init(),
                                     m.config, *params, m.config.concentrate_scale,
                                     model->columns());
  if (!ll || !g || !rows) return out;
  out.ok = true;
  out.loglike = ll->loglike;
  out.score = *g;
  for (const Vec& row : *rows) out.rows.insert(out.rows.end(), row.begin(), row.end());
  // The batched filter takes series without regressors (their effect is a
  // fixed shift of each series).
  if (!exog && m.config.trend == core::Trend::None) {
    const std::span<const double> one = model->series();
    Vec shifted(one.begin(), one.end());
    for (double& v : shifted) v *= 1.5;
    const std::span<const double> both[] = {one, shifted};
    if (const auto batched =
            core::kalman_filter_batched(both, model->state_space(), model->init())) {
      for (const Vec& e : batched->innovations) {
        out.innovations.insert(out.innovations.end(), e.begin(), e.end());
      }
      out.innovations.insert(out.innovations.end(), batched->f_values.begin(),
                             batched->f_values.end());
    }
  }
  return out;
}

void write_vec(std::FILE* f, const char* tag, const Vec& v) {
  std::fprintf(f, "%s %zu", tag, v.size());
  for (double x : v) std::fprintf(f, " %a", x);
  std::fprintf(f, "\n");
}

bool read_vec(std::FILE* f, const char* tag, Vec& v) {
  char name[16];
  std::size_t size = 0;
  if (std::fscanf(f, "%15s %zu", name, &size) != 2 || std::strcmp(name, tag) != 0) return false;
  v.resize(size);
  for (double& x : v) {
    if (std::fscanf(f, "%la", &x) != 1) return false;
  }
  return true;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Largest relative change of the entries, each relative to the largest
// magnitude of its vector (a score entry near zero is a difference of large
// terms).
double relative_change(const Vec& a, const Vec& b) {
  if (a.size() != b.size()) return INFINITY;
  double scale = 0.0, worst = 0.0;
  for (double x : a) scale = std::fmax(scale, std::fabs(x));
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (same_bits(a[i], b[i])) continue;
    worst = std::fmax(worst, std::fabs(a[i] - b[i]) / std::fmax(scale, 1e-300));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "check") != 0)) {
    std::fprintf(stderr, "usage: results_snapshot write|check FILE\n");
    return 2;
  }
  const bool write = std::strcmp(argv[1], "write") == 0;
  std::FILE* file = std::fopen(argv[2], write ? "w" : "r");
  if (!file) {
    std::perror(argv[2]);
    return 2;
  }
  const auto pool = series_pool();
  std::mt19937_64 rng(20261208);
  std::size_t evaluated = 0, loglike_changed = 0, innovations_changed = 0, steady = 0;
  double score_change = 0.0, rows_change = 0.0;
  for (std::size_t i = 0; i < MODELS; ++i) {
    const Model m = draw(rng, pool);
    const Numbers now = evaluate(m);
    if (now.ok) ++evaluated;
    if (now.ok && m.y.size() > 100) ++steady;
    if (write) {
      std::fprintf(file, "model %zu %d %a\n", i, now.ok ? 1 : 0, now.loglike);
      write_vec(file, "score", now.score);
      write_vec(file, "rows", now.rows);
      write_vec(file, "innov", now.innovations);
      continue;
    }
    std::size_t index = 0;
    int ok = 0;
    double loglike = 0.0;
    Numbers then;
    if (std::fscanf(file, " model %zu %d %la", &index, &ok, &loglike) != 3 || index != i ||
        !read_vec(file, "score", then.score) || !read_vec(file, "rows", then.rows) ||
        !read_vec(file, "innov", then.innovations)) {
      std::fprintf(stderr, "%s: unreadable at model %zu\n", argv[2], i);
      return 2;
    }
    if ((ok != 0) != now.ok || !same_bits(loglike, now.loglike)) {
      ++loglike_changed;
      std::printf("model %zu: loglike %.17g, was %.17g\n", i, now.loglike, loglike);
    }
    bool innovations_same = then.innovations.size() == now.innovations.size();
    for (std::size_t k = 0; innovations_same && k < now.innovations.size(); ++k) {
      innovations_same = same_bits(then.innovations[k], now.innovations[k]);
    }
    innovations_changed += innovations_same ? 0 : 1;
    score_change = std::fmax(score_change, relative_change(then.score, now.score));
    rows_change = std::fmax(rows_change, relative_change(then.rows, now.rows));
  }
  std::fclose(file);
  std::printf("%zu models, %zu evaluated (%zu of more than 100 observations)\n", MODELS, evaluated,
              steady);
  if (!write) {
    std::printf("log-likelihoods that differ in any bit: %zu\n", loglike_changed);
    std::printf("batched innovations that differ in any bit: %zu models\n", innovations_changed);
    std::printf("largest relative change: summed score %.3g, per-observation rows %.3g\n",
                score_change, rows_change);
  }
  return 0;
}
