"""The report page (quelmo-plot --html): its content from a real fit, its bad
inputs, and the page itself in headless Chromium."""

import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import tempfile
from typing import Any, NamedTuple

import pytest

import quelmo
from quelmo import plotcli, plots, report
from support import EXAMPLES, run_program

# A coil name that HTML must escape; the coil file takes it as one field.
ODD_NAME = "x<y&\"z'"

# The figures of a polished fit with statistics and no classical formulas.
FIGURES = ("computed-vs-measured.png", "error-vs-shape.png", "error-vs-turns.png", "error-vs-coil-radius.png",
           "error-vs-wire-radius.png", "error-vs-length.png", "goodness-vs-generation.png", "goodness-vs-time.png",
           "studentized-vs-leverage.png")


def html_report(argv):
    """Runs quelmo-plot in-process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = plotcli.main(argv)
        except SystemExit as exit:
            status = exit.code
    return status, out.getvalue(), err.getvalue()


class Run(NamedTuple):
    """A fit's directory and its result JSON."""
    dir: pathlib.Path
    document: Any


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One short fit with statistics, cross-validation and pruning, in a
    directory of its own, on the example coils with one renamed; the tests
    of this file share it."""
    directory = tmp_path_factory.mktemp("report").resolve()
    lines = (EXAMPLES / "coils-example.txt").read_text().splitlines(keepends=True)
    first = next(i for i, line in enumerate(lines) if line[:1].isdigit())
    lines[first] = lines[first].rsplit(",", 1)[0] + "," + ODD_NAME + "\n"
    (directory / "coils.txt").write_text("".join(lines))
    (directory / "ranges.txt").write_text((EXAMPLES / "ranges-example.txt").read_text() +
                                          "maxgenerations 4\nprocesses 1\nstatistics 1\ncrossvalidate 5\n"
                                          "prune 1\ncheckpoint c.txt\ncoilcsv coils.csv\nlogcsv log.csv\n"
                                          "resultjson result.json\n")
    status, _, errors = run_program(directory, "coils.txt", "ranges.txt")
    assert status == 0, errors
    return Run(directory, json.loads((directory / "result.json").read_text()))


def test_page_holds_every_section_and_escapes_names(run):
    status, out, err = html_report(["--html", str(run.dir / "r.html"), str(run.dir)])
    assert status == 0, err
    assert out == f"{run.dir / 'r.html'}\n"
    assert "classical formulas are left out" in err
    page = (run.dir / "r.html").read_text()
    for anchor in ("formula", "statistics", "correlations", "pruning", "coils", "plots"):
        assert f'<section id="{anchor}">' in page
    assert page.count("<svg ") == 9
    assert "prediction RMS (5-fold cross-validation)" in page
    # Every point of the coil plots names its coil; the odd name only escaped.
    assert page.count("<title>x&lt;y&amp;&quot;z&#x27;</title>") == 7
    assert ODD_NAME not in page
    assert "x<y" not in page
    # Nothing loads from elsewhere.
    assert re.search(r"""(src|href)=["'](?!#)""", page) is None
    assert re.findall(r"https?://(?!www\.w3\.org/)[^\s\"']*", page) == []


def older(document):
    return {k: v for k, v in document.items() if k not in ("statistics", "found", "polished")}


def bare(document):
    return {"goodness": document["goodness"], "coefficients": document["coefficients"]}


def odd(document):
    return dict(document, statistics={"stderr": 3, "high_correlations": "x"}, coils=[{"name": 1}])


def newer(document):
    """A newer result, with the classical formulas."""
    return dict(document, baselines={"solenoid": 0.61, "wheeler": None, "fitted": 0.0772},
                baselines_left_out={"wheeler": 3}, base={"name": "sheet", "formula": "L = <sheet>"},
                compare={"candidates": [], "recommended": "fitted", "reason": "", "lost": None}, domain={})


# Result documents the page must cope with: the input's name, how it is made
# from the fit's result (None: an empty directory), the status, what stderr says.
INPUTS = [
    ("empty", None, 1, "{source} holds no result JSON: the setting resultjson writes it"),
    ("list.json", lambda document: [1, 2], 1, "not a quelmo result"),
    ("older.json", older, 0, "Fit statistics, prediction error, correlations and pruning advice are left out: "
                             "the result has no statistics"),
    ("bare.json", bare, 0, "The coil table and the coil plots are left out"),
    ("odd.json", odd, 0, "is left out: the result lacks what it needs"),
    ("newer.json", newer, 0, ""),
]


@pytest.mark.parametrize("name, make, expected, message", INPUTS, ids=[row[0] for row in INPUTS])
def test_bad_and_older_inputs(run, name, make, expected, message):
    source = run.dir / name
    if make is None:
        source.mkdir(exist_ok=True)
    else:
        source.write_text(json.dumps(make(run.document)))
    target = run.dir / f"{name}.html"
    status, _, err = html_report(["--html", str(target), str(source)])
    assert status == expected, err
    assert message.format(source=source) in err
    if expected == 0:
        page = target.read_text()
        is_newer = name == "newer.json"
        expect = {"<h1>quelmo fit: goodness 0.": True, "Not in this result": not is_newer,
                  '<section id="baselines">': is_newer,
                  "<td>Wheeler (1928)</td><td>–</td><td>3</td>": is_newer,
                  "<code>L = &lt;sheet&gt;</code>": is_newer,
                  "L = sheet(a, N, l, w) · R(a)": is_newer}
        assert {text: text in page for text in expect} == expect
    else:
        assert not target.exists()


def test_notebook_table_of_the_classical_formulas(run):
    assert "<td>Ideal long solenoid</td><td>0.61</td><td></td>" in report.summary_html(newer(run.document))


def test_repr_and_table_of_a_fit_with_cross_validation(run):
    result = quelmo.FitResult.read(run.dir)
    rms = run.document["statistics"]["crossvalidation"]["rms"]
    assert repr(result) == f"<quelmo fit: goodness 0.0772456 on 60 coils, prediction RMS {rms:.6g}>"
    table = result._repr_html_()
    assert f"<td>prediction RMS (5-fold)</td><td>{rms:.6g}</td>" in table
    assert table.count("<td>± ") == 12  # every free coefficient, none of the three held
    assert ODD_NAME not in table


# What the plots show of a polished fit with statistics.

@pytest.fixture(scope="module")
def figures(run):
    """The plots of the fit, by file name; closed afterwards."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    coils = [dict(c, evaluated=1.0 if c["evaluated"] else 0.0) for c in run.document["coils"]]
    log = plots.read_table(run.dir / "log.csv", plots.LOG_COLUMNS)
    figures = dict(plots.figures(coils, log, run.document))
    yield figures
    for figure in figures.values():
        plt.close(figure)


def test_the_plots_of_a_polished_fit(run, figures):
    assert run.document["polished"]
    assert sorted(figures) == sorted(FIGURES)


@pytest.mark.parametrize("name", FIGURES)
def test_names_sit_by_their_points(run, figures, name):
    fig = figures[name]
    ax = fig.axes[0]
    assert ax.get_title().count(f"{len(run.document['coils'])} coils") <= 1
    fig.canvas.draw()
    # A name sits next to its point, or a line ties it to it.
    for note in ax.texts:
        box = note.get_window_extent()
        px, py = ax.transData.transform(note.xy)
        gap = max(box.x0 - px, px - box.x1, box.y0 - py, py - box.y1, 0)
        if note.arrow_patch is None:
            assert gap < 12 * fig.dpi / 72, note.get_text()


@pytest.mark.parametrize("name", ["goodness-vs-generation.png", "goodness-vs-time.png"])
def test_polish_is_the_last_step_of_the_goodness_plots(run, figures, name):
    """Down to the final goodness."""
    ax = figures[name].axes[0]
    assert min(line.get_ydata()[-1] for line in ax.get_lines() if len(line.get_ydata())) == run.document["goodness"]
    assert any(t.get_text().startswith("polish") for t in ax.get_legend().get_texts())


def test_coils_of_high_leverage_and_suspect_ones_are_named(run, figures):
    statistics = run.document["statistics"]
    high = 2 * statistics["p"] / statistics["n"]
    expected = {c["name"] for c in run.document["coils"]
                if c["leverage"] is not None and (c["leverage"] > high or abs(c["studentized"]) > 3)}
    named = {t.get_text() for t in figures["studentized-vs-leverage.png"].axes[0].texts}
    assert expected
    assert named == expected


# The page in headless Chromium.

def browser():
    """A headless Chromium through chromium-driver, logging the console and
    the network; None with the reason when either is missing."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None, "python3-selenium is missing"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(driver_path):
        return None, "chromium-driver is missing"
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1200,900", "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service(driver_path), options=options), None


def printed_figures(driver, folder):
    """The page printed to A4 by Chromium, with all but the figures hidden
    (their places kept): for each printed page that shows a figure, (page
    width, left and right edge of what it shows) in pixels, from pdftoppm's
    image of the page, made in `folder`."""
    import base64
    import subprocess
    from selenium.webdriver.common.print_page_options import PrintOptions
    if shutil.which("pdftoppm") is None:
        pytest.skip("pdftoppm is missing (Debian poppler-utils)")
    driver.execute_script(
        "var s = document.createElement('style'); s.textContent = 'body * { visibility: hidden !important; }"
        " figure svg, figure svg * { visibility: visible !important; }'; document.head.appendChild(s);")
    options = PrintOptions()
    options.page_width, options.page_height = 21.0, 29.7
    pdf = base64.b64decode(driver.print_page(options))
    (folder / "page.pdf").write_bytes(pdf)
    subprocess.run(["pdftoppm", "-gray", "-r", "30", str(folder / "page.pdf"), str(folder / "p")], check=True,
                   timeout=120)
    shown = []
    for image in sorted(folder.glob("p*.pgm")):
        data = image.read_bytes()
        fields = data.split(maxsplit=4)  # P5, width, height, maximum, pixels
        width, height, pixels = int(fields[1]), int(fields[2]), fields[4]
        columns = [x for x in range(width) if any(pixels[y * width + x] < 200 for y in range(height))]
        if columns:
            shown.append((width, columns[0], columns[-1]))
    if not shown:
        raise AssertionError("the printed page shows no figure")
    return shown


@pytest.fixture(scope="module")
def driver():
    """One browser session for the tests of the page."""
    driver, missing = browser()
    if driver is None:
        pytest.fail(f"{missing}: the browser test needs the Debian packages chromium, chromium-driver and "
                    "python3-selenium (scripts/install-deps.sh test installs them)")
    yield driver
    driver.quit()


def written_page(run, name, document=None):
    """The report page of `document` (the fit's own result when None),
    written as name.html in the fit's directory."""
    source = run.dir / "result.json"
    if document is not None:
        source = run.dir / f"{name}.json"
        source.write_text(json.dumps(document))
    page = run.dir / f"{name}.html"
    status, _, err = html_report(["--html", str(page), str(source)])
    assert status == 0, err
    return page


@pytest.fixture(scope="module")
def report_page(run):
    return written_page(run, "report")


def show(driver, page):
    """Opens `page` at 1200 by 900 pixels, with the browser's logs emptied
    first, so that what they hold afterwards is this page's."""
    driver.get_log("browser")
    driver.get_log("performance")
    driver.set_window_size(1200, 900)
    driver.get(page.as_uri())


def assert_quiet(driver):
    """No error on the console, and nothing requested from elsewhere."""
    errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []
    requests = [json.loads(entry["message"])["message"] for entry in driver.get_log("performance")]
    urls = [m["params"]["request"]["url"] for m in requests if m["method"] == "Network.requestWillBeSent"]
    assert [u for u in urls if not u.startswith("file://")] == []


def assert_fits_a_phone(driver):
    """At a phone's width the page never scrolls sideways, and a table or
    code wider than the screen scrolls in a box of its own, which says so."""
    driver.set_window_size(390, 844)
    assert driver.execute_script("return document.documentElement.scrollWidth;") <= \
        driver.execute_script("return window.innerWidth;") + 1
    assert driver.execute_script(
        "return Array.from(document.querySelectorAll('table, pre')).filter(function (t) {"
        " var box = t.tagName === 'PRE' ? t : t.closest('.scroll'); if (!box) return true;"
        " var hint = box.nextElementSibling;"
        " return box.scrollWidth > box.clientWidth + 1 &&"
        "  !(hint && hint.classList.contains('scroll-hint') && hint.offsetHeight > 0); }).length;") == 0


def test_every_figure_shows(driver, report_page):
    show(driver, report_page)
    sizes = driver.execute_script(
        "return Array.from(document.querySelectorAll('svg, img')).map(function (e) {"
        " var r = e.getBoundingClientRect(); return [r.width, r.height]; });")
    assert len(sizes) == 9
    for width, height in sizes:
        assert width > 0
        assert height > 0
    assert_quiet(driver)


def test_coil_table_sorts_by_a_column(driver, report_page):
    from selenium.webdriver.common.by import By
    show(driver, report_page)
    # One click on the error column's header: worst first.
    driver.find_element(By.CSS_SELECTOR, "th[data-sort=error]").click()
    shown = [float(v) for v in driver.execute_script(
        "var t = document.getElementById('coil-table'), c = Array.from(t.tHead.rows[0].cells).findIndex("
        "function (h) { return h.dataset.sort === 'error'; });"
        "return Array.from(t.tBodies[0].rows).map(function (r) { return r.cells[c].textContent; });")]
    assert [abs(v) for v in shown] == sorted((abs(v) for v in shown), reverse=True)
    assert abs(shown[0]) > abs(shown[-1])
    # Another column sorts by its own values.
    driver.find_element(By.XPATH, "//th[text()='turns']").click()
    turns = [float(v) for v in driver.execute_script(
        "return Array.from(document.querySelectorAll('#coil-table tbody tr')).map(function (r) {"
        " return r.cells[7].textContent; });")]
    assert turns == sorted(turns, reverse=True)
    assert_quiet(driver)


def test_a_point_names_its_coil(driver, run, report_page):
    """A hover over a point of the computed-against-measured plot lands on
    an element whose title names a coil."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    show(driver, report_page)
    point = driver.find_elements(By.XPATH, "//figure[@id='computed-vs-measured']"
                                 "//*[local-name()='use'][*[local-name()='title']]")[10]
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", point)
    ActionChains(driver).move_to_element(point).perform()
    hovered = driver.execute_script(
        "var r = arguments[0].getBoundingClientRect();"
        "var e = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);"
        "var t = e && e.querySelector('title'); return t ? t.textContent : null;", point)
    names = [c["name"] for c in run.document["coils"]]
    assert hovered in names
    assert ODD_NAME in driver.execute_script(
        "return Array.from(document.querySelectorAll('title')).map(function (t) { return t.textContent; });")
    assert_quiet(driver)


def test_fits_a_phone_and_a_laptop(driver, report_page):
    show(driver, report_page)
    assert_fits_a_phone(driver)
    # A laptop's width shows the whole coil table.
    driver.set_window_size(1280, 900)
    assert driver.execute_script(
        "var box = document.getElementById('coil-table').closest('.scroll');"
        "return box.scrollWidth <= box.clientWidth + 1;")
    # The picture of the page, at the width it opens at.
    driver.set_window_size(1200, 900)
    driver.execute_script("window.scrollTo(0, 0);")
    build = os.environ.get("QUELMO_BUILD_DIR") or tempfile.gettempdir()
    assert driver.save_screenshot(os.path.join(build, "report-page.png"))
    assert_quiet(driver)


def test_prints_on_a4(driver, report_page, tmp_path):
    """Every figure at least half the page's width."""
    show(driver, report_page)
    for width, left, right in printed_figures(driver, tmp_path):
        assert right - left >= width / 2
    assert_quiet(driver)


def test_page_with_every_section(driver, run):
    """The classical formulas, the comparison of formulas and the domain
    show too, and fit a phone."""
    from selenium.webdriver.common.by import By
    full = dict(run.document, baselines={"solenoid": 0.61, "wheeler": 0.04, "sheet": 0.03, "sheetrosa": 0.006},
                baselines_left_out={"sheetrosa": 2}, domain={"coil_radius_m": [0.002, 0.05], "turns": [3, 120]},
                compare={"folds": 10, "repeats": 5, "recommended": "sheetrosa", "reason": "lowest prediction RMS",
                         "lost": "the equation alone: 0.105 against 0.006", "candidates": [
                             {"name": "equation", "base": "none", "kind": "equation", "coefficients_fitted": 12,
                              "goodness": 0.0772, "cv_rms_mean": 0.105, "cv_rms_spread": 0.004, "aic": -283.3,
                              "bic": -258.2, "chi2_per_dof": None, "coils_evaluated": 60, "comparable": True}]})
    show(driver, written_page(run, "full", full))
    for anchor in ("baselines", "compare", "domain"):
        assert driver.find_element(By.ID, anchor).is_displayed()
    assert_fits_a_phone(driver)
    assert_quiet(driver)


def test_a_script_in_the_result_does_not_run(driver, run):
    """Where the program writes numbers and names."""
    from selenium.webdriver.common.by import By
    hostile = dict(run.document, statistics=dict(run.document["statistics"], n="<script>window.pwned = 1</script>"),
                   coils=[dict(run.document["coils"][0], name="<img src=x onerror='window.pwned = 2'>")]
                   + run.document["coils"][1:])
    show(driver, written_page(run, "hostile", hostile))
    assert driver.execute_script("return window.pwned === undefined ? null : window.pwned;") is None
    assert "<script>window.pwned = 1</script>" in driver.find_element(By.ID, "statistics").text
    assert_quiet(driver)
