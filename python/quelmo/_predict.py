"""Predictions of a fitted formula on new coils, with their uncertainty.

The inductance is the program's own (``quelmo.inductance``, bit for bit).

``stderr_H`` (also as ``formula_stderr_H``) is the standard error of the
fitted formula alone: the spread of the formula's value that the
coefficients' covariance implies, by the delta method, var L = g' C g with
g = dL/dc through the equation's Jacobian (d ln L / d c = x^k / P(x) for a
coefficient of the numerator's polynomial P, -x^k / P(x) for one of the
denominator's). It leaves out the formula's own error (its misfit, which
depends on the coil's shape) and the coil's measurement, so it is no
interval for a new coil's inductance.

The prediction interval is CV+, the K-fold jackknife+ (Barber, Candès,
Ramdas, Tibshirani, Annals of Statistics 49, 2021), from the K fold refits
that the result JSON's ``prediction`` member carries. On the log scale
(inductances span decades; the fit's residuals are relative), each fitted
coil i has its out-of-fold residual r_i = ln Y_i - ln mu_-k(i)(X_i), divided
by a spread model s linear in z = ln(length / diameter), fitted to |r_i|
(locally weighted conformal inference, Lei et al., JASA 113, 2018): the
score S_i = |r_i| / s(z_i). For a new coil x at level 1 - alpha, the
interval on the log scale runs from the floor(alpha (n + 1))-th smallest of
ln mu_-k(i)(x) - S_i s(z_x) to the ceil((1 - alpha)(n + 1))-th smallest of
ln mu_-k(i)(x) + S_i s(z_x). A level above n / (n + 1) needs a rank beyond
the n coils: the interval is unbounded.

A result without the ``prediction`` member (an older program, or a run
without cross-validation's fold fits) gets the earlier interval, with a
warning: L ± t sqrt(se² + L² redchi), Student's t at n - p degrees of
freedom, which holds the formula's error only where the base already holds
the physics.
"""

from __future__ import annotations

import math
import numbers
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Tuple

from ._domain import check_columns, outside_domain, result_domain, warn_outside
from ._equation import COEFFICIENTS, _coil_arrays, inductance
from ._errors import QuelmoWarning

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd


#: A FitResult; this module is imported by ``_result`` and so names the class
#: only by what it is given.
FitResultLike = Any

# Each coefficient: its polynomial's variable (the argument of _coil_arrays'
# order radius, wire, turns, length), its power, and the sign of d ln L.
_TERMS: Dict[str, Tuple[int, int, int, Tuple[str, ...]]] = {}
for _names, _variable, _sign in ((("r0", "r1", "r2", "r3"), 0, 1), (("w0", "w1", "w2"), 1, -1),
                                 (("t0", "t1", "t2", "t3"), 2, 1), (("l0", "l1", "l2", "l3"), 3, -1)):
    for _power, _name in enumerate(_names):
        _TERMS[_name] = (_variable, _power, _sign, _names)

# The interval handles new coils in blocks of about this many (new coil,
# fitted coil) pairs, so that its memory stays bounded.
_BLOCK_PAIRS = 1 << 21

# The spread model's floor, as a share of the mean |residual|: a line fitted
# to |r| may fall towards 0 (or below) at the ends of the fitted shapes.
_SPREAD_FLOOR = 0.2


def covariance(statistics: Mapping[str, Any]) -> Tuple[List[str], Any]:
    """The free coefficients' covariance from a result JSON's statistics.

    Parameters
    ----------
    statistics
        The ``statistics`` member: its ``covariance``, or else the
        correlation and the standard errors (cov_ij = r_ij se_i se_j).

    Returns
    -------
    names, matrix
        The coefficient names and their covariance matrix.

    Raises
    ------
    ValueError
        When the statistics give neither (coefficients undetermined).
    """
    import numpy as np
    given = statistics.get("covariance")
    if given and given.get("names"):
        return list(given["names"]), np.array(given["matrix"], dtype=float)
    correlation = statistics.get("correlation") or {}
    names = list(correlation.get("names") or [])
    if not names:
        raise ValueError("the fit's statistics give no covariance (the coils do not determine every free "
                         "coefficient)")
    errors = np.array([statistics["stderr"][name] for name in names], dtype=float)
    return names, np.array(correlation["matrix"], dtype=float) * np.outer(errors, errors)


def gradient(coefficients: Mapping[str, float], coils: Any, computed: "npt.NDArray[np.float64]") -> "npt.NDArray[np.float64]":
    """dL/dc for each coil (rows) and coefficient (columns, in COEFFICIENTS
    order), from the computed inductances L."""
    import numpy as np
    radius, wire, turns, length = _coil_arrays(coils, measured=False)
    variables = (radius, wire, turns.astype(float), length)
    values = {name: float(coefficients[name]) for name in COEFFICIENTS}
    columns = []
    for name in COEFFICIENTS:
        variable, power, sign, group = _TERMS[name]
        x = variables[variable]
        polynomial = sum(values[term] * x ** k for k, term in enumerate(group))
        columns.append(sign * computed * x ** power / polynomial)
    return np.column_stack(columns) if columns else np.zeros((len(computed), 0))


def check_level(level: Any) -> float:
    """``level`` as a float, or ValueError unless it is a number strictly
    between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, numbers.Real) or not 0 < float(level) < 1:
        raise ValueError(f"level must be a number strictly between 0 and 1 (0.95 for a 95 % interval), "
                         f"not {level!r}")
    return float(level)


def t_quantile(probability: float, freedom: float) -> float:
    """Student's t quantile (``scipy.stats.t.ppf``); NaN without degrees of
    freedom."""
    from scipy.stats import t
    return float(t.ppf(probability, freedom)) if freedom > 0 else math.nan


def _shape(coils: Any) -> "npt.NDArray[np.float64]":
    """z = ln(length / diameter) of each coil."""
    import numpy as np
    radius, _, _, length = _coil_arrays(coils, measured=False)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log(length / (2 * radius))


def _log_inductance(coefficients: Mapping[str, float], coils: Any, base: str) -> "npt.NDArray[np.float64]":
    """ln L of each coil; NaN where the set gives no positive value."""
    import numpy as np
    values = inductance(coefficients, coils, base=base)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(values > 0, np.log(np.where(values > 0, values, 1.0)), np.nan)


class CrossValidationPlus:
    """CV+ intervals from a result's fold refits (see the module's text).

    Parameters
    ----------
    prediction
        The result JSON's ``prediction`` member.
    fitted
        The fitted coils, in the order of the result JSON's ``coils``, with
        ``measured_H``, the coil columns and ``evaluated``.
    """

    def __init__(self, prediction: Mapping[str, Any], fitted: "pd.DataFrame") -> None:
        import numpy as np
        self.base = str(prediction.get("base") or "none")
        self.folds: List[Mapping[str, float]] = list(prediction["fold_coefficients"])
        fold_of_coil = np.array([-1 if k is None else int(k) for k in prediction["fold_of_coil"]], dtype=int)
        if len(fold_of_coil) != len(fitted):
            raise ValueError(f"the result's prediction member gives folds for {len(fold_of_coil)} coils, "
                             f"its coils are {len(fitted)}")
        if len(self.folds) != int(prediction.get("folds", len(self.folds))) or \
                (fold_of_coil >= len(self.folds)).any():
            raise ValueError("the result's prediction member names more folds than it gives fits")
        used = fold_of_coil >= 0
        if "evaluated" in fitted:
            used &= fitted["evaluated"].astype(bool).to_numpy()
        coils = fitted[used]
        self.fold = fold_of_coil[used]
        predicted = np.full(len(coils), np.nan)
        for k, coefficients in enumerate(self.folds):
            mine = self.fold == k
            if mine.any():
                predicted[mine] = _log_inductance(coefficients, coils[mine], self.base)
        measured = coils["measured_H"].to_numpy(float)
        with np.errstate(divide="ignore", invalid="ignore"):
            residual = np.abs(np.log(measured) - predicted)
        # A coil its fold's fit cannot evaluate has no residual: an infinite
        # score, which widens every interval rather than narrowing it.
        residual = np.where(np.isfinite(residual), residual, np.inf)
        finite = np.isfinite(residual)
        z = _shape(coils)
        self.spread_line, self.spread_floor = self._spread_model(z[finite], residual[finite])
        self.scores = residual / self.spread(z)
        self.n = len(self.scores)

    @staticmethod
    def _spread_model(z: "npt.NDArray[np.float64]", residual: "npt.NDArray[np.float64]") -> Tuple[Tuple[float, float], float]:
        """(intercept, slope) of |r| against z by least squares, and the
        floor under it."""
        import numpy as np
        if len(residual) == 0:
            return (1.0, 0.0), 1.0
        mean = float(np.mean(residual))
        floor = _SPREAD_FLOOR * mean if mean > 0 else 1.0
        if len(residual) < 3 or np.ptp(z) == 0:
            return (max(mean, floor), 0.0), floor
        slope, intercept = np.polyfit(z, residual, 1)
        return (float(intercept), float(slope)), floor

    def spread(self, z: "npt.NDArray[np.float64]") -> "npt.NDArray[np.float64]":
        """The spread model at shapes z: intercept + slope z, at least the floor."""
        import numpy as np
        intercept, slope = self.spread_line
        with np.errstate(invalid="ignore"):
            return np.maximum(intercept + slope * z, self.spread_floor)

    def ranks(self, level: float) -> Tuple[int, int]:
        """The 1-based ranks of the lower and upper bounds among the n
        candidates: 0 or n + 1 for an unbounded side."""
        alpha = 1 - level
        lower = math.floor(alpha * (self.n + 1) + 1e-12)
        upper = math.ceil((1 - alpha) * (self.n + 1) - 1e-12)
        return lower, upper

    def interval(self, coils: Any, level: float) -> Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float64]"]:
        """The interval's bounds (henry) for each new coil: -inf / inf on a
        side the level leaves unbounded; NaN where the coil's shape is not a
        number."""
        import numpy as np
        centres = np.column_stack([_log_inductance(c, coils, self.base) for c in self.folds])
        # A fold fit that gives no value for the coil leaves that side open.
        z = _shape(coils)
        width = self.spread(z)
        lower_rank, upper_rank = self.ranks(level)
        count = centres.shape[0]
        low = np.full(count, -np.inf)
        high = np.full(count, np.inf)
        rows = max(1, _BLOCK_PAIRS // max(self.n, 1))
        for start in range(0, count, rows):
            block = slice(start, start + rows)
            centre = centres[block][:, self.fold]
            half = width[block, None] * self.scores[None, :]
            if lower_rank >= 1:
                below = np.where(np.isnan(centre), -np.inf, centre - half)
                low[block] = np.exp(np.partition(below, lower_rank - 1, axis=1)[:, lower_rank - 1])
            if upper_rank <= self.n:
                above = np.where(np.isnan(centre), np.inf, centre + half)
                high[block] = np.exp(np.partition(above, upper_rank - 1, axis=1)[:, upper_rank - 1])
        unknown = ~np.isfinite(z)
        low[unknown] = high[unknown] = np.nan
        return low, high


def fitted_coils(result: "FitResultLike") -> "pd.DataFrame":
    """The fitted coils in the order of the result JSON's ``coils``: its
    members, or the coil table read back when it lacks them."""
    import pandas as pd
    listed = result.document.get("coils") or []
    needed = ("measured_H", "coil_radius_m", "wire_radius_m", "turns", "length_m")
    if listed and all(all(key in entry for key in needed) for entry in listed):
        return pd.DataFrame(listed)
    return result.coils


def _delta_interval(statistics: Mapping[str, Any], computed: "npt.NDArray[np.float64]", variance: "npt.NDArray[np.float64]",
                    level: float) -> Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float64]"]:
    """The interval of a result without fold fits: L ± t sqrt(se² + L² redchi)."""
    import numpy as np
    redchi = float(statistics["redchi"])
    freedom = int(statistics["n"]) - int(statistics["p"])
    spread = np.sqrt(variance + computed * computed * redchi)
    t = t_quantile((1 + level) / 2, freedom)
    return computed - t * spread, computed + t * spread


def predict_fit(result: "FitResultLike", coils: Any, level: float = 0.95) -> "pd.DataFrame":
    """``quelmo.predict`` for a ``FitResult``: the fitted formula on new
    coils, with its standard error, prediction interval and domain flags."""
    import numpy as np
    import pandas as pd
    level = check_level(level)
    check_columns(coils)
    statistics = result.statistics if result.statistics and not result.statistics.get("unavailable") else None
    prediction = result.document.get("prediction")
    if not prediction and statistics is None:
        raise ValueError("the fit was run without statistics (statistics=1) and its result carries no fold "
                         "fits, so its predictions have no uncertainty")
    computed = inductance(result.coefficients, coils, base=result.base)
    variance = np.full(len(computed), np.nan)
    if statistics is not None:
        try:
            names, matrix = covariance(statistics)
        except ValueError:
            if not prediction:
                raise
        else:
            jacobian = gradient(result.coefficients, coils, computed)[:, [COEFFICIENTS.index(n) for n in names]]
            variance = np.einsum("ij,jk,ik->i", jacobian, matrix, jacobian)
    if prediction:
        method = CrossValidationPlus(prediction, fitted_coils(result))
        low, high = method.interval(coils, level)
        if method.ranks(level)[1] > method.n:
            warnings.warn(f"a {100 * level:g} % interval from {method.n} fitted coils is unbounded (CV+ gives "
                          f"at most {100 * method.n / (method.n + 1):.4g} % from them): its bounds are -inf and "
                          "inf", QuelmoWarning, stacklevel=3)
    else:
        warnings.warn("this result carries no fold fits (from an older program, or a fit without cross-validation), "
                      "so the prediction interval is the earlier one: it holds the formula's own "
                      "error only where the base holds the physics", QuelmoWarning, stacklevel=3)
        assert statistics is not None
        low, high = _delta_interval(statistics, computed, variance, level)
    stderr = np.sqrt(variance)
    frame = pd.DataFrame({"inductance_H": computed, "stderr_H": stderr, "prediction_low_H": low,
                          "prediction_high_H": high, "formula_stderr_H": stderr})
    if hasattr(coils, "index") and len(getattr(coils, "index")) == len(frame):
        frame.index = coils.index
    domain = result_domain(result.document, result.coils)
    flags = outside_domain(coils, domain or {})
    flags.index = frame.index
    frame["outside_domain"] = flags
    warn_outside(flags, stacklevel=4)
    frame.attrs["interval"] = "cv+" if prediction else "delta"
    frame.attrs["level"] = level
    return frame
