"""The exceptions and warnings of the quelmo package."""

from __future__ import annotations

import os
from typing import Any, Optional, Union


class QuelmoError(Exception):
    """Base class of the errors the quelmo package raises."""


class InputError(QuelmoError, ValueError):
    """A coil file that the program's reader refuses.

    Parameters
    ----------
    message : str
        The program's own message, for example
        ``readind (readTestInductors:88) At line 3 in coils.txt, radius 0 bad``;
        it is also ``str(error)``.
    path : str or os.PathLike
        The file.
    """

    def __init__(self, message: str, path: Union[str, "os.PathLike[str]"]) -> None:
        super().__init__(message)
        self.message = message
        self.path = path


class FitError(QuelmoError, RuntimeError):
    """A fit whose program run failed.

    Parameters
    ----------
    message : str
        The program's message (what it wrote to standard error); also
        ``str(error)``.
    status : int
        Its exit status (128 + N when signal N ended it).
    output : str
        Its standard output.
    workdir : pathlib.Path or None
        The directory of the run, which holds its files; None when it was a
        temporary one and has been removed.
    """

    def __init__(self, message: str, status: int, output: str, workdir: Optional["os.PathLike[str]"]) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.output = output
        self.workdir = workdir


class ResultFileError(QuelmoError, ValueError):
    """A result JSON that cannot be read: missing, not JSON, or not a
    quelmo result. ``str(error)`` names the file and what is wrong."""


class FitInterrupted(KeyboardInterrupt):
    """A fit stopped by Control-C (or SIGTERM) with ``raise_on_interrupt=True``.

    The program finished as a Control-C at a terminal lets it: the final
    report, the result files. ``error.result`` is the ``FitResult`` read
    from them, marked ``interrupted``.
    """

    def __init__(self, result: Any) -> None:
        super().__init__(f"the fit was interrupted; error.result holds the best set found "
                         f"(goodness {result.goodness:.6g})")
        self.result = result


class QuelmoWarning(UserWarning):
    """Base class of the warnings the quelmo package gives: what the program
    warns about on standard error, and what the package itself notices."""


class CoilFileWarning(QuelmoWarning):
    """The coil file's reader read a line other than as written (a field cut
    short, text after the name, a measured inductance of 0, ...)."""


class UnitWarning(CoilFileWarning):
    """Coils whose sizes or inductances look like another unit than metres
    and henries."""


class RangesFileWarning(QuelmoWarning):
    """The ranges file's reader read a value other than as written (a decimal
    comma, a token cut short, ...)."""


class BaseFormulaWarning(QuelmoWarning):
    """The classical formula a fit corrects (setting ``base``) cannot
    evaluate some coils, which then count in no goodness."""


class RunWarning(QuelmoWarning):
    """Anything else the program told on standard error while its run went
    on: a checkpoint it could not write, a worker replaced, the progress
    stream, a run directory open to every user, ..."""


class InterruptedFitWarning(QuelmoWarning):
    """A fit was stopped by Control-C; the result returned is the best set
    found by then (``result.interrupted`` is true)."""


__all__ = ["BaseFormulaWarning", "CoilFileWarning", "FitError", "FitInterrupted", "InputError",
           "InterruptedFitWarning", "QuelmoError", "QuelmoWarning", "RangesFileWarning", "ResultFileError", "RunWarning",
           "UnitWarning"]
