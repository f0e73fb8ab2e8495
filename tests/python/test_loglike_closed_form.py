"""sarimax_loglike against closed forms that need no state-space machinery."""

import math

import numpy as np
import pytest

import peltaro

Y = np.array([0.3, -0.4, 1.1, 0.8, -0.2, 0.05, 0.6, -0.9])


def ar1_exact_loglike(y, phi, sigma2):
    """Stationary Gaussian AR(1): y0 ~ N(0, s2/(1-phi^2)), then e_t = y_t - phi*y_{t-1}."""
    n = len(y)
    e = y[1:] - phi * y[:-1]
    v0 = sigma2 / (1.0 - phi**2)
    return -0.5 * (n * math.log(2.0 * math.pi) + math.log(v0) + y[0] ** 2 / v0
                   + (n - 1) * math.log(sigma2) + np.sum(e**2) / sigma2)


def ar1_concentrated_loglike(y, phi):
    """The same likelihood maximised over sigma2 in closed form."""
    n = len(y)
    e = y[1:] - phi * y[:-1]
    ssr = y[0] ** 2 * (1.0 - phi**2) + np.sum(e**2)
    scale = ssr / n
    return (-0.5 * n * (math.log(2.0 * math.pi) + math.log(scale) + 1.0)
            - 0.5 * math.log(1.0 / (1.0 - phi**2)))


@pytest.mark.parametrize("phi, sigma2", [(0.5, 1.0), (-0.8, 0.3), (0.0, 2.0)])
def test_ar1_full_likelihood(phi, sigma2):
    value = peltaro.sarimax_loglike(Y, (1, 0, 0), (0, 0, 0, 0), np.array([phi, sigma2]))
    assert value == pytest.approx(ar1_exact_loglike(Y, phi, sigma2), rel=1e-12)


@pytest.mark.parametrize("phi", [0.5, -0.3])
def test_ar1_concentrated_likelihood(phi):
    value = peltaro.sarimax_loglike(Y, (1, 0, 0), (0, 0, 0, 0), np.array([phi]),
                                    concentrate_scale=True)
    assert value == pytest.approx(ar1_concentrated_loglike(Y, phi), rel=1e-12)


def test_white_noise_likelihood():
    sigma2 = 0.7
    expected = -0.5 * (len(Y) * math.log(2 * math.pi * sigma2) + np.sum(Y**2) / sigma2)
    value = peltaro.sarimax_loglike(Y, (0, 0, 0), (0, 0, 0, 0), np.array([sigma2]))
    assert value == pytest.approx(expected, rel=1e-12)


# Regression with AR errors: y_t = x_t'beta + u_t. The likelihood with the
# regressors equals the likelihood of y - X beta without them, which pins the
# column layout of the regressor matrix whatever its memory order.
X = np.column_stack([np.linspace(-1.0, 1.0, len(Y)), np.cos(np.arange(len(Y)))])
BETA = np.array([0.7, -1.3])


def regressor_layouts():
    yield "c-order", X.copy()
    yield "fortran-order", np.asfortranarray(X)
    yield "strided", np.repeat(np.repeat(X, 2, axis=0), 3, axis=1)[::2, ::3]
    yield "negative-strides", X[::-1, ::-1].copy()[::-1, ::-1]
    yield "transposed-view", np.ascontiguousarray(X.T).T
    buffer = np.frombuffer(bytearray(X.nbytes + 1), dtype=np.uint8)
    unaligned = buffer[1:].view(np.float64).reshape(X.shape)
    unaligned[...] = X
    yield "unaligned", unaligned


LAYOUTS = dict(regressor_layouts())


@pytest.mark.parametrize("label", list(LAYOUTS))
def test_regression_effect_uses_columns_in_order(label):
    exog = LAYOUTS[label]
    np.testing.assert_array_equal(exog, X)
    phi, sigma2 = 0.4, 0.9
    with_exog = peltaro.sarimax_loglike(Y, (1, 0, 0), (0, 0, 0, 0),
                                        np.array([*BETA, phi, sigma2]), exog=exog)
    expected = ar1_exact_loglike(Y - X @ BETA, phi, sigma2)
    assert with_exog == pytest.approx(expected, rel=1e-12)


def test_regressors_without_columns_change_nothing():
    params = np.array([0.5, 1.0])
    empty = np.empty((len(Y), 0))
    plain = peltaro.sarimax_loglike(Y, (1, 0, 0), (0, 0, 0, 0), params)
    assert peltaro.sarimax_loglike(Y, (1, 0, 0), (0, 0, 0, 0), params, exog=empty) == plain
