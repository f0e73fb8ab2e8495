"""Argument matching, conversion and the shared checks of sarimax_loglike.

Every message is compared in full: these texts are part of the interface.
"""

import math

import numpy as np
import pytest

import peltaro

N = 50
Y = np.random.default_rng(7).standard_normal(N).cumsum() * 0.1
AR1 = np.array([0.5, 1.0])  # phi, sigma2


def loglike(*args, **kwargs):
    return peltaro.sarimax_loglike(*args, **kwargs)


def base(**overrides):
    """Keyword arguments of a valid AR(1) call, with some replaced."""
    kwargs = {"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1}
    kwargs.update(overrides)
    return kwargs


def raises_exactly(exc_type, message, **overrides):
    with pytest.raises(exc_type) as info:
        loglike(**base(**overrides))
    assert type(info.value) is exc_type
    assert str(info.value) == message


# --- argument matching -------------------------------------------------------


def test_positional_and_keyword_calls_agree():
    positional = loglike(Y, (1, 0, 0), (0, 0, 0, 0), AR1, None, False, True, True, None, False)
    assert loglike(**base()) == positional
    assert loglike(Y, (1, 0, 0), seasonal=(0, 0, 0, 0), params=AR1) == positional


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((Y, (1, 0, 0), (0, 0, 0, 0)), {},
         "sarimax_loglike() missing 1 required positional argument: 'params'"),
        ((Y,), {},
         "sarimax_loglike() missing 3 required positional arguments: "
         "'order', 'seasonal', and 'params'"),
        ((Y, (1, 0, 0)), {"params": AR1},
         "sarimax_loglike() missing 1 required positional argument: 'seasonal'"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1, None, False, True, True, None, False, 1), {},
         "sarimax_loglike() takes from 4 to 10 positional arguments but 11 were given"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1), {"foo": 1},
         "sarimax_loglike() got an unexpected keyword argument 'foo'"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1), {"y": Y},
         "sarimax_loglike() got multiple values for argument 'y'"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1, None), {"exog": None},
         "sarimax_loglike() got multiple values for argument 'exog'"),
    ],
)
def test_argument_matching_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        loglike(*args, **kwargs)
    assert str(info.value) == message


# --- array conversion --------------------------------------------------------


@pytest.mark.parametrize(
    "name, value, reason",
    [
        ("y", list(Y), "'list' object cannot be converted to 'numpy.ndarray'"),
        ("y", Y.astype(np.float32), "type mismatch: from=float32, to=float64"),
        ("y", Y.astype(np.int64), "type mismatch: from=int64, to=float64"),
        ("y", Y.astype(">f8"), "type mismatch: from=>f8, to=float64"),
        ("y", Y.reshape(5, 10), "dimensionality mismatch: from=2, to=1"),
        ("y", np.array(1.0), "dimensionality mismatch: from=0, to=1"),
        ("y", np.float64(1.0), "'numpy.float64' object cannot be converted to 'numpy.ndarray'"),
        ("params", [0.5, 1.0], "'list' object cannot be converted to 'numpy.ndarray'"),
        ("params", None, "'NoneType' object cannot be converted to 'numpy.ndarray'"),
        ("exog", np.ones(N), "dimensionality mismatch: from=1, to=2"),
        ("exog", np.ones((N, 1), dtype=np.float32), "type mismatch: from=float32, to=float64"),
        ("exog", [[1.0]] * N, "'list' object cannot be converted to 'numpy.ndarray'"),
    ],
)
def test_wrong_array_kind_names_the_argument(name, value, reason):
    raises_exactly(TypeError, f"argument '{name}': {reason}", **{name: value})


CONTIGUITY = "The given array is not contiguous or is misaligned."


def misaligned(values):
    buffer = bytearray(8 * len(values) + 1)
    array = np.frombuffer(buffer, dtype=np.float64, offset=1, count=len(values))
    assert not array.flags.aligned
    return array


@pytest.mark.parametrize(
    "name, value",
    [
        ("y", np.repeat(Y, 2)[::2]),
        ("y", Y[::-1]),
        ("params", np.array([0.5, 0.0, 1.0])[::2]),
    ],
)
def test_non_contiguous_arrays_are_rejected_without_prefix(name, value):
    raises_exactly(TypeError, CONTIGUITY, **{name: value})


def test_misaligned_array_is_rejected():
    y = misaligned(Y)
    if y.flags.aligned:  # pragma: no cover - platform without alignment rules
        pytest.skip("platform reports every float64 buffer as aligned")
    raises_exactly(TypeError, CONTIGUITY, y=y)


def test_empty_series_passes_conversion():
    # Reaches the filter, which rejects it by its own rule.
    raises_exactly(
        ValueError,
        "data error: Not enough observations: n=0 <= burn=0",
        y=np.array([], dtype=np.float64),
        order=(0, 0, 0),
        params=np.array([1.0]),
    )


def test_empty_strided_view_counts_as_empty():
    raises_exactly(
        ValueError,
        "data error: Not enough observations: n=0 <= burn=0",
        y=np.zeros(4)[::2][:0],
        order=(0, 0, 0),
        params=np.array([1.0]),
    )


def test_conversion_precedes_slicing():
    # A bad trend kind (later in the signature) is reported before the
    # contiguity of y, which is only looked at once all arguments converted.
    raises_exactly(
        TypeError,
        "argument 'trend': 'int' object cannot be converted to 'str'",
        y=Y[::2],
        trend=3,
    )


def test_params_contiguity_checked_before_series_values():
    y = Y.copy()
    y[4] = np.nan
    raises_exactly(TypeError, CONTIGUITY, y=y, params=np.array([0.5, 0.0, 1.0])[::2])


def test_first_bad_argument_in_signature_order_wins():
    raises_exactly(
        TypeError,
        "argument 'y': 'list' object cannot be converted to 'numpy.ndarray'",
        y=[1.0],
        order=[1, 0, 0],
        params=[1.0],
    )
    raises_exactly(
        TypeError,
        "argument 'order': 'list' object cannot be converted to 'tuple'",
        order=[1, 0, 0],
        params=[1.0],
    )


# --- order tuples ------------------------------------------------------------


@pytest.mark.parametrize(
    "overrides, exc_type, message",
    [
        ({"order": [1, 0, 0]}, TypeError,
         "argument 'order': 'list' object cannot be converted to 'tuple'"),
        ({"seasonal": [0, 0, 0, 0]}, TypeError,
         "argument 'seasonal': 'list' object cannot be converted to 'tuple'"),
        ({"order": (1, 0)}, ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ({"order": (1, 0, 0, 0)}, ValueError,
         "expected tuple of length 3, but got tuple of length 4"),
        ({"seasonal": (0, 0, 0)}, ValueError,
         "expected tuple of length 4, but got tuple of length 3"),
        ({"order": (1.0, 0, 0)}, TypeError,
         "argument 'order': 'float' object cannot be interpreted as an integer"),
        ({"seasonal": (0, 0, "1", 0)}, TypeError,
         "argument 'seasonal': 'str' object cannot be interpreted as an integer"),
        ({"order": (-1, 0, 0)}, OverflowError, "can't convert negative int to unsigned"),
        ({"seasonal": (0, 0, 0, -12)}, OverflowError, "can't convert negative int to unsigned"),
        ({"order": (2**64, 0, 0)}, OverflowError, "int too big to convert"),
        ({"seasonal": (0, 0, 0, 2**100)}, OverflowError, "int too big to convert"),
    ],
)
def test_order_conversion_errors(overrides, exc_type, message):
    raises_exactly(exc_type, message, **overrides)


def test_largest_u64_converts_and_meets_the_order_limit():
    raises_exactly(ValueError, f"AR order p={2**64 - 1} exceeds maximum 20", order=(2**64 - 1, 0, 0))


def test_integer_like_order_elements_are_accepted():
    expected = loglike(**base())
    assert loglike(**base(order=(np.int64(1), np.uint8(0), False))) == expected


# --- flags -------------------------------------------------------------------

FLAGS = ["concentrate_scale", "enforce_stationarity", "enforce_invertibility",
         "simple_differencing"]


@pytest.mark.parametrize("flag", FLAGS)
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (np.array(True), "numpy.ndarray"),
     (1.0, "float")],
)
def test_flags_accept_only_booleans(flag, value, type_name):
    raises_exactly(
        TypeError,
        f"argument '{flag}': '{type_name}' object cannot be converted to 'bool'",
        **{flag: value},
    )


@pytest.mark.parametrize("flag", FLAGS)
@pytest.mark.parametrize("value", [True, False])
def test_numpy_bool_flags_match_python_bools(flag, value):
    params = AR1[:1] if flag == "concentrate_scale" and value else AR1
    expected = loglike(**base(params=params, **{flag: value}))
    assert loglike(**base(params=params, **{flag: np.bool_(value)})) == expected


def test_flags_change_the_model():
    y = Y
    full = loglike(**base())
    concentrated = loglike(**base(params=AR1[:1], concentrate_scale=True))
    assert math.isfinite(full) and math.isfinite(concentrated) and full != concentrated
    differenced = loglike(**base(y=y, order=(1, 1, 0), simple_differencing=True))
    state_differenced = loglike(**base(y=y, order=(1, 1, 0)))
    assert differenced != state_differenced


# --- trend -------------------------------------------------------------------


def test_trend_ct_and_tc_are_the_same_model():
    params = np.array([0.02, 0.001, 0.5, 1.0])
    ct = loglike(**base(trend="ct", params=params))
    assert loglike(**base(trend="tc", params=params)) == ct
    # Each code takes its own number of trend coefficients.
    assert loglike(**base(trend="c", params=params[[0, 2, 3]])) != ct
    assert loglike(**base(trend="t", params=params[[1, 2, 3]])) != ct


def test_trend_n_is_no_trend():
    assert loglike(**base(trend="n")) == loglike(**base(trend=None)) == loglike(**base())


@pytest.mark.parametrize("trend", ["CT", "", "C", "ctc", "c ", "x"])
def test_unknown_trend(trend):
    raises_exactly(
        ValueError, f"unknown trend '{trend}', expected one of: 'n', 'c', 't', 'ct'", trend=trend
    )


def test_trend_must_be_text():
    raises_exactly(
        TypeError, "argument 'trend': 'bytes' object cannot be converted to 'str'", trend=b"c"
    )


# --- model limits ------------------------------------------------------------

SEASONAL_PERIOD = "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"


@pytest.mark.parametrize(
    "order, seasonal, n_exog, message",
    [
        # each limit alone
        ((21, 0, 0), (0, 0, 0, 0), 0, "AR order p=21 exceeds maximum 20"),
        ((0, 0, 21), (0, 0, 0, 0), 0, "MA order q=21 exceeds maximum 20"),
        ((0, 4, 0), (0, 0, 0, 0), 0, "differencing order d=4 exceeds maximum 3"),
        ((0, 0, 0), (5, 0, 0, 12), 0, "seasonal AR order P=5 exceeds maximum 4"),
        ((0, 0, 0), (0, 0, 5, 12), 0, "seasonal MA order Q=5 exceeds maximum 4"),
        ((0, 0, 0), (0, 3, 0, 12), 0, "seasonal differencing D=3 exceeds maximum 2"),
        ((0, 0, 0), (0, 0, 0, 366), 0, "seasonal period s=366 exceeds maximum 365"),
        ((0, 0, 0), (0, 0, 0, 0), 101, "n_exog=101 exceeds maximum 100"),
        ((1, 0, 0), (0, 0, 1, 1), 0, SEASONAL_PERIOD),
        ((0, 0, 0), (1, 0, 0, 0), 0, SEASONAL_PERIOD),
        ((0, 0, 0), (0, 1, 0, 1), 0, SEASONAL_PERIOD),
        ((20, 3, 20), (4, 2, 4, 365), 0, "model too large: k_states=2214 exceeds limit 1024"),
        ((0, 1, 0), (0, 2, 1, 341), 0, "model too large: k_states=1025 exceeds limit 1024"),
        # precedence: the earlier row of the table is reported
        ((21, 4, 21), (5, 3, 5, 366), 101, "AR order p=21 exceeds maximum 20"),
        ((0, 4, 21), (5, 3, 5, 366), 101, "MA order q=21 exceeds maximum 20"),
        ((0, 4, 0), (5, 3, 5, 366), 101, "differencing order d=4 exceeds maximum 3"),
        ((0, 0, 0), (5, 3, 5, 366), 101, "seasonal AR order P=5 exceeds maximum 4"),
        ((0, 0, 0), (0, 3, 5, 366), 101, "seasonal MA order Q=5 exceeds maximum 4"),
        ((0, 0, 0), (0, 3, 0, 366), 101, "seasonal differencing D=3 exceeds maximum 2"),
        ((0, 0, 0), (0, 0, 0, 366), 101, "seasonal period s=366 exceeds maximum 365"),
        ((0, 0, 0), (1, 0, 0, 1), 101, "n_exog=101 exceeds maximum 100"),
    ],
)
def test_order_limits(order, seasonal, n_exog, message):
    exog = np.ones((N, n_exog)) if n_exog else None
    raises_exactly(ValueError, message, order=order, seasonal=seasonal, exog=exog)


@pytest.mark.parametrize(
    "order, seasonal",
    [((0, 0, 0), (0, 0, 0, 0)), ((0, 0, 0), (0, 0, 0, 1)), ((1, 0, 0), (0, 0, 0, 365))],
)
def test_orders_within_limits_pass(order, seasonal):
    n_params = order[0] + order[2] + seasonal[0] + seasonal[2] + 1
    params = np.zeros(n_params)
    params[0] = 0.3 if order[0] else params[0]
    params[-1] = 1.0
    assert math.isfinite(loglike(**base(order=order, seasonal=seasonal, params=params)))


@pytest.mark.parametrize(
    "order, seasonal, simple_differencing",
    # D = 2 is within the limits (1024 states exactly in the second case);
    # the state-space builder then refuses it, even for differenced data.
    [((0, 0, 0), (0, 2, 0, 12), False), ((0, 0, 0), (0, 2, 1, 341), False),
     ((0, 0, 0), (0, 2, 0, 12), True)],
)
def test_seasonal_differencing_twice_reaches_the_model_builder(order, seasonal,
                                                               simple_differencing):
    params = np.ones(seasonal[2] + 1)
    params[:-1] = 0.0
    raises_exactly(
        ValueError,
        "state space construction failed: Seasonal differencing D > 1 is not yet supported",
        order=order,
        seasonal=seasonal,
        params=params,
        simple_differencing=simple_differencing,
    )


# --- series and regressor values ---------------------------------------------


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("position", [0, N // 2, N - 1])
def test_non_finite_series(bad, position):
    y = Y.copy()
    y[position] = bad
    raises_exactly(ValueError, "input time series contains NaN or Inf values", y=y)


def test_non_finite_regressor_reported_before_row_mismatch():
    exog = np.ones((N - 5, 2))
    exog[3, 1] = np.nan
    raises_exactly(
        ValueError,
        "exog contains NaN or Inf at column 1, row 3",
        exog=exog,
        params=np.array([0.1, 0.1, 0.5, 1.0]),
    )


def test_non_finite_regressor_scan_is_column_by_column():
    exog = np.ones((N, 3))
    exog[40, 0] = np.inf
    exog[2, 1] = np.nan
    exog[0, 2] = -np.inf
    raises_exactly(ValueError, "exog contains NaN or Inf at column 0, row 40", exog=exog)


def test_non_finite_series_reported_before_regressors():
    y = Y.copy()
    y[-1] = np.inf
    exog = np.full((N + 1, 1), np.nan)
    raises_exactly(ValueError, "input time series contains NaN or Inf values", y=y, exog=exog)


@pytest.mark.parametrize("rows, cols", [(N - 1, 1), (N + 1, 2), (N + 1, 0), (0, 1)])
def test_regressor_row_mismatch(rows, cols):
    raises_exactly(
        ValueError,
        f"exog has {rows} rows but endog has {N} observations; they must match",
        exog=np.ones((rows, cols)),
    )


def test_series_checks_precede_order_limits():
    y = Y.copy()
    y[0] = np.nan
    raises_exactly(ValueError, "input time series contains NaN or Inf values",
                   y=y, order=(21, 0, 0), trend="bad")


def test_order_limits_precede_trend():
    raises_exactly(ValueError, "AR order p=21 exceeds maximum 20", order=(21, 0, 0), trend="bad")


# --- parameter vector ---------------------------------------------------------


@pytest.mark.parametrize(
    "overrides, expected, got",
    [
        ({"params": AR1[:1]}, 2, 1),
        ({"params": np.array([0.5, 0.1, 1.0])}, 2, 3),
        ({"params": np.array([], dtype=np.float64)}, 2, 0),
        ({"params": AR1, "concentrate_scale": True}, 1, 2),
        # exog adds one coefficient per column
        ({"exog": np.ones((N, 1))}, 3, 2),
        ({"exog": np.ones((N, 3)), "params": np.ones(4)}, 5, 4),
        # trend coefficients come first: c and t take one, ct two
        ({"trend": "c"}, 3, 2),
        ({"trend": "ct"}, 4, 2),
        ({"order": (2, 1, 1), "seasonal": (1, 0, 1, 4)}, 6, 2),
    ],
)
def test_parameter_length_mismatch(overrides, expected, got):
    raises_exactly(
        ValueError, f"parameter length mismatch: expected {expected}, got {got}", **overrides
    )


@pytest.mark.parametrize(
    "sigma2, reason",
    [(-1.0, "positive, got -1"), (0.0, "positive, got 0"), (-0.0, "positive, got -0"),
     (-0.5, "positive, got -0.5"), (np.nan, "positive and finite, got NaN"),
     (np.inf, "positive and finite, got inf"), (-np.inf, "positive and finite, got -inf"),
     (-1e-20, "positive, got -0.00000000000000000001"),
     (-2.5e20, "positive, got -250000000000000000000")],
)
def test_invalid_variance(sigma2, reason):
    raises_exactly(
        ValueError,
        f"data error: variance sigma2 must be {reason}",
        params=np.array([0.5, sigma2]),
    )


def test_concentrated_scale_has_no_variance_parameter():
    # The last AR coefficient is not mistaken for a variance.
    value = loglike(**base(order=(2, 0, 0), params=np.array([0.3, -0.2]), concentrate_scale=True))
    assert math.isfinite(value)


@pytest.mark.parametrize(
    "order, enforce_stationarity, n, burn",
    [
        # diffuse start: every state is burnt
        ((0, 2, 0), False, 3, 3),
        ((1, 1, 1), False, 2, 3),
        # stationary block solved: only the differencing states are burnt
        ((1, 2, 0), True, 2, 2),
        ((0, 3, 0), True, 1, 3),
    ],
)
def test_too_short_series(order, enforce_stationarity, n, burn):
    n_params = order[0] + order[2] + 1
    params = np.full(n_params, 0.3)
    params[-1] = 1.0
    raises_exactly(
        ValueError,
        f"data error: Not enough observations: n={n} <= burn={burn}",
        y=Y[:n].copy(),
        order=order,
        params=params,
        enforce_stationarity=enforce_stationarity,
    )
