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
