#include "peltaro/estimation/lbfgsb_driver.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

// L-BFGS-B 3.0 (Fortran, no header). INTEGER is 32-bit, LOGICAL 4 bytes; the
// two CHARACTER*60 arguments carry hidden lengths after the others.
extern "C" void setulb_(int* n, int* m, double* x, double* l, double* u, int* nbd, double* f,
                        double* g, double* factr, double* pgtol, double* wa, int* iwa,
                        char* task, int* iprint, char* csave, int* lsave, int* isave,
                        double* dsave, std::size_t task_len, std::size_t csave_len);

// fortran_stdout.f90: connects the Fortran runtime's unit 6 to the null device.
extern "C" void peltaro_silence_fortran_stdout();

namespace peltaro::estimation {

static_assert(std::is_same_v<FortranInt, int>, "the routine's INTEGER is a C int");

namespace {

struct TaskText {
  std::string_view text;
  std::int64_t code;
};

// Every text this version of the routine writes into `task`.
// RESTART_FROM_LNSRCH is written and overwritten within one call, so it never
// reaches the driver; it is listed so that no text the routine writes lacks a
// code.
constexpr TaskText TASK_TEXTS[] = {
    {"START", task_code::START},
    {"NEW_X", task_code::NEW_X},
    {"ABNORMAL_TERMINATION_IN_LNSRCH", task_code::ABNORMAL},
    {"RESTART_FROM_LNSRCH", task_code::RESTART},
    {"FG_START", task_code::FG_START},
    {"FG_LNSRCH", task_code::FG_LNSRCH},
    {"CONVERGENCE: NORM_OF_PROJECTED_GRADIENT_<=_PGTOL", task_code::CONVERGENCE_PGTOL},
    {"CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH", task_code::CONVERGENCE_FACTR},
    {"ERROR: N .LE. 0", task_code::ERROR_N},
    {"ERROR: M .LE. 0", task_code::ERROR_M},
    {"ERROR: FACTR .LT. 0", task_code::ERROR_FACTR},
    {"ERROR: INVALID NBD", task_code::ERROR_NBD},
    {"ERROR: NO FEASIBLE SOLUTION", task_code::ERROR_INFEASIBLE},
};

// Kinds by prefix, for variants another build of the routine might word
// differently: a request stays a request and an error stays an error.
constexpr TaskText TASK_KINDS[] = {
    {"FG", task_code::FG},
    {"CONVERGENCE", task_code::CONVERGENCE},
    {"ERROR", task_code::ERROR},
};

template <class T>
FortranInt to_fortran_int(T value, const char* what) {
  if (!std::in_range<FortranInt>(value)) {
    throw std::logic_error(std::string("L-BFGS-B: ") + what +
                           " does not fit the routine's INTEGER");
  }
  return static_cast<FortranInt>(value);
}

template <std::size_t N>
void write_text(std::array<char, N>& field, std::string_view text) {
  field.fill(' ');
  std::copy_n(text.begin(), std::min(text.size(), N), field.begin());
}

// The routine reports some line-search failures on Fortran unit 6, the
// process's standard output, whatever `iprint` says; an extension module must
// print nothing. Unit 6 is process-wide state of the Fortran runtime, so it is
// reconnected once, before the first run, rather than redirected around each
// call, which would race with other threads' output.
void silence_routine_output() {
  static std::once_flag once;
  std::call_once(once, peltaro_silence_fortran_stdout);
}

// The routine may not be handed a null address, even for an empty array.
template <class T>
T* address_of(std::span<T> s, T& spare) {
  return s.empty() ? &spare : s.data();
}

}  // namespace

std::int64_t task_code_of(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  text = end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
  for (const auto& t : TASK_TEXTS) {
    if (text == t.text) return t.code;
  }
  for (const auto& t : TASK_KINDS) {
    if (text.starts_with(t.text)) return t.code;
  }
  return task_code::UNKNOWN;
}

void throw_bounds_too_long(std::size_t entries, std::size_t n) {
  throw std::logic_error("L-BFGS-B: " + std::to_string(entries) + " bounds for " +
                         std::to_string(n) + " coordinates");
}

std::string terminated_with_error(std::int64_t code) {
  return "L-BFGS-B terminated with error (task code " + std::to_string(code) + ")";
}

SetulbMemory::SetulbMemory(std::size_t n, const LbfgsbOptions& options)
    : n_(n),
      m_(to_fortran_int(options.m, "m")),
      factr_(options.factr),
      pgtol_(options.pgtol),
      iprint_(to_fortran_int(options.iprint, "iprint")) {
  to_fortran_int(n, "n");
  silence_routine_output();
  const std::size_t m = options.m;
  // At least one element each: the routine takes addresses into them even
  // when it rejects n or m.
  wa_.assign(std::max<std::size_t>(1, (2 * m + 5) * n + (8 + 11 * m) * m), 0.0);
  iwa_.assign(std::max<std::size_t>(1, 3 * n), 0);
  write_text(task_, "START");
  write_text(csave_, "");
}

std::int64_t SetulbMemory::call(std::span<double> x, std::span<double> l, std::span<double> u,
                                std::span<FortranInt> nbd, double& f, std::span<double> g) {
  if (x.size() != n_ || l.size() != n_ || u.size() != n_ || nbd.size() != n_ || g.size() != n_) {
    throw std::logic_error("L-BFGS-B: the problem's arrays must all have the length of its point");
  }
  FortranInt n = static_cast<FortranInt>(n_);
  double spare_x = 0.0, spare_l = 0.0, spare_u = 0.0, spare_g = 0.0;
  FortranInt spare_nbd = 0;
  setulb_(&n, &m_, address_of(x, spare_x), address_of(l, spare_l), address_of(u, spare_u),
          address_of(nbd, spare_nbd), &f, address_of(g, spare_g), &factr_, &pgtol_, wa_.data(),
          iwa_.data(), task_.data(), &iprint_, csave_.data(), lsave_.data(), isave_.data(),
          dsave_.data(), TEXT_LEN, TEXT_LEN);
  return task_code_of(std::string_view(task_.data(), task_.size()));
}

}  // namespace peltaro::estimation
