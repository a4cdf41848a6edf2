"""The pip route: a copy of the source tree installed offline into a virtual
environment that sees Debian's packages, and the installed package used from
there; and the message of a build that lacks its tools."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import EXAMPLES, PROGRAM, run_program

SOURCE = pathlib.Path(__file__).resolve().parents[2]


def copy_tree(target):
    """What a fresh clone holds of the package, the program's sources and
    the examples, without build products."""
    ignore = shutil.ignore_patterns("build", "*.egg-info", "__pycache__")
    for part in ("python", "src", "examples"):
        shutil.copytree(SOURCE / part, target / part, ignore=ignore)


class PipTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="quelmo-pip-")).resolve()
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_in(self, command, **kwargs):
        done = subprocess.run(command, cwd=self.dir, capture_output=True, text=True, timeout=600,
                              stdin=subprocess.DEVNULL, **kwargs)
        return done

    def test_venv_install_offline(self):
        copy_tree(self.dir / "clone")
        done = self.run_in([sys.executable, "-m", "venv", "--system-site-packages", "v"])
        self.assertEqual(done.returncode, 0, done.stderr)
        done = self.run_in(["v/bin/pip", "install", "--no-build-isolation", "--no-index", "./clone/python"])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

        # The program evaluates the best known set on the example coils; the
        # venv's package computes the same doubles.
        run = self.dir / "run"
        run.mkdir()
        (run / "ranges.txt").write_text((EXAMPLES / "ranges-check.txt").read_text() +
                                        "checkpoint c.txt\ncoilcsv coils.csv\n")
        status, _, errors = run_program(run, str(EXAMPLES / "coils-example.txt"), "ranges.txt")
        self.assertEqual(status, 0, errors)
        check = f"""
import pandas, quelmo
coils = quelmo.read_coils(quelmo.example("coils-example.txt"))
program = pandas.read_csv("{run / 'coils.csv'}", float_precision="round_trip")
best = {{f[0][4:]: float(f[1]) for f in map(str.split, open(quelmo.example("ranges-check.txt")))
        if len(f) == 2 and f[0].startswith("best")}}
assert quelmo.inductance(best, coils).tobytes() == program["computed_H"].to_numpy().tobytes()
result = quelmo.fit(quelmo.example("coils-small.txt"), maxgenerations=2, processes=1, keep=True)
print(quelmo.__version__, quelmo.__file__, result.program, result.workdir, sep="\\n")
"""
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("QUELMO_", "PYTHON"))}
        environment.update(QUELMO_BIN=PROGRAM, PYTHONDONTWRITEBYTECODE="1")
        done = self.run_in(["v/bin/python", "-c", check], env=environment)
        self.assertEqual(done.returncode, 0, done.stderr)
        version, module, program, workdir, _ = done.stdout.split("\n")
        import quelmo
        self.assertEqual(version, quelmo.__version__)
        self.assertTrue(module.startswith(str(self.dir / "v")), module)
        self.assertEqual(program, PROGRAM)
        self.assertIn(f"quelmo: running {PROGRAM} (QUELMO_BIN)", done.stderr)

        # The console script.
        done = self.run_in(["v/bin/quelmo-plot", "--html", "report.html", workdir], env=environment)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue((self.dir / "report.html").stat().st_size > 10000)
        shutil.rmtree(workdir, ignore_errors=True)

    def test_missing_tools_are_named(self):
        copy_tree(self.dir / "clone")
        setup = str(self.dir / "clone" / "python" / "setup.py")
        cases = [  # interpreter options, environment, Debian packages named
            (["-S"], {}, "python3-setuptools python3-wheel python3-pybind11 pybind11-dev"),
            ([], {"CXX": "no-such-c++"}, "g++\n"),
        ]
        for options, environment, packages in cases:
            with self.subTest(packages):
                done = self.run_in([sys.executable, *options, setup, "--version"], env=dict(os.environ, **environment))
                self.assertEqual(done.returncode, 1)
                self.assertIn("quelmo cannot be built: ", done.stderr)
                self.assertIn(f"Install the Debian packages: apt-get install {packages}", done.stderr)


if __name__ == "__main__":
    unittest.main()
