"""The settings the program's ranges file accepts, and the checks of names
given from Python (keywords of fit(), keys of a ranges mapping, a
coefficient mapping) before any of them reaches a ranges file."""

from __future__ import annotations

from typing import Dict, Iterable, List, Sequence

#: Every setting name the ranges file accepts, in the order of the program's
#: settings table (and of the ``settings`` member of its result JSON).
SETTING_NAMES = (
    "population", "save", "maxgenerations", "resultfile", "processes", "seed", "noise", "minormax",
    "randomminor", "tries", "resultc", "cvarname", "pctchange", "raiselower", "quitat", "rangeexpand",
    "direction", "resultja", "javarname",
    "bestr0", "bestr1", "bestr2", "bestr3", "bestw0", "bestw1", "bestw2",
    "bestt0", "bestt1", "bestt2", "bestt3", "bestl0", "bestl1", "bestl2", "bestl3",
    "ordered", "checkpoint", "statefile", "stateevery", "resume", "polish", "coilcsv", "logcsv",
    "statistics", "crossvalidate", "prune", "resultjson", "baselines", "base",
    "compare", "uncertainty", "hold", "cvrepeats",
    "reportstyle", "normalize",
    "progressjson",
)


def closest(name: object, candidates: Sequence[str]) -> str:
    """The hint that names the candidate closest to ``name``.

    Parameters
    ----------
    name : object
        The name given.
    candidates : sequence of str
        The names it may have meant.

    Returns
    -------
    str
        `` (did you mean X?)``, or an empty string when none is close.
    """
    import difflib  # only when a name is wrong: it costs an import of re at start-up
    found = difflib.get_close_matches(str(name).lower(), [c.lower() for c in candidates], n=1, cutoff=0.6)
    if not found:
        return ""
    spelled = {c.lower(): c for c in candidates}
    return f" (did you mean {spelled[found[0]]}?)"


def unique_names(names: Iterable[object], what: str) -> List[str]:
    """The names in lower case, in order.

    Parameters
    ----------
    names : iterable
        The names given.
    what : str
        What gives them, for the message.

    Returns
    -------
    list of str

    Raises
    ------
    ValueError
        A name given twice in any letter case (the program matches names
        without regard to case, so the later one would silently win).
    """
    seen: Dict[str, object] = {}
    for name in names:
        key = str(name).lower()
        if key in seen:
            raise ValueError(f"{what}: {seen[key]!r} and {name!r} name the same {key}")
        seen[key] = name
    return list(seen)


def check_setting_names(names: Iterable[object], what: str, extra: Sequence[str] = ()) -> List[str]:
    """``unique_names`` of names that must all be settings.

    Parameters
    ----------
    names, what
        As for ``unique_names``.
    extra : sequence of str
        Other names the hint may suggest (a function's own keywords).

    Returns
    -------
    list of str
        The names in lower case, in order.

    Raises
    ------
    TypeError
        A name that is not a setting, naming the closest one.
    ValueError
        A setting given twice.
    """
    names = list(names)
    known = set(SETTING_NAMES)
    for name in names:
        if not isinstance(name, str) or name.lower() not in known:
            hint = closest(name, SETTING_NAMES + tuple(extra)) if isinstance(name, str) else ""
            raise TypeError(f"{what}: {name!r} is not a setting of the ranges file{hint}")
    return unique_names(names, what)


__all__ = ["SETTING_NAMES", "check_setting_names", "closest", "unique_names"]
