"""Control-C during a fit: the program finishes as at a terminal and the fit
returns what it found, in a script and in a notebook kernel."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import quelmo
from support import EXAMPLES, PROGRAM


def running_in(directory):
    """Whether the program runs in `directory`."""
    target = str(pathlib.Path(directory).resolve())
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink(f"/proc/{entry}/cwd") == target and \
                    os.readlink(f"/proc/{entry}/exe") == os.path.realpath(PROGRAM):
                return True
        except OSError:
            pass
    return False


def interrupt_after(workdir, generations, deadline=120.0):
    """A thread that sends this process SIGINT, as Control-C does, once the
    fit in workdir has ended `generations` generations (by its progress
    stream), or when 0, as soon as the program has started."""
    def watch():
        stop = time.monotonic() + deadline
        while not generations and not running_in(workdir) and time.monotonic() < stop:
            time.sleep(0.002)
        while generations and time.monotonic() < stop:
            try:
                lines = (pathlib.Path(workdir) / "progress.jsonl").read_text().splitlines()
            except OSError:
                lines = []
            if sum('"event":"generation"' in line for line in lines) >= generations:
                break
            time.sleep(0.02)
        os.kill(os.getpid(), signal.SIGINT)
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


def long_fit(workdir, **keywords):
    return quelmo.fit(EXAMPLES / "coils-example.txt", workdir=workdir, maxgenerations=100000, processes=1,
                      polish=0, **keywords)


def test_interrupted_fit_returns_its_best_set(tmp_path):
    watcher = interrupt_after(tmp_path, 3)
    with pytest.warns(quelmo.InterruptedFitWarning, match="interrupted after") as caught:
        result = long_fit(tmp_path)
    watcher.join()
    assert len([w for w in caught if issubclass(w.category, quelmo.InterruptedFitWarning)]) == 1
    assert result.interrupted
    assert len(result.log) >= 3
    # Without the polish the final set is the best the search found.
    assert result.goodness == result.log["best1"].min()
    assert "Interrupted by SIGINT" in result.output
    assert "interrupted" in repr(result)
    assert json.loads((tmp_path / "progress.jsonl").read_text().splitlines()[-1])["stopped"] == "SIGINT"


SCRIPT = """
import sys, quelmo
result = quelmo.fit(quelmo.example("coils-example.txt"), workdir=sys.argv[1], maxgenerations=100000,
                    processes=1, polish=0)
print(result.interrupted, result.goodness == result.log["best1"].min(), len(result.log))
"""


def test_script_stopped_by_sigint_prints_its_fit(tmp_path):
    environment = dict(os.environ, QUELMO_BIN=PROGRAM)
    script = subprocess.Popen([sys.executable, "-c", SCRIPT, str(tmp_path)], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
    try:
        stream = tmp_path / "progress.jsonl"
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and \
                (not stream.is_file() or stream.read_text().count('"event":"generation"') < 3):
            time.sleep(0.02)
        script.send_signal(signal.SIGINT)
        output, errors = script.communicate(timeout=120)
    finally:
        script.kill()
    assert script.returncode == 0, errors
    interrupted, best, generations = output.split()
    assert (interrupted, best) == ("True", "True") and int(generations) >= 3
    assert errors.count("InterruptedFitWarning") == 1


def test_raise_on_interrupt_carries_the_result(tmp_path):
    watcher = interrupt_after(tmp_path, 2)
    with pytest.raises(quelmo.FitInterrupted) as raised:
        long_fit(tmp_path, raise_on_interrupt=True)
    watcher.join()
    assert isinstance(raised.value, KeyboardInterrupt)
    assert raised.value.result.interrupted
    assert raised.value.result.goodness == raised.value.result.log["best1"].min()


def test_temporary_directory_goes_after_the_result_is_read(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", None)
    made = []

    def watch():
        while not made:
            made.extend(tmp_path.glob("quelmo-fit-*"))
            time.sleep(0.01)
        interrupt_after(made[0], 2).join()
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    with pytest.warns(quelmo.InterruptedFitWarning):
        result = quelmo.fit(EXAMPLES / "coils-example.txt", progress=True, maxgenerations=100000, processes=1,
                            polish=0)
    thread.join()
    assert result.workdir is None and len(result.log) >= 2
    assert list(tmp_path.glob("quelmo-fit-*")) == []


def test_interrupt_before_any_generation_says_no_fit_exists(tmp_path):
    watcher = interrupt_after(tmp_path, 0)
    with pytest.raises(KeyboardInterrupt, match="no fit exists yet"):
        long_fit(tmp_path, progress=False, tries=20000)  # a first generation that takes its time
    watcher.join()


NOTEBOOK_CELLS = [
    "import os, pathlib, signal, threading, time, warnings\nimport quelmo\n"
    "warnings.simplefilter('always')\nHERE = pathlib.Path.cwd()",
    # The fit's one progress output.
    "short = quelmo.fit(quelmo.example('coils-example.txt'), workdir=HERE / 'short', maxgenerations=5, "
    "processes=1)",
    # Stop pressed after three generations: the kernel gets SIGINT.
    "def stop():\n"
    "    while (HERE / 'long' / 'progress.jsonl').is_file() is False or \\\n"
    "            (HERE / 'long' / 'progress.jsonl').read_text().count('\"generation\",') < 3:\n"
    "        time.sleep(0.02)\n"
    "    os.kill(os.getpid(), signal.SIGINT)\n"
    "threading.Thread(target=stop, daemon=True).start()\n"
    "result = quelmo.fit(quelmo.example('coils-example.txt'), workdir=HERE / 'long', maxgenerations=100000, "
    "processes=1, polish=0)\n"
    "print(result.interrupted, result.goodness == result.log['best1'].min(), len(result.log) >= 3)",
]


def test_notebook_one_progress_output_and_stop_keeps_the_fit(tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in NOTEBOOK_CELLS])
    monkeypatch.setenv("QUELMO_BIN", PROGRAM)
    monkeypatch.setenv("PYDEVD_DISABLE_FILE_VALIDATION", "1")
    nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    short, stopped = notebook.cells[1].outputs, notebook.cells[2].outputs
    assert [o for c in notebook.cells for o in c.outputs if o.output_type == "error"] == []
    # One output, updated in place to the last generation.
    assert len(short) == 1, short
    assert short[0].data["text/plain"].startswith("quelmo: running ")
    assert "gen 5/5" in short[0].data["text/plain"]
    text = "".join(o.get("text", "") for o in stopped if o.output_type == "stream")
    assert "True True True" in text
    assert "InterruptedFitWarning" in text
