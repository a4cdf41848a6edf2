"""The in-process equation and coil reader against the program itself."""

import json
import math
import os
import pathlib
import signal

import numpy as np
import pandas as pd
import pytest

import quelmo
from support import EXAMPLES, run_program, start_set

BEST = start_set(EXAMPLES / "ranges-check.txt")
COIL = {"coil_radius_m": [0.01], "wire_radius_m": [2e-4], "turns": [10], "length_m": [0.02]}


def test_same_doubles_as_the_program(tmp_path):
    # The program evaluates the best known set on the example coils and
    # writes its coilcsv and its result JSON.
    coils = quelmo.read_coils(EXAMPLES / "coils-example.txt")
    ranges = tmp_path / "ranges.txt"
    ranges.write_text((EXAMPLES / "ranges-check.txt").read_text() +
                      "checkpoint c.txt\ncoilcsv coils.csv\nresultjson result.json\n")
    status, _, errors = run_program(tmp_path, str(EXAMPLES / "coils-example.txt"), str(ranges))
    assert status == 0, errors
    program = pd.read_csv(tmp_path / "coils.csv", float_precision="round_trip")
    document = json.loads((tmp_path / "result.json").read_text())

    assert list(coils["name"]) == list(program["name"])
    for column in ("measured_H", "coil_radius_m", "wire_radius_m", "gauge", "turns", "length_m"):
        np.testing.assert_array_equal(coils[column].to_numpy(), program[column].to_numpy(), err_msg=column)
    computed = quelmo.inductance(BEST, coils)
    assert computed.tobytes() == program["computed_H"].to_numpy().tobytes()
    # The same from a sequence of fifteen and from plain lists.
    plain = {column: list(coils[column]) for column in coils}
    sequence = [BEST[name] for name in quelmo.COEFFICIENTS]
    assert quelmo.inductance(sequence, plain).tobytes() == computed.tobytes()

    value = quelmo.goodness(BEST, coils)
    assert f"{value:g}" == "0.0772456"
    # Summed in the program's order, the reverse of the file's, on which
    # the last bit depends for these coils.
    measured = coils["measured_H"].to_numpy()
    total = 0.0
    for square in (((computed - measured) / measured) ** 2)[::-1]:
        total += square
    assert value == math.sqrt(total / len(measured))
    assert value.hex() == float(document["goodness"]).hex()


def test_coil_that_the_set_cannot_evaluate():
    # l0 = -l1 * length makes Lambda zero for a coil 1 m long.
    best = dict(BEST, l0=-1.0, l1=1.0, l2=0.0, l3=0.0)
    coils = {"measured_H": [1e-6, 1e-6], "coil_radius_m": [0.01, 0.01], "wire_radius_m": [2e-4, 2e-4],
             "turns": [10, 10], "length_m": [1.0, 0.5]}
    computed = quelmo.inductance(best, coils)
    assert np.isnan(computed[0]) and np.isfinite(computed[1])
    assert quelmo.goodness(best, coils) == abs(computed[1] - 1e-6) / 1e-6


@pytest.mark.parametrize("coefficients, coils, message", [
    ({k: v for k, v in BEST.items() if k != "l3"}, COIL, "coefficients: missing l3"),
    (dict(BEST, x1=0), COIL, "coefficients: unknown x1"),
    (dict(BEST, R0=1.0), COIL, "coefficients: 'r0' and 'R0' name the same r0"),
    ([1.0] * 14, COIL, "expected 15 values"),
    (BEST, dict(COIL, turns=[10.5]), "turns must be whole numbers"),
    (BEST, {k: v for k, v in COIL.items() if k != "length_m"}, "no column 'length_m'"),
    (BEST, dict(COIL, length_m=[0.02, 0.03]), "of one length"),
])
def test_arguments_refused(coefficients, coils, message):
    with pytest.raises(ValueError, match=message):
        quelmo.inductance(coefficients, coils)


@pytest.mark.parametrize("text", [
    "1e-6,0,1e-4,20,10,0.01,x\n",                  # radius 0
    "// comment\n1e-6,0.01,1e-4,40,10,0.01,x\n",   # gauge out of the table
    "1e-6,0.01,1e-4,20,10,0.01\n",                 # no name
    None,                                          # no file
], ids=["radius", "gauge", "name", "missing"])
def test_faulty_files_raise_the_programs_message(tmp_path, text):
    coils = tmp_path / "coils.txt"
    if text is not None:
        coils.write_text(text)
    (tmp_path / "ranges.txt").write_text((EXAMPLES / "ranges-check.txt").read_text() + "checkpoint c.txt\n")
    status, _, expected = run_program(tmp_path, "coils.txt", "ranges.txt")
    assert status == 255
    with pytest.raises(quelmo.InputError) as raised:
        quelmo.read_coils(coils)
    assert str(raised.value) + "\n" == expected.replace("coils.txt", str(coils))
    # The interpreter lives on, and the next file reads whole.
    assert len(quelmo.read_coils(EXAMPLES / "coils-small.txt")) == 12


@pytest.fixture
def alarm():
    """A read that blocks (a FIFO nobody writes to) fails after 10 s."""
    def blocked(*_):
        raise TimeoutError("read_coils blocked")
    previous = signal.signal(signal.SIGALRM, blocked)
    signal.alarm(10)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("kind", ["a FIFO", "a directory", "a device"])
def test_only_regular_files_are_read(tmp_path, alarm, kind):
    path = {"a FIFO": tmp_path / "coils.fifo", "a directory": tmp_path, "a device": "/dev/null"}[kind]
    if kind == "a FIFO":
        os.mkfifo(path)
    with pytest.raises(quelmo.InputError, match=f"is {kind}, not a regular file"):
        quelmo.read_coils(path)


def test_a_link_is_read_and_named_as_given(tmp_path):
    link = tmp_path / "link.txt"
    link.symlink_to(EXAMPLES / "coils-small.txt")
    assert len(quelmo.read_coils(link)) == 12
    bad = pathlib.Path(tmp_path, "bad.txt")
    bad.write_text("1e-6,0,1e-4,20,10,0.01,x\n")
    with pytest.raises(quelmo.InputError, match=f"in {bad}, radius 0 bad"):
        quelmo.read_coils(bad)
