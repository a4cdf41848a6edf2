"""The equation, the goodness and the coil reader, run by the program's own
compiled code so that every number is the program's to the last bit."""

import os
import warnings

from ._errors import InputError

#: The fifteen coefficients in the program's order.
COEFFICIENTS = ("r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3")

#: The columns of a coil table, as in the program's ``coilcsv`` file.
COIL_COLUMNS = ("name", "measured_H", "coil_radius_m", "wire_radius_m", "gauge", "turns", "length_m")

_INT32 = (-2**31, 2**31 - 1)


def _extension():
    try:
        from . import _quelmo
    except ImportError as error:
        raise ImportError("quelmo was installed without its compiled part (it is built when CMake finds "
                          "pybind11 and the Python headers: Debian pybind11-dev and python3-dev)") from error
    return _quelmo


def coefficient_array(coefficients):
    """The fifteen coefficients as a numpy array in the program's order.

    ``coefficients`` is a mapping name -> value (a dict, a pandas Series) with
    exactly the fifteen names, or a sequence of fifteen numbers in the order
    of ``quelmo.COEFFICIENTS``.
    """
    import numpy as np
    if hasattr(coefficients, "keys"):
        values = {str(name).lower(): coefficients[name] for name in coefficients.keys()}
        unknown = sorted(set(values) - set(COEFFICIENTS))
        missing = [name for name in COEFFICIENTS if name not in values]
        if unknown or missing:
            parts = ([f"unknown {', '.join(unknown)}"] if unknown else []) + \
                    ([f"missing {', '.join(missing)}"] if missing else [])
            raise ValueError(f"coefficients: {'; '.join(parts)}")
        return np.array([float(values[name]) for name in COEFFICIENTS], dtype=np.float64)
    array = np.asarray(coefficients, dtype=np.float64)
    if array.shape != (len(COEFFICIENTS),):
        raise ValueError(f"coefficients: expected {len(COEFFICIENTS)} values in the order "
                         f"{' '.join(COEFFICIENTS)}, got shape {array.shape}")
    return array


def _column(coils, name):
    try:
        return coils[name]
    except (KeyError, IndexError, TypeError):
        raise ValueError(f"coils: no column {name!r}") from None


def _turns(coils):
    """The turns as 32-bit integers, as the program holds them."""
    import numpy as np
    turns = np.atleast_1d(np.asarray(_column(coils, "turns")))
    if turns.dtype.kind == "f":
        if not (np.isfinite(turns).all() and (turns == np.trunc(turns)).all()):
            raise ValueError("coils: turns must be whole numbers")
    elif turns.dtype.kind not in "iub":
        raise ValueError(f"coils: turns must be whole numbers, not {turns.dtype}")
    if turns.size and (turns.min() < _INT32[0] or turns.max() > _INT32[1]):
        raise ValueError("coils: turns out of the range of 32-bit integers")
    return turns.astype(np.int32)


def _coil_arrays(coils, measured):
    import numpy as np

    def doubles(name):
        return np.ascontiguousarray(np.atleast_1d(np.asarray(_column(coils, name), dtype=np.float64)))
    arrays = [doubles("measured_H")] if measured else []
    arrays += [doubles("coil_radius_m"), doubles("wire_radius_m"), _turns(coils), doubles("length_m")]
    if len({array.shape for array in arrays}) != 1 or arrays[0].ndim != 1:
        raise ValueError("coils: the columns must be one-dimensional and of one length")
    return arrays


#: The classical formulas a fit can correct (setting ``base``).
BASES = ("none", "wheeler", "sheet", "sheetrosa")


def inductance(coefficients, coils, base="none"):
    """The inductance (H) that a coefficient set computes for each coil.

    ``coefficients``: a mapping name -> value or a sequence of fifteen (see
    ``quelmo.COEFFICIENTS``); a ``FitResult``'s ``coefficients`` will do.
    ``coils``: a pandas DataFrame or a mapping of equal-length arrays with the
    columns ``coil_radius_m``, ``wire_radius_m``, ``turns`` (whole numbers)
    and ``length_m``, in metres, like ``read_coils`` returns.

    Returns a numpy array, NaN where the set cannot evaluate a coil (a
    polynomial of the equation's numerator or denominator is zero there). The
    values are the program's own, bit for bit: the same doubles as the
    ``computed_H`` column of its ``coilcsv`` file.

    ``base`` names the classical formula the set corrects, as the fit's
    setting ``base`` did (one of ``quelmo.BASES``; a ``FitResult`` gives it as
    ``result.base``): the inductance is then base(a, N, l, w) · R·T/(Λ·W),
    again bit for bit the program's, and NaN also where the base cannot
    evaluate a coil.
    """
    base = "none" if base is None else str(base)
    if base not in BASES:
        raise ValueError(f"base: unknown formula {base!r}, known: {', '.join(BASES)}")
    radius, wire, turns, length = _coil_arrays(coils, measured=False)
    return _extension().inductance(coefficient_array(coefficients), radius, wire, turns, length, base)


def goodness(coefficients, coils):
    """The program's goodness of a coefficient set on coils: the
    root-mean-square relative error of the computed against the measured
    inductances, over the coils the set can evaluate.

    Arguments as for ``inductance``; ``coils`` needs ``measured_H`` too. The
    value is bit for bit the program's (the one its result file gives),
    summed in the program's order, which is the reverse of the table's; NaN
    when the set evaluates no coil.
    """
    arrays = _coil_arrays(coils, measured=True)
    return _extension().goodness(coefficient_array(coefficients), *arrays)


def read_coils(path):
    """Reads a coil file with the program's own reader.

    Returns a pandas DataFrame with the columns ``name``, ``measured_H``,
    ``coil_radius_m``, ``wire_radius_m``, ``gauge``, ``turns`` and
    ``length_m`` (henry and metres), one row per coil in file order. A file
    that the program would refuse raises ``quelmo.InputError`` with the
    program's message; what the reader only warns about is given as a Python
    warning.
    """
    import pandas as pd
    extension = _extension()
    path = os.fspath(path)
    try:
        names, *columns, messages = extension.read_coils(path)
    except extension.ReadFailure as failure:
        raise InputError(str(failure).rstrip("\n"), path) from None
    if messages:
        warnings.warn(messages.rstrip("\n"), stacklevel=2)
    return pd.DataFrame(dict(zip(COIL_COLUMNS, [names] + columns)))
