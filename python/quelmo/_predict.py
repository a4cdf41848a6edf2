"""Predictions of a fitted set with their uncertainty.

The inductance is the program's own (``quelmo.inductance``, bit for bit).
Its standard error comes from the covariance of the free coefficients by the
delta method: var L = g' C g with g = dL/dc, the gradient through the
equation's Jacobian, d ln L / d c = x^k / P(x) for a coefficient of the
numerator's polynomial P and -x^k / P(x) for one of the denominator's.
The prediction interval holds a new coil's scatter about the fit too: the
fit's residuals are relative, so that scatter is L times the square root of
the reduced chi-square, and the interval is L ± t · sqrt(se² + L²·redchi),
with Student's t at n - p degrees of freedom.
"""

import math

from ._equation import COEFFICIENTS, _coil_arrays, inductance

# Each coefficient: its polynomial's variable (the argument of _coil_arrays'
# order radius, wire, turns, length), its power, and the sign of d ln L.
_TERMS = {}
for _names, _variable, _sign in ((("r0", "r1", "r2", "r3"), 0, 1), (("w0", "w1", "w2"), 1, -1),
                                 (("t0", "t1", "t2", "t3"), 2, 1), (("l0", "l1", "l2", "l3"), 3, -1)):
    for _power, _name in enumerate(_names):
        _TERMS[_name] = (_variable, _power, _sign, _names)


def covariance(statistics):
    """(names, matrix) of the free coefficients' covariance from a result
    JSON's statistics: its ``covariance`` member, or else rebuilt from the
    correlation and the standard errors (cov_ij = r_ij · se_i · se_j)."""
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


def _t_quantile(probability, freedom):
    """Student's t quantile, by bisection on the distribution function, which
    is integrated from the density (Simpson's rule on [0, x])."""
    if freedom <= 0:
        return math.nan
    scale = math.exp(math.lgamma((freedom + 1) / 2) - math.lgamma(freedom / 2)) / math.sqrt(freedom * math.pi)

    def density(x):
        return scale * (1 + x * x / freedom) ** (-(freedom + 1) / 2)

    def cdf(x):
        steps = 400
        h = x / steps
        total = density(0) + density(x) + sum((4 if i % 2 else 2) * density(i * h) for i in range(1, steps))
        return 0.5 + total * h / 3

    low, high = 0.0, 1.0
    while cdf(high) < probability:
        high *= 2
    for _ in range(60):
        middle = (low + high) / 2
        low, high = (middle, high) if cdf(middle) < probability else (low, middle)
    return (low + high) / 2


def gradient(coefficients, coils, computed):
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


def predict(result, coils, level=0.95):
    """See ``FitResult.predict``."""
    import numpy as np
    import pandas as pd
    if not 0 < level < 1:
        raise ValueError(f"level must lie between 0 and 1, not {level!r}")
    statistics = result.statistics
    if not statistics or statistics.get("unavailable"):
        raise ValueError("the fit was run without statistics (statistics=1), so its predictions have no "
                         "uncertainty")
    computed = inductance(result.coefficients, coils, base=result.base)
    names, matrix = covariance(statistics)
    jacobian = gradient(result.coefficients, coils, computed)[:, [COEFFICIENTS.index(n) for n in names]]
    variance = np.einsum("ij,jk,ik->i", jacobian, matrix, jacobian)
    stderr = np.sqrt(variance)
    redchi = float(statistics["redchi"])
    freedom = int(statistics["n"]) - int(statistics["p"])
    spread = np.sqrt(variance + computed * computed * redchi)
    t = _t_quantile((1 + level) / 2, freedom)
    frame = pd.DataFrame({"inductance_H": computed, "stderr_H": stderr,
                          "prediction_low_H": computed - t * spread, "prediction_high_H": computed + t * spread})
    if hasattr(coils, "index") and len(getattr(coils, "index")) == len(frame):
        frame.index = coils.index
    return frame
