"""Coil sets for the tests of predictions: made like the example coils, with
the current sheet with Rosa's correction as the truth and 0.5 % measurement
noise; least-squares fits of each form; and the ``prediction`` member of a
result JSON (the fold refits) made here the way the program's polish makes
them, for results whose program does not write it."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Mapping, Optional, Sequence

import numpy as np
import pandas as pd
from scipy.optimize import least_squares

import quelmo
from quelmo import _equation

# The start sets of the least-squares fits: the example coils' best set for
# the equation alone (examples/ranges-check.txt), the quoted best set of
# examples/ranges-sheet.txt for a correction, and every polynomial at 1.
_EQUATION_START = dict(zip(quelmo.COEFFICIENTS, (
    -8.732781689279856e-06, 0.009955939075009634, 1.9850171547235633, -4.984484737436539, 1.0, 427.8619018317577,
    -336246.1873987322, -2.1439263288092216, 0.24952814200376455, 1.0, -0.0009084954525924058,
    0.006500111725152886, 1.0, -2.2350988138900956, -0.26797532377414307)))
_SHEET_START = dict(zip(quelmo.COEFFICIENTS, (1.023, 7.82, -393, 6172, 1, 394.6, -2.34e5, 1, -3.22e-3, 3.59e-5,
                                              -1.50e-7, 1, -4.04, 44.3, -158)))
_IDENTITY = {name: 1.0 if name in ("r0", "w0", "t0", "l0") else 0.0 for name in quelmo.COEFFICIENTS}
#: The coefficients each form holds for its scale freedoms.
HELD = {"none": ["w0", "t2", "l1"], "wheeler": ["w0", "t0", "l0"], "sheet": ["w0", "t0", "l0"],
        "sheetrosa": ["w0", "t0", "l0"]}


def make_coils(count: int, seed: int, noise: float = 0.005) -> pd.DataFrame:
    """``count`` coils like the example's: radius 3-40 mm, AWG 10-30, 3-120
    turns, close-wound to spaced (pitch 1-4.6 wire diameters, at most 0.3
    radius), length/diameter 0.2-7.6; measured = sheet with Rosa's
    correction times (1 + noise x normal). Values to six digits."""
    rng = np.random.default_rng(seed)
    rows: List[Dict[str, Any]] = []
    extension = _equation._extension()
    while len(rows) < count:
        radius = math.exp(rng.uniform(math.log(0.003), math.log(0.04)))
        gauge = int(rng.integers(10, 31))
        wire = 0.127e-3 * 92 ** ((36 - gauge) / 39) / 2
        turns = int(round(math.exp(rng.uniform(math.log(3), math.log(120)))))
        pitch = 2 * wire * (rng.uniform(1.0, 1.2) if rng.uniform() < 0.6 else rng.uniform(1.2, 4.6))
        length = turns * pitch
        # Six digits, as a coil file gives them.
        radius, wire, length = (float(f"{x:.6g}") for x in (radius, wire, length))
        if pitch > 0.3 * radius or not 0.2 <= length / (2 * radius) <= 7.6:
            continue
        true = extension.classical("sheetrosa", np.array([radius]), np.array([wire]),
                                   np.array([turns], dtype=np.int32), np.array([length]))[0]
        if not true > 0:
            continue
        rows.append({"name": f"coil{len(rows) + 1:03d}", "measured_H": float(f"{true * (1 + noise * rng.standard_normal()):.6g}"),
                     "coil_radius_m": radius, "wire_radius_m": wire, "gauge": gauge, "turns": turns,
                     "length_m": length})
    return pd.DataFrame(rows)


def refit(coils: pd.DataFrame, base: str, start: Mapping[str, float], held: Sequence[str]) -> Dict[str, float]:
    """The least-squares best set from ``start``: the minimum of the sum of
    squared relative errors, as the program's polish finds it, with ``held``
    kept at their start values."""
    free = [name for name in quelmo.COEFFICIENTS if name not in held]
    values = np.array([float(start[name]) for name in quelmo.COEFFICIENTS])
    index = [quelmo.COEFFICIENTS.index(name) for name in free]
    measured = coils["measured_H"].to_numpy(float)

    def residuals(x: np.ndarray) -> np.ndarray:
        trial = values.copy()
        trial[index] = x
        relative = quelmo.inductance(trial, coils, base=base) / measured - 1
        return np.where(np.isfinite(relative), relative, 10.0)
    solution = least_squares(residuals, values[index], method="lm", x_scale="jac", xtol=1e-14, ftol=1e-14,
                             gtol=1e-14, max_nfev=20000)
    values[index] = solution.x
    return dict(zip(quelmo.COEFFICIENTS, values.tolist()))


def best_fit(coils: pd.DataFrame, base: str) -> Dict[str, float]:
    """The best least-squares set of a form from its documented starts."""
    starts = [_EQUATION_START] if base == "none" else [_SHEET_START, _IDENTITY]
    fits = [refit(coils, base, start, HELD[base]) for start in starts]
    return min(fits, key=lambda c: quelmo.goodness(c, coils) if base == "none" else _rms(c, coils, base))


def _rms(coefficients: Mapping[str, float], coils: pd.DataFrame, base: str) -> float:
    relative = quelmo.inductance(coefficients, coils, base=base) / coils["measured_H"].to_numpy(float) - 1
    return float(np.sqrt(np.mean(relative ** 2))) if np.isfinite(relative).all() else math.inf


def prediction_member(document: Mapping[str, Any], folds: int = 10) -> Dict[str, Any]:
    """The ``prediction`` member for a result JSON: coil i of the evaluated
    coils (in the order of its ``coils``) in fold i mod K, each fold refitted
    without its coils from the result's coefficients, holding what it held."""
    coils = pd.DataFrame(document["coils"])
    base = (document.get("base") or {}).get("name", "none")
    held = list(document.get("held", [])) + list(document.get("pinned", []))
    evaluated = coils["evaluated"].astype(bool).to_numpy()
    fold_of_coil = np.full(len(coils), -1)
    fold_of_coil[evaluated] = np.arange(int(evaluated.sum())) % folds
    fits = [refit(coils[evaluated & (fold_of_coil != k)], base, document["coefficients"], held)
            for k in range(folds)]
    return {"method": "cv+", "folds": folds, "base": base, "held": held, "fold_of_coil": fold_of_coil.tolist(),
            "fold_coefficients": fits}


def result_of(coils: pd.DataFrame, base: str, folds: Optional[int] = 10) -> quelmo.FitResult:
    """A FitResult of the best fit of a form to ``coils``, as the program
    would write it with ``statistics 1`` (its covariance by the usual
    convention) and, unless ``folds`` is None, the ``prediction`` member."""
    coefficients = best_fit(coils, base)
    computed = quelmo.inductance(coefficients, coils, base=base)
    measured = coils["measured_H"].to_numpy(float)
    relative = computed / measured - 1
    held = HELD[base]
    free = [name for name in quelmo.COEFFICIENTS if name not in held]
    jacobian = np.column_stack([_derivative(coefficients, coils, base, name) / measured for name in free])
    n, p = len(coils), len(free)
    chisqr = float(np.sum(relative ** 2))
    matrix = np.linalg.pinv(jacobian.T @ jacobian) * chisqr / (n - p)
    table = coils.assign(computed_H=computed, relative_error=relative, evaluated=True)
    document: Dict[str, Any] = {
        "goodness": math.sqrt(chisqr / n), "coefficients": coefficients, "held": held, "pinned": [],
        "polished": True, "settings": {"seed": 1},
        "statistics": {"n": n, "p": p, "chisqr": chisqr, "redchi": chisqr / (n - p),
                       "stderr": dict(zip(free, np.sqrt(np.diag(matrix)).tolist())),
                       "covariance": {"names": free, "matrix": matrix.tolist()}},
        "coils": table.to_dict("records")}
    if base != "none":
        document["base"] = {"name": base}
    if folds:
        document["prediction"] = prediction_member(document, folds)
    return quelmo.FitResult(document, table, pd.DataFrame(), ".")


def _derivative(coefficients: Mapping[str, float], coils: pd.DataFrame, base: str, name: str) -> np.ndarray:
    step = 1e-6 * max(abs(coefficients[name]), 1e-3)
    up, down = dict(coefficients), dict(coefficients)
    up[name] += step
    down[name] -= step
    return (quelmo.inductance(up, coils, base=base) - quelmo.inductance(down, coils, base=base)) / (2 * step)
