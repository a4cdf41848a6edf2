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
                self.assertIn("goodness 0.0772456 on 60 of 60 coils", repr(result))
                figures = result.plot()
                self.assertIn("error-vs-coil-radius.png", figures)
                self.assertIn("seed 20240611, 60 coils", figures["goodness-vs-time.png"].axes[0].get_title())
                self.assertEqual(processes_in(workdir), [])

        # A follow-up from the fitted set, with l3 pinned where it stands and
        # no generation, ends on the same set; a table of coils works as a file.
        follow = result.to_ranges(self.directory / "follow.txt", pin=["l3"])
        again = quelmo.fit(coils, follow, workdir=self.directory / "again", progress=False, maxgenerations=0,
                           polish=0)
        self.assertEqual(again.goodness, result.goodness)
        self.assertEqual(again.pinned, ["l3"])

    def test_failures_carry_the_programs_message(self):
        cases = [
            ({"processes": 0}, "Setting processes is 0, accepted range is 1 to 48"),
            ({"noSuchSetting": 1}, "in ranges.txt, noSuchSetting unknown symbol"),
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

    def test_interrupt_leaves_no_process(self):
        for settings in ({"statefile": "state.bin", "stateevery": 1}, {}):
            with self.subTest(**settings):
                workdir = self.directory / str(len(settings))
                timer = threading.Timer(1.5, _thread.interrupt_main)
                timer.start()
                started = time.monotonic()
                with self.assertRaises(KeyboardInterrupt):
                    quelmo.fit(EXAMPLES / "coils-example.txt", workdir=workdir, progress=False,
                               maxgenerations=100000, processes=2, **settings)
                timer.join()
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
                     "print(f._program('quelmo', None, 'UNSET')); print(len(quelmo.read_coils(quelmo.example())))")
            environment = {key: value for key, value in os.environ.items() if not key.startswith("QUELMO_")}
            done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True, cwd=prefix,
                                  env=dict(environment, PYTHONPATH=site[0]), timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.split("\n"), [
                quelmo.__version__, os.path.join(prefix, "share", "quelmo", "examples", "coils-example.txt"),
                os.path.join(prefix, "bin", "quelmo"), "60", ""])


if __name__ == "__main__":
    unittest.main()
