"""Write tests/data/multistart_reference.csv: the starting points of the
multi-start strategies' two generators, computed here in plain Python from
their definitions (integers for the 64-bit generator state, IEEE doubles for
the arithmetic, each product in the stated order).

Run from anywhere:  python3 tests/data/make_multistart_reference.py

Perturbed starts: state = 12345 once; for each start and each coordinate
state = state * 6364136223846793005 + 1442695040888963407 (mod 2**64),
u = (state >> 33) * 2**-31, scale = 0.5 * |x_i| if |x_i| > 0.1 else 0.1,
x_i += scale * (u - 0.5).

Scaled starts: shares s_i = max(|g_i| / max(max_j |g_j|, 1e-12), 0.1) and
widths w_i = max(0.6 * max(|x0_i|, |c_i|), 0.5), NaN operands skipped by every
maximum; u = (state >> 32) / 4294967295.0; a start is
x_i = c_i + ((a * s_i) * w_i) * (2u - 1) and the jitter after the starts is
x_i = x0_i + (w_i * 0.1) * (2u - 1). A failed gradient counts as all ones.

Line formats (lists comma-separated, numbers written with repr()):
  lcg;x0;count;start;start;...
  scaled;gradient (empty: failed);x0;centre;amplitude;seed;count;start;...;jitter
"""

import math
from pathlib import Path

OUT = Path(__file__).resolve().parent / "multistart_reference.csv"
MASK = (1 << 64) - 1


def step(state: int) -> int:
    return (state * 6364136223846793005 + 1442695040888963407) & MASK


def fmax(a: float, b: float) -> float:
    """The larger operand, a NaN operand giving way to the other."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return max(a, b)


def perturbed(x0, count):
    state, out = 12345, []
    for _ in range(count):
        x = list(x0)
        for i, xi in enumerate(x):
            state = step(state)
            u = (state >> 33) * 2.0**-31
            scale = 0.5 * abs(xi) if abs(xi) > 0.1 else 0.1
            x[i] = xi + scale * (u - 0.5)
        out.append(x)
    return out


def scaled(gradient, x0, centre, amplitude, seed, count):
    g = gradient if gradient is not None else [1.0] * len(x0)
    gmax = 0.0
    for gi in g:
        gmax = fmax(gmax, abs(gi))
    scale = fmax(gmax, 1e-12)
    shares = [fmax(abs(gi) / scale, 0.1) for gi in g]
    widths = [fmax(0.6 * fmax(abs(a), abs(c)), 0.5) for a, c in zip(x0, centre)]
    state, out = seed, []

    def unit():
        nonlocal state
        state = step(state)
        return (state >> 32) / 4294967295.0

    for _ in range(count):
        out.append([c + ((amplitude * s) * w) * (2.0 * unit() - 1.0)
                    for c, s, w in zip(centre, shares, widths)])
    out.append([a + (w * 0.1) * (2.0 * unit() - 1.0) for a, w in zip(x0, widths)])
    return out


def text(values) -> str:
    return ",".join(repr(float(v)) for v in values)


def main() -> None:
    lines = ["# Made by tests/data/make_multistart_reference.py; see the script for the line formats."]
    for x0, count in [([0.0, 2.0, -0.05, 0.3, -7.5], 4), ([0.1, -0.1000001], 3)]:
        lines.append(";".join([text(x0), str(count)] + [text(s) for s in perturbed(x0, count)]))
        lines[-1] = "lcg;" + lines[-1]
    cases = [
        ([0.37, -2.3, math.nan, 0.0, 1e-3, 1.13], [1.37, -1.07, 3.3, 0.0, 0.21, 0.93],
         [0.0, -1.53, 2.9, 0.01, -0.2, 0.0], 1.5, 0xA7F35B2E1290C84B, 3),
        (None, [0.4, -0.3, 1.2], [0.9, 0.0, -2.0], 1.0, 0x9E3779B97F4A7C15, 4),
        ([0.0, 0.0], [0.0, 0.0], [0.0, 0.0], 1.0, 1, 2),
    ]
    for g, x0, c, a, seed, count in cases:
        fields = ["" if g is None else text(g), text(x0), text(c), repr(a), str(seed), str(count)]
        lines.append(";".join(["scaled"] + fields + [text(s) for s in scaled(g, x0, c, a, seed, count)]))
    OUT.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
