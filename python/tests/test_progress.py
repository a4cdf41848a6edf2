"""The program's progress stream (setting progressjson) and the bar that
reads it."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from quelmo._progress import ProgressBar, ProgressStream
from support import EXAMPLES, PROGRAM

GENERATION = '{"event":"generation","generation":%d,"limit":9,"goodness":0.5,"tested":10,"elapsed":1.5}\n'


@pytest.mark.parametrize("pieces, generations, broken", [
    ([GENERATION % 0 + GENERATION % 1], [0, 1], False),
    # A line is taken once it is whole.
    ([GENERATION % 0 + GENERATION[:20], GENERATION[20:] % 1], [0, 1], False),
    # A cut stream gives nothing more.
    ([GENERATION % 0 + '{"event":"gen'], [0], False),
    # A line that is not a JSON object stops the reading for good.
    ([GENERATION % 0 + "gen = 1 done\n" + GENERATION % 2], [0], True),
    ([GENERATION % 0 + "[1, 2]\n", GENERATION % 3], [0], True),
])
def test_stream_reads_whole_lines(tmp_path, pieces, generations, broken):
    path = tmp_path / "progress.jsonl"
    stream = ProgressStream(path)
    assert stream.read() == []  # not written yet
    events = []
    for piece in pieces:
        with open(path, "a") as file:
            file.write(piece)
        events += stream.read()
    assert [e["generation"] for e in events] == generations
    assert stream.broken == broken


def test_bar_without_tqdm_is_one_line_on_standard_error(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    bar = ProgressBar(True, "quelmo: running x")
    bar.take([{"event": "start", "limit": 9}, json.loads(GENERATION % 3)])
    bar.close()
    err = capsys.readouterr().err
    assert err.startswith("quelmo: running x\n\rquelmo: gen 4/9  best 0.5")
    assert err.endswith("\r")


def run_with_stream(directory, target, **popen):
    ranges = pathlib.Path(directory, "ranges.txt")
    ranges.write_text(EXAMPLES.joinpath("ranges-check.txt").read_text() +
                      f"checkpoint c.txt\nmaxgenerations 2\nprogressjson {target}\n")
    return subprocess.run([PROGRAM, str(EXAMPLES / "coils-small.txt"), str(ranges)], cwd=directory,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300, **popen)


def test_program_writes_the_stream_to_a_descriptor(tmp_path):
    reader, writer = os.pipe()
    done = run_with_stream(tmp_path, f"fd:{writer}", pass_fds=(writer,))
    os.close(writer)
    with os.fdopen(reader) as pipe:
        events = [json.loads(line) for line in pipe]
    assert done.returncode == 0, done.stderr
    assert [e["event"] for e in events] == ["start", "generation", "generation", "end"]
    assert [e["generation"] for e in events[1:]] == [0, 1, 2]
    assert events[-1]["stopped"] is None and events[-1]["goodness"] <= events[1]["goodness"]
    assert "progressjson: 'fd:" in done.stdout


@pytest.mark.parametrize("target, told", [
    ("directory", "Is a directory"),        # a file that cannot be made
    ("fd:99", "Bad file descriptor"),       # a descriptor not inherited
    ("fd:closed", "Broken pipe"),           # a reader gone
])
def test_program_goes_on_without_its_stream(tmp_path, target, told):
    popen = {}
    if target == "directory":
        (tmp_path / "directory").mkdir()
    if target == "fd:closed":
        reader, writer = os.pipe()
        os.close(reader)
        target, popen = f"fd:{writer}", {"pass_fds": (writer,)}
    done = run_with_stream(tmp_path, target, **popen)
    for descriptor in popen.get("pass_fds", ()):
        os.close(descriptor)
    assert done.returncode == 0
    assert done.stderr.count("Warning: progressjson") == 1 and told in done.stderr
    assert "Worst first" in (tmp_path / "check-result.txt").read_text()
