"""The report page against hostile and broken results: every value of a
result JSON reaches the page as text, and quelmo-plot --html refuses what it
cannot show with a message, status 1 and the old page untouched."""

import contextlib
import copy
import html.parser
import io
import json
import os
import subprocess
import sys

import pytest

from quelmo import plotcli, plots, report

PLOT_TOOL = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "quelmo-plot")

# What a result's sender may write into it, in the hope that a page runs it.
PAYLOADS = [
    "<script>window.pwned = 1</script>",
    "<img src=x onerror=alert(1)>",
    "\"><svg onload=alert(1)>",
    "'><script>alert(1)</script>",
    "</title><script>alert(1)</script>",
    "</style></textarea></script><script>alert(1)</script>",
    "<a href=\"javascript:alert(1)\">x</a>",
    "]]><script>alert(1)</script><![CDATA[",
    "<!--<script>alert(1)</script>-->",
    "&lt;script&gt;alert(1)&lt;/script&gt;",
    "<svg><script>alert(1)</script></svg>",
    "<iframe srcdoc=\"<script>alert(1)</script>\"></iframe>",
    "<base href=\"//example.invalid/\"><meta http-equiv=\"refresh\" content=\"0;url=//example.invalid\">",
    "$\\foo$ id=\"x\" ${7*7} `alert(1)`",
]


def set_at(document, where, value):
    """document with the member at where (a dotted path, numbers for list
    items) replaced by value."""
    keys = [int(k) if k.isdigit() else k for k in where.split(".")]
    target = document
    for key in keys[:-1]:
        target = target[key]
    target[keys[-1]] = value


# Where the payloads go: numbers the program writes as numbers, names, lists
# of names, settings, the members of a newer result.
PLACES = [
    "statistics.n", "statistics.p", "statistics.crossvalidation.folds", "statistics.crossvalidation.rms",
    "statistics.chisqr", "statistics.outliers.0", "statistics.undetermined.0", "statistics.high_correlations.0.first",
    "statistics.pruned.pinned_to_zero.0", "statistics.pruned.steps.0.coefficient", "statistics.stderr.r1",
    "goodness", "coefficients.r1", "coils.0.name", "coils.1.turns", "coils.2.coil_radius_m", "settings.seed",
    "settings.logcsv", "version", "base.reference", "baselines_left_out.wheeler", "compare.candidates.0.name",
    "domain.turns.0",
]


def result_document(coil_count=3):
    """A result JSON with every member the page shows."""
    coils = [{"name": f"c{i}", "measured_H": 1e-6 * (1 + i), "computed_H": 1.05e-6 * (1 + i),
              "relative_error": 0.05 - 0.01 * i, "evaluated": True, "coil_radius_m": 0.01 + 0.001 * i,
              "wire_radius_m": 0.0002, "gauge": 24, "turns": 10 + i, "length_m": 0.02 + 0.002 * i,
              "leverage": 0.2 + 0.01 * i, "studentized": 0.5 - 0.2 * i} for i in range(coil_count)]
    coefficients = {name: 1.0 + i for i, name in enumerate(report.COEFFICIENTS)}
    return {
        "program": "quelmo", "version": "20.03.008", "equation": "quelmo-15", "goodness": 0.0772,
        "coefficients": coefficients, "found": {"goodness": 0.08, "coefficients": coefficients}, "polished": True,
        "held": ["w0", "t2", "l1"], "pinned": [],
        "statistics": {"n": coil_count, "p": 12, "chisqr": 0.3, "redchi": 0.01, "aic": -300.0, "bic": -280.0,
                       "stderr": {name: 0.5 for name in report.COEFFICIENTS}, "undetermined": ["r3"],
                       "outliers": ["c1"], "unavailable": None,
                       "high_correlations": [{"first": "r0", "second": "r1", "r": 0.99}],
                       "crossvalidation": {"folds": 5, "rms": 0.09, "in_sample": 0.0772, "failed": []},
                       "pruned": {"pinned_to_zero": ["r3"], "goodness": 0.078, "aic": -302.0,
                                  "crossvalidation_rms": 0.088,
                                  "steps": [{"coefficient": "r3", "goodness": 0.078, "aic": -302.0}]}},
        "coils": coils,
        "settings": {"seed": 7, "logcsv": None, "coilcsv": None},
        "base": {"name": "sheet", "formula": "L = sheet(a, N, l) R(a) T(N) / (Lambda(l) W(w))",
                 "reference": "H. Nagaoka (1909)"},
        "baselines": {"solenoid": 0.6, "wheeler": 0.04, "sheet": 0.03, "sheetrosa": 0.01, "fitted": 0.0772},
        "baselines_left_out": {"solenoid": 0, "wheeler": 0, "sheet": 0, "sheetrosa": 1, "fitted": 0},
        "compare": {"folds": 5, "repeats": 3, "recommended": "fitted", "reason": "lowest prediction RMS",
                    "lost": None,
                    "candidates": [{"name": "fitted", "base": "sheet", "kind": "equation", "coefficients_fitted": 12,
                                    "goodness": 0.0772, "cv_rms_mean": 0.09, "cv_rms_spread": 0.01, "aic": -300.0,
                                    "bic": -280.0, "chi2_per_dof": 0.01, "coils_evaluated": coil_count,
                                    "comparable": True}]},
        "domain": {"coil_radius_m": [0.01, 0.03], "turns": [10, 40], "length_m": [0.02, 0.1],
                   "wire_radius_m": [0.0001, 0.0005], "length_over_diameter": [0.5, 4]},
    }


class Markup(html.parser.HTMLParser):
    """What a page holds once parsed: its elements with their attributes,
    the text of its scripts and the rest of its text."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.attributes, self.scripts, self.text = set(), set(), [], []
        self.in_script = False
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.attributes.update((tag, name) for name, _ in attrs)
        self.text.extend(value or "" for _, value in attrs)  # an attribute's value is text too
        self.in_script = tag == "script"
        if self.in_script:
            self.scripts.append("")

    def handle_endtag(self, tag):
        self.in_script = False

    def handle_data(self, data):
        if self.in_script:
            self.scripts[-1] += data
        else:
            self.text.append(data)

    def handle_comment(self, data):
        self.tags.add("<!-- comment -->")


def page_of(document, folder, name="result.json"):
    """The page quelmo-plot --html writes for document."""
    source = folder / name
    source.write_text(json.dumps(document))
    target = folder / "page.html"
    report.write_report(str(target), str(source))
    return target.read_text()


def assert_inert(page, clean, payload):
    """page has the elements and attributes of the clean page and no more,
    runs only its own script, and shows payload as text wherever it put it."""
    parsed = Markup(page)
    assert parsed.tags <= clean.tags, payload
    assert parsed.attributes <= clean.attributes, payload
    assert parsed.scripts == [report.PAGE_SCRIPT]
    if "<" in payload:
        assert payload not in page  # never as it was written
    return parsed


@pytest.fixture(scope="module")
def clean_page(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clean")
    return Markup(page_of(result_document(), folder))


@pytest.mark.parametrize("where", PLACES)
def test_no_script_from_any_member_of_the_result(where, tmp_path, clean_page, monkeypatch):
    # The figures' own SVG is checked once, with every payload a coil name
    # (below): here the page without them, 14 x 23 = 322 pages.
    monkeypatch.setattr(plots, "figures", lambda *args: [])
    for payload in PAYLOADS:
        document = result_document()
        set_at(document, where, payload)
        parsed = assert_inert(page_of(document, tmp_path), clean_page, payload)
        assert payload in "".join(parsed.text) or payload in " ".join(parsed.text), (where, payload)
        summary = Markup(report.summary_html(document))
        assert summary.tags <= {"div", "b", "p", "table", "tr", "th", "td", "ul", "li", "code"}, (where, payload)
        assert summary.scripts == []
        assert "swipe" not in "".join(summary.text)


def test_no_script_from_the_names_in_the_plots(tmp_path):
    clean = Markup(page_of(result_document(len(PAYLOADS)), tmp_path))
    document = result_document(len(PAYLOADS))
    for coil, payload in zip(document["coils"], PAYLOADS):
        coil["name"] = payload
    document["settings"]["seed"] = PAYLOADS[0]
    page = page_of(document, tmp_path)
    parsed = Markup(page)
    assert parsed.tags <= clean.tags
    assert parsed.attributes <= clean.attributes
    assert parsed.scripts == [report.PAGE_SCRIPT]
    for payload in PAYLOADS:
        if "<" in payload:
            assert payload not in page
        # Each point names its coil; the worst are written beside their point
        # as they are named, not set as mathematics.
        assert "".join(parsed.text).count(payload) >= 7, payload
    assert page.count("<figure ") == 8  # none lost to a name matplotlib took for mathematics


def test_the_page_allows_its_own_script_only():
    policy = report.CONTENT_POLICY
    assert "default-src 'none'" in policy and "img-src data:" in policy
    import base64
    import hashlib
    digest = base64.b64encode(hashlib.sha256(report.PAGE_SCRIPT.encode()).digest()).decode()
    assert f"script-src 'sha256-{digest}'" in policy


def plot_html(folder, *arguments, timeout=120):
    """quelmo-plot --html page.html ARGUMENTS in folder: (status, stderr)."""
    done = subprocess.run([sys.executable, PLOT_TOOL, "--html", "page.html", *arguments], cwd=folder,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    return done.returncode, done.stderr


def nested(depth):
    return '{"goodness": 0.1, "x": ' + "[" * depth + "]" * depth + "}"


BAD_RESULTS = [  # name, result.json as text, what the message says
    ("400-digit goodness", '{"goodness": ' + "7" * 400 + ', "coils": []}',
     "goodness is a number of 400 digits"),
    ("deeply nested", nested(100000), "nested too deeply"),
    ("lone surrogate", json.dumps(result_document())[:-1] + ', "note": "\\ud800x"}',
     "note holds the escape \\ud800"),
    ("lone surrogate in a coil name",
     json.dumps(result_document()).replace('"c0"', '"\\udc00"'), "coils[0].name holds the escape \\udc00"),
    ("coil radius 0", json.dumps(result_document()).replace('"coil_radius_m": 0.01,', '"coil_radius_m": 0,'),
     "coils[0] (coil 'c0'): coil_radius_m is 0"),
    ("negative length", json.dumps(result_document()).replace('"length_m": 0.02,', '"length_m": -0.02,'),
     "coils[0] (coil 'c0'): length_m is -0.02"),
    ("log CSV a FIFO", json.dumps(dict(result_document(), settings={"seed": 1, "logcsv": "log.fifo"})),
     "log.fifo: it is a FIFO; only regular files are read (the setting logcsv of the result names it)"),
    ("coil CSV a directory", json.dumps(dict(result_document(), coils=None, settings={"coilcsv": "."})),
     "it is a directory; only regular files are read (the setting coilcsv of the result names it)"),
    ("result a FIFO", None, "result.json: it is a FIFO; only regular files are read"),
]


@pytest.mark.parametrize("name, text, message", BAD_RESULTS, ids=[c[0] for c in BAD_RESULTS])
def test_bad_results_are_refused_and_the_old_page_stays(name, text, message, tmp_path):
    (tmp_path / "page.html").write_text("the old page")
    os.mkfifo(tmp_path / "log.fifo")
    if text is None:
        os.mkfifo(tmp_path / "result.json")
    else:
        (tmp_path / "result.json").write_text(text, encoding="utf-8", errors="surrogatepass")
    status, err = plot_html(tmp_path, "result.json")
    assert status == 1, err
    assert message in err
    assert "Traceback" not in err and len(err.splitlines()) == 1
    assert (tmp_path / "page.html").read_text() == "the old page"
    assert sorted(os.listdir(tmp_path)) == ["log.fifo", "page.html", "result.json"]


def test_a_page_replaces_the_old_one_whole(tmp_path, monkeypatch):
    monkeypatch.setattr(plots, "figures", lambda *args: [])
    (tmp_path / "page.html").write_text("the old page")
    (tmp_path / "result.json").write_text(json.dumps(result_document()))
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = plotcli.main(["--html", str(tmp_path / "page.html"), str(tmp_path / "result.json")])
    assert status == 0, err.getvalue()
    assert (tmp_path / "page.html").read_text().startswith("<!DOCTYPE html>")
    assert sorted(os.listdir(tmp_path)) == ["page.html", "result.json"]
    assert (tmp_path / "page.html").stat().st_mode & 0o644 == 0o644
    # A folder where the page belongs: said, nothing left behind.
    (tmp_path / "folder.html").mkdir()
    with pytest.raises(report.BadInput, match="cannot write .*folder.html"):
        report.write_report(str(tmp_path / "folder.html"), str(tmp_path / "result.json"))
    assert sorted(os.listdir(tmp_path)) == ["folder.html", "page.html", "result.json"]


def test_a_large_fit_lists_its_worst_coils_and_plots_densities(tmp_path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    count = plots.DENSITY_ABOVE + 1
    document = result_document(count)
    coils = report.coil_rows(document, str(tmp_path), [])
    table = report.coil_section(coils)
    assert table.count("<tr>") == report.LISTED_AT_MOST + 1
    assert f"The {report.LISTED_AT_MOST} worst of the {count} coils" in table
    made = dict(plots.figures(coils, None, document))
    try:
        for name, fig in made.items():
            assert not getattr(fig, "point_names", None), name  # no point named one by one
            if name != "baselines-vs-shape.png":
                assert len(fig.axes[0].texts) <= plots.NAMED_AT_MOST, name
        assert any(type(c).__name__ == "PolyCollection" for c in made["error-vs-shape.png"].axes[0].collections)
    finally:
        for fig in made.values():
            plt.close(fig)


def test_page_sections_of_a_newer_result(tmp_path, monkeypatch):
    monkeypatch.setattr(plots, "figures", lambda *args: [])
    page = page_of(result_document(), tmp_path)
    for text in ("<section id=\"compare\">", "Recommended: <b>fitted</b> (lowest prediction RMS).", "<section id=\"domain\">",
                 "<td>coil radius</td><td>10</td><td>30</td><td>mm</td>", "def nagaoka(a, l):",
                 "Current sheet with Nagaoka&#x27;s coefficient", "Proc. IRE 16 (1928)", "<b>held</b>",
                 "20.03.008", "The 3 settings of the run"):
        assert text in page, text
    older = copy.deepcopy(result_document())
    del older["compare"], older["domain"]
    notes: list = []
    report.page(older, "r.json", None, None, notes)
    assert "Which formula to use is left out: the result holds no comparison of formulas (a fit with compare 1 "\
           "gives it)." in notes
    assert "The domain of validity is left out: the result does not give the ranges of its coils." in notes


def test_the_header_shows_the_date_and_coil_file_a_result_names(tmp_path):
    # reportstyle si writes them into the result JSON; without them the page
    # takes the result file's time and says the coil file is not named.
    named = dict(result_document(), date="2026-12-08 18:00:27 UTC", coil_file="coils-example.txt")
    header = report.header(named, "r.json")
    assert "<dt>date</dt><dd>2026-12-08 18:00:27 UTC</dd>" in header
    assert "<dt>coil file</dt><dd>coils-example.txt</dd>" in header
    (tmp_path / "r.json").write_text("{}")
    header = report.header(result_document(), str(tmp_path / "r.json"))
    assert "(the result file&#x27;s time)</dd>" in header
    assert "<dt>coil file</dt><dd>not named in the result</dd>" in header


def test_a_name_that_is_not_utf8_is_drawn_with_replacement_characters():
    # The reader gives a name's bytes that are not UTF-8 as surrogate escapes;
    # a figure draws them as U+FFFD, without matplotlib's missing-glyph warning.
    import warnings
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    document = result_document()
    document["coils"][1].update(name="c\udcffx", studentized=5.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        name, fig = plots.leverage_figure(plt, document, "head")
        try:
            fig.canvas.draw()
            assert "c\ufffdx" in [text.get_text() for text in fig.axes[0].texts]
        finally:
            plt.close(fig)


def test_the_usage_code_computes_what_the_program_does():
    # The page's Nagaoka coefficient against the plots' (itself held to the
    # program's by the plot tests), and its formula for a whole coil.
    namespace: dict = {}
    document = result_document()
    code = report.usage_section(document)
    source = html.unescape(code[code.index(">", code.index("<pre")) + 1:code.index("</pre>")])
    exec(source, namespace)
    from quelmo import plots_baselines
    for a, length in ((0.01, 0.02), (0.01, 0.0001), (0.01, 3.0)):
        assert namespace["nagaoka"](a, length) == pytest.approx(plots_baselines.nagaoka(a, length), rel=1e-12)
    a, turns, length, wire = 0.01, 12, 0.024, 0.0002
    value = namespace["inductance"](a, turns, length, wire)
    c = document["coefficients"]
    poly = (lambda names, x: sum(c[n] * x ** i for i, n in enumerate(names)))
    expected = (plots_baselines.formula("sheet", a, wire, turns, length) * poly(("r0", "r1", "r2", "r3"), a)
                * poly(("t0", "t1", "t2", "t3"), turns)
                / (poly(("l0", "l1", "l2", "l3"), length) * poly(("w0", "w1", "w2"), wire)))
    assert value == pytest.approx(expected, rel=1e-12)



def test_a_long_log_draws_its_steps_only():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = [{"generation": float(g), "tested": 68.0, "best1": 1.0 / (1 + g // 1000), "best2": None, "best3": None,
             "best4": 2.0 / (1 + g // 2500), "library_size": 75.0, "rejects": 0.0, "elapsed_s": g * 0.01}
            for g in range(10000)]
    made = dict(plots.log_figures(plt, matplotlib.ticker, rows, "head"))
    try:
        best, fourth = made["goodness-vs-generation.png"].axes[0].get_lines()[:2]
        # Each change of the best (every 1000 generations) and of the fourth best
        # (every 2500), the first and the last generation.
        assert len(best.get_xdata()) == 13  # 9 + 2 changes (5000 is both), the first and the last
        assert list(best.get_xdata())[-1] == 9999 and list(best.get_ydata())[-1] == 0.1
        assert list(fourth.get_ydata())[-1] == 0.5
        assert made["goodness-vs-generation.png"].axes[0].get_title().startswith(
            "Best goodness against generation, 10000 generations")
    finally:
        for fig in made.values():
            plt.close(fig)


def member_paths(value, prefix=""):
    """The dotted path of every member of a JSON document, nested ones too."""
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, member in items:
        path = f"{prefix}.{key}" if prefix else str(key)
        yield path
        yield from member_paths(member, path)


def test_members_of_another_type_give_a_page_or_a_message(monkeypatch):
    # Every member of a result in turn replaced by a value of another type:
    # refused with a message, or a page (and a notebook table) without the
    # parts it cannot show; never an exception of Python's own.
    monkeypatch.setattr(plots, "figures", lambda *args: [])
    template = result_document()
    for where in member_paths(template):
        for value in (5, "x", [1], {"a": 1}, None, True, float("nan"), 1e308, -1.0):
            document = copy.deepcopy(template)
            set_at(document, where, value)
            try:
                report.check_document(document, "r.json")
            except report.BadInput:
                continue
            notes: list = []
            report.page(document, "r.json", report.coil_rows(document, ".", notes), None, notes)
            report.summary_html(document)


@pytest.mark.parametrize("where", ["statistics", "statistics.n", "coils", "coils.0", "coils.0.leverage",
                                   "coils.0.coil_radius_m", "coils.0.wire_radius_m", "coils.0.turns", "baselines",
                                   "baselines.sheet"])
def test_the_plots_of_a_result_leave_out_what_is_not_a_number(where):
    # The plots that read the result JSON itself (quelmo-plot --json, and the
    # page): a member of another type leaves a coil or a figure out.
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from quelmo import plots_baselines
    for value in ("x", None, -1.0):
        document = result_document()
        set_at(document, where, value)
        made = [plots.leverage_figure(plt, document, "head")]
        made += plots_baselines.figures(plt, matplotlib.ticker, document, "head")
        for figure in made:
            if figure is not None:
                plt.close(figure[1])
