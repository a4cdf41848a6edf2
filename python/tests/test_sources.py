"""A fitted formula keeps its base wherever it goes: FitResult, its
coefficients, its result JSON; and the classical formulas alone."""

import math

import numpy as np
import pytest

import quelmo
from support import EXAMPLES


@pytest.fixture(scope="module")
def sheet_fit(tmp_path_factory):
    """A short fit of the correction to the current sheet, with the
    classical formulas' goodness beside it."""
    workdir = tmp_path_factory.mktemp("sheet")
    return quelmo.fit(EXAMPLES / "coils-example.txt", EXAMPLES / "ranges-sheet.txt", workdir=workdir,
                      progress=False, maxgenerations=2, processes=1, polish=0)


@pytest.fixture(scope="module")
def coils():
    return quelmo.read_coils(EXAMPLES / "coils-example.txt")


@pytest.mark.parametrize("source", ["result", "coefficients", "json", "method", "given base"])
def test_fitted_formula_is_the_programs_bit_for_bit(sheet_fit, coils, source):
    assert sheet_fit.base == "sheet"
    computed = {
        "result": lambda: quelmo.inductance(sheet_fit, coils),
        "coefficients": lambda: quelmo.inductance(sheet_fit.coefficients, coils),
        "json": lambda: quelmo.inductance(sheet_fit.workdir / "result.json", coils),
        "method": lambda: sheet_fit.inductance(coils),
        "given base": lambda: quelmo.inductance(dict(sheet_fit.coefficients), coils, base="sheet"),
    }[source]()
    assert computed.tobytes() == sheet_fit.coils["computed_H"].to_numpy().tobytes()


def test_plain_coefficients_compute_the_equation_alone(sheet_fit, coils):
    plain = quelmo.inductance(dict(sheet_fit.coefficients), coils)
    assert plain.tobytes() == quelmo.inductance(list(sheet_fit.coefficients), coils).tobytes()
    assert not np.array_equal(plain, sheet_fit.coils["computed_H"].to_numpy())
    # Arithmetic on the coefficients keeps their base.
    assert (sheet_fit.coefficients * 1.0).base == "sheet"


@pytest.mark.parametrize("source", ["result", "coefficients", "json"])
def test_a_disagreeing_base_names_both(sheet_fit, coils, source):
    given = {"result": sheet_fit, "coefficients": sheet_fit.coefficients,
             "json": sheet_fit.workdir / "result.json"}[source]
    with pytest.raises(ValueError, match="base='wheeler' disagrees with .*base 'sheet'"):
        quelmo.inductance(given, coils, base="wheeler")


def test_classical_formulas_give_the_baselines_goodness(sheet_fit, coils):
    baselines = sheet_fit.document["baselines"]
    measured = coils["measured_H"].to_numpy()
    for name in ("solenoid", "wheeler", "sheet", "sheetrosa"):
        computed = quelmo.classical(coils, name)
        # Summed as the program sums: in its list's order, the reverse of
        # the file's, over the coils the formula evaluates.
        total, counted = 0.0, 0
        for value, truth in zip(computed[::-1], measured[::-1]):
            relative = (value - truth) / truth
            if not math.isnan(relative):
                total += relative * relative
                counted += 1
        assert math.sqrt(total / counted) == baselines[name], name
    with pytest.raises(ValueError, match="unknown 'nagaoka'"):
        quelmo.classical(coils, "nagaoka")
