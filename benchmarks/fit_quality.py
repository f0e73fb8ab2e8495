"""How often each method of peltaro.sarimax_fit stops below the best known maximum.

Runs every fit method of sarimax_fit, and statsmodels' SARIMAX(...).fit(), on
about 680 model cases (benchmarks/fit_quality_cases.py: public series of
data/ and simulated ones, orders up to (3,1,3)(2,1,2,s), the four trends,
regressors, both enforce flags, concentrated scale, simple differencing, and
copies of 40 cases with the series, not the regressors, scaled by 1e-8, 1e-4,
1e4 and 1e8). Not a test: it measures.

The best known maximum of a case is the largest log-likelihood, evaluated by
peltaro.sarimax_loglike so that all values are on one scale, over the points
of: the twelve methods; a BFGS run from the default method's end point;
statsmodels' default fit; statsmodels fitted tightly (L-BFGS, BFGS,
Nelder-Mead, BFGS) from that fit's end point, from peltaro's default end point
and from the best of peltaro's end points; and the best of these points of
each other member of its family (a base case and its scaled copies), carried
over with trend and regression coefficients times the ratio of the scales and
σ² times its square. A point counts only if it is valid for the case's flags
(stationary AR parts under enforce_stationarity, invertible MA parts under
enforce_invertibility, σ² > 0). statsmodels' parameters are mapped to
peltaro's order by their names.

Prints, per method (over all cases, the unscaled ones and the scaled copies),
the share of cases ending more than 1e-3 below the best known, the share of
those that reported converged, the worst gap and the median and 90th
percentile of the time of one fit; then the default method's failures and
what a BFGS run from its end point gains; then how peltaro's log-likelihood
agrees with statsmodels' at statsmodels' points, and how the scaled copies'
maxima agree with their unscaled cases' shifted by −n·ln c (exactly so only
without approximately diffuse states, whose variance 1e6 does not scale: in
larger units that start is informative, in smaller ones only more diffuse).

    python benchmarks/fit_quality.py [--quick] [--jobs N] [--out results.json]

Needs statsmodels (pip install statsmodels). Cases run on a pool of --jobs
spawned processes (default: the CPU count); the multi-start methods' own
worker pool is held to one thread (RAYON_NUM_THREADS=1 unless set), so that
the processes do not fight over the cores and the times are single-threaded.
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"
os.environ.setdefault("RAYON_NUM_THREADS", "1")

import argparse  # noqa: E402
import collections  # noqa: E402
import json  # noqa: E402
import multiprocessing  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor, as_completed  # noqa: E402
from concurrent.futures.process import BrokenProcessPool  # noqa: E402

import numpy as np  # noqa: E402

import peltaro  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fit_quality_cases as cases_module  # noqa: E402

METHODS = ["lbfgsb", "lbfgsb-multi", "lbfgsb-adaptive", "lbfgsb-hybrid", "lbfgsb-strict",
           "lbfgsb_single", "lbfgs", "bfgs", "trust-region", "profile-trust-region",
           "nelder-mead", "nm"]
DEFAULT = "lbfgsb"
POLISH = "lbfgsb+bfgs"          # BFGS from the default method's end point
SM_DEFAULT = "statsmodels"       # SARIMAX(...).fit(disp=False)
SM_TIGHT = "sm-tight"            # a tight climb (CLIMB) from statsmodels' default end point
SM_FROM_OURS = "sm-from-lbfgsb"  # the same from peltaro's default end point
SM_FROM_BEST = "sm-from-best"    # the same from the best of peltaro's end points
SM_KEYS = [SM_DEFAULT, SM_TIGHT, SM_FROM_OURS, SM_FROM_BEST]
RESCALED = "rescaled"            # the best point of another member of a family of scaled copies
GAP = 1e-3                       # a fit this far below the best known maximum failed
AGREE = 1e-6                     # peltaro's and statsmodels' log-likelihood at one point


# ---------------------------------------------------------------- one case (worker side)
def model_kwargs(case):
    return dict(trend=case["trend"], concentrate_scale=case["concentrate_scale"],
                enforce_stationarity=case["enforce_stationarity"],
                enforce_invertibility=case["enforce_invertibility"],
                simple_differencing=case["simple_differencing"])


def param_names(case):
    """peltaro's flat parameter order, in statsmodels' parameter names."""
    p, _, q = case["order"]
    P, _, Q, s = case["seasonal"]
    names = {"n": [], "c": ["intercept"], "t": ["drift"], "ct": ["intercept", "drift"]}[case["trend"]]
    names += [f"x{i + 1}" for i in range(cases_module.k_exog(case))]
    names += [f"ar.L{i + 1}" for i in range(p)] + [f"ma.L{i + 1}" for i in range(q)]
    names += [f"ar.S.L{s * (i + 1)}" for i in range(P)] + [f"ma.S.L{s * (i + 1)}" for i in range(Q)]
    return names + ([] if case["concentrate_scale"] else ["sigma2"])


def _reflections(coefficients):
    """The partial autocorrelations of an AR polynomial 1 − c1·z − c2·z² − …, by the
    Durbin-Levinson recursion run backwards; the roots lie outside the unit circle exactly
    when all of them are below 1 in size, and near the circle this stays precise where
    polynomial roots do not."""
    phi, out = np.asarray(coefficients, dtype=float), []
    while phi.size:
        r = phi[-1]
        out.append(r)
        if abs(r) >= 1.0:
            break
        phi = (phi[:-1] + r * phi[:-1][::-1]) / (1.0 - r * r)
    return np.abs(out)


def _invertible(theta):
    """1 + θ1·z + θ2·z² + … without roots inside the unit circle. The likelihood is
    continuous onto the circle, where fits of over-differenced series end, and a reflection
    of exactly 1 stops the recursion: there the roots decide, to their precision near
    repeated roots."""
    if np.all(_reflections(-theta) < 1.0):
        return True
    return bool(np.min(np.abs(np.roots(np.r_[theta[::-1], 1.0]))) > 1.0 - 1e-6)


def is_valid(case, params):
    """A point the model's flags allow: stationary AR parts (strictly: the stationary start
    needs it), invertible MA parts (up to rounding: the transforms reach |θ| = 1), σ² > 0."""
    params = np.asarray(params, dtype=float)
    if params.size != cases_module.k_params(case) or not np.all(np.isfinite(params)):
        return False
    p, _, q = case["order"]
    P, _, Q, _ = case["seasonal"]
    i = cases_module.TREND_TERMS[case["trend"]] + cases_module.k_exog(case)
    ar, ma = params[i:i + p], params[i + p:i + p + q]
    sar, sma = params[i + p + q:i + p + q + P], params[i + p + q + P:i + p + q + P + Q]
    if case["enforce_stationarity"] and any(np.any(_reflections(c) >= 1.0) for c in (ar, sar)):
        return False
    if case["enforce_invertibility"] and not all(_invertible(c) for c in (ma, sma)):
        return False
    return bool(case["concentrate_scale"] or params[-1] > 0.0)


def evaluate(case, y, exog, params):
    """peltaro's log-likelihood at a point (None where it cannot be evaluated)."""
    try:
        value = peltaro.sarimax_loglike(y, case["order"], case["seasonal"],
                                        np.ascontiguousarray(params, dtype=float), exog=exog,
                                        **model_kwargs(case))
    except (ValueError, RuntimeError):
        return None
    return value if np.isfinite(value) else None


def point(case, y, exog, params, **extra):
    params = [float(v) for v in params]
    return dict(params=params, loglike=evaluate(case, y, exog, params),
                valid=is_valid(case, params), **extra)


def run_peltaro(case, y, exog, method, start_params=None):
    kwargs = model_kwargs(case)
    if start_params is not None:
        kwargs["start_params"] = np.ascontiguousarray(start_params, dtype=float)
    t0 = time.perf_counter()
    try:
        fit = peltaro.sarimax_fit(y, case["order"], case["seasonal"], exog=exog, method=method,
                                  **kwargs)
    except Exception as exc:  # a raising method is a result, not the end of the run
        return dict(error=f"{type(exc).__name__}: {exc}", time=time.perf_counter() - t0)
    seconds = time.perf_counter() - t0
    return point(case, y, exog, fit["params"], reported=fit["loglike"],
                 converged=bool(fit["converged"]), label=fit["method"], n_iter=fit["n_iter"],
                 time=seconds)


def statsmodels_model(case, y, exog):
    from statsmodels.tsa.statespace.sarimax import SARIMAX
    return SARIMAX(y, exog=exog, order=case["order"], seasonal_order=case["seasonal"],
                   trend_offset=0, **model_kwargs(case))


def statsmodels_point(case, y, exog, model, result, names, **extra):
    """A statsmodels result in peltaro's parameter order, with the two log-likelihoods."""
    order = [list(model.param_names).index(name) for name in names]
    params = np.asarray(result.params, dtype=float)[order]
    found = point(case, y, exog, params, llf=float(result.llf),
                  converged=bool(result.mle_retvals.get("converged", False)), **extra)
    # statsmodels' filter may switch to its steady-state shortcut; the exact value checks the
    # model mapping.
    tolerance, model.ssm.tolerance = model.ssm.tolerance, 0.0
    found["llf_exact"] = float(model.loglike(np.asarray(result.params)))
    model.ssm.tolerance = tolerance
    return found


CLIMB = (("lbfgs", dict(maxiter=1000, pgtol=1e-9, factr=10.0)),
         ("bfgs", dict(maxiter=300, gtol=1e-8)),
         ("nm", dict(maxiter=4000, xtol=1e-9, ftol=1e-12)),
         ("bfgs", dict(maxiter=300, gtol=1e-8)))


def statsmodels_climb(case, y, exog, model, names, start):
    """statsmodels from a point in peltaro's order: L-BFGS with a tight tolerance, BFGS,
    Nelder-Mead (which crosses ridges the gradient methods stall on), BFGS again; each
    stage starts from the best point so far, and a stage that raises (statsmodels' own
    stationary start can fail near the boundary) leaves the others standing."""
    if start is None or not is_valid(case, start):
        return dict(error="no valid start point")
    t0 = time.perf_counter()
    params = np.empty(len(names))
    params[[list(model.param_names).index(name) for name in names]] = start
    best, failures = None, []
    for method, options in CLIMB:
        try:
            result = model.fit(start_params=params, method=method, disp=False, **options)
        except Exception as exc:
            failures.append(f"{method}: {type(exc).__name__}: {exc}")
            continue
        if np.isfinite(result.llf) and (best is None or result.llf >= best.llf):
            best, params = result, result.params
    seconds = time.perf_counter() - t0
    if best is None:
        return dict(error="; ".join(failures) or "no finite log-likelihood", time=seconds)
    return statsmodels_point(case, y, exog, model, best, names, time=seconds,
                             stage_errors=failures)


def best_peltaro_point(found):
    points = [r for r in found.values() if r.get("valid") and r.get("loglike") is not None]
    return max(points, key=lambda r: r["loglike"])["params"] if points else None


def run_case(case):
    # statsmodels' import sets its own warning filters: silence everything after it.
    import statsmodels.tsa.statespace.sarimax  # noqa: F401
    warnings.simplefilter("ignore")
    y, exog = cases_module.case_data(case)
    found = {method: run_peltaro(case, y, exog, method) for method in METHODS}
    default_params = found[DEFAULT].get("params")
    found[POLISH] = run_peltaro(case, y, exog, "bfgs", default_params) if default_params \
        else dict(error="no default fit")
    names = param_names(case)
    try:
        model = statsmodels_model(case, y, exog)
        assert sorted(model.param_names) == sorted(names), (model.param_names, names)
        t0 = time.perf_counter()
        result = model.fit(disp=False)
        seconds = time.perf_counter() - t0
        found[SM_DEFAULT] = statsmodels_point(case, y, exog, model, result, names, time=seconds)
        found[SM_TIGHT] = statsmodels_climb(case, y, exog, model, names,
                                            found[SM_DEFAULT]["params"])
        found[SM_FROM_OURS] = statsmodels_climb(case, y, exog, model, names, default_params)
        best = best_peltaro_point({k: found[k] for k in METHODS + [POLISH]})
        found[SM_FROM_BEST] = dict(found[SM_FROM_OURS]) if best == default_params else \
            statsmodels_climb(case, y, exog, model, names, best)
    except Exception as exc:
        for key in SM_KEYS:
            found.setdefault(key, dict(error=f"{type(exc).__name__}: {exc}"))
    return dict(case, n=int(y.size), results=found)


def _quiet_stdout():
    """Send the workers' standard output to standard error, so that whatever native code
    prints there stays out of the summary."""
    sys.stdout.flush()
    os.dup2(2, 1)


def _pool(jobs):
    return ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context("spawn"),
                               initializer=_quiet_stdout)


def _run_isolated(case):
    """One case in a process of its own, so that a crash is charged to it alone."""
    try:
        with _pool(1) as pool:
            return pool.submit(run_case, case).result()
    except BrokenProcessPool:
        return dict(case, n=None, crashed=True,
                    results={key: dict(error="worker crashed") for key in METHODS + [POLISH] + SM_KEYS})


def run_all(cases, jobs):
    """Every case on a spawned process pool, the costliest first; cases caught in a crashed
    pool run again, each in its own process."""
    cost = {c["id"]: _cost(c) for c in cases}
    ordered = sorted(cases, key=lambda c: -cost[c["id"]])
    done, again, t0 = {}, [], time.perf_counter()
    with _pool(jobs) as pool:
        futures = {pool.submit(run_case, c): c for c in ordered}
        for count, future in enumerate(as_completed(futures), 1):
            try:
                result = future.result()
                done[result["id"]] = result
            except BrokenProcessPool:
                again.append(futures[future])
            if count % 50 == 0:
                print(f"  {count}/{len(cases)} cases, {time.perf_counter() - t0:.0f} s",
                      file=sys.stderr, flush=True)
    with ThreadPoolExecutor(jobs) as threads:
        for result in threads.map(_run_isolated, again):
            done[result["id"]] = result
    return [done[c["id"]] for c in cases]


def _cost(case):
    """A rough cost of the peer's fits, to start the slow cases first."""
    return cases_module.k_states(case) ** 2 * cases_module.k_params(case)


# ---------------------------------------------------------------- best known maxima
def rescale(record, params, factor):
    """A point of the same model for the series times factor: trend and regression
    coefficients times factor, σ² times its square."""
    params = np.array(params, dtype=float)
    params[:cases_module.TREND_TERMS[record["trend"]] + cases_module.k_exog(record)] *= factor
    if not record["concentrate_scale"]:
        params[-1] *= factor * factor
    return params


def best_known(record, own_only=False):
    """The largest valid log-likelihood among a case's points, and which point it is."""
    values = [(r["loglike"], key) for key, r in record["results"].items()
              if not (own_only and key.startswith(RESCALED)) and r.get("valid")
              and r.get("loglike") is not None]
    return max(values) if values else (None, None)


def share_family_points(records):
    """Give every member of a family (a base case and its scaled copies) the best point of
    each other member, rescaled to it, as one more candidate."""
    families = {}
    for r in records:
        families.setdefault(r["id"] if r["base"] is None else r["base"], []).append(r)
    for members in families.values():
        bests = []
        for r in members:
            _, key = (None, None) if r.get("crashed") else best_known(r)
            if key is not None:
                bests.append((r, r["results"][key]["params"]))
        for r in members:
            if r.get("crashed"):
                continue
            y, exog = cases_module.case_data(r)
            for other, params in bests:
                if other is not r:
                    r["results"][f"{RESCALED} y*{other['scale']:g}"] = point(
                        r, y, exog, rescale(r, params, r["scale"] / other["scale"]))


def score(records):
    """Best known maximum of every case, and each point's gap below it."""
    share_family_points(records)
    for record in records:
        best, source = best_known(record)
        record["best"], record["best_source"] = best, source
        for r in record["results"].values():
            if best is not None and r.get("loglike") is not None:
                r["gap"] = best - r["loglike"]


# ---------------------------------------------------------------- report
def method_row(records, key):
    """One method's counts over some cases; None where a share or time has no cases."""
    results = [r["results"][key] for r in records]
    ran = [r for r in results if "gap" in r]
    failed = [r for r in ran if r["gap"] > GAP]
    times = [r["time"] for r in results if "time" in r]
    errors = sum("error" in r for r in results)
    return dict(method=key, cases=len(results), errors=errors,
                no_value=len(results) - errors - len(ran),
                invalid=sum(not r["valid"] for r in ran), below=len(failed),
                below_share=len(failed) / len(ran) if ran else None,
                below_converged_share=(sum(bool(r.get("converged")) for r in failed) / len(failed)
                                       if failed else None),
                worst_gap=max((r["gap"] for r in ran), default=None),
                median_ms=1e3 * float(np.median(times)) if times else None,
                p90_ms=1e3 * float(np.percentile(times, 90)) if times else None)


def print_method_table(rows):
    def cell(value, spec, width):
        return f"{'-' if value is None else format(value, spec):>{width}}"
    print(f"{'method':<22}{'cases':>6}{'errors':>7}{'no value':>9}{'invalid':>8}"
          f"{'below':>7}{'share':>8}{'conv.':>7}{'worst gap':>11}{'median ms':>11}{'p90 ms':>9}")
    for row in rows:
        print(f"{row['method']:<22}{row['cases']:>6}{row['errors']:>7}{row['no_value']:>9}"
              f"{row['invalid']:>8}{row['below']:>7}{cell(row['below_share'], '.1%', 8)}"
              f"{cell(row['below_converged_share'], '.0%', 7)}{cell(row['worst_gap'], '.3g', 11)}"
              f"{cell(row['median_ms'], '.1f', 11)}{cell(row['p90_ms'], '.1f', 9)}")


def print_default_report(records):
    failing = [r for r in records if r["results"][DEFAULT].get("gap", 0.0) > GAP
               and r["results"][DEFAULT].get("converged")]
    print(f"\nDefault method ({DEFAULT}): {len(failing)} cases more than {GAP:g} below the best "
          "known maximum while reporting converged")
    for r in sorted(failing, key=lambda r: -r["results"][DEFAULT]["gap"]):
        res = r["results"][DEFAULT]
        print(f"  #{r['id']:<4} {r['name']:<72} gap {res['gap']:10.4g}  {res['label']}"
              f"  (best: {r['best_source']})")
    gains = []
    for r in records:
        start, polished = r["results"][DEFAULT].get("loglike"), r["results"][POLISH].get("loglike")
        if start is not None and polished is not None:
            gains.append((polished - start, r))
    gained = [(g, r) for g, r in gains if g > GAP]
    print(f"\nBFGS from the default method's end point gains more than {GAP:g} in "
          f"{len(gained)} of {len(gains)} cases")
    for g, r in sorted(gained, key=lambda item: -item[0]):
        res = r["results"][DEFAULT]
        print(f"  #{r['id']:<4} {r['name']:<72} gain {g:10.4g}  {res['label']}"
              f"  converged={res['converged']}")
    classify_failures(failing, gained)
    return failing, gained


def classify_failures(failing, gained):
    """Where the default method's converged failures end: on a slope that BFGS climbs
    further, or at another local maximum (BFGS gains nothing from there); and how they
    spread over the number of ARMA coefficients, where multi-modal likelihoods live.
    Scaled copies of a case that fails unscaled too are counted apart: they are the
    same failure in other units."""
    climbed = {r["id"] for _, r in gained}
    failing_ids = {r["id"] for r in failing}
    copies = [r for r in failing if r["base"] is not None and r["base"] in failing_ids]
    rest = [r for r in failing if r not in copies]
    short = sum(r["id"] in climbed for r in rest)
    print(f"  of these, {len(copies)} scaled copies of a case that fails unscaled too;"
          f" of the other {len(rest)}, {short} stopped on a slope BFGS climbs further and"
          f" {len(rest) - short} sit at another local maximum")
    # A maximum that none of peltaro's methods reaches on the case itself was found only by a
    # peer's climb or from another member of the family's end point.
    reached = [r for r in failing
               if any(r["results"][m].get("gap", float("inf")) <= GAP for m in METHODS)]
    print(f"  {len(reached)} of the {len(failing)} at a maximum another of peltaro's methods"
          f" reaches on the case itself; the other {len(failing) - len(reached)} at one found"
          " only by a peer's climb or from another member of the family")
    arma = collections.Counter(cases_module.k_arma(r) for r in rest)
    print("  by number of ARMA coefficients: "
          + ", ".join(f"{k}: {arma[k]}" for k in sorted(arma)))


def agreement(records):
    """peltaro's log-likelihood against statsmodels' at statsmodels' valid points, with
    statsmodels' filter run exactly (its steady-state shortcut off) and as it reported."""
    rows = [dict(id=r["id"], name=r["name"], point=key, scaled=r["base"] is not None,
                 exact=res["loglike"] - res["llf_exact"], reported=res["loglike"] - res["llf"])
            for r in records for key in SM_KEYS for res in [r["results"][key]]
            if res.get("valid") and res.get("loglike") is not None]
    print(f"\npeltaro.sarimax_loglike minus statsmodels' log-likelihood at statsmodels' valid"
          f" points (|difference| > {AGREE:g}):")
    for scaled in (False, True):
        group = [row for row in rows if row["scaled"] == scaled]
        for what in ("exact", "reported"):
            over = [row for row in group if abs(row[what]) > AGREE]
            print(f"  {'scaled copies' if scaled else 'unscaled cases'}, {what} filter:"
                  f" {len(over)} of {len(group)} points, largest"
                  f" {max((abs(row[what]) for row in group), default=0.0):.3g}")
    for row in sorted(rows, key=lambda row: -abs(row["exact"]))[:12]:
        if abs(row["exact"]) > AGREE:
            print(f"  #{row['id']:<4} {row['name']:<72} {row['point']:<15} {row['exact']:+.3g}")
    return rows


def scaling_consistency(records):
    """Scaled copies against their unscaled case shifted by −n·ln c: the log-likelihood at
    the unscaled case's best point carried over (the identity itself), and the best that the
    fits of the copy found on their own."""
    by_id = {r["id"]: r for r in records}
    rows = []
    for r in records:
        base = by_id[r["base"]] if r["base"] is not None else None
        if base is None or r.get("crashed") or base.get("crashed"):
            continue
        base_best, _ = best_known(base, own_only=True)
        own, _ = best_known(r, own_only=True)
        carried = r["results"].get(f"{RESCALED} y*1", {}).get("loglike")
        if base_best is None:
            continue
        shifted = base_best + cases_module.log_shift(r, r["n"])
        rows.append(dict(id=r["id"], name=r["name"], exact=cases_module.exact_scaling(r),
                         scale=r["scale"], carried=None if carried is None else carried - shifted,
                         own=None if own is None else own - shifted))
    print("\nScaled copies minus their unscaled case's best shifted by -n*ln(c): 'carried' at"
          " the unscaled best point rescaled, 'own' the copy's own best fit")
    for exact in (True, False):
        group = [row for row in rows if row["exact"] == exact]
        print(f"  {'no diffuse states (exact shift)' if exact else 'approximately diffuse states'}:"
              f" {len(group)} copies")
        for c in cases_module.SCALES:
            at = [row for row in group if row["scale"] == c]
            carried = [row["carried"] for row in at if row["carried"] is not None]
            own = [row["own"] for row in at if row["own"] is not None]
            if at:
                print(f"    c = {c:<6g}: carried |diff| max {max(map(abs, carried), default=0):.3g}"
                      f" ({sum(abs(d) > GAP for d in carried)} over {GAP:g}); own diff from"
                      f" {min(own, default=0):+.3g} to {max(own, default=0):+.3g}"
                      f" ({sum(abs(d) > GAP for d in own)} of {len(at)} over {GAP:g})")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="about a fifth of the cases")
    parser.add_argument("--jobs", type=int, default=os.cpu_count(), help="worker processes")
    parser.add_argument("--out", help="write per-case, per-method results to this JSON file")
    args = parser.parse_args()
    try:
        import statsmodels
    except ImportError:
        raise SystemExit("this benchmark needs statsmodels: pip install statsmodels")

    cases = cases_module.all_cases()
    if args.quick:
        cases = cases_module.quick_subset(cases)
    print(f"peltaro {peltaro.version()}, statsmodels {statsmodels.__version__}: {len(cases)} cases"
          f" ({sum(c['base'] is None for c in cases)} base, "
          f"{sum(c['base'] is not None for c in cases)} scaled copies) on {args.jobs} processes")
    t0 = time.perf_counter()
    records = run_all(cases, args.jobs)
    seconds = time.perf_counter() - t0
    score(records)
    crashed = [r for r in records if r.get("crashed")]
    no_best = [r for r in records if r["best"] is None and not r.get("crashed")]
    print(f"\n{len(records)} cases in {seconds:.0f} s; {len(crashed)} crashed a worker; "
          f"{len(no_best)} without any valid point")
    for r in crashed:
        print(f"  crashed: #{r['id']} {r['name']}")

    print(f"\nPer method: 'below' = cases more than {GAP:g} under the best known maximum "
          "(share: of the cases with a value), 'conv.' = share of those reported converged; "
          "'invalid' = end points outside the flags' region; 'no value' = sarimax_loglike "
          "cannot evaluate the end point.")
    tables = {}
    for title, subset in (("all cases", records),
                          ("unscaled cases", [r for r in records if r["base"] is None]),
                          ("scaled copies", [r for r in records if r["base"] is not None])):
        print(f"\n{title} ({len(subset)})")
        tables[title] = [method_row(subset, key) for key in METHODS + [POLISH] + SM_KEYS]
        print_method_table(tables[title])
    failing, gained = print_default_report(records)
    agreed = agreement(records)
    scaled = scaling_consistency(records)
    sources = collections.Counter(r["best_source"] for r in records)
    print("\nWhere the best known maximum came from: "
          + ", ".join(f"{k} {v}" for k, v in sources.most_common()))

    if args.out:
        with open(args.out, "w") as handle:
            json.dump(dict(peltaro=peltaro.version(), statsmodels=statsmodels.__version__,
                           seconds=seconds, jobs=args.jobs, quick=args.quick, gap=GAP,
                           methods=tables, default_failing=[r["id"] for r in failing],
                           bfgs_gains=[dict(id=r["id"], gain=g) for g, r in gained],
                           disagreements=[row for row in agreed if abs(row["exact"]) > AGREE],
                           scaling=scaled, cases=records), handle, indent=1)


if __name__ == "__main__":
    main()
