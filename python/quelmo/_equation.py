"""The equation, the goodness and the coil reader, run by the program's own
compiled code so that every number is the program's to the last bit."""

import os
import warnings

from ._errors import InputError
from ._settings import unique_names

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
        keys = list(coefficients.keys())
        values = dict(zip(unique_names(keys, "coefficients"), (coefficients[name] for name in keys)))
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


def _open_regular(path):
    """A descriptor of the file at path, opened without blocking, once it is
    known to be a regular file: a FIFO would make the reader wait for a
    writer, without end and deaf to Control-C, and a device or directory
    holds no coils. Anything else raises InputError. None when the file
    cannot be opened at all (the reader then gives its own message) or when
    /proc cannot pass a descriptor by name."""
    import stat
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | getattr(os, "O_NOCTTY", 0))
    except OSError:
        return None
    try:
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            kind = "a FIFO" if stat.S_ISFIFO(mode) else "a directory" if stat.S_ISDIR(mode) else \
                "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode) \
                else "a special file"
            raise InputError(f"{path} is {kind}, not a regular file: read_coils reads coils only from a "
                             "regular file (copy them into one)", path)
        os.set_blocking(descriptor, True)
    except BaseException:
        os.close(descriptor)
        raise
    if not os.path.isdir("/proc/self/fd"):
        os.close(descriptor)
        return None
    return descriptor


def read_coils(path):
    """Reads a coil file with the program's own reader.

    Returns a pandas DataFrame with the columns ``name``, ``measured_H``,
    ``coil_radius_m``, ``wire_radius_m``, ``gauge``, ``turns`` and
    ``length_m`` (henry and metres), one row per coil in file order. Only a
    regular file is read: a FIFO, a device or a directory raises
    ``quelmo.InputError`` at once. A file
    that the program would refuse raises ``quelmo.InputError`` with the
    program's message; what the reader only warns about is given as a Python
    warning.
    """
    import pandas as pd
    extension = _extension()
    path = os.fspath(path)
    descriptor = _open_regular(path)
    # The reader opens the file through its descriptor, so what was checked is
    # what is read; its messages name the path as given.
    through = path if descriptor is None else f"/proc/self/fd/{descriptor}"
    try:
        names, *columns, messages = extension.read_coils(through)
    except extension.ReadFailure as failure:
        raise InputError(str(failure).rstrip("\n").replace(through, path), path) from None
    finally:
        if descriptor is not None:
            os.close(descriptor)
    messages = messages.replace(through, path)
    if messages:
        warnings.warn(messages.rstrip("\n"), stacklevel=2)
    return pd.DataFrame(dict(zip(COIL_COLUMNS, [names] + columns)))
