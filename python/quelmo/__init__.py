"""quelmo: fits of EQUATION J, an empirical inductance equation for
single-layer air-core coils, from Python.

    L = mu0 * R(a) * T(N) / (Lambda(l) * W(w))

with cubic polynomials R, T and Lambda of the coil radius a, the turns N and
the length l, and a quadratic W of the wire radius w, whose fifteen
coefficients (``COEFFICIENTS``) are fitted to measured coils.

The equation runs in-process, compiled from the program's own code, so its
numbers are the program's to the last bit:

    inductance(fit, coils)            the inductances a fitted formula computes
                                      (numpy), from a FitResult, a result JSON
                                      or coefficients, with the base the fit
                                      corrected (BASES)
    classical(coils, formula)         a classical formula alone (CLASSICAL)
    goodness(coefficients, coils)     its RMS relative error on measured coils
    read_coils(path)                  a coil file as a pandas DataFrame
    outside_domain(coils, domain)     which coils lie outside a fit's coils
    predict(result, coils, level)     a saved result (FitResult or JSON) on
                                      new coils, with prediction intervals

A fit runs the program (``quelmo`` on the PATH or named by QUELMO_BIN, see
``find_program``; or ``quelmo-mpi`` under ``mpirun``) in a directory of its
own and reads its result files back:

    fit(coils, ranges=None, **settings) -> FitResult

    >>> import quelmo
    >>> result = quelmo.fit(quelmo.example("coils-example.txt"), polish=1, statistics=1)
    >>> result                                  # one line; a table in a notebook
    >>> print(result)                           # the fit report
    >>> result.coefficients                     # a pandas Series
    >>> result.predict({"coil_radius_m": [0.01], "wire_radius_m": [2e-4],
    ...                 "turns": [20], "length_m": [0.03]})  # a DataFrame: inductance,
    ...                                         # standard error, 95 % prediction interval
    >>> result.plot()                           # matplotlib figures

Errors: ``InputError`` (a coil file the program's reader refuses),
``FitError`` (a fit whose run failed), both with the program's message, and
``ResultFileError``; ``FitInterrupted`` (a KeyboardInterrupt holding the
result, with ``fit(..., raise_on_interrupt=True)``). Warnings: what the
program warns about, as subclasses of ``QuelmoWarning``, one per kind.
"""

from ._build import VERSION as __version__
from ._equation import BASES, CLASSICAL, COEFFICIENTS, COIL_COLUMNS, classical, goodness, inductance, read_coils
from ._errors import (BaseFormulaWarning, CoilFileWarning, FitError, FitInterrupted, InputError, InterruptedFitWarning,
                      QuelmoError, QuelmoWarning, RangesFileWarning, ResultFileError, RunWarning, UnitWarning)
from ._coiltable import coils_from_table
from ._domain import outside_domain
from ._fit import example, find_program, fit
from ._result import FitResult, predict

__all__ = ["BASES", "BaseFormulaWarning", "CLASSICAL", "COEFFICIENTS", "COIL_COLUMNS", "CoilFileWarning", "FitError",
           "FitInterrupted", "FitResult", "InputError", "InterruptedFitWarning", "QuelmoError", "QuelmoWarning",
           "RangesFileWarning", "ResultFileError", "RunWarning", "UnitWarning", "__version__", "classical",
           "coils_from_table", "example", "find_program", "fit", "goodness", "inductance", "outside_domain", "predict",
           "read_coils"]
