"""quelmo-coils and coils_from_table: spreadsheet exports of the example
coils, written the way LibreOffice and Excel write them, turned into coil
files that the program reads and fits to the goodness of the original file;
and tables that cannot be turned into coils, refused with their row and
column and nothing written."""

import re

import pandas as pd
import pytest

import quelmo
from quelmo import _coiltable
from support import EXAMPLES, run_program

COILS = quelmo.read_coils(EXAMPLES / "coils-example.txt")


def number(value, comma=False):
    text = repr(float(value))
    return text.replace(".", ",") if comma else text


def export(columns, rows, separator=",", quote_header=True, quote_text=True, comma=False):
    """A table as a spreadsheet writes it: header row, then one row per coil."""
    def cell(value):
        if isinstance(value, str):
            return f'"{value}"' if quote_text else value
        return number(value, comma)
    header = separator.join(f'"{c}"' if quote_header else c for c in columns)
    return "\n".join([header] + [separator.join(cell(v) for v in row) for row in rows]) + "\n"


def libreoffice_quoted():
    """LibreOffice's default CSV: commas, quoted header and names, SI units."""
    columns = ["Name", "Inductance (H)", "Coil radius (m)", "Wire radius (m)", "Gauge", "Turns", "Length (m)"]
    rows = [[c.name, c.measured_H, c.coil_radius_m, c.wire_radius_m, c.gauge, c.turns, c.length_m]
            for c in COILS.itertuples()]
    return export(columns, rows).encode()


def excel_semicolons():
    """Excel in a German locale: semicolons, decimal commas, µH and mm
    diameters, Windows-1252 and CR LF."""
    columns = ["Spule", "L [µH]", "Coil diameter [mm]", "Wire diameter [mm]", "AWG", "Turns", "Length [mm]"]
    rows = [[c.name, c.measured_H * 1e6, 2e3 * c.coil_radius_m, 2e3 * c.wire_radius_m, c.gauge, c.turns,
             c.length_m * 1e3] for c in COILS.itertuples()]
    text = export(columns, rows, ";", quote_header=False, quote_text=False, comma=True)
    return text.replace("Spule", "Name").replace("\n", "\r\n").encode("cp1252")


def libreoffice_tsv():
    """Tab-separated, columns in another order, inches and nH."""
    columns = ["Turns", "Length (in)", "Name", "Gauge", "Wire radius (in)", "Radius (in)", "Inductance (nH)"]
    rows = [[c.turns, c.length_m / 0.0254, c.name, c.gauge, c.wire_radius_m / 0.0254, c.coil_radius_m / 0.0254,
             c.measured_H * 1e9] for c in COILS.itertuples()]
    return export(columns, rows, "\t", quote_header=False, quote_text=False).encode()


def mm_and_microhenry():
    """Units in the cells of mm columns and µH, no gauge column (derived)."""
    columns = ["name", "L (uH)", "coil radius", "wire radius (mm)", "turns", "length"]
    rows = [[c.name, c.measured_H * 1e6, f"{c.coil_radius_m * 1e3!r} mm", c.wire_radius_m * 1e3, c.turns,
             f"{c.length_m * 1e3!r}mm"] for c in COILS.itertuples()]
    return export(columns, rows, quote_header=False, quote_text=False).encode()


def excel_crlf():
    """Excel's "CSV UTF-8": a byte-order mark, CR LF, quotes only where
    needed, an extra column and trailing empty rows."""
    columns = ["Coil", "Notes", "Inductance", "Wire radius", "Radius", "Length", "Turns", "Gauge"]
    rows = [[c.name, "wound by hand, 2024", c.measured_H, c.wire_radius_m, c.coil_radius_m, c.length_m, c.turns,
             c.gauge] for c in COILS.itertuples()]
    text = export(columns, rows, quote_header=False, quote_text=False).replace("wound by hand, 2024",
                                                                              '"wound by hand, 2024"')
    return ("\ufeff" + text + ",,,,,,,\n,,,,,,,\n").replace("\n", "\r\n").encode()


def goodness(directory, coil_file):
    """The goodness of the example's known best set on a coil file (a fit of
    no generation from that set)."""
    ranges = directory / "ranges.txt"
    ranges.write_text((EXAMPLES / "ranges-check.txt").read_text() + "checkpoint c.txt\nresultfile r.txt\n")
    status, out, err = run_program(directory, str(coil_file), str(ranges))
    assert status == 0, err
    return re.search(r"// Goodness = (\S+)", out).group(1), err


@pytest.mark.parametrize("make, said", [
    (libreoffice_quoted, "separated by commas"),
    (excel_semicolons, "decimal commas"),
    (libreoffice_tsv, "separated by tabs"),
    (mm_and_microhenry, "no gauge column"),
    (excel_crlf, "2 empty rows are left out"),
])
def test_spreadsheet_exports_convert_and_fit_like_the_original(tmp_path, capsys, make, said):
    table = tmp_path / "table.csv"
    table.write_bytes(make())
    assert _coiltable.cli([str(table), str(tmp_path / "coils.txt")]) == 0
    told = capsys.readouterr().err
    assert said in told and "60 coils written" in told
    converted = quelmo.read_coils(tmp_path / "coils.txt")
    assert list(converted["name"]) == list(COILS["name"])
    for column in ("measured_H", "coil_radius_m", "wire_radius_m", "length_m"):
        assert converted[column].to_numpy() == pytest.approx(COILS[column].to_numpy(), rel=1e-11)
    assert list(converted["turns"]) == list(COILS["turns"])
    found, warnings = goodness(tmp_path, tmp_path / "coils.txt")
    assert found == goodness(tmp_path, EXAMPLES / "coils-example.txt")[0] == "0.0772456"
    assert "Warning" not in warnings


def test_a_data_frame_converts_in_place_and_says_what_it_assumed():
    table = pd.DataFrame({"Turns": ["11", "52"], "L (µH)": ["4,48266", "7,87442"], "Length (mm)": ["13,1", "46,7"],
                          "Wire dia (mm)": ["0,45", "0,81"], "Diameter (mm)": ["31,9", "12,6"]})
    coils = quelmo.coils_from_table(table)
    assert list(coils.columns) == list(quelmo.COIL_COLUMNS)
    assert coils["measured_H"].tolist() == pytest.approx([4.48266e-6, 7.87442e-6])
    assert coils["coil_radius_m"].tolist() == pytest.approx([0.01595, 0.0063])
    assert coils["name"].tolist() == ["coil001", "coil002"]
    assert coils["gauge"].tolist() == [25, 20]
    assumptions = coils.attrs["assumptions"]
    assert "commas in numbers are decimal commas" in assumptions
    assert "column 'Diameter (mm)' is the coil radius in mm, a diameter halved to the radius" in assumptions


HEADER = "name,L (uH),radius (mm),wire radius (mm),gauge,turns,length (mm)\n"


@pytest.mark.parametrize("text, message", [
    (HEADER + "a,1.5,10,0.2,24,10,20\nb,1.6,0.4 in,0.2,24,10,20\n",
     "row 3, column 'radius (mm)': the cell is in in, the header in mm"),
    ("name,L (uH),radius,wire radius (mm),gauge,turns,length (mm)\na,1.5,10 mm,0.2,24,10,20\nb,1.6,0.4 in,0.2,24,10,20\n",
     "row 3, column 'radius': mixed units (in, mm) in one column"),
    ("name,L (uH),radius (mm),gauge,turns,length (mm)\na,1.5,10,24,10,20\n",
     "the table has no column for wire_radius_m"),
    (HEADER + "a,1.5,10,0.2,24,10,20\na,1.6,11,0.2,24,10,20\n",
     "row 3, column 'name': the name 'a' is given again (first in row 2)"),
    (HEADER + "a,1.5,10,0.2,24,ten,20\n", "row 2, column 'turns': 'ten' is not a number"),
    (HEADER + "a,1.5,10,0.2,24,10.5,20\n", "row 2, column 'turns': '10.5' is not a whole number"),
    ("name,L (furlong),radius (mm),wire radius (mm),gauge,turns,length (mm)\na,1.5,10,0.2,24,10,20\n",
     "column 'L (furlong)': 'furlong' is not a unit"),
    ("1.5,10,0.2,24,10,20,a\n", "row 1 holds numbers; the table needs a header row"),
])
def test_tables_that_are_not_coils_are_refused_and_nothing_is_written(tmp_path, capsys, text, message):
    table = tmp_path / "table.csv"
    table.write_text(text)
    assert _coiltable.cli([str(table), str(tmp_path / "coils.txt")]) == 1
    told = capsys.readouterr().err
    assert message in told and told.endswith("; nothing written\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["table.csv"]
