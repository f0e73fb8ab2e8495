#include "peltaro/estimation/engine/more_thuente.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string_view>

#include "peltaro/core/error.hpp"

extern "C" void dcsrch_(double* f, double* g, double* stp, double* ftol, double* gtol,
                        double* xtol, double* stpmin, double* stpmax, char* task, int* isave,
                        double* dsave, std::size_t task_len);

namespace peltaro::estimation::engine {

namespace {

bool task_is(const std::array<char, 60>& task, std::string_view prefix) {
  return std::string_view(task.data(), task.size()).starts_with(prefix);
}

std::string task_text(const std::array<char, 60>& task) {
  std::string_view text(task.data(), task.size());
  const auto end = text.find_last_not_of(' ');
  return std::string(text.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

}  // namespace

MoreThuente::MoreThuente(const MoreThuenteOptions& options)
    : options_(options), step_(options.initial_step) {}

TextResult<double> MoreThuente::start(double f0, double dg0) {
  if (!std::isfinite(f0) || !std::isfinite(dg0)) {
    return fail_text("line search: non-finite cost or slope at the start point");
  }
  if (!(dg0 < 0.0)) return fail_text("line search: the direction is not a descent direction");
  task_.fill(' ');
  std::ranges::copy(std::string_view("START"), task_.begin());
  const auto first = call(f0, dg0);
  if (!first) return fail_text(first.error());
  if (!first->has_value()) return fail_text("line search: stopped before its first trial step");
  return **first;
}

TextResult<std::optional<double>> MoreThuente::next(double f, double dg) {
  if (!std::isfinite(f) || !std::isfinite(dg)) {
    return fail_text("line search: non-finite cost or slope at step " +
                     core::format_double(step_));
  }
  return call(f, dg);
}

TextResult<std::optional<double>> MoreThuente::call(double f, double dg) {
  dcsrch_(&f, &dg, &step_, &options_.ftol, &options_.gtol, &options_.xtol, &options_.stpmin,
          &options_.stpmax, task_.data(), isave_.data(), dsave_.data(), task_.size());
  if (task_is(task_, "FG")) {
    if (!std::isfinite(step_)) return fail_text("line search: non-finite trial step");
    return std::optional<double>(step_);
  }
  // A warning (rounding errors, interval below xtol, a step bound reached)
  // leaves the search at its last trial step, as a converged search does.
  if (task_is(task_, "CONV") || task_is(task_, "WARN")) return std::optional<double>();
  return fail_text("line search: " + task_text(task_));
}

}  // namespace peltaro::estimation::engine
