"""The comparison of candidate formulas a fit with ``compare 1`` makes, and
the measurement-uncertainty test of fit, read from the result JSON."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional

if TYPE_CHECKING:
    import pandas as pd

#: The columns of ``FitResult.compare``, after the candidate's name (its index).
COMPARE_COLUMNS = ("base", "kind", "coefficients_fitted", "goodness", "cv_rms_mean", "cv_rms_spread", "aic", "bic",
                   "chi2_per_dof", "coils_evaluated", "comparable", "recommended", "coefficients")


def compare_frame(document: Mapping[str, Any]) -> Optional["pd.DataFrame"]:
    """The ``compare`` member of a result JSON as a DataFrame.

    Parameters
    ----------
    document
        The result JSON.

    Returns
    -------
    pandas.DataFrame or None
        One row per candidate formula, indexed by its name, with the columns
        of ``COMPARE_COLUMNS``: the classical formula it rests on (``base``),
        ``kind`` (``classical``: the formula alone; ``equation``: the
        equation fitted as its correction), the coefficients fitted, the
        in-sample goodness, the mean and spread over the repeats of the
        cross-validated prediction RMS, AIC, BIC, chi-square per degree of
        freedom (with ``uncertainty``), the coils it evaluates, whether it
        can be compared, whether it is the one recommended, and its
        coefficients (None for a classical formula alone). Missing figures
        are NaN. ``frame.attrs`` holds ``folds``, ``repeats``,
        ``recommended``, ``reason`` and ``lost`` (what the run's own form
        loses against the recommended one, or None). None when the result
        has no comparison (a fit without ``compare 1``, or an older program).
    """
    import pandas as pd
    given = document.get("compare")
    if not given:
        return None
    recommended = given.get("recommended")
    rows: Dict[str, Dict[str, Any]] = {}
    for candidate in given.get("candidates", []):
        row = {column: candidate.get(column) for column in COMPARE_COLUMNS}
        row["recommended"] = candidate.get("name") == recommended
        rows[str(candidate.get("name"))] = row
    frame = pd.DataFrame.from_dict(rows, orient="index", columns=list(COMPARE_COLUMNS))
    for column in ("goodness", "cv_rms_mean", "cv_rms_spread", "aic", "bic", "chi2_per_dof"):
        frame[column] = pd.to_numeric(frame[column], errors="coerce").astype("float64")
    frame["comparable"] = frame["comparable"].fillna(False).astype(bool)
    frame["recommended"] = frame["recommended"].astype(bool)
    frame.index.name = "name"
    frame.attrs.update({key: given.get(key) for key in ("folds", "repeats", "recommended", "reason", "lost")})
    return frame


def uncertainty_of(document: Mapping[str, Any]) -> Optional[Dict[str, Any]]:
    """The ``uncertainty`` member of a result JSON (``relative``, ``chi2``,
    ``nu``, ``chi2_per_dof``, ``p_value``, ``verdict``) as a dict, or None
    when the fit was run without the setting ``uncertainty``."""
    given = document.get("uncertainty")
    return dict(given) if given else None
