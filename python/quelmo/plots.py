"""The plots of a fit, for ``tools/quelmo-plot`` and ``FitResult.plot()``.

Plain Python and matplotlib alone: the script loads this file and the
plain-Python modules it uses without the rest of the package, so it runs
wherever matplotlib does.

usage: quelmo-plot COILCSV [LOGCSV] [--json RESULT] [-o DIR]
       quelmo-plot --html REPORT.html RUNDIR_OR_JSON

From COILCSV (the coilcsv setting) it writes into DIR (default: the current
directory):
  computed-vs-measured.png  computed against measured inductance, log-log,
                            with the line where the two are equal
  error-vs-shape.png        relative error against length/diameter
  error-vs-turns.png        relative error against the number of turns
  error-vs-coil-radius.png  relative error against the coil radius
  error-vs-wire-radius.png  relative error against the wire radius
  error-vs-length.png       relative error against the coil length
from LOGCSV (the logcsv setting):
  goodness-vs-generation.png  best and fourth best goodness against the generation
  goodness-vs-time.png        the same against the time since the start
and from RESULT (the resultjson setting) of a run with statistics:
  studentized-vs-leverage.png  studentized residual against leverage, the
                               suspect coils (|studentized| > 3) named
and of a run with baselines 1 (see plots_baselines.py):
  baselines-vs-shape.png       each classical formula's relative error beside
                               the fit's, against length/diameter

The worst five coils are named on the error plots. Every title gives the
goodness, the seed and the number of coils: the goodness and seed from
RESULT; without it, the goodness the coil file's relative errors give and no
seed. A missing or malformed file ends the script with status 1 and a
message that names the file and the line; no plot is written then.

With --html, one self-contained page of the whole fit instead, from a run
directory or its result JSON (see quelmo.report).
"""

import csv
import math
import os
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple

from . import _document
from ._errors import ResultFileError
from ._plotvalues import DENSITY_ABOVE as DENSITY_ABOVE, finite as finite

# The columns of the coil CSV (setting coilcsv) that the plots need; a column
# may hold no value where it says so.
COIL_CSV_COLUMNS = {
    "name": "text",
    "measured_H": "number",
    "computed_H": "optional",
    "relative_error": "optional",
    "coil_radius_m": "number",
    "wire_radius_m": "number",
    "gauge": "number",
    "turns": "number",
    "length_m": "number",
    "evaluated": "number",
}
LOG_COLUMNS = {
    "generation": "number",
    "tested": "number",
    "best1": "optional",
    "best2": "optional",
    "best3": "optional",
    "best4": "optional",
    "library_size": "number",
    "rejects": "number",
    "elapsed_s": "number",
}
RESULT_MEMBERS = ("goodness", "coils", "settings")
WORST_NAMED = 5
SUSPECT = 3  # |studentized residual| above which a coil is suspect
# Above this many points a plot shows their density (hexagonal bins, drawn as
# an image) rather than one mark each, and names at most NAMED_AT_MOST
# coils: a page of 10^5 coils stays a few megabytes and opens at once.
NAMED_AT_MOST = 12
# Points that the names of the worst coils keep clear of: a thinned set
# above this many, as the search for a free place goes over each of them.
AVOIDED_AT_MOST = 2000


class BadInput(Exception):
    pass


class NotRegularFile(BadInput):
    """A FIFO, device, socket or directory where a file was named."""


def open_regular(path: "os.PathLike[str] | str", **text: Any) -> IO[str]:
    """``_document.open_regular`` (a regular file only, opened without
    waiting for a writer) with its failures as BadInput: NotRegularFile for
    a FIFO, device, socket or directory; ``**text`` goes to ``open``."""
    try:
        return _document.open_regular(path, **text)
    except _document.NotRegularFileError as error:
        raise NotRegularFile(str(error)) from None
    except OSError as error:
        raise BadInput(f"cannot read {os.fspath(path)}: {error.strerror}") from None


def read_table(path: Any, columns: Dict[str, str]) -> List[Dict[str, Any]]:
    """The rows of a CSV file as dicts of the wanted columns, numbers as floats
    (None where an optional column is empty)."""
    try:
        with open_regular(path, newline="", encoding="utf-8", errors="replace") as f:
            reader = csv.reader(f, strict=True)
            try:
                header = next(reader, None)
                if header is None:
                    raise BadInput(f"{path}: the file is empty")
                missing = [c for c in columns if c not in header]
                if missing:
                    plural = "s" if len(missing) > 1 else ""
                    raise BadInput(f"{path}: line 1: not a quelmo CSV header, "
                                   f"missing column{plural} {', '.join(missing)}")
                index = {c: header.index(c) for c in columns}
                rows = []
                for fields in reader:
                    line = reader.line_num
                    if len(fields) != len(header):
                        raise BadInput(f"{path}: line {line}: {len(fields)} fields, "
                                       f"the header has {len(header)}")
                    rows.append(parse_row(path, line, fields, index, columns))
            except csv.Error as error:
                raise BadInput(f"{path}: line {reader.line_num}: {error}") from None
    except OSError as error:
        raise BadInput(f"cannot read {path}: {error.strerror}") from None
    if not rows:
        raise BadInput(f"{path}: no data rows after the header")
    return rows


def parse_row(path, line, fields, index, columns):
    row = {}
    for column, kind in columns.items():
        text = fields[index[column]]
        if kind == "text":
            row[column] = text
        elif kind == "optional" and text == "":
            row[column] = None
        else:
            try:
                row[column] = float(text)
            except ValueError:
                raise BadInput(f"{path}: line {line}: {column} is {text!r}, "
                               "not a number") from None
    return row


def read_result(path: Any) -> Dict[str, Any]:
    """The result JSON (the resultjson setting) as a dict, read as the page
    and FitResult read it; it must have the members the plots use."""
    try:
        result = _document.read_result_json(path, tolerant=True)
    except ResultFileError as error:
        raise BadInput(str(error)) from None
    missing = [m for m in RESULT_MEMBERS if m not in result]
    if missing:
        raise BadInput(f"{path}: not a quelmo result, missing {', '.join(missing)}")
    return result


def draw_points(fig: Any, ax: Any, xs: Sequence[float], ys: Sequence[float], names: Sequence[str],
                xscale: str = "linear", yscale: str = "linear", size: float = 18, color: str = "tab:blue",
                **style: Any) -> None:
    """The points of a plot: one mark each, named on hover in the page; or,
    above DENSITY_ABOVE of them, their density in hexagonal bins drawn as
    an image, so that a plot of 10^5 coils stays small."""
    if len(xs) > DENSITY_ABOVE:
        ax.hexbin(xs, ys, gridsize=70, bins="log", mincnt=1, cmap="Blues", xscale=xscale, yscale=yscale,
                  rasterized=True, zorder=2)
        return
    ax.scatter(xs, ys, s=size, color=color, zorder=3, gid="coil-points", **style)
    mark_points(fig, ax, "coil-points", names)
    ax.set_xscale(xscale)
    ax.set_yscale(yscale)


def thinned(points: List[Any]) -> List[Any]:
    """At most about AVOIDED_AT_MOST of the points, evenly spread."""
    step = -(-len(points) // AVOIDED_AT_MOST)
    return points[::step] if step > 1 else points


def plain_text() -> Any:
    """A matplotlib context in which text is taken as it is written: a coil
    named $\\alpha$ or a seed with dollars in a result is shown, not set as
    mathematics (whose errors would leave out every plot)."""
    import matplotlib
    return matplotlib.rc_context({"text.parse_math": False})


def plain_log_axis(axis, ticker, low, high):
    """A log axis labelled with plain numbers: at every digit when the data
    span less than a decade and a half, else at 1, 2 and 5 times powers of ten."""
    subs = (1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 7, 8, 9) if high < 15 * low else (1, 2, 5)
    axis.set_major_locator(ticker.LogLocator(base=10, subs=subs, numticks=40))
    axis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
    axis.set_minor_formatter(ticker.NullFormatter())


def heading(coils: List[Dict[str, Any]], result: Optional[Dict[str, Any]], count: bool = False) -> str:
    """The line every title ends with: goodness (and what the polish started
    from) and seed, and the coil count when the title's first line has none."""
    coils_text = f", {len(coils)} coils" if count else ""
    if result is not None:
        settings, found = result.get("settings"), result.get("found")
        seed = settings.get("seed") if isinstance(settings, dict) else None
        found = found.get("goodness") if isinstance(found, dict) else None
        polished = f" (polished from {found:.6g})" if result.get("polished") and finite(found) else ""
        return f"goodness {_goodness(result['goodness'])}{polished}, seed {seed}{coils_text}"
    errors = [c["relative_error"] for c in coils if c["evaluated"] == 1 and finite(c["relative_error"])]
    rms = math.sqrt(sum(e * e for e in errors) / len(errors)) if errors else math.nan
    return f"goodness {rms:.6g} (from the coil errors){coils_text}"


def _goodness(value: Any) -> str:
    return f"{value:.6g}" if finite(value) or isinstance(value, float) else "-"


LABEL_POINTS = 7  # font size of a coil's name


def name_coils(ax: Any, points: List[Any], label: Optional[str] = None, avoid: Sequence[Any] = ()) -> None:
    """Circles and names the coils of (x, y, name) points; call it once the
    axes' scales and limits are set. Each name goes to the first of a few
    places around its point that stays inside the axes and clear of the
    names placed before and of the other points (avoid: more (x, y) to keep
    clear of); a name set further off is tied to its point by a thin line."""
    if not points:
        return
    from matplotlib.textpath import TextPath
    ax.scatter([x for x, _, _ in points], [y for _, y, _ in points], s=30, facecolors="none",
               edgecolors="tab:red", linewidths=1.2, zorder=4, label=label)
    scale = ax.figure.dpi / 72  # display units per point
    frame = ax.get_window_extent()
    others = [tuple(ax.transData.transform(xy)) for xy in thinned(list(avoid)) + [(x, y) for x, y, _ in points]]
    placed: List[Tuple[float, float, float, float]] = []
    height = LABEL_POINTS * 1.2
    for x, y, name in sorted(points, key=lambda p: -abs(p[1])):
        # A name's bytes that are not UTF-8 (read as surrogate escapes) drawn
        # as U+FFFD, as the CSV reader reads them: no font has a glyph for them.
        name = name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        px, py = ax.transData.transform((x, y))
        width = TextPath((0, 0), name, size=LABEL_POINTS).get_extents().width + 1
        right, left = 5, -5 - width
        choices = [(right, 2), (right, -2 - height), (left, 2), (left, -2 - height),
                   (right, 10), (left, 10), (right, -10 - height), (left, -10 - height),
                   (right + 8, 18), (left - 8, 18), (right + 8, -18 - height), (left - 8, -18 - height)]

        def fits(choice):
            x0, y0 = px + choice[0] * scale, py + choice[1] * scale
            x1, y1 = x0 + width * scale, y0 + height * scale
            if x0 < frame.x0 or x1 > frame.x1 or y0 < frame.y0 or y1 > frame.y1:
                return False
            if any(x0 < b[2] and b[0] < x1 and y0 < b[3] and b[1] < y1 for b in placed):
                return False
            pad = 2 * scale
            return not any(x0 - pad < ox < x1 + pad and y0 - pad < oy < y1 + pad for ox, oy in others)
        chosen = next((i for i, c in enumerate(choices) if fits(c)), 0 if px < frame.x0 + 0.8 * frame.width else 2)
        dx, dy = choices[chosen]
        x0, y0 = px + dx * scale, py + dy * scale
        placed.append((x0, y0, x0 + width * scale, y0 + height * scale))
        far = chosen >= 4  # beyond the four places next to the point
        ax.annotate(name, (x, y), textcoords="offset points", xytext=(dx, dy), ha="left", va="bottom",
                    fontsize=LABEL_POINTS, color="tab:red",
                    arrowprops=dict(arrowstyle="-", color="tab:red", linewidth=0.5, shrinkA=0, shrinkB=3)
                    if far else None)


def mark_points(fig, ax, gid, names):
    """Records the coil names of the points drawn by the artist with this gid,
    in order, so that an SVG of the figure can name each point on hover."""
    if not hasattr(fig, "point_names"):
        fig.point_names = {}
    fig.point_names[gid] = list(names)


def worst(evaluated, count=WORST_NAMED):
    return sorted(evaluated, key=lambda c: -abs(c["relative_error"]))[:count]


def shape(coil: Dict[str, Any]) -> Optional[float]:
    """Length over diameter, None for a coil of no radius."""
    diameter = 2 * coil["coil_radius_m"]
    return coil["length_m"] / diameter if diameter else None


def coil_figures(plt: Any, ticker: Any, coils: List[Dict[str, Any]], head: str) -> List[Tuple[str, Any]]:
    figures = []
    evaluated = [c for c in coils if c["evaluated"] == 1
                 and finite(c["computed_H"], c["relative_error"])]
    left_out = len(coils) - len(evaluated)
    note = f" ({left_out} not evaluable, not shown)" if left_out else ""
    named = worst(evaluated)

    shown = [c for c in evaluated if c["measured_H"] > 0 and c["computed_H"] > 0]
    measured = [c["measured_H"] * 1e6 for c in shown]
    computed = [c["computed_H"] * 1e6 for c in shown]
    fig, ax = plt.subplots(figsize=(6.4, 5.6))
    draw_points(fig, ax, measured, computed, [c["name"] for c in shown], "log", "log", label="coils")
    if shown:
        low = min(measured + computed) / 1.5
        high = max(measured + computed) * 1.5
        ax.plot([low, high], [low, high], color="0.4", linewidth=1, label="computed = measured")
        ax.set_xlim(low, high)
        ax.set_ylim(low, high)
    ax.set_aspect("equal")
    name_coils(ax, [(c["measured_H"] * 1e6, c["computed_H"] * 1e6, c["name"]) for c in named if c in shown],
               f"worst {len(named)}", avoid=list(zip(measured, computed)))
    ax.set_xlabel("measured inductance (µH)")
    ax.set_ylabel("computed inductance (µH)")
    skipped = len(evaluated) - len(shown)
    extra = f", {skipped} not positive, not shown" if skipped else ""
    ax.set_title(f"Computed against measured, {len(shown)} coils{note}{extra}\n{head}", fontsize=10)
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(loc="upper left")
    figures.append(("computed-vs-measured.png", fig))

    for name, label, key in (
        ("error-vs-shape.png", "length / diameter", shape),
        ("error-vs-turns.png", "turns", lambda c: c["turns"]),
        ("error-vs-coil-radius.png", "coil radius (mm)", lambda c: c["coil_radius_m"] * 1e3),
        ("error-vs-wire-radius.png", "wire radius (mm)", lambda c: c["wire_radius_m"] * 1e3),
        ("error-vs-length.png", "coil length (mm)", lambda c: c["length_m"] * 1e3),
    ):
        points = [(key(c), 100 * c["relative_error"], c) for c in evaluated]
        points = [(x, y, c) for x, y, c in points if finite(x, y) and x > 0]
        fig, ax = plt.subplots(figsize=(6.4, 4.4))
        ax.axhline(0, color="0.4", linewidth=1)
        draw_points(fig, ax, [x for x, _, _ in points], [y for _, y, _ in points], [c["name"] for _, _, c in points],
                    "log")
        xs = [x for x, _, _ in points] or [1]
        plain_log_axis(ax.xaxis, ticker, min(xs), max(xs))
        name_coils(ax, [(x, y, c["name"]) for x, y, c in points if c in named],
                   avoid=[(x, y) for x, y, _ in points])
        ax.set_xlabel(label)
        ax.set_ylabel("relative error (computed − measured) / measured (%)")
        ax.set_title(f"Relative error against {label.split(' (')[0]}, {len(points)} coils{note}\n{head}",
                     fontsize=10)
        ax.grid(True, which="both", linewidth=0.3)
        figures.append((name, fig))
    return figures


def log_figures(plt, ticker, rows, head, result=None):
    """Best and fourth-best goodness against generation and time. The
    polish, when it improved the search's best set, is its last step: a drop
    one generation (or the last step's width in time) after the search ends,
    marked and labelled, so that the line ends at the goodness of the title."""
    figures = []
    polish = None
    if result is not None and result.get("polished") and finite(result.get("goodness")):
        polish = result["goodness"]
    # The polish's step in time: the mean step of the search.
    times = [r["elapsed_s"] for r in rows if finite(r["elapsed_s"], r["best1"]) and r["best1"] > 0]
    time_step = max((times[-1] - times[0]) / max(len(times) - 1, 1), 1e-3) if times else 1e-3
    drawn = changes_only(rows) if len(rows) > DENSITY_ABOVE else rows
    for name, key, label, against in (
        ("goodness-vs-generation.png", "generation", "generation", "generation"),
        ("goodness-vs-time.png", "elapsed_s", "seconds since the start of the search", "time"),
    ):
        fig, ax = plt.subplots(figsize=(6.4, 4.4))
        values = []
        lines = {}
        # The fourth best often equals the best: the band between the two is
        # shaded, and the fourth best is drawn on top, so that it shows both
        # where the two part and where they agree.
        for column, style in (("best1", dict(color="tab:blue", linewidth=2.4, label="best", zorder=2)),
                              ("best4", dict(color="tab:orange", linewidth=1.1, zorder=3,
                                             label="fourth best (on the best where they agree)"))):
            points = [(r[key], r[column]) for r in drawn if finite(r[key], r[column]) and r[column] > 0]
            ax.plot([x for x, _ in points], [y for _, y in points], drawstyle="steps-post", **style)
            values += [y for _, y in points]
            lines[column] = points
        best, fourth = lines["best1"], dict(lines["best4"])
        shared = [(x, y, fourth[x]) for x, y in best if x in fourth]
        if shared:
            ax.fill_between([x for x, _, _ in shared], [y for _, y, _ in shared], [f for _, _, f in shared],
                            step="post", color="tab:orange", alpha=0.25, linewidth=0, zorder=1)
        if polish is not None and best and polish < best[-1][1]:
            last_x, last_y = best[-1]
            width = 1 if key == "generation" else time_step
            ax.plot([last_x, last_x + width, last_x + width], [last_y, last_y, polish], color="tab:green",
                    linewidth=2.4, zorder=4)
            ax.plot([last_x + width], [polish], marker="v", color="tab:green", markersize=7, zorder=5,
                    linestyle="none", label=f"polish, the last step: {polish:.6g}")
            values.append(polish)
        ax.set_yscale("log")
        values = values or [1]
        plain_log_axis(ax.yaxis, ticker, min(values), max(values))
        ax.set_xlabel(label)
        ax.set_ylabel("goodness (RMS relative error)")
        ax.set_title(f"Best goodness against {against}, {len(rows)} generations\n{head}", fontsize=10)
        ax.grid(True, which="both", linewidth=0.3)
        ax.legend(loc="upper right", fontsize=8)
        figures.append((name, fig))
    return figures


def changes_only(rows: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    """The generations at which the best or the fourth best goodness
    changes, and the last: the same steps drawn, from a log of any length."""
    kept = [row for i, row in enumerate(rows)
            if i == 0 or i == len(rows) - 1 or (row["best1"], row["best4"]) != (rows[i - 1]["best1"], rows[i - 1]["best4"])]
    return kept


def leverage_figure(plt: Any, result: Dict[str, Any], head: str) -> Optional[Tuple[str, Any]]:
    """Studentized residual against leverage, or None when the result has
    no statistics. Named: the suspect coils (|studentized| > 3) and those of
    high leverage (above twice the mean, 2p/n), which pull the fit most."""
    statistics, coils = result.get("statistics"), result.get("coils")
    if not isinstance(statistics, dict) or statistics.get("unavailable"):
        return None
    points = [(c["leverage"], c["studentized"], str(c.get("name"))) for c in coils if isinstance(c, dict)
              and finite(c.get("leverage"), c.get("studentized"))] if isinstance(coils, list) else []
    suspects = [p for p in points if abs(p[1]) > SUSPECT]
    n: Any = statistics.get("n")
    p: Any = statistics.get("p")
    high = 2 * p / n if finite(n, p) and n > 0 else None
    leveraged = [q for q in points if high is not None and q[0] > high and q not in suspects]
    fig, ax = plt.subplots(figsize=(6.4, 4.8))
    draw_points(fig, ax, [x for x, _, _ in points], [y for _, y, _ in points], [name for _, _, name in points])
    for level in (-SUSPECT, 0, SUSPECT):
        ax.axhline(level, color="0.4" if level == 0 else "tab:red", linewidth=1,
                   linestyle="-" if level == 0 else "--")
    if high is not None:
        ax.axvline(high, color="tab:purple", linewidth=1, linestyle=":", label=f"high leverage, 2p/n = {high:.3g}")
        ax.legend(loc="lower left", fontsize=8)
    named = suspects + leveraged
    if len(named) > NAMED_AT_MOST:  # a large fit: the most extreme only
        named = sorted(named, key=lambda q: -max(abs(q[1]) / SUSPECT, q[0] / high if high else 0))[:NAMED_AT_MOST]
    name_coils(ax, named, avoid=[(x, y) for x, y, _ in points])
    ax.set_xlabel("leverage (diagonal of the hat matrix)")
    ax.set_ylabel("studentized residual")
    extra = f", {len(leveraged)} more of high leverage" if leveraged else ""
    ax.set_title(f"Studentized residuals: {len(suspects)} of {len(points)} coils beyond ±{SUSPECT}{extra}\n{head}",
                 fontsize=10)
    ax.grid(True, linewidth=0.3)
    return "studentized-vs-leverage.png", fig


def figures(coils: List[Dict[str, Any]], log: Optional[List[Dict[str, Any]]] = None,
            result: Optional[Dict[str, Any]] = None) -> List[Tuple[str, Any]]:
    """The plots as (PNG file name, matplotlib figure) pairs: coils as rows
    of COIL_CSV_COLUMNS, log as rows of LOG_COLUMNS or None, result the result
    JSON or None."""
    with plain_text():
        return made_figures(coils, log, result)


def made_figures(coils: List[Dict[str, Any]], log: Optional[List[Dict[str, Any]]],
                 result: Optional[Dict[str, Any]]) -> List[Tuple[str, Any]]:
    import matplotlib.pyplot as plt
    import matplotlib.ticker as ticker
    head = heading(coils, result)
    made = coil_figures(plt, ticker, coils, head)
    if log is not None:
        made += log_figures(plt, ticker, log, heading(coils, result, count=True), result)
    if result is not None:
        leverage = leverage_figure(plt, result, head)
        if leverage is not None:
            made.append(leverage)
    if result is not None and result.get("baselines"):
        from . import plots_baselines
        made += plots_baselines.figures(plt, ticker, result, head)
    return made


def save(plt, fig, directory, name):
    path = os.path.join(directory, name)
    fig.tight_layout()
    try:
        fig.savefig(path, dpi=100)
    except OSError as error:
        raise BadInput(f"cannot write {path}: {error.strerror}") from None
    finally:
        plt.close(fig)
    return path
