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
import unittest

from quelmo import plotcli, plots, report
from support import EXAMPLES, run_program

# A coil name that HTML must escape; the coil file takes it as one field.
ODD_NAME = "x<y&\"z'"


def html_report(argv):
    """Runs quelmo-plot in-process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = plotcli.main(argv)
        except SystemExit as exit:
            status = exit.code
    return status, out.getvalue(), err.getvalue()


class ReportRun:
    """One short fit with statistics, cross-validation and pruning, in a
    directory of its own, on the example coils with one renamed."""

    def __init__(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="quelmo-report-")).resolve()
        lines = (EXAMPLES / "coils-example.txt").read_text().splitlines(keepends=True)
        first = next(i for i, line in enumerate(lines) if line[:1].isdigit())
        lines[first] = lines[first].rsplit(",", 1)[0] + "," + ODD_NAME + "\n"
        (self.dir / "coils.txt").write_text("".join(lines))
        (self.dir / "ranges.txt").write_text((EXAMPLES / "ranges-example.txt").read_text() +
                                             "maxgenerations 4\nprocesses 1\nstatistics 1\ncrossvalidate 5\n"
                                             "prune 1\ncheckpoint c.txt\ncoilcsv coils.csv\nlogcsv log.csv\n"
                                             "resultjson result.json\n")
        status, _, errors = run_program(self.dir, "coils.txt", "ranges.txt")
        if status != 0:
            raise AssertionError(errors)
        self.document = json.loads((self.dir / "result.json").read_text())


FIT = None  # the one fit the tests of this file share


def setUpModule():
    global FIT
    FIT = ReportRun()


def tearDownModule():
    shutil.rmtree(FIT.dir, ignore_errors=True)


class ReportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fit = FIT

    def write(self, name, document):
        path = self.fit.dir / name
        path.write_text(json.dumps(document))
        return path

    def test_page_holds_every_section_and_escapes_names(self):
        status, out, err = html_report(["--html", str(self.fit.dir / "r.html"), str(self.fit.dir)])
        self.assertEqual(status, 0, err)
        self.assertEqual(out, f"{self.fit.dir / 'r.html'}\n")
        self.assertIn("classical formulas are left out", err)
        page = (self.fit.dir / "r.html").read_text()
        for anchor in ("formula", "statistics", "correlations", "pruning", "coils", "plots"):
            self.assertIn(f'<section id="{anchor}">', page)
        self.assertEqual(page.count("<svg "), 9)
        self.assertIn("prediction RMS (5-fold cross-validation)", page)
        # Every point of the coil plots names its coil; the odd name only escaped.
        self.assertEqual(page.count("<title>x&lt;y&amp;&quot;z&#x27;</title>"), 7)
        self.assertNotIn(ODD_NAME, page)
        self.assertNotIn("x<y", page)
        # Nothing loads from elsewhere.
        self.assertIsNone(re.search(r"""(src|href)=["'](?!#)""", page))
        self.assertEqual(re.findall(r"https?://(?!www\.w3\.org/)[^\s\"']*", page), [])

    def test_bad_and_older_inputs(self):
        document = self.fit.document
        empty = self.fit.dir / "empty"
        empty.mkdir(exist_ok=True)
        older = {k: v for k, v in document.items() if k not in ("statistics", "found", "polished")}
        bare = {"goodness": document["goodness"], "coefficients": document["coefficients"]}
        odd = dict(document, statistics={"stderr": 3, "high_correlations": "x"}, coils=[{"name": 1}])
        cases = [  # input, status, what stderr says
            (empty, 1, f"{empty} holds no result JSON: the setting resultjson writes it"),
            (self.write("list.json", [1, 2]), 1, "not a quelmo result"),
            (self.write("older.json", older), 0, "Fit statistics, prediction error, correlations and pruning "
                                                 "advice are left out: the result has no statistics"),
            (self.write("bare.json", bare), 0, "The coil table and the coil plots are left out"),
            (self.write("odd.json", odd), 0, "is left out: the result lacks what it needs"),
        ]
        # A newer result with the classical formulas: their section, and the
        # notebook's table.
        newer = dict(document, baselines={"solenoid": 0.61, "wheeler": None, "fitted": 0.0772},
                     baselines_left_out={"wheeler": 3}, base={"name": "sheet", "formula": "L = <sheet>"},
                     compare={"candidates": [], "recommended": "fitted", "reason": "", "lost": None}, domain={})
        cases.append((self.write("newer.json", newer), 0, ""))
        self.assertIn("<td>Ideal long solenoid</td><td>0.61</td><td></td>", report.summary_html(newer))
        for source, expected, message in cases:
            with self.subTest(source.name):
                target = self.fit.dir / f"{source.name}.html"
                status, _, err = html_report(["--html", str(target), str(source)])
                self.assertEqual(status, expected, err)
                self.assertIn(message, err)
                if expected == 0:
                    page = target.read_text()
                    newer = source.name == "newer.json"
                    expect = {"<h1>quelmo fit: goodness 0.": True, "Not in this result": not newer,
                              '<section id="baselines">': newer,
                              "<td>Wheeler (1928)</td><td>–</td><td>3</td>": newer,
                              "<code>L = &lt;sheet&gt;</code>": newer,
                              "L = sheet(a, N, l, w) · R(a)": newer}
                    self.assertEqual({text: text in page for text in expect}, expect)
                else:
                    self.assertFalse(target.exists())


class NotebookViewTest(unittest.TestCase):
    def test_repr_and_table_of_a_fit_with_cross_validation(self):
        import quelmo
        result = quelmo.FitResult.read(FIT.dir)
        rms = FIT.document["statistics"]["crossvalidation"]["rms"]
        self.assertEqual(repr(result), f"<quelmo fit: goodness 0.0772456 on 60 coils, prediction RMS {rms:.6g}>")
        table = result._repr_html_()
        self.assertIn(f"<td>prediction RMS (5-fold)</td><td>{rms:.6g}</td>", table)
        self.assertEqual(table.count("<td>± "), 12)  # every free coefficient, none of the three held
        self.assertNotIn(ODD_NAME, table)


class PlotTest(unittest.TestCase):
    """What the plots show of a polished fit with statistics."""

    def test_polish_leverage_labels_and_titles(self):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        document = FIT.document
        coils = [dict(c, evaluated=1.0 if c["evaluated"] else 0.0) for c in document["coils"]]
        log = plots.read_table(FIT.dir / "log.csv", plots.LOG_COLUMNS)
        figures = dict(plots.figures(coils, log, document))
        self.addCleanup(lambda: [plt.close(f) for f in figures.values()])
        self.assertTrue(document["polished"])
        for name, fig in figures.items():
            with self.subTest(name):
                ax = fig.axes[0]
                self.assertLessEqual(ax.get_title().count(f"{len(coils)} coils"), 1)
                fig.canvas.draw()
                # A name sits next to its point, or a line ties it to it.
                for note in ax.texts:
                    box = note.get_window_extent()
                    px, py = ax.transData.transform(note.xy)
                    gap = max(box.x0 - px, px - box.x1, box.y0 - py, py - box.y1, 0)
                    if note.arrow_patch is None:
                        self.assertLess(gap, 12 * fig.dpi / 72, note.get_text())
        # The polish is the last step of the goodness plots, down to the
        # final goodness.
        for name in ("goodness-vs-generation.png", "goodness-vs-time.png"):
            lines = figures[name].axes[0].get_lines()
            self.assertEqual(min(line.get_ydata()[-1] for line in lines if len(line.get_ydata())),
                             document["goodness"])
            self.assertTrue(any(t.get_text().startswith("polish") for t in
                                figures[name].axes[0].get_legend().get_texts()))
        # The coils of high leverage and the suspect ones are named.
        statistics = document["statistics"]
        high = 2 * statistics["p"] / statistics["n"]
        expected = {c["name"] for c in document["coils"]
                    if c["leverage"] is not None and (c["leverage"] > high or abs(c["studentized"]) > 3)}
        named = {t.get_text() for t in figures["studentized-vs-leverage.png"].axes[0].texts}
        self.assertTrue(expected)
        self.assertEqual(named, expected)


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


def printed_figures(driver):
    """The page printed to A4 by Chromium, with all but the figures hidden
    (their places kept): for each printed page that shows a figure, (page
    width, left and right edge of what it shows) in pixels, from pdftoppm's
    image of the page."""
    import base64
    import subprocess
    from selenium.webdriver.common.print_page_options import PrintOptions
    if shutil.which("pdftoppm") is None:
        raise unittest.SkipTest("pdftoppm is missing (Debian poppler-utils)")
    driver.execute_script(
        "var s = document.createElement('style'); s.textContent = 'body * { visibility: hidden !important; }"
        " figure svg, figure svg * { visibility: visible !important; }'; document.head.appendChild(s);")
    options = PrintOptions()
    options.page_width, options.page_height = 21.0, 29.7
    pdf = base64.b64decode(driver.print_page(options))
    folder = pathlib.Path(tempfile.mkdtemp(prefix="quelmo-print-"))
    try:
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
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if not shown:
        raise AssertionError("the printed page shows no figure")
    return shown


class BrowserTest(unittest.TestCase):
    def assert_fits_a_phone(self, driver):
        """At a phone's width the page never scrolls sideways, and a table or
        code wider than the screen scrolls in a box of its own, which says so."""
        driver.set_window_size(390, 844)
        self.assertLessEqual(driver.execute_script("return document.documentElement.scrollWidth;"),
                             driver.execute_script("return window.innerWidth;") + 1)
        self.assertEqual(driver.execute_script(
            "return Array.from(document.querySelectorAll('table, pre')).filter(function (t) {"
            " var box = t.tagName === 'PRE' ? t : t.closest('.scroll'); if (!box) return true;"
            " var hint = box.nextElementSibling;"
            " return box.scrollWidth > box.clientWidth + 1 &&"
            "  !(hint && hint.classList.contains('scroll-hint') && hint.offsetHeight > 0); }).length;"), 0)

    def test_page_in_headless_chromium(self):
        run = FIT
        page = run.dir / "report.html"
        status, _, err = html_report(["--html", str(page), str(run.dir / "result.json")])
        self.assertEqual(status, 0, err)
        driver, missing = browser()
        if driver is None:
            self.fail(f"{missing}: the browser test needs the Debian packages chromium, chromium-driver and "
                      "python3-selenium (scripts/install-deps.sh test installs them)")
        self.addCleanup(driver.quit)
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        driver.get(page.as_uri())

        sizes = driver.execute_script(
            "return Array.from(document.querySelectorAll('svg, img')).map(function (e) {"
            " var r = e.getBoundingClientRect(); return [r.width, r.height]; });")
        self.assertEqual(len(sizes), 9)
        for width, height in sizes:
            self.assertGreater(width, 0)
            self.assertGreater(height, 0)

        # One click on the error column's header: worst first.
        driver.find_element(By.CSS_SELECTOR, "th[data-sort=error]").click()
        shown = [float(v) for v in driver.execute_script(
            "var t = document.getElementById('coil-table'), c = Array.from(t.tHead.rows[0].cells).findIndex("
            "function (h) { return h.dataset.sort === 'error'; });"
            "return Array.from(t.tBodies[0].rows).map(function (r) { return r.cells[c].textContent; });")]
        self.assertEqual([abs(v) for v in shown], sorted((abs(v) for v in shown), reverse=True))
        self.assertGreater(abs(shown[0]), abs(shown[-1]))
        # Another column sorts by its own values.
        driver.find_element(By.XPATH, "//th[text()='turns']").click()
        turns = [float(v) for v in driver.execute_script(
            "return Array.from(document.querySelectorAll('#coil-table tbody tr')).map(function (r) {"
            " return r.cells[7].textContent; });")]
        self.assertEqual(turns, sorted(turns, reverse=True))

        # A hover over a point of the computed-against-measured plot lands on
        # an element whose title names a coil.
        point = driver.find_elements(By.XPATH, "//figure[@id='computed-vs-measured']"
                                     "//*[local-name()='use'][*[local-name()='title']]")[10]
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", point)
        ActionChains(driver).move_to_element(point).perform()
        hovered = driver.execute_script(
            "var r = arguments[0].getBoundingClientRect();"
            "var e = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);"
            "var t = e && e.querySelector('title'); return t ? t.textContent : null;", point)
        names = [c["name"] for c in run.document["coils"]]
        self.assertIn(hovered, names)
        self.assertIn(ODD_NAME, driver.execute_script(
            "return Array.from(document.querySelectorAll('title')).map(function (t) { return t.textContent; });"))

        # Phone width.
        self.assert_fits_a_phone(driver)
        # A laptop's width shows the whole coil table.
        driver.set_window_size(1280, 900)
        self.assertTrue(driver.execute_script(
            "var box = document.getElementById('coil-table').closest('.scroll');"
            "return box.scrollWidth <= box.clientWidth + 1;"))
        driver.set_window_size(1200, 900)
        driver.execute_script("window.scrollTo(0, 0);")
        build = os.environ.get("QUELMO_BUILD_DIR") or tempfile.gettempdir()
        self.assertTrue(driver.save_screenshot(os.path.join(build, "report-page.png")))
        # It prints on A4 with every figure at least half the page's width.
        for page_image in printed_figures(driver):
            width, left, right = page_image
            self.assertGreaterEqual(right - left, width / 2)

        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        self.assertEqual(errors, [])
        requests = [json.loads(entry["message"])["message"] for entry in driver.get_log("performance")]
        urls = [m["params"]["request"]["url"] for m in requests if m["method"] == "Network.requestWillBeSent"]
        self.assertEqual([u for u in urls if not u.startswith("file://")], [])

        # So does the page of a result with every section: the classical
        # formulas, the comparison of formulas and the domain.
        full = dict(run.document, baselines={"solenoid": 0.61, "wheeler": 0.04, "sheet": 0.03, "sheetrosa": 0.006},
                    baselines_left_out={"sheetrosa": 2}, domain={"coil_radius_m": [0.002, 0.05], "turns": [3, 120]},
                    compare={"folds": 10, "repeats": 5, "recommended": "sheetrosa", "reason": "lowest prediction RMS",
                             "lost": "the equation alone: 0.105 against 0.006", "candidates": [
                                 {"name": "equation", "base": "none", "kind": "equation", "coefficients_fitted": 12,
                                  "goodness": 0.0772, "cv_rms_mean": 0.105, "cv_rms_spread": 0.004, "aic": -283.3,
                                  "bic": -258.2, "chi2_per_dof": None, "coils_evaluated": 60, "comparable": True}]})
        (run.dir / "full.json").write_text(json.dumps(full))
        status, _, err = html_report(["--html", str(run.dir / "full.html"), str(run.dir / "full.json")])
        self.assertEqual(status, 0, err)
        driver.get((run.dir / "full.html").as_uri())
        for anchor in ("baselines", "compare", "domain"):
            self.assertTrue(driver.find_element(By.ID, anchor).is_displayed())
        self.assert_fits_a_phone(driver)
        driver.set_window_size(1200, 900)

        # A script placed in the result, where the program writes numbers
        # and names, does not run.
        hostile = dict(run.document, statistics=dict(run.document["statistics"],
                                                     n="<script>window.pwned = 1</script>"),
                       coils=[dict(run.document["coils"][0], name="<img src=x onerror='window.pwned = 2'>")]
                       + run.document["coils"][1:])
        (run.dir / "hostile.json").write_text(json.dumps(hostile))
        status, _, err = html_report(["--html", str(run.dir / "hostile.html"), str(run.dir / "hostile.json")])
        self.assertEqual(status, 0, err)
        driver.get((run.dir / "hostile.html").as_uri())
        self.assertIsNone(driver.execute_script("return window.pwned === undefined ? null : window.pwned;"))
        self.assertIn("<script>window.pwned = 1</script>", driver.find_element(By.ID, "statistics").text)


if __name__ == "__main__":
    unittest.main()
