"""The one reader of the program's result JSON (setting ``resultjson``),
for FitResult, ``quelmo.inductance``, the plots and the report page alike.
Plain Python: it needs neither numpy, matplotlib nor the compiled part."""

from __future__ import annotations

import json
import math
import os
import stat
from typing import IO, Any, Dict, List, Tuple, Union

from ._errors import ResultFileError

#: The members a result JSON of this program always has.
REQUIRED = ("goodness", "coefficients", "settings")


class NotRegularFileError(OSError):
    """A FIFO, device, socket or directory where a file was named."""


def file_kind(mode: int) -> str:
    """What a file that is not a regular one is, in a user's words."""
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return name
    return "not a regular file"


def open_regular(path: Union[str, "os.PathLike[str]"], **text: Any) -> IO[str]:
    """Opens path as text for reading, and only a regular file.

    A FIFO or a device named where a file belongs would block the reader for
    ever or never end, so the file is opened without waiting for a writer
    and refused unless it is regular; the check is on the open file itself.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    **text
        Passed to ``open``: encoding, errors, newline.

    Returns
    -------
    file object
        Open for reading, blocking as usual.

    Raises
    ------
    NotRegularFileError
        When it is not a regular file; ``str(error)`` says what it is.
    OSError
        When it cannot be opened.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotRegularFileError(f"cannot read {os.fspath(path)}: it is {file_kind(mode)}; "
                                      "only regular files are read")
        os.set_blocking(fd, True)
        file: IO[str] = open(fd, "r", **text)
        return file
    except BaseException:
        os.close(fd)
        raise


def is_result(document: Any) -> bool:
    """Whether a parsed JSON document is a quelmo result of any build: an
    object with a ``goodness`` or with ``"program": "quelmo"``."""
    return isinstance(document, dict) and ("goodness" in document or document.get("program") == "quelmo")


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
        The file cannot be read (a FIFO or device is not read at all), is
        not JSON or nested too deeply to parse, is not a quelmo result, or
        holds a lone surrogate escape or an integer beyond a double's range.
    """
    where = os.fspath(path)
    try:
        with open_regular(path, encoding="utf-8", errors="surrogateescape") as file:
            document = json.load(file)
    except NotRegularFileError as error:
        raise ResultFileError(str(error)) from None
    except OSError as error:
        raise ResultFileError(f"cannot read {where}: {error.strerror}") from None
    except RecursionError:
        raise ResultFileError(f"{where}: not a quelmo result: its JSON is nested too deeply") from None
    except json.JSONDecodeError as error:
        raise ResultFileError(f"{where}: line {error.lineno}: not JSON: {error.msg}") from None
    except ValueError as error:  # an integer of more digits than Python converts
        raise ResultFileError(f"{where}: not JSON: {error}") from None
    if not isinstance(document, dict) or (tolerant and not is_result(document)):
        raise ResultFileError(f"{where}: not a quelmo result (no goodness)")
    missing = [member for member in REQUIRED if member not in document]
    if missing and not tolerant:
        raise ResultFileError(f"{where}: not a quelmo result, missing {', '.join(missing)}")
    check_values(document, where)
    return document


def check_values(document: Dict[str, Any], path: str) -> None:
    """Refuses what no result of the program holds and no reader can use:
    text that is not text (a lone surrogate escape, which no UTF-8 file can
    hold) and an integer beyond the range of a floating-point number.

    Parameters
    ----------
    document : dict
        The result JSON.
    path : str
        Its file, for the messages.

    Raises
    ------
    ResultFileError
        Naming the member and what is wrong with it.
    """
    pending: List[Tuple[str, Any]] = [("", document)]
    while pending:  # without recursion: a deep document is no reason to fail here
        where, value = pending.pop()
        if isinstance(value, dict):
            for key, member in value.items():
                check_text(key, f"{where}.{key}" if where else "a member name", path)
                pending.append((f"{where}.{key}" if where else str(key), member))
        elif isinstance(value, list):
            pending.extend((f"{where}[{i}]", member) for i, member in enumerate(value))
        elif isinstance(value, str):
            check_text(value, where, path)
        elif isinstance(value, int) and not isinstance(value, bool):
            try:
                math.isfinite(value)
            except OverflowError:
                raise ResultFileError(f"{path}: {where} is a number of {len(str(abs(value)))} digits, beyond the "
                                      "range of a floating-point number: not a result quelmo writes") from None


def check_text(text: str, where: str, path: str) -> None:
    """Refuses text holding a lone surrogate escape (\\ud800 to \\udfff)
    that no UTF-8 file can hold (a byte of a non-UTF-8 file, read as
    \\udc80 to \\udcff, is written back as it was)."""
    try:
        text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError as error:
        bad = ord(text[error.start])
        raise ResultFileError(f"{path}: {where} holds the escape \\u{bad:04x}, half of a surrogate pair without "
                              "its other half: not a character, so no page can show it") from None
