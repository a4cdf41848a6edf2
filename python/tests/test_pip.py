"""The pip route: a copy of the source tree installed offline into a virtual
environment that sees Debian's packages, and the installed package used from
there; and the message of a build that lacks its tools."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from support import EXAMPLES, PROGRAM, run_program

SOURCE = pathlib.Path(__file__).resolve().parents[2]


def copy_tree(target):
    """What a fresh clone holds of the package, the program's sources and
    the examples, without build products."""
    ignore = shutil.ignore_patterns("build", "*.egg-info", "__pycache__")
    for part in ("python", "src", "examples"):
        shutil.copytree(SOURCE / part, target / part, ignore=ignore)


def run_in(directory, command, **kwargs):
    return subprocess.run(command, cwd=directory, capture_output=True, text=True, timeout=600,
                          stdin=subprocess.DEVNULL, **kwargs)


def test_venv_install_offline(tmp_path):
    copy_tree(tmp_path / "clone")
    done = run_in(tmp_path, [sys.executable, "-m", "venv", "--system-site-packages", "v"])
    assert done.returncode == 0, done.stderr
    done = run_in(tmp_path, ["v/bin/pip", "install", "--no-build-isolation", "--no-index", "./clone/python"])
    assert done.returncode == 0, done.stdout + done.stderr
    assert list(tmp_path.glob("v/lib/python3*/site-packages/quelmo/py.typed"))

    # The program evaluates the best known set on the example coils; the
    # venv's package computes the same doubles.
    run = tmp_path / "run"
    run.mkdir()
    (run / "ranges.txt").write_text((EXAMPLES / "ranges-check.txt").read_text() +
                                    "checkpoint c.txt\ncoilcsv coils.csv\n")
    status, _, errors = run_program(run, str(EXAMPLES / "coils-example.txt"), "ranges.txt")
    assert status == 0, errors
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
    done = run_in(tmp_path, ["v/bin/python", "-c", check], env=environment)
    assert done.returncode == 0, done.stderr
    version, module, program, workdir, _ = done.stdout.split("\n")
    import quelmo
    assert version == quelmo.__version__
    assert module.startswith(str(tmp_path / "v")), module
    assert program == PROGRAM
    assert f"quelmo: running {PROGRAM} (QUELMO_BIN)" in done.stderr

    # The console script.
    done = run_in(tmp_path, ["v/bin/quelmo-plot", "--html", "report.html", workdir], env=environment)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "report.html").stat().st_size > 10000
    shutil.rmtree(workdir, ignore_errors=True)


@pytest.mark.parametrize("options, environment, packages", [
    (["-S"], {}, "python3-setuptools python3-wheel python3-pybind11 pybind11-dev"),
    ([], {"CXX": "no-such-c++"}, "g++\n"),
], ids=["no modules", "no compiler"])
def test_missing_tools_are_named(tmp_path, options, environment, packages):
    copy_tree(tmp_path / "clone")
    setup = str(tmp_path / "clone" / "python" / "setup.py")
    done = run_in(tmp_path, [sys.executable, *options, setup, "--version"], env=dict(os.environ, **environment))
    assert done.returncode == 1
    assert "quelmo cannot be built: " in done.stderr
    assert f"Install the Debian packages: apt-get install {packages}" in done.stderr
