"""Roots of random polynomials by numpy.roots, for the companion-matrix root
finder's tests.

Each line of polynomial_roots_reference.csv holds n, then c_0 … c_(n−1) of
z^n − c_0·z^(n−1) − … − c_(n−1), then the n roots as (real, imaginary) pairs.

Run: .venv/bin/python tests/data/make_roots_reference.py
"""
import pathlib

import numpy as np

rng = np.random.default_rng(20261207)
rows = []
for n in range(1, 21):
    for scale in (0.3, 1.0, 3.0):
        c = rng.normal(0.0, scale, n)
        roots = np.roots(np.concatenate(([1.0], -c)))
        row = [str(n)] + [repr(float(v)) for v in c]
        for r in roots:
            row += [repr(float(r.real)), repr(float(r.imag))]
        rows.append(",".join(row))
out = pathlib.Path(__file__).with_name("polynomial_roots_reference.csv")
out.write_text("\n".join(rows) + "\n")
print(f"wrote {len(rows)} polynomials to {out}")
