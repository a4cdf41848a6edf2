"""The equation, the goodness and the coil reader, run by the program's own
compiled code so that every number is the program's to the last bit."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Tuple, Union

from ._document import read_result_json
from ._errors import InputError
from ._messages import warn_messages
from ._settings import unique_names

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

#: The fifteen coefficients in the program's order.
COEFFICIENTS = ("r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3")

#: The columns of a coil table, as in the program's ``coilcsv`` file.
COIL_COLUMNS = ("name", "measured_H", "coil_radius_m", "wire_radius_m", "gauge", "turns", "length_m")

_INT32 = (-2**31, 2**31 - 1)


#: The classical formulas ``classical`` computes, as the setting
#: ``baselines`` names them (``lundin`` besides).
CLASSICAL = ("solenoid", "wheeler", "sheet", "lundin", "sheetrosa")


def _extension() -> Any:
    try:
        from . import _quelmo  # type: ignore[attr-defined]
    except ImportError as error:
        raise ImportError("quelmo was installed without its compiled part (it is built when CMake finds "
                          "pybind11 and the Python headers: Debian pybind11-dev and python3-dev)") from error
    return _quelmo


def coefficient_array(coefficients: Union[Mapping[str, float], Sequence[float], "npt.ArrayLike"]
                      ) -> "npt.NDArray[np.float64]":
    """The fifteen coefficients as a numpy array in the program's order.

    Parameters
    ----------
    coefficients : mapping or sequence
        A mapping name -> value (a dict, a pandas Series) with exactly the
        fifteen names in any letter case, or a sequence of fifteen numbers in
        the order of ``quelmo.COEFFICIENTS``.

    Returns
    -------
    numpy.ndarray
        Fifteen doubles.

    Raises
    ------
    ValueError
        A name missing, unknown or given twice, or not fifteen values.
    """
    import numpy as np
    if isinstance(coefficients, Mapping) or hasattr(coefficients, "keys"):
        named: Any = coefficients
        keys = list(named.keys())
        values = dict(zip(unique_names(keys, "coefficients"), (named[name] for name in keys)))
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


def _column(coils: Any, name: str) -> Any:
    try:
        return coils[name]
    except (KeyError, IndexError, TypeError):
        raise ValueError(f"coils: no column {name!r}") from None


def _turns(coils: Any) -> "npt.NDArray[np.int32]":
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
    whole: "npt.NDArray[np.int32]" = turns.astype(np.int32)
    return whole


def _coil_arrays(coils: Any, measured: bool) -> list[Any]:
    import numpy as np

    def doubles(name: str) -> Any:
        return np.ascontiguousarray(np.atleast_1d(np.asarray(_column(coils, name), dtype=np.float64)))
    arrays = [doubles("measured_H")] if measured else []
    arrays += [doubles("coil_radius_m"), doubles("wire_radius_m"), _turns(coils), doubles("length_m")]
    if len({array.shape for array in arrays}) != 1 or arrays[0].ndim != 1:
        raise ValueError("coils: the columns must be one-dimensional and of one length")
    return arrays


#: The classical formulas a fit can correct (setting ``base``).
BASES = ("none", "wheeler", "sheet", "sheetrosa")


class _Unset:
    """The default of ``base``: the source's own base, else none."""

    def __repr__(self) -> str:
        return "<the source's base>"


_UNSET: Any = _Unset()


def _source(coefficients: Any, base: Any) -> Tuple[Any, str, Optional[Any]]:
    """The coefficients and the base to compute with, from a FitResult, a
    result JSON's path, coefficients that carry their base, or plain ones;
    and the fit they came from (the FitResult or the result JSON's document),
    whose domain the coils are checked against, or None."""
    own: Optional[str] = None
    what = "the coefficients"
    fit: Optional[Any] = None
    if isinstance(coefficients, (str, os.PathLike)):
        document = read_result_json(coefficients)
        what = f"the result {os.fspath(coefficients)}"
        own = (document.get("base") or {}).get("name", "none")
        coefficients, fit = document["coefficients"], document
    elif hasattr(coefficients, "coefficients") and isinstance(getattr(coefficients, "base", None), str):
        what = "the FitResult"
        own = coefficients.base
        coefficients, fit = coefficients.coefficients, coefficients
    elif isinstance(getattr(coefficients, "base", None), str):
        own = coefficients.base
    given = None if base is _UNSET or base is None else str(base)
    if given is not None and given not in BASES:
        raise ValueError(f"base: unknown formula {given!r}, known: {', '.join(BASES)}")
    if own is not None and given is not None and given != own:
        raise ValueError(f"base={given!r} disagrees with {what}, fitted as a correction to base {own!r}: "
                         f"leave base out, or give base={own!r}")
    return coefficients, given or own or "none", fit


def _warn_outside_fit(fit: Any, coils: Any, stacklevel: int) -> None:
    """One QuelmoWarning when coils lie outside the domain of the fit they
    are computed with (a FitResult, or a result JSON's document)."""
    from ._domain import outside_domain, result_domain, warn_outside
    if isinstance(fit, dict):
        import pandas as pd
        domain = result_domain(fit, pd.DataFrame(fit.get("coils") or []))
    else:
        domain = fit.domain
    if domain:
        warn_outside(outside_domain(coils, domain), stacklevel=stacklevel + 2,
                     see="quelmo.outside_domain(coils, result.domain) names them")


def inductance(coefficients: Any, coils: Any, base: Optional[str] = _UNSET) -> "npt.NDArray[np.float64]":
    """The inductance (H) that a fitted formula computes for each coil.

    Parameters
    ----------
    coefficients : FitResult, str, os.PathLike, mapping or sequence
        A ``FitResult``; the path of a result JSON (setting ``resultjson``);
        the coefficients a ``FitResult`` hands out (``result.coefficients``),
        which carry the base they were fitted with; or plain coefficients, a
        mapping name -> value or a sequence of fifteen (see
        ``quelmo.COEFFICIENTS``).
    coils : pandas.DataFrame or mapping of arrays
        Equal-length columns ``coil_radius_m``, ``wire_radius_m``, ``turns``
        (whole numbers) and ``length_m``, in metres, like ``read_coils``
        returns.
    base : str, optional
        The classical formula the set corrects (one of ``quelmo.BASES``):
        the inductance is then base(a, N, l, w) · R·T/(Λ·W). Left out, the
        base the source carries is used, and ``none`` (the equation alone)
        for plain coefficients.

    Returns
    -------
    numpy.ndarray
        The program's own values, bit for bit: the same doubles as the
        ``computed_H`` column of its ``coilcsv`` file. NaN where the set (or
        the base) cannot evaluate a coil.

    Raises
    ------
    ValueError
        ``base`` disagrees with the base of the FitResult, the result JSON or
        the coefficients given (the message names both); bad coefficients
        or coils.
    ResultFileError
        A result JSON that cannot be read.

    Warns
    -----
    QuelmoWarning
        Once, given a FitResult or a result JSON, when coils lie outside
        the ranges the formula was fitted on (``FitResult.domain``): how
        many, and in which variables. There the value is an extrapolation.
    """
    return fitted_inductance(coefficients, coils, base, stacklevel=3)


def fitted_inductance(coefficients: Any, coils: Any, base: Optional[str] = _UNSET,
                      stacklevel: int = 2) -> "npt.NDArray[np.float64]":
    """``inductance``, whose domain warning points ``stacklevel`` frames up
    (``FitResult.inductance`` calls it one frame further down)."""
    coefficients, name, fit = _source(coefficients, base)
    radius, wire, turns, length = _coil_arrays(coils, measured=False)
    computed: "npt.NDArray[np.float64]" = _extension().inductance(coefficient_array(coefficients), radius, wire,
                                                                  turns, length, name)
    if fit is not None:
        _warn_outside_fit(fit, coils, stacklevel)
    return computed


def classical(coils: Any, formula: str) -> "npt.NDArray[np.float64]":
    """The inductance (H) a classical formula alone computes for each coil,
    with the program's own code (the formulas of the setting ``baselines``).

    Parameters
    ----------
    coils : pandas.DataFrame or mapping of arrays
        As for ``inductance``.
    formula : str
        One of ``quelmo.CLASSICAL``: ``solenoid`` (the ideal long
        solenoid), ``wheeler`` (Wheeler 1928), ``sheet`` (the current
        sheet), ``lundin`` or ``sheetrosa`` (the current sheet with Rosa's
        round-wire correction).

    Returns
    -------
    numpy.ndarray
        Henries; NaN where the formula cannot evaluate a coil.
    """
    if formula not in CLASSICAL:
        raise ValueError(f"formula: unknown {formula!r}, known: {', '.join(CLASSICAL)}")
    radius, wire, turns, length = _coil_arrays(coils, measured=False)
    computed: "npt.NDArray[np.float64]" = _extension().classical(formula, radius, wire, turns, length)
    return computed


def goodness(coefficients: Union[Mapping[str, float], Sequence[float]], coils: Any) -> float:
    """The program's goodness of a coefficient set on coils.

    Parameters
    ----------
    coefficients : mapping or sequence
        As for ``coefficient_array``.
    coils : pandas.DataFrame or mapping of arrays
        As for ``inductance``, with ``measured_H`` too.

    Returns
    -------
    float
        The root-mean-square relative error of the computed against the
        measured inductances over the coils the set can evaluate, bit for
        bit the program's (the one its result file gives), summed in the
        program's order, which is the reverse of the table's; NaN when the
        set evaluates no coil.
    """
    arrays = _coil_arrays(coils, measured=True)
    return float(_extension().goodness(coefficient_array(coefficients), *arrays))


def _open_regular(path: str) -> Optional[int]:
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


def read_coils(path: Union[str, "os.PathLike[str]"]) -> "pd.DataFrame":
    """Reads a coil file with the program's own reader.

    Parameters
    ----------
    path : str or os.PathLike
        A regular file (or a link to one).

    Returns
    -------
    pandas.DataFrame
        The columns ``COIL_COLUMNS``: ``name``, ``measured_H``,
        ``coil_radius_m``, ``wire_radius_m``, ``gauge``, ``turns`` and
        ``length_m`` (henry and metres), one row per coil in file order.

    Raises
    ------
    InputError
        A file the program would refuse, with the program's message; a
        FIFO, a device or a directory at once.

    Warns
    -----
    CoilFileWarning
        What the reader only warns about, one warning per kind.
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
    warn_messages(messages.replace(through, path), stacklevel=2)
    return pd.DataFrame(dict(zip(COIL_COLUMNS, [names] + columns)))
