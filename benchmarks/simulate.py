"""Simulated series shared by the benchmark scripts."""
import numpy as np


def airline(e, theta=-0.4, big_theta=-0.6):
    """The airline process (1 − L)(1 − L¹²) y = (1 + θL)(1 + ΘL¹²) e started at
    zero, driven by the shocks e; returns len(e) − 13 points."""
    w = e[13:] + theta * e[12:-1] + big_theta * e[1:-12] + theta * big_theta * e[:-13]
    y = np.zeros(e.size)
    for t in range(13, y.size):
        y[t] = y[t - 1] + y[t - 12] - y[t - 13] + w[t - 13]
    return y[13:]


def sarima(e, ar, ma, d, D, s):
    """A SARIMA series started at zero, driven by the shocks e: ar and ma are the reduced lag
    polynomials (1, −φ1, … and 1, θ1, …, seasonal factors multiplied in), d and D the orders of
    the simple and seasonal differences of period s; returns len(e) points."""
    lhs = np.asarray(ar, dtype=float)
    for _ in range(d):
        lhs = np.convolve(lhs, [1.0, -1.0])
    for _ in range(D):
        lhs = np.convolve(lhs, np.r_[1.0, np.zeros(s - 1), -1.0])
    ma = np.asarray(ma, dtype=float)
    y = np.zeros(e.size)
    for t in range(e.size):
        k, j = min(t, ma.size - 1), min(t, lhs.size - 1)
        y[t] = ma[: k + 1] @ e[t - k : t + 1][::-1] - lhs[1 : j + 1] @ y[t - j : t][::-1]
    return y
