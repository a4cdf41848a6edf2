"""The one reader of the program's result JSON (setting ``resultjson``),
for FitResult, ``quelmo.inductance`` and the report page alike. Plain
Python: it needs neither numpy nor the compiled part."""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Union

from ._errors import ResultFileError

#: The members a result JSON of this program always has.
REQUIRED = ("goodness", "coefficients", "settings")


def read_result_json(path: Union[str, "os.PathLike[str]"], tolerant: bool = False) -> Dict[str, Any]:
    """Reads a result JSON.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    tolerant : bool
        Accept the documents of older builds, which may lack members: any
        object with a ``goodness`` or with ``"program": "quelmo"``. Without
        it, the document must have ``goodness``, ``coefficients`` and
        ``settings``.

    Returns
    -------
    dict
        The document. Numbers read back to the doubles the program wrote;
        names that are not UTF-8 come back as the same bytes through
        surrogate escapes.

    Raises
    ------
    ResultFileError
        The file cannot be read, is not JSON, or is not a quelmo result.
    """
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            document = json.load(file)
    except OSError as error:
        raise ResultFileError(f"cannot read {os.fspath(path)}: {error.strerror}") from None
    except ValueError as error:
        raise ResultFileError(f"{os.fspath(path)}: not JSON: {error}") from None
    if not isinstance(document, dict):
        raise ResultFileError(f"{os.fspath(path)}: not a quelmo result (no goodness)")
    if tolerant:
        if "goodness" not in document and document.get("program") != "quelmo":
            raise ResultFileError(f"{os.fspath(path)}: not a quelmo result (no goodness)")
        return document
    missing = [member for member in REQUIRED if member not in document]
    if missing:
        raise ResultFileError(f"{os.fspath(path)}: not a quelmo result, missing {', '.join(missing)}")
    return document
