"""What the program writes on standard error while its run goes on, given
to Python as warnings of the quelmo warning classes, one per kind, so that
``warnings`` filters and pytest's ``-W error`` apply to them."""

from __future__ import annotations

import re
import warnings
from typing import Dict, List, Sequence, Type

from ._errors import BaseFormulaWarning, CoilFileWarning, QuelmoWarning, RangesFileWarning, RunWarning, UnitWarning

# Lines that only inform: the result file's name.
_QUIET = re.compile(r"^Result written to ")
_AT_LINE = re.compile(r"^Warning: at line \d+ in (.*?), ")


def classify(line: str, ranges_names: Sequence[str] = ()) -> Type[QuelmoWarning]:
    """The warning class of one line of the program's standard error.

    Parameters
    ----------
    line : str
        The line, without its newline.
    ranges_names : sequence of str
        The names the ranges file goes by in the program's messages; a
        message about a line of any other file is about the coil file.

    Returns
    -------
    type
        A subclass of ``QuelmoWarning``.
    """
    if match := _AT_LINE.match(line):
        return RangesFileWarning if match.group(1) in ranges_names else CoilFileWarning
    if re.match(r"^Warning: \d+ coils? ha(s|ve) ", line):
        return UnitWarning
    if line.startswith("Warning: base "):
        return BaseFormulaWarning
    return RunWarning


def grouped(text: str, ranges_names: Sequence[str] = ()) -> Dict[Type[QuelmoWarning], List[str]]:
    """The lines of ``text`` that warn, by their warning class, in order."""
    kinds: Dict[Type[QuelmoWarning], List[str]] = {}
    for line in text.splitlines():
        if not line.strip() or _QUIET.match(line):
            continue
        kinds.setdefault(classify(line, ranges_names), []).append(line)
    return kinds


def warn_messages(text: str, ranges_names: Sequence[str] = (), stacklevel: int = 2) -> None:
    """Gives each kind of message in ``text`` as one warning.

    Parameters
    ----------
    text : str
        What the program (or its coil reader) wrote on standard error.
    ranges_names : sequence of str
        See ``classify``.
    stacklevel : int
        As for ``warnings.warn``, counted from the caller.
    """
    for kind, lines in grouped(text, ranges_names).items():
        warnings.warn("\n".join(lines), kind, stacklevel=stacklevel + 1)
