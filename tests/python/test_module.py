"""Module surface: registration, signatures, documentation and import."""

import importlib.metadata
import importlib.util
import inspect
import pathlib
import re

import numpy as np
import pytest

import peltaro
from concurrency import assert_lock_released

REGISTERED = ["version", "sarimax_loglike", "sarimax_fit", "sarimax_forecast",
              "sarimax_rolling_forecast", "sarimax_residuals", "sarimax_batch_loglike",
              "sarimax_batch_fit", "sarimax_grid_search", "sarimax_batch_forecast",
              "sarimax_inference", "sarimax_diagnostics"]

LOGLIKE_SIGNATURE = (
    "(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "enforce_stationarity=True, enforce_invertibility=True, trend=None, "
    "simple_differencing=False)"
)

# Attributes the interpreter itself gives every extension module.
STANDARD_MODULE_ATTRIBUTES = {
    "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__",
}


def project_version():
    """The version's one source: the project() line of CMakeLists.txt."""
    text = (pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    return re.search(r"project\(peltaro VERSION (\S+)", text).group(1)


def test_version_is_the_project_version():
    assert peltaro.version() == project_version()


def test_installed_distribution_carries_the_project_version():
    # A module put on the path by hand (the sanitized build) has no metadata.
    try:
        installed = importlib.metadata.version("peltaro")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("peltaro is not installed as a distribution here")
    assert installed == project_version()


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_version_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"takes no (keyword )?arguments"):
        peltaro.version(*args, **kwargs)


def test_all_lists_registered_functions_in_order():
    assert peltaro.__all__ == REGISTERED


def test_namespace_holds_only_the_functions():
    public = {name for name in dir(peltaro) if not name.startswith("__")}
    assert public == set(REGISTERED)
    dunders = {name for name in dir(peltaro) if name.startswith("__")}
    assert dunders - STANDARD_MODULE_ATTRIBUTES == {"__all__"}


def test_module_doc():
    assert peltaro.__doc__ == "Python module definition."


def test_no_exception_type_is_exported():
    # The fault type is raised by the functions but never exported.
    assert "PanicException" not in dir(peltaro)
    for name in dir(peltaro):
        value = getattr(peltaro, name)
        assert not (isinstance(value, type) and issubclass(value, BaseException)), name


@pytest.mark.parametrize(
    "name, text_signature, doc",
    [
        ("version", "()", "Smoke-test function: returns the version string."),
        (
            "sarimax_loglike",
            LOGLIKE_SIGNATURE,
            "Compute the SARIMAX concentrated (or full) log-likelihood.",
        ),
        (
            "sarimax_fit",
            "(y, order, seasonal, start_params=None, exog=None, concentrate_scale=False, "
            "enforce_stationarity=True, enforce_invertibility=True, method=None, maxiter=None, "
            "trend=None, simple_differencing=False)",
            "Fit a SARIMAX model via MLE (L-BFGS-B default, with Nelder-Mead fallback).\n\n"
            "Returns a dict with: params, loglike, scale, aic, bic, n_obs, n_iter, converged, "
            "method.",
        ),
        (
            "sarimax_forecast",
            "(y, order, seasonal, params, steps=10, alpha=0.05, exog=None, future_exog=None, "
            "concentrate_scale=False, trend=None, simple_differencing=False, "
            "enforce_stationarity=True, enforce_invertibility=True)",
            "Compute h-step ahead forecast for a SARIMAX model.\n\n"
            "Returns a dict with: mean, variance, ci_lower, ci_upper.",
        ),
        (
            "sarimax_rolling_forecast",
            "(y, order, seasonal, params, start, step=1, horizon=1, alpha=0.05, exog=None, "
            "concentrate_scale=False, trend=None, simple_differencing=False, "
            "enforce_stationarity=True, enforce_invertibility=True)",
            "Single-pass rolling-origin h-step forecasts with fixed parameters.\n\n"
            "One Kalman filter pass over the full series; forecasts are propagated\n"
            "from the predicted-state snapshot at each origin `start, start+step, ...`.\n"
            "O(T + N*horizon) total. Returns a dict with: origins, mean, variance,\n"
            "ci_lower, ci_upper (row-per-origin nested lists).",
        ),
        (
            "sarimax_residuals",
            "(y, order, seasonal, params, exog=None, concentrate_scale=False, trend=None, "
            "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)",
            "Compute residuals and standardized residuals for a SARIMAX model.\n\n"
            "Returns a dict with: residuals, standardized_residuals, prediction_variances.",
        ),
        (
            "sarimax_batch_loglike",
            "(series_list, order, seasonal, params, exog_list=None, concentrate_scale=False, "
            "enforce_stationarity=False, enforce_invertibility=False, trend=None, "
            "simple_differencing=False)",
            "Compute log-likelihood for multiple time series in parallel (Rayon).\n\n"
            "All series share the same model config and parameters.\n"
            'Returns a list of dicts, each with "loglike" key or "error" key.',
        ),
        (
            "sarimax_batch_fit",
            "(series_list, order, seasonal, enforce_stationarity=True, "
            "enforce_invertibility=True, concentrate_scale=False, method=None, maxiter=None, "
            "exog_list=None, trend=None, simple_differencing=False)",
            "Fit SARIMAX models to multiple time series in parallel (Rayon).\n\n"
            "Returns a list of dicts (one per series), each with the same keys as sarimax_fit.\n"
            'Failed series return a dict with "error" key instead.',
        ),
        (
            "sarimax_grid_search",
            "(y, order_list, seasonal_list, enforce_stationarity=True, "
            "enforce_invertibility=True, concentrate_scale=False, method=None, maxiter=None, "
            "exog=None, trend=None, simple_differencing=False)",
            "Fit a single time series with multiple (order, seasonal_order) combinations\n"
            "in parallel using Rayon.\n\n"
            "Returns a list of dicts (one per combination), same structure as sarimax_fit.\n"
            'Failed combinations have an "error" key instead of fit results.',
        ),
        (
            "sarimax_batch_forecast",
            "(series_list, order, seasonal, params_list, steps=10, alpha=0.05, "
            "concentrate_scale=False, exog_list=None, exog_forecast_list=None, trend=None, "
            "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)",
            "Forecast multiple time series in parallel (Rayon).\n\n"
            "Each series uses its own parameter vector from params_list.\n"
            "Returns a list of dicts (one per series).",
        ),
        (
            "sarimax_inference",
            '(y, order, seasonal, params, method="hessian", alpha=0.05, exog=None, '
            "concentrate_scale=False, enforce_stationarity=True, enforce_invertibility=True, "
            "trend=None, simple_differencing=False)",
            "Compute inference statistics (standard errors, z, p-values, CI) for fitted "
            "parameters.\n\n"
            "Returns a dict with: method, std_err, z_stat, p_value, ci_lower, ci_upper,\n"
            "cov_params, n_params, status, message.",
        ),
        (
            "sarimax_diagnostics",
            "(y, order, seasonal, params, exog=None, concentrate_scale=False, trend=None, "
            "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)",
            "Compute residual diagnostic tests (Ljung-Box, Jarque-Bera, heteroskedasticity).\n\n"
            "Returns a dict with: ljung_box_stat, ljung_box_pvalue, ljung_box_df,\n"
            "jarque_bera_stat, jarque_bera_pvalue, het_stat, het_pvalue.",
        ),
    ],
)
def test_text_signature_and_doc(name, text_signature, doc):
    function = getattr(peltaro, name)
    assert function.__name__ == name
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc
    assert function.__module__ == "peltaro"


def test_loglike_parameters_are_positional_or_keyword_with_defaults():
    signature = inspect.signature(peltaro.sarimax_loglike)
    kinds = {p.kind for p in signature.parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    defaults = {
        name: p.default
        for name, p in signature.parameters.items()
        if p.default is not inspect.Parameter.empty
    }
    assert defaults == {
        "exog": None,
        "concentrate_scale": False,
        "enforce_stationarity": True,
        "enforce_invertibility": True,
        "trend": None,
        "simple_differencing": False,
    }


def test_each_load_builds_a_fresh_module():
    # Multi-phase initialisation: loading the extension again gives a new
    # module object with its own function objects, not the cached one.
    found = importlib.util.find_spec("peltaro")
    fresh = importlib.util.module_from_spec(found)
    found.loader.exec_module(fresh)
    assert fresh is not peltaro
    assert fresh.__all__ == REGISTERED
    assert fresh.version is not peltaro.version
    assert fresh.version() == peltaro.version()


def test_loglike_releases_the_interpreter_lock():
    # A long seasonal series keeps the filter busy for a while (about 0.1 s:
    # a million points had become too quick to observe).
    y = np.random.default_rng(1).standard_normal(3_000_000)
    params = np.array([0.3, 0.1, 0.2, 0.2, 0.1, 1.0])
    assert_lock_released(lambda: peltaro.sarimax_loglike(y, (2, 0, 1), (1, 0, 1, 52), params))
