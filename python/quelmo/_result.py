"""FitResult: what a fit gives, read back from the files the program wrote."""

from __future__ import annotations

import functools
import math
import os
import pathlib
import re
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from ._document import read_result_json
from ._equation import COEFFICIENTS, fitted_inductance
from ._files import COIL_CSV, LOG_CSV, MANAGED_MARKER, RANGES, RESULT_JSON
from ._settings import unique_names

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

# Settings a follow-up fit must not inherit: it starts afresh, from the
# fitted set, rather than continuing the old run's snapshot.
_NOT_FOLLOWED = ("statefile", "resume")


def _read_csv(path: pathlib.Path, text_columns: Sequence[str] = ()) -> "pd.DataFrame":
    import pandas as pd
    # Every number exactly as written (the program writes them to read back
    # to the same double); names stay text, whatever they look like.
    frame = pd.read_csv(path, float_precision="round_trip", keep_default_na=False, na_values=[""],
                        dtype={column: str for column in text_columns}, encoding_errors="surrogateescape")
    for column in text_columns:
        frame[column] = frame[column].fillna("")
    return frame


@functools.lru_cache(maxsize=None)
def _coefficients_class() -> Any:
    """The Series of fitted coefficients, which carries the base they were
    fitted with (``.base``), so that ``quelmo.inductance`` computes the
    fitted formula from them; made when first needed (pandas loads late)."""
    import pandas as pd

    class Coefficients(pd.Series):  # type: ignore[misc]
        """Fitted coefficients: a pandas Series r0 ... l3 whose ``base`` names
        the classical formula they correct (``none``: the equation alone)."""

        _metadata = ["base"]
        base = "none"

        @property
        def _constructor(self) -> Any:
            return Coefficients

    return Coefficients


def _series(mapping: Mapping[str, Any], name: str, base: Optional[str] = None) -> "pd.Series":
    values = [math.nan if mapping.get(k) is None else float(mapping[k]) for k in COEFFICIENTS]
    if base is None:
        import pandas as pd
        return pd.Series(values, index=list(COEFFICIENTS), name=name, dtype="float64")
    series = _coefficients_class()(values, index=list(COEFFICIENTS), name=name, dtype="float64")
    series.base = base
    return series


def _number(value: Optional[float], form: str = "g") -> str:
    return "-" if value is None else format(value, form)


class FitResult:
    """The result of ``quelmo.fit``, read back from the program's files.

    Parameters
    ----------
    document : dict
        The result JSON.
    coils, log : pandas.DataFrame
        The coil and generation tables (see the attributes).
    workdir : pathlib.Path or None
        The run's directory.
    output, messages : str
        What the program wrote to standard output and standard error.
    ranges_text : str, optional
        The ranges file the fit ran with.

    Attributes
    ----------
    goodness : float
        The final set's goodness (root-mean-square relative error), as in
        the program's result file.
    coefficients : pandas.Series
        The final set, indexed by coefficient name; its ``base`` is the
        fit's, so that ``quelmo.inductance(result.coefficients, coils)``
        computes the fitted formula.
    stderr : pandas.Series or None
        The coefficients' standard errors (NaN where a coefficient is held,
        pinned or undetermined); None without ``statistics=1``.
    statistics : dict or None
        The statistics as the result JSON gives them (n, p, chisqr, redchi,
        aic, bic, correlation, high_correlations, undetermined, outliers,
        and crossvalidation and pruned when asked); None without
        ``statistics=1``.
    coils : pandas.DataFrame
        One row per coil in file order: ``name``, ``measured_H``,
        ``computed_H``, ``relative_error`` ((computed - measured) /
        measured), ``coil_radius_m``, ``wire_radius_m``, ``gauge``,
        ``turns``, ``length_m``, ``evaluated``, and ``leverage`` and
        ``studentized`` (NaN without statistics).
    log : pandas.DataFrame
        One row per generation: ``generation``, ``tested``, ``best1`` ...
        ``best4``, ``library_size``, ``rejects``, ``elapsed_s``.
    found : dict
        The set before the polish: ``goodness`` and ``coefficients``.
    polished : bool
        Whether the polish replaced the found set.
    held, pinned : list of str
        The coefficients the polish held for the equation's scale freedoms,
        and those the ranges pinned.
    settings : dict
        Every setting as the run used it.
    interrupted : bool
        Control-C (or SIGTERM) stopped the fit: the result is the best set
        found by then.
    workdir : pathlib.Path or None
        The run's directory, with its files (``result.json``, ``coils.csv``,
        ``log.csv``, ``fit-result.txt``, ``ranges.txt``); None when fit()
        ran in a temporary directory and removed it.
    program : str or None
        The program that ran the fit (its path), when fit() ran it.
    output, messages : str
        What the program wrote to standard output and standard error.

    Notes
    -----
    ``repr(result)`` is one line; ``str(result)`` (``print(result)``) the
    fit report; in a notebook the result shows as a table.
    """

    def __init__(self, document: Dict[str, Any], coils: "pd.DataFrame", log: "pd.DataFrame",
                 workdir: Optional[Union[str, "os.PathLike[str]"]], output: str = "", messages: str = "",
                 ranges_text: Optional[str] = None) -> None:
        self.document = document
        self.goodness: float = document["goodness"]
        base = (document.get("base") or {}).get("name", "none")
        self.coefficients = _series(document["coefficients"], "value", base)
        found = document.get("found") or {"goodness": self.goodness, "coefficients": document["coefficients"]}
        self.found = {"goodness": found["goodness"], "coefficients": _series(found["coefficients"], "found", base)}
        self.polished = bool(document.get("polished", False))
        self.held: List[str] = list(document.get("held", []))
        self.pinned: List[str] = list(document.get("pinned", []))
        self.statistics: Optional[Dict[str, Any]] = document.get("statistics")
        self.stderr: Optional["pd.Series"] = None
        if self.statistics and self.statistics.get("stderr") is not None:
            self.stderr = _series(self.statistics["stderr"], "stderr")
        self.settings: Dict[str, Any] = dict(document.get("settings", {}))
        self.coils = coils
        self.log = log
        self.workdir: Optional[pathlib.Path] = None if workdir is None else pathlib.Path(workdir)
        self.output = output
        self.messages = messages
        self.program: Optional[str] = None
        self.interrupted = False
        self._ranges_text = ranges_text

    @classmethod
    def read(cls, workdir: Union[str, "os.PathLike[str]"], output: str = "", messages: str = "") -> "FitResult":
        """Reads the result of a fit from its directory.

        Parameters
        ----------
        workdir : str or os.PathLike
            A directory that ``fit`` ran in (with ``workdir=`` or
            ``keep=True``): its ``result.json``, ``coils.csv``, ``log.csv``
            and ``ranges.txt``.
        output, messages : str
            The program's standard output and standard error, if known.

        Returns
        -------
        FitResult
        """
        import numpy as np
        workdir = pathlib.Path(workdir)
        document = read_result_json(workdir / RESULT_JSON)
        coils = _read_csv(workdir / COIL_CSV, text_columns=("name",))
        coils["evaluated"] = coils["evaluated"].astype(bool)
        listed = document.get("coils") or []
        for column in ("leverage", "studentized"):
            values = [entry.get(column) for entry in listed] if len(listed) == len(coils) else []
            coils[column] = np.array([math.nan if v is None else v for v in values] or math.nan, dtype=float)
        log = _read_csv(workdir / LOG_CSV)
        ranges = workdir / RANGES
        text = ranges.read_text(encoding="utf-8", errors="surrogateescape") if ranges.is_file() else None
        return cls(document, coils, log, workdir, output, messages, text)

    def inductance(self, coils: Any) -> "npt.NDArray[np.float64]":
        """The fitted formula on coils, with the fit's base.

        Parameters
        ----------
        coils : pandas.DataFrame or mapping of arrays
            As for ``quelmo.inductance``.

        Returns
        -------
        numpy.ndarray
            Henries, bit for bit the program's; NaN where the formula cannot
            evaluate a coil.

        Warns
        -----
        QuelmoWarning
            Once, when coils lie outside the fitted coils (``domain``).
        """
        return fitted_inductance(self, coils, stacklevel=3)

    @property
    def seed(self) -> Optional[int]:
        """The seed of the run."""
        return self.settings.get("seed")

    def predict(self, coils: Any, level: float = 0.95) -> "pd.DataFrame":
        """The fitted formula on new coils, with how far to trust it.

        Parameters
        ----------
        coils : pandas.DataFrame or mapping of arrays
            ``coil_radius_m``, ``wire_radius_m``, ``turns`` and ``length_m``.
        level : float
            The prediction interval's level, strictly between 0 and 1.

        Returns
        -------
        pandas.DataFrame
            ``inductance_H`` (bit for bit the program's; NaN where the set
            cannot evaluate a coil); ``stderr_H`` and its clearer-named copy
            ``formula_stderr_H``: the standard error of the fitted formula
            alone (from the coefficients' covariance; it leaves out the
            formula's own error and the coil's measurement, so it is no
            interval for the coil); ``prediction_low_H`` /
            ``prediction_high_H``: the interval at ``level`` for the coil's
            measured inductance, by CV+ from the fold refits the result
            carries (-inf / inf when ``level`` exceeds n / (n + 1) for n
            fitted coils, with a warning); ``outside_domain``: the
            variables in which the coil lies outside the fitted coils, ""
            inside (with one warning when any is outside). Without fold
            fits in the result, the earlier interval, with a warning.

        Raises
        ------
        ValueError
            ``level`` not a number in (0, 1); ``coils`` missing a column;
            a result with neither statistics nor fold fits.
        """
        from ._predict import predict_fit
        return predict_fit(self, coils, level)

    # Which formula, and where: the comparison, the domain and the test of
    # fit that the result JSON carries (read by _compare and _domain).
    @property
    def compare(self) -> "Optional[pd.DataFrame]":
        """The candidate formulas compared on the fit's coils (``compare 1``):
        a DataFrame (see ``quelmo._compare.compare_frame``), None without."""
        from ._compare import compare_frame; return compare_frame(self.document)

    @property
    def domain(self) -> Optional[Dict[str, Tuple[float, float]]]:
        """The ranges the formula was fitted on: variable -> (min, max) for
        coil_radius_m, turns, length_m, wire_radius_m, length_over_diameter."""
        from ._domain import result_domain; return result_domain(self.document, self.coils)

    @property
    def uncertainty(self) -> Optional[Dict[str, Any]]:
        """The test of fit against the measurements' uncertainty (setting
        ``uncertainty``): a dict, None without the setting."""
        from ._compare import uncertainty_of; return uncertainty_of(self.document)

    @property
    def base(self) -> str:
        """The classical formula the fit corrected (setting ``base``): ``none`` for the equation alone."""
        return str((self.document.get("base") or {}).get("name", "none"))

    def to_ranges(self, path: Union[str, "os.PathLike[str]"],
                  pin: Union[str, Sequence[str], Mapping[str, float]] = ()) -> pathlib.Path:
        """Writes a ranges file for a follow-up fit that starts from the
        fitted set.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.
        pin : str, sequence of str or mapping
            Coefficients to pin to 0 (low = high = 0, and held: the line
            ``hold`` names them, so that no draw, walk or polish moves
            them), as the pruning advice says
            (``pin=result.statistics["pruned"]["pinned_to_zero"]``), or a
            mapping of names to the values to pin them at.

        Returns
        -------
        pathlib.Path
            The file: the ranges and settings this fit was given, without
            ``statefile`` and ``resume`` (the follow-up starts afresh), then
            the pinned ranges, one ``hold`` line naming the fit's held
            coefficients and the pinned ones, and the start set
            (``bestr0`` ... ``bestl3``). A range that does not hold the
            start value is widened to it.
        """
        path = pathlib.Path(path)
        if self._ranges_text is None:
            raise ValueError("this result has no ranges file to follow up (fit() read none back)")
        given = self._ranges_text.split(MANAGED_MARKER, 1)[0]
        # The last hold line stands; the follow-up's one hold line adds the pins to it.
        held = [fields[1] for fields in map(str.split, given.splitlines())
                if len(fields) > 1 and fields[0].lower() == "hold"][-1:]
        given = "".join(line for line in given.splitlines(keepends=True)
                        if not (line.split() and line.split()[0].lower() in _NOT_FOLLOWED + ("hold",)))
        if isinstance(pin, str):
            pin = [pin]
        names = list(pin.keys()) if isinstance(pin, Mapping) else list(pin)
        unique_names(names, "pin")
        pins = {str(k).lower(): float(pin[k]) for k in names} if isinstance(pin, Mapping) else \
            {str(k).lower(): 0.0 for k in names}
        unknown = sorted(set(pins) - set(COEFFICIENTS))
        if unknown:
            raise ValueError(f"pin: unknown coefficient {', '.join(unknown)}")
        ranges = {}
        for line in given.splitlines():
            fields = re.split(r"[\s,]+", line.strip())
            if len(fields) >= 6 and fields[0].lower() in COEFFICIENTS:
                ranges[fields[0].lower()] = fields[1:6]
        start = {name: pins.get(name, float(self.coefficients[name])) for name in COEFFICIENTS}
        origin = f" in {self.workdir}" if self.workdir is not None else ""
        lines = [f"# Follow-up of the fit{origin} (goodness {self.goodness:g}): it starts from "
                 "the fitted set" + (f"; pinned: {', '.join(pins)}." if pins else ".")]
        for name in COEFFICIENTS:
            if name not in ranges:
                raise ValueError(f"the fit's ranges file does not give {name}")
            low, high, resolution, minor, count = ranges[name]
            value = start[name]
            if name in pins:
                lines.append(f"{name} {value!r} {value!r} {resolution} {minor} {count}")
            elif not float(low) <= value <= float(high):
                lines.append(f"{name} {min(float(low), value)!r} {max(float(high), value)!r} "
                             f"{resolution} {minor} {count}")
        hold = [name.lower() for name in ",".join(held).split(",") if name]
        hold += [name for name in pins if name not in hold]
        if hold:
            lines.append(f"hold {','.join(hold)}")
        lines += [f"best{name} {start[name]!r}" for name in COEFFICIENTS]
        path.write_text(given + "\n".join(lines) + "\n", encoding="utf-8", errors="surrogateescape")
        return path

    def plot(self) -> Dict[str, Any]:
        """The figures of ``quelmo-plot`` as matplotlib figures.

        Returns
        -------
        dict
            By the name of the PNG file the tool writes: computed against
            measured inductance, relative error against each coil variable
            and the shape, goodness against generation and time, and with
            statistics, the studentized residuals against leverage.
        """
        from . import plots
        records = self.coils.to_dict("records")
        for record in records:
            for key, value in record.items():
                if isinstance(value, float) and math.isnan(value):
                    record[key] = None
        return dict(plots.figures(records, self.log.to_dict("records"), self.document))

    def prediction_rms(self) -> Optional[float]:
        """The cross-validated prediction RMS.

        Returns
        -------
        float or None
            None when the fit was run without ``crossvalidate``.
        """
        validation = (self.statistics or {}).get("crossvalidation") or {}
        rms: Optional[float] = validation.get("rms")
        return rms

    def __repr__(self) -> str:
        evaluated = int(self.coils["evaluated"].sum())
        count = f"{evaluated} coils" if evaluated == len(self.coils) else f"{evaluated} of {len(self.coils)} coils"
        rms = self.prediction_rms()
        prediction = f", prediction RMS {rms:.6g}" if rms is not None else ""
        stopped = ", interrupted" if self.interrupted else ""
        return f"<quelmo fit: goodness {_number(self.goodness, '.6g')} on {count}{prediction}{stopped}>"

    def _repr_html_(self) -> str:
        from .report import summary_html
        html: str = summary_html(self.document)
        return html

    def __str__(self) -> str:
        """The fit report: goodness, coefficients with their standard errors,
        statistics, advice and the worst coils."""
        evaluated = int(self.coils["evaluated"].sum())
        lines = [f"quelmo fit: goodness {self.goodness:.6g} on {evaluated} of {len(self.coils)} coils, "
                 f"seed {self.seed}, {len(self.log)} generations" + (", interrupted" if self.interrupted else "")]
        if self.polished:
            lines.append(f"  polished from {self.found['goodness']:.6g}"
                         + (f", holding {' '.join(self.held)}" if self.held else ""))
        for name in COEFFICIENTS:
            value = self.coefficients[name]
            line = f"  {name} = {value:< 18.10g}"
            if name in self.pinned:
                line += "pinned"
            elif name in self.held:
                line += "held"
            elif self.stderr is not None and not math.isnan(self.stderr[name]):
                error = self.stderr[name]
                share = f" ({100 * abs(error / value):.3g} %)" if value else ""
                line += f"± {error:.3g}{share}"
            lines.append(line.rstrip())
        statistics = self.statistics
        if statistics and statistics.get("unavailable"):
            lines.append(f"  no statistics: {statistics['unavailable']}")
        elif statistics:
            lines.append(f"  n {statistics['n']}, p {statistics['p']}, chi-square {_number(statistics['chisqr'])}, "
                         f"reduced {_number(statistics['redchi'])}, AIC {_number(statistics['aic'], '.6g')}, "
                         f"BIC {_number(statistics['bic'], '.6g')}")
            validation = statistics.get("crossvalidation")
            if validation:
                lines.append(f"  prediction RMS ({validation['folds']}-fold) {_number(validation['rms'])}, "
                             f"in sample {_number(validation['in_sample'])}")
            pairs = [f"{pair['first']}-{pair['second']} {pair['r']:+.3f}" for pair in statistics.get("high_correlations", [])]
            if pairs:
                lines.append(f"  correlated beyond 0.95: {', '.join(pairs)}")
            if statistics.get("undetermined"):
                lines.append(f"  undetermined by the coils: {' '.join(statistics['undetermined'])}")
            pruned = statistics.get("pruned")
            if pruned and pruned.get("pinned_to_zero"):
                lines.append(f"  pruning advice: pin {' '.join(pruned['pinned_to_zero'])} to 0 (goodness "
                             f"{_number(pruned['goodness'], '.6g')}, AIC {_number(pruned['aic'], '.6g')})")
            if statistics.get("outliers"):
                lines.append(f"  suspect coils (|studentized| > 3): {' '.join(statistics['outliers'])}")
        errors = self.coils.loc[self.coils["evaluated"], ["name", "relative_error"]].dropna()
        worst = errors.loc[errors["relative_error"].abs().sort_values(ascending=False).index[:3]]
        shown = [f"{name} {100 * error:+.1f} %" for name, error in zip(worst["name"], worst["relative_error"])]
        if shown:
            lines.append(f"  worst coils: {', '.join(shown)}")
        if self.workdir is not None:
            lines.append(f"  files in {os.fspath(self.workdir)}")
        return "\n".join(lines)


def as_result(result: Union["FitResult", str, "os.PathLike[str]", Mapping[str, Any]]) -> "FitResult":
    """A FitResult, from itself, a result JSON's path or its parsed document
    (whose ``coils`` give the fitted coils)."""
    import json
    import pathlib

    import pandas as pd

    if isinstance(result, FitResult):
        return result
    if isinstance(result, Mapping):
        document, workdir = dict(result), pathlib.Path(".")
    else:
        path = pathlib.Path(result)
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            document = json.load(file)
        workdir = path.parent
    if not isinstance(document, dict) or "coefficients" not in document:
        raise ValueError(f"{result!r} is not a fit's result (no coefficients)")
    coils = pd.DataFrame(document.get("coils") or [])
    if "evaluated" not in coils:
        coils["evaluated"] = True
    return FitResult(document, coils, pd.DataFrame(), workdir)


def predict(result: Union[FitResult, str, "os.PathLike[str]", Mapping[str, Any]], coils: Any,
            level: float = 0.95) -> "pd.DataFrame":
    """The fitted formula on new coils, with its standard error, prediction
    interval and domain flags.

    Parameters
    ----------
    result
        A ``FitResult``, or a result JSON (its path, or the parsed
        document): a saved result predicts without a refit.
    coils
        A DataFrame or a mapping of arrays with ``coil_radius_m``,
        ``wire_radius_m``, ``turns`` and ``length_m``.
    level
        The interval's level, strictly between 0 and 1.

    Returns
    -------
    pandas.DataFrame
        See ``FitResult.predict``.
    """
    from ._predict import check_level, predict_fit
    level = check_level(level)
    return predict_fit(as_result(result), coils, level)
