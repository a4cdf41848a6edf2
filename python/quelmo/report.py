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

import html
import io
import json
import math
import os
import re

from . import plots

RESULT_NAME = "result.json"  # what quelmo.fit writes, and the first name looked for
HIGH_CORRELATION = 0.95
COEFFICIENTS = ("r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3")
# The fitted equation among the classical formulas (the others by their names).
BASELINE_NAMES = {"fitted": "fitted equation (in sample)", "fitted_prediction": "fitted equation (cross-validated)"}

# Sorting the coil table on a click: numbers (data-v) largest first on the
# first click, text in alphabetical order; a second click reverses; rows
# without a value stay last.
SORT_SCRIPT = """document.querySelectorAll("table.sortable th").forEach(function (th, column) {
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
});"""

STYLE = """
:root { color-scheme: light; }
body { font: 16px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 0 auto; max-width: 68rem;
       padding: 0 1rem 2rem; color: #1b1b1b; background: #fff; }
h1 { font-size: 1.5rem; margin: 1.2rem 0 .3rem; }
h2 { font-size: 1.2rem; margin: 1.8rem 0 .5rem; border-bottom: 1px solid #ccc; }
nav a { margin-right: .8rem; white-space: nowrap; }
.note { background: #f4f4f4; border-left: 4px solid #999; padding: .2rem .8rem; font-size: .9rem; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { padding: .2rem .6rem; border-bottom: 1px solid #e2e2e2; text-align: right; white-space: nowrap; }
th:first-child, td:first-child { text-align: left; }
table.sortable th { cursor: pointer; user-select: none; background: #f2f2f2; }
table.sortable th[data-sorted="down"]::after { content: " \\25BC"; }
table.sortable th[data-sorted="up"]::after { content: " \\25B2"; }
pre { background: #f6f6f6; padding: .6rem; overflow-x: auto; font-size: .9rem; }
.figures { display: grid; grid-template-columns: repeat(auto-fit, minmax(min(100%, 30rem), 1fr)); gap: 1rem; }
figure { margin: 0; }
figure svg { width: 100%; height: auto; display: block; }
figcaption { font-size: .85rem; color: #555; }
@media (max-width: 40rem) { body { font-size: 15px; padding: 0 .5rem 1rem; } th, td { padding: .2rem .35rem; } }
@page { size: A4; margin: 12mm; }
@media print {
  body { max-width: none; font-size: 10pt; padding: 0; }
  nav { display: none; }
  .scroll { overflow: visible; }
  .figures { display: block; }
  figure { break-inside: avoid; margin-bottom: 6mm; }
  figure svg { max-height: 120mm; }
  h2 { break-after: avoid; }
  tr { break-inside: avoid; }
  th, td { padding: .1rem .3rem; }
  table.sortable th { white-space: normal; }
}
"""


class BadInput(Exception):
    pass


def escape(value):
    return html.escape(str(value), quote=True)


def number(value, form=".6g"):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return "–"
    return format(value, form)


# ---------------------------------------------------------------- finding the files

def find_result(path):
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
                with open(candidate, encoding="utf-8", errors="replace") as file:
                    document = json.load(file)
            except (OSError, ValueError):
                continue
            if isinstance(document, dict) and ("goodness" in document or document.get("program") == "quelmo"):
                found.append(candidate)
    if not found:
        raise BadInput(f"{path} holds no result JSON: the setting resultjson writes it (add a line "
                       "\"resultjson result.json\" to the ranges file and run the fit again; quelmo.fit "
                       "always writes one)")
    if len(found) > 1:
        raise BadInput(f"{path} holds {len(found)} result JSON files ({', '.join(os.path.basename(f) for f in found)}): "
                       "name the one to show")
    return found[0]


def read_document(path):
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            document = json.load(file)
    except OSError as error:
        raise BadInput(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise BadInput(f"{path}: not JSON: {error}") from None
    if not isinstance(document, dict) or not ("goodness" in document or document.get("program") == "quelmo"):
        raise BadInput(f"{path}: not a quelmo result (no goodness)")
    return document


def coil_rows(document, base, notes):
    """The coils as rows of plots.COIL_COLUMNS: from the result JSON, or from
    the coil CSV (setting coilcsv) that a result lacking them names."""
    listed = document.get("coils")
    wanted = [c for c in plots.COIL_COLUMNS if c != "evaluated"]
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
    csv_name = (document.get("settings") or {}).get("coilcsv")
    if csv_name:
        try:
            rows = plots.read_table(os.path.join(base, csv_name), plots.COIL_COLUMNS)
            notes.append(f"The coils come from {csv_name} (the result JSON does not list them).")
            return rows
        except plots.BadInput as error:
            notes.append(f"The coil table and the coil plots are left out: the result JSON does not list the "
                         f"coils, and {error}.")
            return None
    notes.append("The coil table and the coil plots are left out: the result JSON does not list the coils "
                 "(a result from an older build, or one without coils).")
    return None


def log_rows(document, base, notes):
    name = (document.get("settings") or {}).get("logcsv")
    if not name:
        notes.append("The goodness plots are left out: the run wrote no log CSV (the setting logcsv writes it).")
        return None
    try:
        return plots.read_table(os.path.join(base, name), plots.LOG_COLUMNS)
    except plots.BadInput as error:
        notes.append(f"The goodness plots are left out: {error}.")
        return None


# ---------------------------------------------------------------- sections

def coefficient_table(document):
    statistics = document.get("statistics") if isinstance(document.get("statistics"), dict) else {}
    errors = statistics.get("stderr") or {}
    coefficients = document["coefficients"]
    held, pinned = set(document.get("held") or []), set(document.get("pinned") or [])
    undetermined = set(statistics.get("undetermined") or [])
    rows = []
    for name in COEFFICIENTS:
        value = coefficients.get(name)
        error = errors.get(name)
        share = number(100 * abs(error / value), ".3g") + " %" if isinstance(error, (int, float)) and \
            isinstance(value, (int, float)) and value and math.isfinite(error) else ""
        note = "pinned" if name in pinned else "held" if name in held else \
            "undetermined" if name in undetermined else ""
        rows.append(f"<tr><td>{name}</td><td>{number(value, '.10g')}</td>"
                    f"<td>{'± ' + number(error, '.3g') if isinstance(error, (int, float)) else ''}</td>"
                    f"<td>{share}</td><td>{note}</td></tr>")
    head = "<tr><th>coefficient</th><th>value</th><th>standard error</th><th>relative</th><th></th></tr>"
    return f"<div class=\"scroll\"><table>{head}{''.join(rows)}</table></div>"


def polynomial(letter, variable, names, coefficients):
    """((c3·x + c2)·x + c1)·x + c0 with the numbers in, a negative one as
    a subtraction."""
    def term(value):
        text = number(value, ".6g")
        return f"− {text[1:]}" if text.startswith("-") else f"+ {text}"
    values = [coefficients.get(n) for n in names]
    text = number(values[-1], ".6g")
    for depth, value in enumerate(reversed(values[:-1])):
        inner = f"({text})" if depth else text
        text = f"{inner}·{variable} {term(value)}"
    return f"{letter}({variable}) = {text}"


def formula_section(document, notes):
    coefficients = document["coefficients"]
    base = document.get("base")
    corrected = isinstance(base, dict) and base.get("name") not in (None, "none")
    # A fit that corrects a classical formula multiplies it, not µ0, by the polynomials.
    first = (f"L = {base['name']}(a, N, l, w) · R(a) · T(N) / (Λ(l) · W(w))" if corrected else
             "L = µ0 · R(a) · T(N) / (Λ(l) · W(w)),  µ0 = 1.256637061435916e-6 H/m")
    lines = [first,
             polynomial("R", "a", COEFFICIENTS[0:4], coefficients),
             polynomial("T", "N", COEFFICIENTS[7:11], coefficients),
             polynomial("Λ", "l", COEFFICIENTS[11:15], coefficients),
             polynomial("W", "w", COEFFICIENTS[4:7], coefficients),
             "a coil radius, N turns, l length, w wire radius (metres)"]
    parts = [f"<pre>{escape(chr(10).join(lines))}</pre>"]
    if corrected:
        parts.append(f"<p>Base formula: <b>{escape(base['name'])}</b>: <code>{escape(base.get('formula', ''))}"
                     f"</code> {escape(base.get('reference', ''))}</p>")
    if not isinstance((document.get("statistics") or {}).get("stderr"), dict):
        notes.append("Standard errors are left out: the result has no statistics (the setting statistics 1 "
                     "gives them).")
    parts.append(coefficient_table(document))
    return "".join(parts)


def statistics_section(document, notes):
    statistics = document.get("statistics")
    found = (document.get("found") or {}).get("goodness")
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
    rows += [("coils n, free coefficients p", f"{statistics.get('n')}, {statistics.get('p')}"),
             ("chi-square", number(statistics.get("chisqr"))), ("reduced chi-square", number(statistics.get("redchi"))),
             ("AIC", number(statistics.get("aic"))), ("BIC", number(statistics.get("bic")))]
    validation = statistics.get("crossvalidation")
    if isinstance(validation, dict):
        rows.append((f"prediction RMS ({validation.get('folds')}-fold cross-validation)",
                     number(validation.get("rms"))))
        rows.append(("in sample", number(validation.get("in_sample"))))
        if validation.get("failed"):
            rows.append(("folds that failed", escape(", ".join(str(f) for f in validation["failed"]))))
    elif "crossvalidation" not in statistics:
        notes.append("The prediction error is left out: the fit was run without cross-validation (the setting "
                     "crossvalidate K gives it).")
    if statistics.get("undetermined"):
        rows.append(("undetermined by the coils", escape(" ".join(statistics["undetermined"]))))
    if statistics.get("outliers"):
        rows.append(("suspect coils (|studentized| > 3)", escape(" ".join(statistics["outliers"]))))
    return table(rows)


def table(rows):
    body = "".join(f"<tr><td>{label}</td><td>{value}</td></tr>" for label, value in rows)
    return f"<div class=\"scroll\"><table>{body}</table></div>"


def correlation_section(document):
    statistics = document.get("statistics")
    if not isinstance(statistics, dict) or "high_correlations" not in statistics:
        return None
    pairs = [p for p in statistics["high_correlations"] if abs(p.get("r", 0)) > HIGH_CORRELATION]
    if not pairs:
        return f"<p>No two free coefficients correlate beyond {HIGH_CORRELATION}.</p>"
    rows = [(f"{escape(p['first'])} – {escape(p['second'])}", number(p["r"], "+.4f")) for p in pairs]
    return (f"<p>Pairs of coefficients whose estimates move together (|r| &gt; {HIGH_CORRELATION}): the coils "
            "barely tell them apart.</p>" + table(rows))


def pruning_section(document, notes):
    statistics = document.get("statistics")
    if not isinstance(statistics, dict):
        return None
    if "pruned" not in statistics:
        notes.append("The pruning advice is left out: the fit was run without pruning (the setting prune 1 "
                     "gives it).")
        return None
    pruned = statistics.get("pruned")
    if not pruned:
        return "<p>No pruning advice.</p>"
    dropped = pruned.get("pinned_to_zero") or []
    if not dropped:
        return "<p>The data support every free term: pinning any of them to 0 makes the fit worse by AIC.</p>"
    rows = [(escape(step.get("coefficient")), f"goodness {number(step.get('goodness'))}, AIC {number(step.get('aic'))}")
            for step in pruned.get("steps") or []]
    text = (f"<p>Pin <b>{escape(' '.join(dropped))}</b> to 0: goodness {number(pruned.get('goodness'))}, AIC "
            f"{number(pruned.get('aic'))}")
    if pruned.get("crossvalidation_rms") is not None:
        text += f", prediction RMS {number(pruned.get('crossvalidation_rms'))}"
    text += (". From Python: <code>result.to_ranges(\"next.txt\", pin=result.statistics[\"pruned\"]"
             "[\"pinned_to_zero\"])</code> writes the ranges of that fit.</p>")
    return text + (table(rows) if rows else "")


def baseline_section(document):
    baselines = document.get("baselines")
    if not isinstance(baselines, dict) or not baselines:
        return None
    left_out = document.get("baselines_left_out") or {}
    rows = "".join(f"<tr><td>{escape(BASELINE_NAMES.get(name, name))}</td><td>{number(value)}</td>"
                   f"<td>{escape(left_out.get(name, ''))}</td></tr>" for name, value in baselines.items())
    return ("<div class=\"scroll\"><table><tr><th>formula</th><th>goodness</th><th>coils left out</th></tr>"
            f"{rows}</table></div>")


COIL_TABLE = (  # header, kind, key, shown as, sort key
    ("coil", "text", lambda c: c["name"], None),
    ("measured µH", "number", lambda c: c["measured_H"] * 1e6, ".5g"),
    ("computed µH", "number", lambda c: c["computed_H"] * 1e6, ".5g"),
    ("error %", "number", lambda c: c["relative_error"] * 100, "+.2f"),
    ("coil radius mm", "number", lambda c: c["coil_radius_m"] * 1e3, ".4g"),
    ("wire radius mm", "number", lambda c: c["wire_radius_m"] * 1e3, ".4g"),
    ("gauge", "number", lambda c: c["gauge"], ".0f"),
    ("turns", "number", lambda c: c["turns"], ".0f"),
    ("length mm", "number", lambda c: c["length_m"] * 1e3, ".4g"),
    ("leverage", "number", lambda c: c.get("leverage"), ".3f"),
    ("studentized", "number", lambda c: c.get("studentized"), "+.2f"),
)


def coil_section(coils):
    with_statistics = any(plots.finite(c.get("leverage")) for c in coils)
    columns = [c for c in COIL_TABLE if with_statistics or c[0] not in ("leverage", "studentized")]
    head = "".join(f"<th data-kind=\"{kind}\"{' data-sort=error' if title == 'error %' else ''}>{escape(title)}</th>"
                   for title, kind, _, _ in columns)
    worst_first = sorted(coils, key=lambda c: -abs(c["relative_error"]) if plots.finite(c.get("relative_error"))
                         else math.inf)
    body = []
    for coil in worst_first:
        cells = []
        for title, kind, key, form in columns:
            try:
                value = key(coil)
            except (TypeError, KeyError):
                value = None
            if kind == "text":
                cells.append(f"<td>{escape(value)}</td>")
            elif isinstance(value, (int, float)) and math.isfinite(value):
                # The error sorts by its size, worst first.
                sort = abs(value) if title in ("error %", "studentized") else value
                cells.append(f"<td data-v=\"{sort!r}\">{format(value, form)}</td>")
            else:
                cells.append("<td data-v=\"\">–</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return ("<p>Worst first; a click on a column's header sorts by it (numbers largest first, errors by their "
            "size), a second click reverses.</p>"
            f"<div class=\"scroll\"><table class=\"sortable\" id=\"coil-table\"><thead><tr>{head}</tr></thead>"
            f"<tbody>{''.join(body)}</tbody></table></div>")


# ---------------------------------------------------------------- figures as SVG

def svg_of(fig, prefix):
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
    text = re.sub(r'\bid="([^"]+)"', lambda m: f'id="{prefix}-{m.group(1)}"', text)
    text = re.sub(r'(url\(#|href="#)([^")]+)', lambda m: f"{m.group(1)}{prefix}-{m.group(2)}", text)
    return text.replace("<svg ", "<svg role=\"img\" ", 1)


def figure_section(coils, log, document):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    made = plots.figures(coils, log, document) if coils else []
    parts = []
    for number_, (name, fig) in enumerate(made):
        try:
            caption = fig.axes[0].get_title().split("\n")[0]
            parts.append(f"<figure id=\"{escape(name[:-4])}\">{svg_of(fig, f'f{number_}')}"
                         f"<figcaption>{escape(caption)}</figcaption></figure>")
        finally:
            plt.close(fig)
    return f"<div class=\"figures\">{''.join(parts)}</div>" if parts else None


# ---------------------------------------------------------------- the page and the notebook table

def section(anchor, title, content):
    return f"<section id=\"{anchor}\"><h2>{escape(title)}</h2>{content}</section>"


def guarded(notes, title, build, *args):
    """A section's content; a result whose members have an unexpected shape
    (an older build's) leaves the section out with a note, never the page."""
    try:
        return build(*args)
    except (KeyError, TypeError, ValueError, AttributeError, IndexError) as error:
        notes.append(f"{title} is left out: the result lacks what it needs ({type(error).__name__}: {error}).")
        return None


def page(document, source, coils, log, notes):
    coil_count = len(coils) if coils else len(document.get("coils") or [])
    settings = document.get("settings") if isinstance(document.get("settings"), dict) else {}
    title = f"quelmo fit: goodness {number(document.get('goodness'))}, {coil_count} coils"
    sections = []
    for anchor, heading, build, args in (
        ("formula", "Formula", formula_section, (document, notes)),
        ("statistics", "Fit statistics and prediction error", statistics_section, (document, notes)),
        ("correlations", f"Correlations above {HIGH_CORRELATION}", correlation_section, (document,)),
        ("pruning", "Pruning advice", pruning_section, (document, notes)),
        ("baselines", "Classical formulas beside the fitted one", baseline_section, (document,)),
        ("coils", "Coils", coil_section, (coils,)),
        ("plots", "Plots", figure_section, (coils, log, document)),
    ):
        if anchor in ("coils", "plots") and not coils:
            continue
        content = guarded(notes, heading, build, *args)
        if content is not None:
            sections.append((anchor, heading, content))
    if "baselines" not in document:
        notes.append("The classical formulas are left out: the result has none (the setting baselines 1 "
                     "gives them).")
    nav = "".join(f"<a href=\"#{a}\">{escape(h.split(' ')[0])}</a>" for a, h, _ in sections)
    meta = (f"{escape(document.get('program', 'quelmo'))} {escape(document.get('version', ''))}, "
            f"{escape(document.get('equation', ''))}, seed {escape(settings.get('seed', '–'))}, "
            f"from {escape(source)}")
    note = "".join(f"<li>{escape(n)}</li>" for n in notes)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>{escape(title)}</title><style>{STYLE}</style></head><body>"
            f"<h1>{escape(title)}</h1><p>{meta}</p><nav>{nav}</nav>"
            + (f"<div class=\"note\"><p>Not in this result:</p><ul>{note}</ul></div>" if notes else "")
            + "".join(section(a, h, c) for a, h, c in sections)
            + f"<script>{SORT_SCRIPT}</script></body></html>\n")


def summary_html(document):
    """The compact table of a fit for a notebook: goodness, prediction RMS,
    each coefficient with its standard error, the suspect coils and the
    classical formulas when the result has them."""
    statistics = document.get("statistics") if isinstance(document.get("statistics"), dict) else {}
    validation = statistics.get("crossvalidation") or {}
    coils = document.get("coils") or []
    evaluated = sum(1 for c in coils if isinstance(c, dict) and c.get("evaluated", True))
    rows = [("goodness", number(document.get("goodness"))), ("coils", f"{evaluated} of {len(coils)}")]
    if validation:
        rows.append((f"prediction RMS ({validation.get('folds')}-fold)", number(validation.get("rms"))))
    if statistics.get("outliers"):
        rows.append(("suspect coils", escape(" ".join(statistics["outliers"]))))
    parts = [f"<b>quelmo fit</b>{table(rows)}"]
    if isinstance(document.get("coefficients"), dict):
        parts.append(coefficient_table(document))
    baselines = baseline_section(document)
    if baselines:
        parts.append(f"<p>Classical formulas:</p>{baselines}")
    return "<div>" + "".join(parts) + "</div>"


def write_report(target, source):
    """Writes the page for source (a run directory or a result JSON) to
    target; returns the notes on what was left out."""
    path = find_result(source)
    document = read_document(path)
    base = os.path.dirname(os.path.abspath(path))
    notes = []
    coils = coil_rows(document, base, notes)
    log = log_rows(document, base, notes)
    text = page(document, path, coils, log, notes)
    try:
        with open(target, "w", encoding="utf-8", errors="surrogateescape") as file:
            file.write(text)
    except OSError as error:
        raise BadInput(f"cannot write {target}: {error.strerror}") from None
    return notes
