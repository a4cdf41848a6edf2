"""What the program warns about reaches Python as warnings of the quelmo
classes, once per kind, so that filters and -W error apply."""

import warnings

import pytest

import quelmo
from quelmo._messages import classify
from support import EXAMPLES

COILS = [line for line in EXAMPLES.joinpath("coils-small.txt").read_text().splitlines()
         if line and not line.startswith("//")][:3]
ZERO = "0,0.01,1e-4,20,10,0.01,zero"
MILLIMETRES = ["1e-6,10,1e-4,20,10,0.01,big", "1e-6,12,1e-4,20,10,0.01,big2"]


@pytest.mark.parametrize("line, kind", [
    ("Warning: at line 6 in c.txt, the measured inductance is 0: every set's goodness is infinite",
     quelmo.CoilFileWarning),
    ("Warning: at line 40 in ranges.txt, noise `0,5` was read as 0; the rest of the token is ignored",
     quelmo.RangesFileWarning),
    ("Warning: 2 coils have a coil radius above 1 m or below 0.1 mm (big 10, big2 12); the coil file c.txt "
     "takes metres: check the unit", quelmo.UnitWarning),
    ("Warning: 1 coil has a wire radius above its coil radius (x 0.1); check the columns", quelmo.UnitWarning),
    ("Warning: base sheetrosa cannot evaluate 2 coils (a, b): they count in no goodness", quelmo.BaseFormulaWarning),
    ("Couldn't write checkpoint c.txt (Is a directory); the run goes on", quelmo.RunWarning),
    ("Warning: progressjson p: Is a directory; the run goes on without its progress stream", quelmo.RunWarning),
])
def test_each_message_has_its_class(line, kind):
    assert classify(line, ("ranges.txt",)) is kind
    assert issubclass(kind, quelmo.QuelmoWarning) and issubclass(kind, UserWarning)


def test_fit_warns_once_per_kind(tmp_path):
    coils = tmp_path / "c.txt"
    coils.write_text("\n".join(COILS + [ZERO] + MILLIMETRES) + "\n")
    with pytest.warns(quelmo.QuelmoWarning) as caught:
        result = quelmo.fit(coils, EXAMPLES / "ranges-check.txt", workdir=tmp_path / "run", progress=False,
                            maxgenerations=0, noise="0,5")
    kinds = [w.category for w in caught]
    # The run warning: five coils are too few for the free coefficients.
    assert sorted(k.__name__ for k in kinds) == ["CoilFileWarning", "RangesFileWarning", "RunWarning", "UnitWarning"]
    unit = next(w for w in caught if w.category is quelmo.UnitWarning)
    assert "big 10, big2 12" in str(unit.message)
    assert unit.filename == __file__
    assert "Warning: 2 coils have" in result.messages
    # An error filter turns them into exceptions, as pytest's -W error does.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        warnings.simplefilter("error", quelmo.UnitWarning)
        with pytest.raises(quelmo.UnitWarning):
            quelmo.fit(coils, EXAMPLES / "ranges-check.txt", workdir=tmp_path / "again", progress=False,
                       maxgenerations=0)


def test_read_coils_warns_with_the_coil_file_class(tmp_path):
    coils = tmp_path / "c.txt"
    coils.write_text("\n".join(COILS + [ZERO]) + "\n")
    with pytest.warns(quelmo.CoilFileWarning, match=f"at line 4 in {coils}, the measured inductance is 0") as caught:
        table = quelmo.read_coils(coils)
    assert len(caught) == 1 and len(table) == 4
