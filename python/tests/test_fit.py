"""fit() running the built program: its result, its failures, and Control-C."""

import _thread
import glob
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import quelmo
from quelmo import _build, _fit
from quelmo._settings import SETTING_NAMES
from support import EXAMPLES, needs_result_json


def processes_in(directory):
    """The processes whose working directory is `directory`."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink(f"/proc/{entry}/cwd") == str(directory):
                found.append(int(entry))
        except OSError:
            pass
    return found


@needs_result_json
class FitTest(unittest.TestCase):
    def setUp(self):
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix="quelmo-test-")).resolve()

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def test_short_polished_fit(self):
        mpi_program = os.path.join(os.path.dirname(_fit.__file__), _build.PROGRAM_DIR, "quelmo-mpi")
        runs = [{"processes": 1}]
        if os.path.exists(mpi_program) and shutil.which("mpirun"):
            runs.append({"mpi": 1})
        coils = quelmo.read_coils(EXAMPLES / "coils-example.txt")
        for run in runs:
            with self.subTest(**run):
                workdir = self.directory / str(run)
                result = quelmo.fit(EXAMPLES / "coils-example.txt", workdir=workdir, progress=False,
                                    maxgenerations=20, polish=1, **run)
                self.assertEqual(f"{result.goodness:g}", "0.0772456")
                self.assertTrue(result.polished)
                self.assertEqual(result.goodness, quelmo.goodness(result.coefficients, coils))
                self.assertEqual(quelmo.inductance(result.coefficients, coils).tobytes(),
                                 result.coils["computed_H"].to_numpy().tobytes())
                self.assertEqual(len(result.log), 20)
                self.assertEqual(repr(result), "<quelmo fit: goodness 0.0772456 on 60 coils>")
                self.assertIn("quelmo fit: goodness 0.0772456 on 60 of 60 coils", str(result))
                table = result._repr_html_()
                self.assertIn("<td>goodness</td><td>0.0772456</td>", table)
                self.assertIn(f"<td>l3</td><td>{result.coefficients['l3']:.10g}</td>", table)
                figures = result.plot()
                self.assertIn("error-vs-coil-radius.png", figures)
                self.assertEqual(figures["goodness-vs-time.png"].axes[0].get_title().count("60 coils"), 1)
                self.assertEqual(figures["error-vs-turns.png"].axes[0].get_title().count("60 coils"), 1)
                self.assertEqual(processes_in(workdir), [])

        # A follow-up from the fitted set with l3 pinned to 0 and no
        # generation: l3 is 0, the rest as fitted; a table of coils works as
        # a file. The follow-up neither keeps statefile nor resumes.
        (self.directory / "given.txt").write_text(quelmo.example("ranges-example.txt").read_text() +
                                                  "statefile s.bin\nresume 0\n")
        first = quelmo.fit(coils, self.directory / "given.txt", workdir=self.directory / "first", progress=False,
                           maxgenerations=3, processes=1)
        follow = first.to_ranges(self.directory / "follow.txt", pin=["L3"])
        text = follow.read_text()
        self.assertNotIn("statefile", text)
        self.assertNotIn("resume", text)
        again = quelmo.fit(coils, follow, workdir=self.directory / "again", progress=False, maxgenerations=0,
                           polish=0)
        self.assertEqual(again.pinned, ["l3"])
        self.assertEqual(again.coefficients["l3"], 0.0)
        self.assertEqual(list(again.found["coefficients"].drop("l3")), list(first.coefficients.drop("l3")))
        with self.assertRaisesRegex(ValueError, "pin: 'l3' and 'L3' name the same l3"):
            first.to_ranges(self.directory / "x.txt", pin={"l3": 0, "L3": 1})

    def test_temporary_directory_removed_unless_kept(self):
        made = set(glob.glob(os.path.join(tempfile.gettempdir(), "quelmo-fit-*")))
        small = EXAMPLES / "coils-small.txt"
        result = quelmo.fit(small, progress=False, maxgenerations=1)
        self.assertIsNone(result.workdir)
        self.assertEqual(str(result.program), os.path.realpath(result.program))
        with self.assertRaises(quelmo.FitError) as raised:
            quelmo.fit(small, progress=False, processes=0)
        self.assertIsNone(raised.exception.workdir)
        self.assertEqual(set(glob.glob(os.path.join(tempfile.gettempdir(), "quelmo-fit-*"))), made)
        kept = quelmo.fit(small, progress=False, maxgenerations=1, keep=True)
        self.addCleanup(shutil.rmtree, kept.workdir, True)
        self.assertTrue((kept.workdir / "result.json").is_file())

    def test_failures_carry_the_programs_message(self):
        cases = [
            ({"processes": 0}, "Setting processes is 0, accepted range is 1 to 48"),
        ]
        for settings, text in cases:
            with self.subTest(**settings):
                with self.assertRaises(quelmo.FitError) as raised:
                    quelmo.fit(EXAMPLES / "coils-small.txt", workdir=self.directory, progress=False, **settings)
                error = raised.exception
                self.assertEqual(error.status, 255)
                self.assertTrue(str(error).endswith(text), str(error))
                self.assertEqual(str(error), error.message)
        with self.assertRaisesRegex(ValueError, "fit\\(\\) sets coilcsv itself"):
            quelmo.fit(EXAMPLES / "coils-small.txt", coilcsv="x.csv")

    def test_names_refused_before_the_run(self):
        small = EXAMPLES / "coils-small.txt"
        cases = [  # keywords, ranges, exception, message
            ({"progres": False}, None, TypeError, "'progres' is not a setting of the ranges file \\(did you mean progress\\?\\)"),
            ({"maxgeneration": 2}, None, TypeError, "did you mean maxgenerations"),
            ({"statefile s.bin\nresume": 1}, None, TypeError, "is not a setting"),
            ({"seed": 1, "Seed": 2}, None, ValueError, "'seed' and 'Seed' name the same seed"),
            ({}, {"polish": 1, "POLISH": 0}, ValueError, "name the same polish"),
            ({}, {"r0 1 2": 1}, TypeError, "ranges: 'r0 1 2' is not a setting"),
            ({"statefile": "s.bin\nresume"}, None, ValueError, "cannot be written in a ranges file"),
        ]
        for settings, ranges, error, message in cases:
            with self.subTest(message=message):
                with self.assertRaisesRegex(error, message):
                    quelmo.fit(small, ranges, workdir=self.directory / "never", progress=False, **settings)
                self.assertFalse((self.directory / "never").exists())

    def test_setting_names_are_the_programs(self):
        # The two settings written only when set away from their defaults are set.
        result = quelmo.fit(EXAMPLES / "coils-small.txt", workdir=self.directory, progress=False, maxgenerations=0,
                            baselines=1, base="wheeler")
        # progressjson, which fit() sets only with progress=True, likewise.
        self.assertEqual(tuple(result.document["settings"]), tuple(n for n in SETTING_NAMES if n != "progressjson"))
        # The program's own --version gives the package's version.
        banner = subprocess.run([result.program, "--version"], capture_output=True, text=True).stdout
        major, minor, patch = quelmo.__version__.split(".")
        self.assertIn(f" V{int(major)}.{int(minor):02d}.{int(patch):03d} ", banner)
        self.assertEqual(result.document["version"], f"{int(major)}.{int(minor):02d}.{int(patch):03d}")

    def test_interrupt_keeps_the_fit_and_leaves_no_process(self):
        for settings in ({"statefile": "state.bin", "stateevery": 1}, {}):
            with self.subTest(**settings):
                workdir = self.directory / str(len(settings))
                timer = threading.Timer(1.5, _thread.interrupt_main)
                timer.start()
                started = time.monotonic()
                with self.assertWarns(quelmo.InterruptedFitWarning):
                    result = quelmo.fit(EXAMPLES / "coils-example.txt", workdir=workdir, progress=False,
                                        maxgenerations=100000, processes=2, polish=0, **settings)
                timer.join()
                self.assertTrue(result.interrupted)
                self.assertLess(time.monotonic() - started, 120)
                self.assertEqual(processes_in(workdir), [])
                self.assertEqual((workdir / "state.bin").exists(), bool(settings))


@unittest.skipUnless(os.environ.get("QUELMO_BUILD_DIR"), "QUELMO_BUILD_DIR names no build to install")
class InstallTest(unittest.TestCase):
    def test_installed_package_finds_its_program_and_examples(self):
        with tempfile.TemporaryDirectory() as prefix:
            done = subprocess.run(["cmake", "--install", os.environ["QUELMO_BUILD_DIR"], "--prefix", prefix],
                                  capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 0, done.stderr)
            site = glob.glob(os.path.join(prefix, "lib", "python3*", "*-packages"))
            self.assertEqual(len(site), 1)
            check = ("import quelmo, quelmo._fit as f; print(quelmo.__version__); print(quelmo.example()); "
                     "print(f.find_program()); print(len(quelmo.read_coils(quelmo.example())))")
            environment = {key: value for key, value in os.environ.items() if not key.startswith("QUELMO_")}
            done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True, cwd=prefix,
                                  env=dict(environment, PYTHONPATH=site[0]), timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            # The installed plot script runs the installed package's code.
            plot = subprocess.run([os.path.join(prefix, "bin", "quelmo-plot"), "--help"], capture_output=True,
                                  text=True, cwd=prefix, env=environment, timeout=60)
            self.assertEqual(plot.returncode, 0, plot.stderr)
            self.assertIn("--html REPORT", plot.stdout)
            self.assertEqual(done.stdout.split("\n"), [
                quelmo.__version__, os.path.join(prefix, "share", "quelmo", "examples", "coils-example.txt"),
                str((os.path.join(prefix, "bin", "quelmo"), "installed beside the package")), "60", ""])


if __name__ == "__main__":
    unittest.main()
