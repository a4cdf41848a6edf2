"""compare 1: every equation row's in-sample goodness is its form's
least-squares floor, checked with SciPy's own solver on the example coils and
on a coil set made here, and the recommendation follows its rule."""

import json
import math
import random

import numpy as np
import pytest
from scipy.optimize import least_squares

from quelmo.plots_baselines import formula
from support import EXAMPLES, run_program

MU0 = 1.256637061435916e-6
NAMES = ("r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3")
# The coefficients each form holds for the equation's free scales.
HELD = {"none": ("w0", "t2", "l1"), "wheeler": ("w0", "t0", "l0"), "sheet": ("w0", "t0", "l0"),
        "sheetrosa": ("w0", "t0", "l0")}


def make_coils(path, count, seed):
    """Coils like the example's: the current sheet with Rosa's correction
    and 0.5 % noise, over the same mix of shapes."""
    rnd = random.Random(seed)
    lines = []
    while len(lines) < count:
        a = math.exp(rnd.uniform(math.log(0.003), math.log(0.04)))
        gauge = rnd.randint(10, 30)
        wire = 0.0254 * 0.005 * 92 ** ((36 - gauge) / 39) / 2
        turns = int(math.exp(rnd.uniform(math.log(3), math.log(120))))
        pitch = 2 * wire * rnd.uniform(1.0, 4.6)
        length = turns * pitch
        if pitch > 0.3 * a or not 0.2 <= length / (2 * a) <= 7.6:
            continue
        value = formula("sheetrosa", a, wire, turns, length)
        if value is None:
            continue
        value *= 1 + 0.005 * rnd.gauss(0, 1)
        lines.append(f"{value:.6g},{a:.6g},{wire:.6g},{gauge},{turns},{length:.6g},c{len(lines) + 1:03d}")
    path.write_text("\n".join(lines) + "\n")


def compared(tmp_path, coils):
    """The result JSON of a compare run from the example's start set."""
    ranges = tmp_path / "ranges.txt"
    ranges.write_text((EXAMPLES / "ranges-check.txt").read_text() +
                      "compare 1\ncvrepeats 3\nresultjson out.json\ncheckpoint ck.txt\nresultfile out.txt\n")
    status, _, err = run_program(tmp_path, str(coils), str(ranges))
    assert status == 0, err
    return json.loads((tmp_path / "out.json").read_text())


def equation(c, a, n, length, w):
    radius = ((c[3] * a + c[2]) * a + c[1]) * a + c[0]
    turns = ((c[10] * n + c[9]) * n + c[8]) * n + c[7]
    lam = ((c[14] * length + c[13]) * length + c[12]) * length + c[11]
    wire = (c[6] * w + c[5]) * w + c[4]
    return MU0 * radius * turns / (lam * wire)


def floor(row, coils, starts):
    """The lowest RMS relative error SciPy's Levenberg-Marquardt reaches from
    `starts` for the row's form on the coils it can evaluate."""
    base = row["base"]
    data = []
    for coil in coils:
        factor = 1.0
        if base != "none":
            value = formula(base, coil["coil_radius_m"], coil["wire_radius_m"], coil["turns"], coil["length_m"])
            if value is None:
                continue
            factor = value / MU0
        data.append((coil["coil_radius_m"], coil["turns"], coil["length_m"], coil["wire_radius_m"],
                     coil["measured_H"] / factor))
    a = np.array(data)
    free = [k for k, name in enumerate(NAMES) if name not in HELD[base]]
    best = math.inf
    for start in starts:
        scale = np.maximum(np.abs(start[free]), 1e-12)

        def residuals(u, start=start, scale=scale):
            c = start.copy()
            c[free] = u * scale
            return (equation(c, a[:, 0], a[:, 1], a[:, 2], a[:, 3]) - a[:, 4]) / a[:, 4]

        fit = least_squares(residuals, start[free] / scale, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15,
                            max_nfev=20000)
        best = min(best, math.sqrt(np.mean(fit.fun ** 2)))
    return best, len(data)


def scattered_starts(base, count, rnd):
    """The form's own start (the base, or the ideal solenoid) and `count`
    scattered around it."""
    centre = np.zeros(15)
    if base == "none":
        centre[[2, 4, 9, 12]] = [math.pi, 1, 1, 1]
    else:
        centre[[0, 4, 7, 11]] = 1
    starts = [centre]
    for _ in range(count):
        spread = np.where(centre != 0, 0.05 * np.abs(centre), 1e-3)
        starts.append(centre + rnd.normal(0, 1, 15) * spread)
    return starts


@pytest.mark.parametrize("coil_set", ["example", "made"])
def test_every_equation_row_reaches_its_floor(tmp_path, coil_set):
    coils = EXAMPLES / "coils-example.txt"
    if coil_set == "made":
        coils = tmp_path / "coils.txt"
        make_coils(coils, 60, 20261208)
    result = compared(tmp_path, coils)
    rnd = np.random.default_rng(7)
    rows = [row for row in result["compare"]["candidates"] if row["kind"] == "equation"]
    assert [row["base"] for row in rows] == ["none", "wheeler", "sheet", "sheetrosa"]
    for row in rows:
        assert row["comparable"]
        own = np.array([row["coefficients"][name] for name in NAMES])
        starts = [own] + scattered_starts(row["base"], 6, rnd)
        reached, count = floor(row, result["coils"], starts)
        assert row["coils_evaluated"] == count
        assert row["goodness"] == pytest.approx(reached, rel=1e-6), row["name"]


def test_the_recommendation_follows_its_rule(tmp_path):
    coils = tmp_path / "coils.txt"
    make_coils(coils, 60, 4)
    compare = compared(tmp_path, coils)["compare"]
    rows = [row for row in compare["candidates"] if row["comparable"]]
    lowest = min(rows, key=lambda row: row["cv_rms_mean"])
    limit = lowest["cv_rms_mean"] + (lowest["cv_rms_spread"] or 0)
    within = [row for row in rows if row["cv_rms_mean"] <= limit]
    simplest = min(within, key=lambda row: (row["coefficients_fitted"], row["cv_rms_mean"]))
    assert compare["recommended"] == simplest["name"]
    assert compare["folds"] == 10 and compare["repeats"] == 3
    assert compare["reason"]
