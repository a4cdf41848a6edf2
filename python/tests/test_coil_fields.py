"""Coil fields that are not wholly numbers: the reader's warnings reach
Python, and fit() refuses a table whose turns or gauges are not whole."""

import warnings

import pandas as pd
import pytest

import quelmo
from quelmo._files import whole_number


def _read_with_warnings(path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coils = quelmo.read_coils(path)
    return coils, "\n".join(str(w.message) for w in caught)


@pytest.mark.parametrize("line, turns, said", [
    ("4.48266e-06,0.0159268,0.000227333,25,11.9,0.0131143,c\n", 11, "the number of turns `11.9` was read as 11"),
    ("4.48266e-06,0.0159268,0.000227333,25,1.2e2,0.0131143,c\n", 1, "the number of turns `1.2e2` was read as 1"),
    ("4.48266e-06,0.0159268,0.000227333,25.5,11,0.0131143,c\n", 11, "the wire gauge `25.5` was read as 25"),
])
def test_read_coils_warns_of_fields_read_in_part(tmp_path, line, turns, said):
    path = tmp_path / "coils.txt"
    path.write_text(line)
    coils, messages = _read_with_warnings(path)
    assert int(coils["turns"][0]) == turns
    assert said in messages
    assert str(path) in messages


def test_read_coils_names_a_dash_in_the_inductance(tmp_path):
    path = tmp_path / "coils.txt"
    path.write_text("-,0.0159268,0.000227333,25,11,0.0131143,c\n")
    coils, messages = _read_with_warnings(path)
    assert coils["measured_H"][0] == 0
    assert "the measured inductance `-` holds no number and was read as 0" in messages


@pytest.mark.parametrize("column, value", [("turns", 11.9), ("gauge", 25.5), ("turns", float("nan")),
                                           ("gauge", "25.5")])
def test_fit_refuses_turns_and_gauges_that_are_not_whole(tmp_path, column, value):
    table = pd.DataFrame({"name": ["a", "b"], "measured_H": [4.48e-6, 7.87e-6], "coil_radius_m": [0.0159, 0.0063],
                          "wire_radius_m": [2.3e-4, 4.1e-4], "gauge": [25, 20], "turns": [11, 52],
                          "length_m": [0.0131, 0.0467]})
    table[column] = table[column].astype(object)
    table.loc[1, column] = value
    with pytest.raises(ValueError, match=rf"row 1, column '{column}'"):
        quelmo.fit(table, workdir=tmp_path, progress=False, maxgenerations=0)


@pytest.mark.parametrize("value, text", [(11, "11"), (11.0, "11"), (pd.Series([7]).iloc[0], "7"), (" 25", "25")])
def test_whole_numbers_are_written_as_integers(value, text):
    assert whole_number(value, 0, "turns") == text
