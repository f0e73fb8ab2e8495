#include "peltaro/estimation/brent.hpp"

#include <cmath>

namespace peltaro::estimation {
namespace {

// (3 − √5)/2: the fraction of the larger part of the interval that a
// golden-section step moves into.
constexpr double GOLDEN = 0.3819660112501051;
constexpr double REL_TOL = 1e-5;
// √(machine epsilon): below this absolute spacing the values no longer
// tell points apart.
constexpr double ABS_TOL = 1.4901161193847656e-08;
constexpr int MAX_STEPS = 40;

}  // namespace

BrentMinimum brent_minimize(const std::function<double(double)>& f, double a, double b) {
  // x: best point so far; w: second best; v: the previous w; u: the newest.
  double x = a + GOLDEN * (b - a);
  double w = x, v = x;
  double fx = f(x);
  double fw = fx, fv = fx;
  double d = 0.0;  // the last step
  double e = 0.0;  // the step before it: a parabolic step must be smaller than half of it
  for (int step = 0; step < MAX_STEPS; ++step) {
    const double xm = 0.5 * (a + b);
    const double tol1 = REL_TOL * std::fabs(x) + ABS_TOL;
    const double tol2 = 2.0 * tol1;
    if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) break;

    bool parabolic = false;
    if (std::fabs(e) > tol1) {
      // Minimum of the parabola through (v, fv), (w, fw), (x, fx) lies at x + p/q.
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::fabs(q);
      const double e_before = e;
      e = d;
      // Written as the conditions for accepting the parabola, so that a NaN
      // (from failed points among the three) takes the golden-section step
      // rather than a wasted minimal one.
      if (std::fabs(p) < std::fabs(0.5 * q * e_before) && p > q * (a - x) && p < q * (b - x)) {
        d = p / q;
        const double u = x + d;
        // Never evaluate closer than tol2 to an end of the interval.
        if (u - a < tol2 || b - u < tol2) d = std::copysign(tol1, xm - x);
        parabolic = true;
      }
    }
    if (!parabolic) {
      e = x >= xm ? a - x : b - x;
      d = GOLDEN * e;
    }
    // A step below tol1 would evaluate a point indistinguishable from x.
    const double u = std::fabs(d) >= tol1 ? x + d : x + std::copysign(tol1, d);
    const double fu = f(u);
    if (fu <= fx) {
      if (u >= x) {
        a = x;
      } else {
        b = x;
      }
      v = w, fv = fw;
      w = x, fw = fx;
      x = u, fx = fu;
    } else {
      if (u < x) {
        a = u;
      } else {
        b = u;
      }
      if (fu <= fw || w == x) {
        v = w, fv = fw;
        w = u, fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u, fv = fu;
      }
    }
  }
  return {x, fx};
}

}  // namespace peltaro::estimation
