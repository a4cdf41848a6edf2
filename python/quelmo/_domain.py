"""The domain of a fit: the ranges of the coil variables the formula was
fitted on, and which new coils lie outside them (where a prediction is an
extrapolation)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Sequence, Tuple

if TYPE_CHECKING:
    import pandas as pd

#: The variables of a domain, in the order its member and the flags name them.
DOMAIN_VARIABLES: Tuple[str, ...] = ("coil_radius_m", "turns", "length_m", "wire_radius_m", "length_over_diameter")

#: The coil columns a prediction needs.
PREDICTION_COLUMNS: Tuple[str, ...] = ("coil_radius_m", "wire_radius_m", "turns", "length_m")

# A coil at a bound computed another way (length over diameter, say) may
# differ from it in the last bits: such a coil is inside.
_TOLERANCE = 1e-9

Domain = Dict[str, Tuple[float, float]]


def check_columns(coils: Any, columns: Sequence[str] = PREDICTION_COLUMNS, what: str = "coils") -> None:
    """Raises ValueError naming the first of ``columns`` that ``coils`` lacks.

    Parameters
    ----------
    coils
        A DataFrame or a mapping of arrays.
    columns
        The column names it must have.
    what
        What the message calls ``coils``.
    """
    for name in columns:
        try:
            coils[name]
        except (KeyError, IndexError, TypeError):
            raise ValueError(f"{what}: no column {name!r} (needed: {', '.join(columns)})") from None


def _variables(coils: Any) -> Dict[str, Any]:
    import numpy as np
    check_columns(coils)
    values = {name: np.atleast_1d(np.asarray(coils[name], dtype=float)) for name in PREDICTION_COLUMNS}
    with np.errstate(divide="ignore", invalid="ignore"):
        values["length_over_diameter"] = values["length_m"] / (2 * values["coil_radius_m"])
    return values


def domain_of(coils: Any) -> Domain:
    """The ranges of the coil variables over ``coils``: a dict variable ->
    (min, max) for each of ``DOMAIN_VARIABLES``.

    Parameters
    ----------
    coils
        A DataFrame or a mapping of arrays with the columns
        ``coil_radius_m``, ``wire_radius_m``, ``turns`` and ``length_m``.

    Returns
    -------
    dict
        The domain in the form of the result JSON's ``domain`` member.
    """
    import numpy as np
    values = _variables(coils)
    return {name: (float(np.nanmin(values[name])), float(np.nanmax(values[name]))) for name in DOMAIN_VARIABLES}


def outside_domain(coils: Any, domain: Mapping[str, Sequence[float]]) -> "pd.Series":
    """Which coils lie outside the domain a formula was fitted on.

    Parameters
    ----------
    coils
        A DataFrame or a mapping of arrays with the columns
        ``coil_radius_m``, ``wire_radius_m``, ``turns`` and ``length_m``
        (metres); length over diameter is ``length_m / (2 coil_radius_m)``.
    domain
        variable -> (min, max), as ``FitResult.domain`` or the result JSON's
        ``domain`` member gives it. Variables it does not name are not
        checked.

    Returns
    -------
    pandas.Series
        Named ``outside_domain``, one string per coil (the DataFrame's index
        when ``coils`` is one): the variables outside their range, joined by
        ", " in the order of ``DOMAIN_VARIABLES`` (``"turns, length_m"``), or
        ``""`` for a coil inside. A value that is not a number is outside. A
        value beyond a bound by less than 1e-9 of it counts as inside.

    Raises
    ------
    ValueError
        When ``coils`` lacks a column, or the domain gives a range that is
        not two numbers.
    """
    import numpy as np
    import pandas as pd
    values = _variables(coils)
    count = len(values["length_m"])
    names = np.full(count, "", dtype=object)
    for variable in DOMAIN_VARIABLES:
        if variable not in domain:
            continue
        bounds = domain[variable]
        if len(bounds) != 2:
            raise ValueError(f"domain: {variable} must be a range [min, max], not {bounds!r}")
        low, high = (float(bound) for bound in bounds)
        x = values[variable]
        outside = ~((x >= low - _TOLERANCE * abs(low)) & (x <= high + _TOLERANCE * abs(high)))
        names[outside] = [f"{name}, {variable}" if name else variable for name in names[outside]]
    index = coils.index if hasattr(coils, "index") and len(getattr(coils, "index")) == count else None
    return pd.Series(names, index=index, name="outside_domain", dtype=object)


def result_domain(document: Mapping[str, Any], coils: Optional["pd.DataFrame"]) -> Optional[Domain]:
    """The domain of a fit: the result JSON's ``domain`` member, or for a
    result without it, the ranges over the coils the fit evaluated (the same
    figures); None when neither is there."""
    given = document.get("domain")
    if given:
        return {name: (float(bounds[0]), float(bounds[1])) for name, bounds in given.items()
                if bounds is not None and len(bounds) == 2 and not any(b is None or math.isnan(b) for b in bounds)}
    if coils is None or not len(coils):
        return None
    fitted = coils[coils["evaluated"].astype(bool)] if "evaluated" in coils else coils
    return domain_of(fitted) if len(fitted) else None


def warn_outside(flags: "pd.Series", stacklevel: int = 3, see: str = "see the column outside_domain") -> None:
    """One warning (``quelmo.QuelmoWarning``) when any coil is flagged
    outside the domain, naming how many and which variables, and where the
    coils are named (``see``)."""
    import warnings

    from ._errors import QuelmoWarning
    flagged = flags[flags != ""]
    if not len(flagged):
        return
    named = {name for flag in flagged for name in flag.split(", ")}
    variables = [name for name in DOMAIN_VARIABLES if name in named]
    warnings.warn(f"{len(flagged)} of {len(flags)} coils lie outside the coils the formula was fitted on "
                  f"({', '.join(variables)}): their predictions are extrapolations ({see})", QuelmoWarning,
                  stacklevel=stacklevel)
