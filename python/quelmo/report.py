"""A fit as one self-contained HTML page, and the compact table a notebook
shows for a FitResult.

usage: quelmo-plot --html report.html RUNDIR_OR_JSON

The page holds the formula with its coefficients and standard errors, the
fit statistics and prediction error, the correlations above 0.95, the pruning
advice, the classical formulas beside the fitted one (when the result has
them), a coil table that sorts by any column on a click, and every plot as
inline SVG, whose points name their coil on hover. It loads nothing from
elsewhere: no script, style sheet, font or image outside the file.

Plain Python and matplotlib, like quelmo.plots: it needs neither numpy's
arrays nor the compiled part of the package.
"""

import base64
import datetime
import hashlib
import html
import io
import json
import math
import os
import re
import tempfile
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

from . import plots
from ._document import check_values, is_result, read_result_json
from ._errors import ResultFileError

RESULT_NAME = "result.json"  # what quelmo.fit writes, and the first name looked for
HIGH_CORRELATION = 0.95
COEFFICIENTS = ("r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3")
# The fitted equation among the classical formulas (the others by their names).
BASELINE_NAMES = {"fitted": "fitted equation (in sample)", "fitted_prediction": "fitted equation (cross-validated)"}
# The classical formulas by the program's names: what they are called, their
# formula, and where they come from.
CLASSICAL = {
    "solenoid": ("Ideal long solenoid", "L = µ0 π a² N² / l", "the limit of an infinitely long coil"),
    "wheeler": ("Wheeler (1928)", "L[µH] = a² N² / (9a + 10l), a and l in inches",
                "H. A. Wheeler, Simple inductance formulas for radio coils, Proc. IRE 16 (1928) 1398–1400"),
    "sheet": ("Current sheet with Nagaoka's coefficient", "L = µ0 π a² N² k_L / l",
              "L. Lorenz (1879), the current sheet; H. Nagaoka, J. Coll. Sci. Tokyo 27 (1909), its coefficient"),
    "sheetrosa": ("Current sheet with Rosa's round-wire correction", "L = sheet − µ0 a N (G + H)",
                  "E. B. Rosa, Bull. Bureau of Standards 2 (1906) 161–187, the correction; D. W. Knight (2016), "
                  "the closed form of H"),
}
# Above this many coils the coil table lists only the worst of them.
LISTED_AT_MOST = 500
# The one member of a coil whose value must be positive to be a coil at all.
POSITIVE_COIL_MEMBERS = ("coil_radius_m", "length_m", "turns", "wire_radius_m")

# The page's one script. Sorting the coil table on a click: numbers (data-v)
# largest first on the first click, text in alphabetical order; a second
# click reverses; rows without a value stay last. And the line under a table
# or code box that is wider than the window, shown only while it is.
PAGE_SCRIPT = """document.querySelectorAll("table.sortable th").forEach(function (th, column) {
  th.addEventListener("click", function () {
    var body = th.closest("table").tBodies[0], numeric = th.dataset.kind === "number";
    var down = th.dataset.sorted ? th.dataset.sorted !== "down" : numeric;
    th.closest("tr").querySelectorAll("th").forEach(function (h) { delete h.dataset.sorted; });
    th.dataset.sorted = down ? "down" : "up";
    var key = function (row) { var c = row.cells[column]; return numeric ? c.dataset.v : c.textContent; };
    Array.from(body.rows).sort(function (a, b) {
      var x = key(a), y = key(b);
      if (x === "" || y === "") return (x === "") - (y === "");
      var order = numeric ? x - y : x.localeCompare(y);
      return down ? -order : order;
    }).forEach(function (row) { body.appendChild(row); });
  });
});
function markWide() {
  document.querySelectorAll(".scroll, pre").forEach(function (box) {
    var hint = box.nextElementSibling;
    if (hint && hint.classList.contains("scroll-hint")) hint.hidden = box.scrollWidth <= box.clientWidth + 1;
  });
}
window.addEventListener("resize", markWide);
document.querySelectorAll("details").forEach(function (d) { d.addEventListener("toggle", markWide); });
markWide();"""
# The page runs its own script and nothing else: not one placed in the data
# (which is escaped anyway), not one from elsewhere; it loads nothing over a
# network. Styles are inline (matplotlib's SVG sets them on each element),
# images only the figures' own data: URIs.
CONTENT_POLICY = ("default-src 'none'; script-src 'sha256-"
                  + base64.b64encode(hashlib.sha256(PAGE_SCRIPT.encode("utf-8")).digest()).decode("ascii")
                  + "'; style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'")

STYLE = """
:root { color-scheme: light; }
body { font: 16px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 0 auto; max-width: 68rem;
       padding: 0 1rem 2rem; color: #1b1b1b; background: #fff; overflow-wrap: anywhere; }
h1 { font-size: 1.5rem; margin: 1.2rem 0 .3rem; }
h2 { font-size: 1.2rem; margin: 1.8rem 0 .5rem; border-bottom: 1px solid #ccc; }
nav a { margin-right: .8rem; white-space: nowrap; display: inline-block; }
.note { background: #f4f4f4; border-left: 4px solid #999; padding: .2rem .8rem; font-size: .9rem; }
/* A box wider than its content scrolls; a shadow at an edge shows that more lies beyond it. */
.scroll { overflow-x: auto; max-width: 100%;
  background: linear-gradient(to right, #fff 30%, #fff0), linear-gradient(to left, #fff 30%, #fff0) 100% 0,
              radial-gradient(farthest-side at 0 50%, #0003, #0000), radial-gradient(farthest-side at 100% 50%, #0003, #0000) 100% 0;
  background-repeat: no-repeat; background-size: 3rem 100%, 3rem 100%, 1rem 100%, 1rem 100%;
  background-attachment: local, local, scroll, scroll; }
.scroll:focus { outline: 2px solid #69c; }
.scroll-hint { font-size: .8rem; color: #666; margin: .2rem 0 0; }
.scroll-hint[hidden] { display: none; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { padding: .2rem .6rem; border-bottom: 1px solid #e2e2e2; text-align: right; white-space: nowrap; }
th:first-child, td:first-child { text-align: left; }
td.text { text-align: left; white-space: normal; min-width: 12rem; }
table.sortable th { cursor: pointer; user-select: none; background: #f2f2f2; white-space: normal; min-width: 3.5rem;
  vertical-align: bottom; }
table.sortable th[data-sorted="down"]::after { content: " \\25BC"; }
table.sortable th[data-sorted="up"]::after { content: " \\25B2"; }
pre { background: #f6f6f6; padding: .6rem; overflow-x: auto; font-size: .9rem; max-width: 100%; }
pre.formula { white-space: pre-wrap; }
dl.header { display: grid; grid-template-columns: max-content 1fr; gap: .1rem .8rem; margin: .4rem 0; }
dl.header dt { color: #555; } dl.header dd { margin: 0; }
.figures { display: grid; grid-template-columns: repeat(auto-fit, minmax(min(100%, 30rem), 1fr)); gap: 1rem; }
figure { margin: 0; min-width: 0; }
figure svg { width: 100%; height: auto; display: block; }
figcaption { font-size: .85rem; color: #555; }
@media (max-width: 40rem) { body { font-size: 15px; padding: 0 .5rem 1rem; } th, td { padding: .2rem .35rem; }
}
@page { size: A4; margin: 12mm; }
@media print {
  body { max-width: none; font-size: 10pt; padding: 0; }
  nav, .scroll-hint { display: none; }
  .scroll { overflow: visible; }
  table { font-size: 8pt; }
  pre { white-space: pre-wrap; font-size: 8pt; }
  .figures { display: block; }
  figure { break-inside: avoid; margin: 0 0 6mm; }
  figure svg { width: 100%; max-height: 255mm; }
  h2 { break-after: avoid; }
  tr { break-inside: avoid; }
  th, td { padding: .1rem .3rem; }
  .scroll { background: none; }
}
"""


class BadInput(Exception):
    pass


def escape(value: Any) -> str:
    """Text for HTML, in an element or a quoted attribute alike."""
    return html.escape(str(value), quote=True)


def number_text(value: Any, form: str = ".6g") -> str:
    """A number in the given format, "–" for none or one that is not finite;
    anything that is not a number as its own text (to be escaped where it
    goes), never formatted as one."""
    if value is None:
        return "–"
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, default=str)
        return text if len(text) <= 200 else text[:199] + "…"
    if not plots.finite(value):
        return "–"
    return format(value, form)


def number(value: Any, form: str = ".6g") -> str:
    """number_text, escaped for HTML."""
    return escape(number_text(value, form))


def mapping(value: Any) -> Dict[str, Any]:
    """value when it is a JSON object, else an empty one."""
    return value if isinstance(value, dict) else {}


def names(value: Any) -> Set[str]:
    """A JSON list of names as a set; anything else as none."""
    return set(map(str, value)) if isinstance(value, list) else set()


def words(value: Any) -> str:
    """A JSON list of names as one line of text."""
    return " ".join(str(v) for v in value) if isinstance(value, list) else str(value)


# ---------------------------------------------------------------- finding the files

def find_result(path: str) -> str:
    """The result JSON that path names, or that the run directory path holds."""
    if not os.path.isdir(path):
        return path
    if os.path.isfile(os.path.join(path, RESULT_NAME)):
        return os.path.join(path, RESULT_NAME)
    found = []
    for name in sorted(os.listdir(path)):
        candidate = os.path.join(path, name)
        if name.endswith(".json") and os.path.isfile(candidate):
            try:
                with plots.open_regular(candidate, encoding="utf-8", errors="replace") as file:
                    document = json.load(file)
            except (OSError, ValueError, RecursionError, plots.BadInput):
                continue
            if is_result(document):
                found.append(candidate)
    if not found:
        raise BadInput(f"{path} holds no result JSON: the setting resultjson writes it (add a line "
                       "\"resultjson result.json\" to the ranges file and run the fit again; quelmo.fit "
                       "always writes one)")
    if len(found) > 1:
        raise BadInput(f"{path} holds {len(found)} result JSON files ({', '.join(os.path.basename(f) for f in found)}): "
                       "name the one to show")
    return found[0]


def read_document(path: str) -> Dict[str, Any]:
    """The result JSON at path, read as FitResult reads it but tolerant of
    older builds' documents; refused with a message when it is not a
    regular file, not JSON, not a quelmo result, or holds what no page can
    show (see check_document)."""
    try:
        document = read_result_json(path, tolerant=True)
    except ResultFileError as error:
        raise BadInput(str(error)) from None
    check_coils(document, path)
    return document


def check_document(document: Dict[str, Any], path: str) -> None:
    """Refuses, as BadInput naming the member, a result that no page can
    show faithfully: what ``_document.check_values`` refuses (a lone
    surrogate escape, an integer beyond a double's range) and a coil whose
    radius, length, turns or wire radius is a number not above 0; path
    names the file in the messages."""
    try:
        check_values(document, path)
    except ResultFileError as error:
        raise BadInput(str(error)) from None
    check_coils(document, path)


def check_coils(document: Dict[str, Any], path: str) -> None:
    """Refuses a coil whose radius, length, turns or wire radius is a number
    not above 0, which no plot of the page can place."""
    coils = document.get("coils")
    for index, coil in enumerate(coils if isinstance(coils, list) else []):
        for member in POSITIVE_COIL_MEMBERS:
            value: Any = coil.get(member) if isinstance(coil, dict) else None
            if plots.finite(value) and not isinstance(value, bool) and value <= 0:
                name = escape_surrogates(str(coil.get("name", "")))
                raise BadInput(f"{path}: coils[{index}] (coil {name!r}): {member} is {value}: a coil needs a "
                               "positive radius, length, turn count and wire radius; quelmo never writes such a "
                               "result, so the file was made or changed elsewhere")


def escape_surrogates(text: str) -> str:
    """text with any lone surrogate as its \\u escape, for a message."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def coil_rows(document: Dict[str, Any], base: str, notes: List[str]) -> Optional[List[Dict[str, Any]]]:
    """The coils as rows of plots.COIL_CSV_COLUMNS: from the result JSON, or from
    the coil CSV (setting coilcsv) that a result lacking them names."""
    listed = document.get("coils")
    wanted = [c for c in plots.COIL_CSV_COLUMNS if c != "evaluated"]
    if isinstance(listed, list) and listed and all(isinstance(c, dict) and all(k in c for k in wanted)
                                                   for c in listed):
        rows = []
        for coil in listed:
            row = {k: coil[k] for k in wanted}
            row["evaluated"] = 1.0 if coil.get("evaluated", coil.get("computed_H") is not None) else 0.0
            row["name"] = str(row["name"])
            row["leverage"], row["studentized"] = coil.get("leverage"), coil.get("studentized")
            rows.append(row)
        return rows
    csv_name = mapping(document.get("settings")).get("coilcsv")
    if isinstance(csv_name, str) and csv_name:
        try:
            rows = plots.read_table(os.path.join(base, csv_name), plots.COIL_CSV_COLUMNS)
            notes.append(f"The coils come from {csv_name} (the result JSON does not list them).")
            return rows
        except plots.NotRegularFile as error:
            raise BadInput(f"{error} (the setting coilcsv of the result names it)") from None
        except plots.BadInput as error:
            notes.append(f"The coil table and the coil plots are left out: the result JSON does not list the "
                         f"coils, and {error}.")
            return None
    notes.append("The coil table and the coil plots are left out: the result JSON does not list the coils "
                 "(a result from an older build, or one without coils).")
    return None


def log_rows(document: Dict[str, Any], base: str, notes: List[str]) -> Optional[List[Dict[str, Any]]]:
    name = mapping(document.get("settings")).get("logcsv")
    if not isinstance(name, str) or not name:
        notes.append("The goodness plots are left out: the run wrote no log CSV (the setting logcsv writes it).")
        return None
    try:
        return plots.read_table(os.path.join(base, name), plots.LOG_COLUMNS)
    except plots.NotRegularFile as error:
        raise BadInput(f"{error} (the setting logcsv of the result names it)") from None
    except plots.BadInput as error:
        notes.append(f"The goodness plots are left out: {error}.")
        return None


# ---------------------------------------------------------------- sections

def coefficient_table(document: Dict[str, Any]) -> str:
    """The coefficients with their standard errors, as a table that scrolls
    on a narrow screen."""
    statistics = mapping(document.get("statistics"))
    errors = mapping(statistics.get("stderr"))
    coefficients = mapping(document.get("coefficients"))
    held, pinned = names(document.get("held")), names(document.get("pinned"))
    undetermined = names(statistics.get("undetermined"))
    rows = []
    for name in COEFFICIENTS:
        value, error = coefficients.get(name), errors.get(name)
        share = number(100 * abs(error / value), ".3g") + " %" if plots.finite(error, value) and value else ""
        note = "pinned" if name in pinned else "held" if name in held else \
            "undetermined" if name in undetermined else ""
        rows.append(f"<tr><td>{name}</td><td>{number(value, '.10g')}</td>"
                    f"<td>{'± ' + number(error, '.3g') if error is not None else ''}</td>"
                    f"<td>{share}</td><td>{note}</td></tr>")
    head = "<tr><th>coefficient</th><th>value</th><th>standard error</th><th>relative</th><th></th></tr>"
    return scrolling(f"<table>{head}{''.join(rows)}</table>")


SCROLL_HINT = "<p class=\"scroll-hint\" hidden>← wider than the window: scroll or swipe it sideways →</p>"


def scrolling(table_html: str) -> str:
    """A table in a box that scrolls sideways on a screen too narrow for it,
    with a line (shown on narrow screens) that says so."""
    return f"<div class=\"scroll\" tabindex=\"0\">{table_html}</div>{SCROLL_HINT}"


def polynomial(letter: str, variable: str, names: Sequence[str], coefficients: Dict[str, Any]) -> str:
    """((c3·x + c2)·x + c1)·x + c0 with the numbers in, a negative one as
    a subtraction (plain text)."""
    def term(value):
        text = number_text(value, ".6g")
        return f"− {text[1:]}" if text.startswith("-") else f"+ {text}"
    values = [coefficients.get(n) for n in names]
    text = number_text(values[-1], ".6g")
    for depth, value in enumerate(reversed(values[:-1])):
        inner = f"({text})" if depth else text
        text = f"{inner}·{variable} {term(value)}"
    return f"{letter}({variable}) = {text}"


def base_name(document: Dict[str, Any]) -> Optional[str]:
    """The classical formula the fit corrects, None for the plain equation."""
    base = mapping(document.get("base"))
    name = base.get("name")
    return None if name in (None, "none") else str(name)


def formula_section(document: Dict[str, Any], notes: List[str]) -> str:
    coefficients = mapping(document["coefficients"])
    base = mapping(document.get("base"))
    corrected = base_name(document)
    # A fit that corrects a classical formula multiplies it, not µ0, by the polynomials.
    first = (f"L = {corrected}(a, N, l, w) · R(a) · T(N) / (Λ(l) · W(w))" if corrected else
             "L = µ0 · R(a) · T(N) / (Λ(l) · W(w)),  µ0 = 1.256637061435916e-6 H/m")
    lines = [first,
             polynomial("R", "a", COEFFICIENTS[0:4], coefficients),
             polynomial("T", "N", COEFFICIENTS[7:11], coefficients),
             polynomial("Λ", "l", COEFFICIENTS[11:15], coefficients),
             polynomial("W", "w", COEFFICIENTS[4:7], coefficients),
             "a coil radius, N turns, l length, w wire radius (metres)"]
    parts = [f"<pre class=\"formula\">{escape(chr(10).join(lines))}</pre>"]
    if corrected:
        known = CLASSICAL.get(corrected)
        title = f"{known[0]} ({corrected})" if known else corrected
        parts.append(f"<p>Base formula: <b>{escape(title)}</b>: <code>{escape(base.get('formula', ''))}"
                     f"</code> {escape(base.get('reference', ''))}</p>")
    if not isinstance(mapping(document.get("statistics")).get("stderr"), dict):
        notes.append("Standard errors are left out: the result has no statistics (the setting statistics 1 "
                     "gives them).")
    parts.append(coefficient_table(document))
    parts.append("<p><b>held</b>: the equation is unchanged when R and Λ, R and W, T and Λ or T and W are scaled "
                 "together, so three coefficients only set those scales; the polish holds them where the search "
                 "left them, and they have no standard error. A <b>relative standard error</b> near or above "
                 "100 % means that the coils fit almost as well with that coefficient anywhere from 0 to twice "
                 "its value: the coefficients move together (see the correlations), while the inductance the "
                 "formula gives stays as well determined as the goodness says.</p>")
    return "".join(parts)


def statistics_section(document: Dict[str, Any], notes: List[str]) -> str:
    statistics = document.get("statistics")
    found = mapping(document.get("found")).get("goodness")
    rows = [("goodness (RMS relative error)", number(document.get("goodness")))]
    if document.get("polished"):
        rows.append(("before the polish", number(found)))
    if not isinstance(statistics, dict):
        notes.append("Fit statistics, prediction error, correlations and pruning advice are left out: the "
                     "result has no statistics (the setting statistics 1 gives them).")
        return table(rows)
    if statistics.get("unavailable"):
        rows.append(("statistics", escape(statistics["unavailable"])))
        return table(rows)
    rows += [("coils n, free coefficients p", f"{number(statistics.get('n'))}, {number(statistics.get('p'))}"),
             ("chi-square", number(statistics.get("chisqr"))), ("reduced chi-square", number(statistics.get("redchi"))),
             ("AIC", number(statistics.get("aic"))), ("BIC", number(statistics.get("bic")))]
    validation = statistics.get("crossvalidation")
    if isinstance(validation, dict):
        rows.append((f"prediction RMS ({number(validation.get('folds'))}-fold cross-validation)",
                     number(validation.get("rms"))))
        rows.append(("in sample", number(validation.get("in_sample"))))
        if validation.get("failed"):
            rows.append(("folds that failed", escape(", ".join(map(str, validation["failed"]))
                                                     if isinstance(validation["failed"], list)
                                                     else validation["failed"])))
    elif "crossvalidation" not in statistics:
        notes.append("The prediction error is left out: the fit was run without cross-validation (the setting "
                     "crossvalidate K gives it).")
    if statistics.get("undetermined"):
        rows.append(("undetermined by the coils", escape(words(statistics["undetermined"]))))
    if statistics.get("outliers"):
        rows.append(("suspect coils (|studentized| > 3)", escape(words(statistics["outliers"]))))
    return table(rows)


def table(rows: Sequence[Sequence[str]], head: Optional[Sequence[str]] = None) -> str:
    """A table of rows of HTML cells (already escaped), in a scrolling box."""
    top = "<tr>" + "".join(f"<th>{escape(h)}</th>" for h in head) + "</tr>" if head else ""
    body = "".join("<tr>" + "".join(f"<td>{cell}</td>" for cell in row) + "</tr>" for row in rows)
    return scrolling(f"<table>{top}{body}</table>")


def correlation_section(document: Dict[str, Any]) -> Optional[str]:
    statistics = document.get("statistics")
    if not isinstance(statistics, dict) or "high_correlations" not in statistics:
        return None
    listed = statistics["high_correlations"] if isinstance(statistics["high_correlations"], list) else []
    pairs = [p for p in listed if isinstance(p, dict) and plots.finite(p.get("r")) and abs(p["r"]) > HIGH_CORRELATION]
    if not pairs:
        return f"<p>No two free coefficients correlate beyond {HIGH_CORRELATION}.</p>"
    rows = [(f"{escape(p.get('first'))} – {escape(p.get('second'))}", number(p["r"], "+.4f")) for p in pairs]
    return (f"<p>Pairs of coefficients whose estimates move together (|r| &gt; {HIGH_CORRELATION}): the coils "
            "barely tell them apart.</p>" + table(rows))


def pruning_section(document: Dict[str, Any], notes: List[str]) -> Optional[str]:
    statistics = document.get("statistics")
    if not isinstance(statistics, dict):
        return None
    if "pruned" not in statistics:
        notes.append("The pruning advice is left out: the fit was run without pruning (the setting prune 1 "
                     "gives it).")
        return None
    pruned = mapping(statistics.get("pruned"))
    if not pruned:
        return "<p>No pruning advice.</p>"
    dropped = pruned.get("pinned_to_zero") or []
    if not dropped:
        return "<p>The data support every free term: pinning any of them to 0 makes the fit worse by AIC.</p>"
    steps: List[Any] = pruned["steps"] if isinstance(pruned.get("steps"), list) else []
    rows = [(escape(mapping(step).get("coefficient")),
             f"goodness {number(mapping(step).get('goodness'))}, AIC {number(mapping(step).get('aic'))}")
            for step in steps]
    text = (f"<p>Pin <b>{escape(words(dropped))}</b> to 0: goodness {number(pruned.get('goodness'))}, AIC "
            f"{number(pruned.get('aic'))}")
    if pruned.get("crossvalidation_rms") is not None:
        text += f", prediction RMS {number(pruned.get('crossvalidation_rms'))}"
    text += (". From Python: <code>result.to_ranges(\"next.txt\", pin=result.statistics[\"pruned\"]"
             "[\"pinned_to_zero\"])</code> writes the ranges of that fit.</p>")
    return text + (table(rows) if rows else "")


def baseline_section(document: Dict[str, Any]) -> Optional[str]:
    """The classical formulas' goodness beside the fit's, each under its
    name with its formula and reference."""
    baselines = document.get("baselines")
    if not isinstance(baselines, dict) or not baselines:
        return None
    left_out = mapping(document.get("baselines_left_out"))
    rows = []
    for name, value in baselines.items():
        known = CLASSICAL.get(name)
        title = known[0] if known else BASELINE_NAMES.get(name, name)
        rows.append((escape(title), number(value), escape(left_out.get(name, ""))))
    references = "".join(f"<li><b>{escape(CLASSICAL[name][0])}</b> (<code>{escape(name)}</code>): "
                         f"<code>{escape(CLASSICAL[name][1])}</code>; {escape(CLASSICAL[name][2])}</li>"
                         for name in baselines if name in CLASSICAL)
    return (table(rows, ("formula", "goodness", "coils left out"))
            + (f"<ul class=\"references\">{references}</ul>" if references else ""))


# header, kind, member of the coil, factor, format
COIL_TABLE = (
    ("coil", "text", "name", None, ""),
    ("measured µH", "number", "measured_H", 1e6, ".5g"),
    ("computed µH", "number", "computed_H", 1e6, ".5g"),
    ("error %", "number", "relative_error", 100, "+.2f"),
    ("coil radius mm", "number", "coil_radius_m", 1e3, ".4g"),
    ("wire radius mm", "number", "wire_radius_m", 1e3, ".4g"),
    ("gauge", "number", "gauge", 1, ".0f"),
    ("turns", "number", "turns", 1, ".0f"),
    ("length mm", "number", "length_m", 1e3, ".4g"),
    ("leverage", "number", "leverage", 1, ".3f"),
    ("studentized", "number", "studentized", 1, "+.2f"),
)


def coil_cell(title: str, value: Any, factor: Optional[float], form: str) -> str:
    """One cell of the coil table: a number formatted from the number, with
    its sort key; anything else shown as text."""
    if factor is None:
        return f"<td class=\"text\">{escape(value)}</td>"
    if plots.finite(value) and not isinstance(value, bool):
        scaled = value * factor
        if math.isfinite(scaled):
            # The error sorts by its size, worst first.
            sort = abs(scaled) if title in ("error %", "studentized") else scaled
            return f"<td data-v=\"{float(sort)!r}\">{format(scaled, form)}</td>"
    return f"<td data-v=\"\">{number(value)}</td>"


def coil_section(coils: List[Dict[str, Any]]) -> str:
    with_statistics = any(plots.finite(c.get("leverage")) for c in coils)
    columns = [c for c in COIL_TABLE if with_statistics or c[0] not in ("leverage", "studentized")]
    head = "".join(f"<th data-kind=\"{kind}\"{' data-sort=error' if title == 'error %' else ''}>{escape(title)}</th>"
                   for title, kind, _, _, _ in columns)
    worst_first = sorted(coils, key=lambda c: -abs(c["relative_error"]) if plots.finite(c.get("relative_error"))
                         else math.inf)
    listed = worst_first[:LISTED_AT_MOST] if len(coils) > plots.DENSITY_ABOVE else worst_first
    body = ["<tr>" + "".join(coil_cell(title, coil.get(member), factor, form)
                             for title, _, member, factor, form in columns) + "</tr>" for coil in listed]
    shown = (f"The {len(listed)} worst of the {len(coils)} coils (the plots show all of them as densities); "
             if len(listed) < len(coils) else "Worst first; ")
    return (f"<p>{shown}a click on a column's header sorts by it (numbers largest first, errors by their "
            "size), a second click reverses.</p>"
            + scrolling(f"<table class=\"sortable\" id=\"coil-table\"><thead><tr>{head}</tr></thead>"
                        f"<tbody>{''.join(body)}</tbody></table>"))


# ---------------------------------------------------------------- using the formula

NAGAOKA_CODE = '''def nagaoka(a, l):
    """Nagaoka's coefficient k_L of a current sheet of radius a and length l,
    from the complete elliptic integrals K and E of modulus k by the
    arithmetic-geometric mean (for l/(2a) above about 1e-4: below, E - k
    loses digits)."""
    k = 2 * a / sqrt(4 * a * a + l * l)      # the modulus
    kp = l / sqrt(4 * a * a + l * l)         # k' = sqrt(1 - k^2), formed directly
    x, y, c, total, weight = 1.0, kp, k, k * k / 2, 0.5
    while c > 1e-17 * x:
        x, y = (x + y) / 2, sqrt(x * y)
        c = c * c / (4 * x)                  # (x - y) / 2 without the cancellation
        weight *= 2
        total += weight * c * c
    K = pi / (2 * x)
    K_minus_E = K * total                    # not K - E, which cancels for long coils
    return 4 / (3 * pi * kp) * (kp * kp / (k * k) * K_minus_E + K - K_minus_E - k)
'''

BASE_CODE = {
    None: "def base(a, N, l, w):\n    return MU0\n",
    "wheeler": ("def base(a, N, l, w):\n    \"\"\"Wheeler (1928): inches inside, henries out.\"\"\"\n"
                "    A, B = a / 0.0254, l / 0.0254\n    return 1e-6 * A * A * N * N / (9 * A + 10 * B)\n"),
    "sheet": NAGAOKA_CODE + "\n\ndef base(a, N, l, w):\n    return MU0 * pi * a * a * N * N * nagaoka(a, l) / l\n",
    "sheetrosa": NAGAOKA_CODE + '''

def base(a, N, l, w):
    """The current sheet less Rosa's round-wire correction (pitch l/N up to
    0.3 a, and at least the wire's diameter 2w)."""
    G = 1.25 - log(l / (N * w))
    H = (log(2 * pi) - 1.5 - log(N) / (6 * N) - 0.33084236 / N - 1 / (120 * N**3)
         + 1 / (504 * N**5) - 0.0011923 / N**7 + 0.0005068 / N**9)
    return MU0 * pi * a * a * N * N * nagaoka(a, l) / l - MU0 * a * N * (G + H)
''',
}


def code_number(value: Any) -> str:
    """A coefficient as Python source: every digit of the number, nan for
    anything else."""
    return repr(float(value)) if plots.finite(value) and not isinstance(value, bool) else "nan"


def usage_section(document: Dict[str, Any]) -> Optional[str]:
    """How to compute an inductance with the fitted formula: the whole
    computation as a few lines of Python, its base included."""
    coefficients = mapping(document.get("coefficients"))
    corrected = base_name(document)
    if corrected not in BASE_CODE:
        return (f"<p>The base formula <code>{escape(corrected)}</code> is not one this page knows how to write "
                "out.</p>")
    values = "\n".join(f"{name} = {code_number(coefficients.get(name))}" for name in COEFFICIENTS)
    code = (f"from math import log, nan, pi, sqrt\n\nMU0 = 1.256637061435916e-6  # H/m\n{values}\n\n\n"
            f"{BASE_CODE[corrected]}\n\n"
            "def inductance(a, N, l, w):\n"
            "    \"\"\"Henries, for coil radius a (axis to wire centre), N turns,\n"
            "    length l and wire radius w, in metres.\"\"\"\n"
            "    R = ((r3 * a + r2) * a + r1) * a + r0\n"
            "    T = ((t3 * N + t2) * N + t1) * N + t0\n"
            "    Lam = ((l3 * l + l2) * l + l1) * l + l0\n"
            "    W = (w2 * w + w1) * w + w0\n"
            "    return base(a, N, l, w) * R * T / (Lam * W)\n")
    named = CLASSICAL.get(corrected or "", ("µ0", "", ""))[0]
    return ("<p>The fitted formula multiplies its base, " + escape(named) + ", by the ratio of the four "
            "polynomials above. In Python, with every digit of the coefficients (the same lines work in most "
            "languages; Nagaoka's coefficient takes the complete elliptic integrals, computed here by the "
            "arithmetic–geometric mean, which converges in a handful of steps):</p>"
            f"<pre tabindex=\"0\">{escape(code)}</pre>{SCROLL_HINT}")


# ---------------------------------------------------------------- comparison and validity

def compare_section(document: Dict[str, Any], notes: List[str]) -> Optional[str]:
    """Which formula to use: the candidates compared by cross-validation, and
    the recommendation, from the result's compare member."""
    compare = document.get("compare")
    if not isinstance(compare, dict):
        notes.append("Which formula to use is left out: the result holds no comparison of formulas (a fit with "
                     "compare 1 gives it).")
        return None
    candidates: List[Any] = compare["candidates"] if isinstance(compare.get("candidates"), list) else []
    rows = []
    for candidate in map(mapping, candidates):
        spread = candidate.get("cv_rms_spread")
        rows.append((escape(candidate.get("name")), escape(candidate.get("base")), escape(candidate.get("kind")),
                     number(candidate.get("coefficients_fitted")), number(candidate.get("goodness")),
                     number(candidate.get("cv_rms_mean")) + (f" ± {number(spread, '.2g')}" if spread is not None
                                                             else ""),
                     number(candidate.get("aic")), number(candidate.get("bic")),
                     number(candidate.get("chi2_per_dof")), number(candidate.get("coils_evaluated")),
                     "yes" if candidate.get("comparable") is True else "no"))
    reason = compare.get("reason")
    text = (f"<p>Recommended: <b>{escape(compare.get('recommended', '–'))}</b>"
            + (f" ({escape(reason)})" if reason else "") + ".</p>")
    if compare.get("lost"):
        text += f"<p>What it gives up: {escape(compare['lost'])}</p>"
    text += (f"<p>Prediction error by {number(compare.get('folds'))}-fold cross-validation, repeated "
             f"{number(compare.get('repeats'))} times (mean ± spread); only candidates evaluated on the same "
             "coils (comparable) are ranked by it.</p>")
    head = ("candidate", "base", "kind", "fitted", "goodness", "prediction RMS", "AIC", "BIC", "χ²/dof", "coils",
            "comparable")
    return text + table(rows, head)


DOMAIN = (  # member, what, factor, unit
    ("coil_radius_m", "coil radius", 1e3, "mm"),
    ("turns", "turns", 1, ""),
    ("length_m", "length", 1e3, "mm"),
    ("wire_radius_m", "wire radius", 1e3, "mm"),
    ("length_over_diameter", "length / diameter", 1, ""),
)


def domain_section(document: Dict[str, Any], notes: List[str]) -> Optional[str]:
    """The coils the formula was fitted to, as ranges: the formula is
    supported by data inside them only."""
    domain = document.get("domain")
    if not isinstance(domain, dict):
        notes.append("The domain of validity is left out: the result does not give the ranges of its coils.")
        return None
    rows = []
    for member, what, factor, unit in DOMAIN:
        span = domain.get(member)
        low, high = span if isinstance(span, list) and len(span) == 2 else (None, None)
        scaled = [v * factor if plots.finite(v) and not isinstance(v, bool) else v for v in (low, high)]
        rows.append((escape(what), number(scaled[0], ".4g"), number(scaled[1], ".4g"), escape(unit)))
    return ("<p>The coils of the fit span these ranges; the formula is supported by measurements inside them "
            "and may be far off outside, as a polynomial fit can be.</p>"
            + table(rows, ("quantity", "from", "to", "unit")))


# ---------------------------------------------------------------- figures as SVG

def svg_of(fig: Any, prefix: str) -> str:
    """The figure as an inline SVG element: no XML prolog, ids made unique in
    the page by prefix, and a <title> with its coil's name in each point that
    plots.mark_points recorded."""
    import matplotlib
    fig.tight_layout()
    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": "quelmo"}):
        fig.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    text = buffer.getvalue()
    text = text[text.index("<svg"):]
    text = re.sub(r"\s*<metadata>.*?</metadata>", "", text, flags=re.S)
    for gid, names in getattr(fig, "point_names", {}).items():
        start = text.index(f'<g id="{gid}">')
        pieces, at = [text[:start]], start
        for name in names:
            use = text.index("<use ", at)
            end = text.index("/>", use)
            pieces.append(text[at:end] + f"><title>{escape(name)}</title></use>")
            at = end + 2
        pieces.append(text[at:])
        text = "".join(pieces)
    # Within tags only: a text element may hold id="…" as written in a name.
    text = re.sub(r'(<[^<>]*?\s)id="([^"]+)"', lambda m: f'{m.group(1)}id="{prefix}-{m.group(2)}"', text)
    text = re.sub(r'(<[^<>]*?(?:url\(#|href="#))([^")]+)', lambda m: f"{m.group(1)}{prefix}-{m.group(2)}", text)
    return text.replace("<svg ", "<svg role=\"img\" ", 1)


def caption_of(fig: Any) -> str:
    """What the figure shows: its own title (the suptitle of a figure of
    several panels), else its one panel's, first line only."""
    title = fig._suptitle.get_text() if getattr(fig, "_suptitle", None) is not None else \
        (fig.axes[0].get_title() if fig.axes else "")
    return title.split("\n")[0]


def figure_section(coils: List[Dict[str, Any]], log: Optional[List[Dict[str, Any]]],
                   document: Dict[str, Any]) -> Optional[str]:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    made = plots.figures(coils, log, document) if coils else []
    parts = []
    for number_, (name, fig) in enumerate(made):
        try:
            parts.append(f"<figure id=\"{escape(name[:-4])}\">{svg_of(fig, f'f{number_}')}"
                         f"<figcaption>{escape(caption_of(fig))}</figcaption></figure>")
        finally:
            plt.close(fig)
    return f"<div class=\"figures\">{''.join(parts)}</div>" if parts else None


# ---------------------------------------------------------------- the page and the notebook table

def section(anchor: str, title: str, content: str) -> str:
    return f"<section id=\"{anchor}\"><h2>{escape(title)}</h2>{content}</section>"


def guarded(notes: List[str], title: str, build: Callable[..., Optional[str]], *args: Any) -> Optional[str]:
    """A section's content; a result whose members have an unexpected shape
    (an older build's, or one made elsewhere) leaves the section out with a
    note, never the page."""
    try:
        return build(*args)
    except (KeyError, TypeError, ValueError, AttributeError, IndexError, ArithmeticError) as error:
        notes.append(f"{title} is left out: the result lacks what it needs ({type(error).__name__}: {error}).")
        return None


def setting_text(value: Any) -> str:
    """A setting's value as text: an integer (a seed) with all its digits,
    a real number to ten, anything else as written."""
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    return number_text(value, ".10g")


def header(document: Dict[str, Any], source: str) -> str:
    """Date, coil file, program and version, equation and the settings, as
    the result gives them (the result file's time when it names no date)."""
    settings = mapping(document.get("settings"))
    date = document.get("date")
    if date is None:
        try:
            stamp = datetime.datetime.fromtimestamp(os.stat(source).st_mtime, datetime.timezone.utc)
            date = stamp.strftime("%Y-%m-%d %H:%M UTC") + " (the result file's time)"
        except OSError:
            date = "–"
    coil_file = next((document[k] for k in ("coil_file", "coilfile", "coils_file") if document.get(k)), None)
    items = [("date", date), ("coil file", coil_file if coil_file is not None else "not named in the result"),
             ("program", f"{document.get('program', 'quelmo')} {document.get('version', '')}"),
             ("equation", document.get("equation", "–")),
             ("seed", settings.get("seed", "–")), ("result", source)]
    listing = "".join(f"<dt>{escape(k)}</dt><dd>{escape(setting_text(v))}</dd>" for k, v in items)
    text = f"<dl class=\"header\">{listing}</dl>"
    if settings:
        rows = [(escape(name), escape(setting_text(value))) for name, value in settings.items()]
        text += (f"<details><summary>The {len(rows)} settings of the run</summary>"
                 f"{table(rows, ('setting', 'value'))}</details>")
    return text


def page(document: Dict[str, Any], source: str, coils: Optional[List[Dict[str, Any]]],
         log: Optional[List[Dict[str, Any]]], notes: List[str]) -> str:
    listed = document.get("coils")
    coil_count = len(coils) if coils else len(listed) if isinstance(listed, list) else 0
    title = f"quelmo fit: goodness {number_text(document.get('goodness'))}, {coil_count} coils"
    sections = []
    builders: Sequence[Tuple[str, str, Callable[..., Optional[str]], Tuple[Any, ...]]] = (
        ("formula", "Formula", formula_section, (document, notes)),
        ("usage", "How to use this formula", usage_section, (document,)),
        ("statistics", "Fit statistics and prediction error", statistics_section, (document, notes)),
        ("correlations", f"Correlations above {HIGH_CORRELATION}", correlation_section, (document,)),
        ("pruning", "Pruning advice", pruning_section, (document, notes)),
        ("baselines", "Classical formulas beside the fitted one", baseline_section, (document,)),
        ("compare", "Which formula", compare_section, (document, notes)),
        ("domain", "Domain of validity", domain_section, (document, notes)),
        ("coils", "Coils", coil_section, (coils,)),
        ("plots", "Plots", figure_section, (coils, log, document)),
    )
    for anchor, heading, build, args in builders:
        if anchor in ("coils", "plots") and not coils:
            continue
        content = guarded(notes, heading, build, *args)
        if content is not None:
            sections.append((anchor, heading, content))
    if "baselines" not in document:
        notes.append("The classical formulas are left out: the result has none (the setting baselines 1 "
                     "gives them).")
    nav = "".join(f"<a href=\"#{a}\">{escape(h.split(' ')[0] if a != 'usage' else 'Usage')}</a>"
                  for a, h, _ in sections)
    note = "".join(f"<li>{escape(n)}</li>" for n in notes)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<meta http-equiv=\"Content-Security-Policy\" content=\"{escape(CONTENT_POLICY)}\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>{escape(title)}</title><style>{STYLE}</style></head><body>"
            f"<h1>{escape(title)}</h1>{header(document, source)}<nav>{nav}</nav>"
            + (f"<div class=\"note\"><p>Not in this result:</p><ul>{note}</ul></div>" if notes else "")
            + "".join(section(a, h, c) for a, h, c in sections)
            + f"<script>{PAGE_SCRIPT}</script></body></html>\n")


def summary_html(document: Dict[str, Any]) -> str:
    """The compact table of a fit for a notebook: goodness, prediction RMS,
    each coefficient with its standard error, the suspect coils and the
    classical formulas when the result has them.

    Parameters
    ----------
    document : dict
        A result JSON.

    Returns
    -------
    str
        HTML in which every value of the document is escaped, numbers
        formatted from numbers.
    """
    statistics = mapping(document.get("statistics"))
    validation = mapping(statistics.get("crossvalidation"))
    coils: List[Any] = document["coils"] if isinstance(document.get("coils"), list) else []
    evaluated = sum(1 for c in coils if isinstance(c, dict) and c.get("evaluated", True))
    rows = [("goodness", number(document.get("goodness"))), ("coils", f"{evaluated} of {len(coils)}")]
    if validation:
        rows.append((f"prediction RMS ({number(validation.get('folds'))}-fold)", number(validation.get("rms"))))
    if statistics.get("outliers"):
        rows.append(("suspect coils", escape(words(statistics["outliers"]))))
    parts = [f"<b>quelmo fit</b>{table(rows)}"]
    if isinstance(document.get("coefficients"), dict):
        parts.append(coefficient_table(document))
    baselines = baseline_section(document)
    if baselines:
        parts.append(f"<p>Classical formulas:</p>{baselines}")
    # A notebook has not the page's style, which shows the hint on a phone only.
    return "<div>" + "".join(parts).replace(SCROLL_HINT, "") + "</div>"


def write_atomically(target: str, text: str) -> None:
    """Writes text to target through a temporary file in the same folder,
    renamed over it once complete: a failure leaves an older page as it was.

    Raises
    ------
    BadInput
        When the folder cannot take the file, or the text cannot be written
        as UTF-8.
    """
    try:
        data = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError as error:
        raise BadInput(f"cannot write {target}: the page holds a character UTF-8 cannot hold "
                       f"({error.reason})") from None
    folder = os.path.dirname(os.path.abspath(target))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(target)}.", suffix=".tmp")
    except OSError as error:
        raise BadInput(f"cannot write {target}: {error.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as file:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(file.fileno(), 0o666 & ~mask)  # as an ordinary new file, not mkstemp's 0600
            file.write(data)
        os.replace(temporary, target)
    except OSError as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise BadInput(f"cannot write {target}: {error.strerror}") from None


def write_report(target: str, source: str) -> List[str]:
    """Writes the page for source (a run directory or a result JSON) to
    target; returns the notes on what was left out."""
    path = find_result(source)
    document = read_document(path)
    base = os.path.dirname(os.path.abspath(path))
    notes: List[str] = []
    coils = coil_rows(document, base, notes)
    log = log_rows(document, base, notes)
    write_atomically(target, page(document, path, coils, log, notes))
    return notes
