"""fit() running the built program: its result, its failures, and Control-C."""

import _thread
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import quelmo
from quelmo import _build, _fit
from quelmo._settings import SETTING_NAMES
from support import EXAMPLES

SMALL = EXAMPLES / "coils-small.txt"
MPI_PROGRAM = os.path.join(os.path.dirname(_fit.__file__), _build.PROGRAM_DIR, "quelmo-mpi")


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


@pytest.mark.parametrize("run", [
    {"processes": 1},
    pytest.param({"mpi": 1}, marks=pytest.mark.skipif(not (os.path.exists(MPI_PROGRAM) and shutil.which("mpirun")),
                                                       reason="quelmo-mpi or mpirun missing")),
], ids=["processes", "mpi"])
def test_short_polished_fit(tmp_path, run):
    coils = quelmo.read_coils(EXAMPLES / "coils-example.txt")
    result = quelmo.fit(EXAMPLES / "coils-example.txt", workdir=tmp_path, progress=False, maxgenerations=20,
                        polish=1, **run)
    assert f"{result.goodness:g}" == "0.0772456"
    assert result.polished and not result.interrupted
    assert result.goodness == quelmo.goodness(result.coefficients, coils)
    assert quelmo.inductance(result.coefficients, coils).tobytes() == \
        result.coils["computed_H"].to_numpy().tobytes()
    assert len(result.log) == 20
    assert repr(result) == "<quelmo fit: goodness 0.0772456 on 60 coils>"
    assert "quelmo fit: goodness 0.0772456 on 60 of 60 coils" in str(result)
    table = result._repr_html_()
    assert "<td>goodness</td><td>0.0772456</td>" in table
    assert f"<td>l3</td><td>{result.coefficients['l3']:.10g}</td>" in table
    figures = result.plot()
    assert "error-vs-coil-radius.png" in figures
    assert figures["goodness-vs-time.png"].axes[0].get_title().count("60 coils") == 1
    assert figures["error-vs-turns.png"].axes[0].get_title().count("60 coils") == 1
    assert processes_in(tmp_path) == []


def test_follow_up_from_the_fitted_set(tmp_path):
    # A follow-up with l3 pinned to 0 and no generation: l3 is 0, the rest as
    # fitted; a table of coils works as a file. The follow-up neither keeps
    # statefile nor resumes.
    coils = quelmo.read_coils(EXAMPLES / "coils-example.txt")
    (tmp_path / "given.txt").write_text(quelmo.example("ranges-example.txt").read_text() +
                                        "statefile s.bin\nresume 0\n")
    first = quelmo.fit(coils, tmp_path / "given.txt", workdir=tmp_path / "first", progress=False,
                       maxgenerations=3, processes=1)
    follow = first.to_ranges(tmp_path / "follow.txt", pin=["L3"])
    text = follow.read_text()
    assert "statefile" not in text and "resume" not in text
    assert text.count("\nhold ") == 1 and "\nhold l3\n" in text
    again = quelmo.fit(coils, follow, workdir=tmp_path / "again", progress=False, maxgenerations=0, polish=0)
    assert again.pinned == ["l3"]
    assert again.coefficients["l3"] == 0.0
    assert list(again.found["coefficients"].drop("l3")) == list(first.coefficients.drop("l3"))
    # A pin at a value away from the fit holds it exactly through draws,
    # walks, the polish and normalize 1 (a range of one value alone ends at
    # 0.45 to 0.48 here); the follow-up's one hold line keeps the earlier
    # fit's held names.
    follow = again.to_ranges(tmp_path / "hold.txt", pin={"t1": 0.5})
    assert "\nhold l3,t1\n" in follow.read_text()
    for seed in (1, 2):
        held = quelmo.fit(coils, follow, workdir=tmp_path / f"held{seed}", progress=False, maxgenerations=20,
                          seed=seed, polish=1)
        assert held.coefficients["t1"] == 0.5 and held.coefficients["l3"] == 0.0
    with pytest.raises(ValueError, match="pin: 'l3' and 'L3' name the same l3"):
        first.to_ranges(tmp_path / "x.txt", pin={"l3": 0, "L3": 1})


def test_temporary_directory_removed_unless_kept():
    made = set(glob.glob(os.path.join(tempfile.gettempdir(), "quelmo-fit-*")))
    result = quelmo.fit(SMALL, progress=False, maxgenerations=1)
    assert result.workdir is None
    assert str(result.program) == os.path.realpath(result.program)
    with pytest.raises(quelmo.FitError) as raised:
        quelmo.fit(SMALL, progress=False, processes=0)
    assert raised.value.workdir is None
    assert set(glob.glob(os.path.join(tempfile.gettempdir(), "quelmo-fit-*"))) == made
    kept = quelmo.fit(SMALL, progress=False, maxgenerations=1, keep=True)
    try:
        assert (kept.workdir / "result.json").is_file()
    finally:
        shutil.rmtree(kept.workdir, ignore_errors=True)


@pytest.mark.parametrize("settings, text", [
    ({"processes": 0}, "Setting processes is 0, accepted range is 1 to 48"),
])
def test_failures_carry_the_programs_message(tmp_path, settings, text):
    with pytest.raises(quelmo.FitError) as raised:
        quelmo.fit(SMALL, workdir=tmp_path, progress=False, **settings)
    error = raised.value
    assert error.status == 255
    assert str(error).endswith(text) and str(error) == error.message


@pytest.mark.parametrize("settings, ranges, error, message", [
    ({"progres": False}, None, TypeError, "'progres' is not a setting of the ranges file \\(did you mean progress\\?\\)"),
    ({"maxgeneration": 2}, None, TypeError, "did you mean maxgenerations"),
    ({"statefile s.bin\nresume": 1}, None, TypeError, "is not a setting"),
    ({"seed": 1, "Seed": 2}, None, ValueError, "'seed' and 'Seed' name the same seed"),
    ({}, {"polish": 1, "POLISH": 0}, ValueError, "name the same polish"),
    ({}, {"r0 1 2": 1}, TypeError, "ranges: 'r0 1 2' is not a setting"),
    ({"statefile": "s.bin\nresume"}, None, ValueError, "cannot be written in a ranges file"),
    ({"coilcsv": "x.csv"}, None, ValueError, "fit\\(\\) sets coilcsv itself"),
    ({"progressjson": "p"}, None, ValueError, "fit\\(\\) sets progressjson itself"),
])
def test_names_refused_before_the_run(tmp_path, settings, ranges, error, message):
    with pytest.raises(error, match=message):
        quelmo.fit(SMALL, ranges, workdir=tmp_path / "never", progress=False, **settings)
    assert not (tmp_path / "never").exists()


def test_setting_names_are_the_programs(tmp_path):
    # The settings written only when set away from their defaults are set
    # (progressjson by progress=True).
    result = quelmo.fit(SMALL, workdir=tmp_path, progress=True, maxgenerations=0, baselines=1, base="wheeler",
                        compare=1, uncertainty=0.005, hold="t1", cvrepeats=2, reportstyle="si", normalize=1)
    assert tuple(result.document["settings"]) == SETTING_NAMES
    # The program's own --version gives the package's version.
    banner = subprocess.run([result.program, "--version"], capture_output=True, text=True).stdout
    major, minor, patch = quelmo.__version__.split(".")
    assert f" V{int(major)}.{int(minor):02d}.{int(patch):03d} " in banner
    assert result.document["version"] == f"{int(major)}.{int(minor):02d}.{int(patch):03d}"


@pytest.mark.parametrize("settings", [{"statefile": "state.bin", "stateevery": 1}, {}], ids=["snapshots", "plain"])
def test_interrupt_keeps_the_fit_and_leaves_no_process(tmp_path, settings):
    timer = threading.Timer(1.5, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    with pytest.warns(quelmo.InterruptedFitWarning):
        result = quelmo.fit(EXAMPLES / "coils-example.txt", workdir=tmp_path, progress=False,
                            maxgenerations=100000, processes=2, polish=0, **settings)
    timer.join()
    assert result.interrupted
    assert time.monotonic() - started < 120
    assert processes_in(tmp_path) == []
    assert (tmp_path / "state.bin").exists() == bool(settings)


@pytest.mark.skipif(not os.environ.get("QUELMO_BUILD_DIR"), reason="QUELMO_BUILD_DIR names no build to install")
def test_installed_package_finds_its_program_and_examples(tmp_path):
    prefix = str(tmp_path)
    done = subprocess.run(["cmake", "--install", os.environ["QUELMO_BUILD_DIR"], "--prefix", prefix],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    site = glob.glob(os.path.join(prefix, "lib", "python3*", "*-packages"))
    assert len(site) == 1
    assert os.path.isfile(os.path.join(site[0], "quelmo", "py.typed"))
    check = ("import quelmo, quelmo._fit as f; print(quelmo.__version__); print(quelmo.example()); "
             "print(f.find_program()); print(len(quelmo.read_coils(quelmo.example())))")
    environment = {key: value for key, value in os.environ.items() if not key.startswith("QUELMO_")}
    done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True, cwd=prefix,
                          env=dict(environment, PYTHONPATH=site[0]), timeout=60)
    assert done.returncode == 0, done.stderr
    # The installed plot script runs the installed package's code.
    plot = subprocess.run([os.path.join(prefix, "bin", "quelmo-plot"), "--help"], capture_output=True,
                          text=True, cwd=prefix, env=environment, timeout=60)
    assert plot.returncode == 0, plot.stderr
    assert "--html REPORT" in plot.stdout
    assert done.stdout.split("\n") == [
        quelmo.__version__, os.path.join(prefix, "share", "quelmo", "examples", "coils-example.txt"),
        str((os.path.join(prefix, "bin", "quelmo"), "installed beside the package")), "60", ""]
