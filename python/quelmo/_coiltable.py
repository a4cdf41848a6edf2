"""Coil tables from spreadsheets: ``coils_from_table`` turns a table with a
header row (any column order, units in the headers or the cells) into the
coil columns of ``COIL_COLUMNS`` in henry and metres, and ``quelmo-coils``
turns a CSV or TSV export into a coil file the program reads, saying what it
assumed.

A spreadsheet writes its tables in many habits: a quoted header row,
semicolons between fields and commas in numbers, tabs, units in the headers
(``Length (mm)``, ``L [µH]``), a byte-order mark, CR LF line ends. Each of
them is recognised here and told; what cannot be told apart (two units in
one column, a column that is missing or given twice, two coils of one name,
a cell that is no number) is an error that names its row and column, and
then nothing is written.
"""

from __future__ import annotations

import math
import os
import re
import sys
from typing import Any

TYPE_CHECKING = False  # true for the type checker only: typing costs time at import

from ._equation import COIL_COLUMNS

if TYPE_CHECKING:
    import pandas

# The program reads a coil file this many characters at a time.
_LINE_LIMIT = 79


class TableError(ValueError):
    """A table that cannot be turned into coils; the message names the row
    and column where there is one."""


# Units: the factor to henry or metre, by the spellings a header or cell uses.
_INDUCTANCE_UNITS = {"h": 1.0, "mh": 1e-3, "uh": 1e-6, "µh": 1e-6, "μh": 1e-6, "nh": 1e-9, "ph": 1e-12}
_LENGTH_UNITS = {"m": 1.0, "cm": 1e-2, "mm": 1e-3, "um": 1e-6, "µm": 1e-6, "μm": 1e-6, "in": 0.0254,
                 "inch": 0.0254, "inches": 0.0254, '"': 0.0254, "mil": 2.54e-5, "mils": 2.54e-5}

# The quantities of a coil, the words that name their columns, and their
# kind of unit. A column named after a diameter gives twice the radius.
_QUANTITIES = (
    # (quantity, kind, halve, patterns)
    ("measured_H", "inductance", False, (r"measured_h", r"inductance", r"l", r"l_?meas(ured)?", r"measured")),
    ("wire_radius_m", "length", False, (r"wire_radius_m", r"wire_?radius", r"wire_?r", r"w")),
    ("wire_radius_m", "length", True, (r"wire_?diam(eter)?", r"wire_?dia", r"wire_?d", r"wire", r"d_?wire")),
    ("coil_radius_m", "length", False, (r"coil_radius_m", r"(coil_?|mean_?)?radius", r"a", r"r")),
    ("coil_radius_m", "length", True, (r"(coil_?|mean_?)?diam(eter)?", r"(coil_?|mean_?)?dia", r"d")),
    ("gauge", "count", False, (r"gauge", r"awg", r"wire_?gauge", r"awg_?gauge")),
    ("turns", "count", False, (r"turns", r"n", r"windings", r"number_?of_?turns", r"n_?turns")),
    ("length_m", "length", False, (r"length_m", r"(coil_?)?length", r"len", r"(coil_?)?len")),
    ("name", "text", False, (r"name", r"coil", r"id", r"label", r"coil_?name")),
)


_WORDS = {"measured_H": "measured inductance", "coil_radius_m": "coil radius", "wire_radius_m": "wire radius",
          "length_m": "coil length"}


def _split_header(text: str) -> tuple[str, str | None]:
    """'Coil length (mm)' -> ('coil_length', 'mm'); the unit may stand in
    (), [] or after a comma or slash, and is None when none is given."""
    text = text.strip().strip("\ufeff").strip()
    unit = None
    match = re.match(r"^(.*?)\s*[\(\[]\s*([^\)\]]*?)\s*[\)\]]\s*$", text) or \
        re.match(r"^(.*?)\s*[,/]\s*(\S+)\s*$", text)
    if match:
        text, unit = match.group(1), match.group(2)
    words = re.sub(r"[^0-9a-zµμ\"]+", "_", text.lower()).strip("_")
    return words, unit


def _unit_factor(kind: str, unit: str) -> float | None:
    table = _INDUCTANCE_UNITS if kind == "inductance" else _LENGTH_UNITS
    return table.get(unit.strip().lower().replace(" ", ""))


def _quantity_of(words: str, unit: str | None):
    """The quantity a header names, or None. A bare 'l' is the inductance with
    an inductance unit and the length with a length unit."""
    if words == "l" and unit is not None and _unit_factor("length", unit) is not None:
        return "length_m", "length", False
    for quantity, kind, halve, patterns in _QUANTITIES:
        if any(re.fullmatch(pattern, words) for pattern in patterns):
            return quantity, kind, halve
    return None


def _number(cell: object, decimal_comma: bool) -> float | None:
    """The number a cell holds, or None when it holds none."""
    if isinstance(cell, (int, float)) and not isinstance(cell, bool):
        return float(cell)
    text = str(cell).strip().replace("\u2212", "-")
    if decimal_comma:
        if "." in text and "," in text:
            text = text.replace(".", "")  # thousands separators before a decimal comma
        text = text.replace(",", ".")
    if not re.fullmatch(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?", text):
        return None
    return float(text)


_CELL_UNIT = re.compile(r"^\s*(\S.*?)\s*(µ?μ?[a-zA-Zµμ]+|\")\s*$")


def _cell_value(cell: object, kind: str, decimal_comma: bool):
    """(number, unit written in the cell or None), or (None, None)."""
    value = _number(cell, decimal_comma)
    if value is not None or kind in ("count", "text"):
        return value, None
    match = _CELL_UNIT.match(str(cell))
    if match and _unit_factor(kind, match.group(2)) is not None:
        value = _number(match.group(1), decimal_comma)
        if value is not None:
            return value, match.group(2)
    return None, None


def _awg(diameter_m: float) -> int:
    """The American wire gauge nearest a bare wire diameter."""
    return round(36 - 39 * math.log(diameter_m / 0.000127, 92))


def coils_from_table(table: pandas.DataFrame, *, decimal_comma: bool | None = None,
                     first_row: int = 2) -> pandas.DataFrame:
    """Turns a table of measured coils into the coil columns the program reads.

    Parameters
    ----------
    table : pandas.DataFrame
        One row per coil, with a header naming each column in any order:
        the inductance (``Inductance``, ``L``, ``measured_H``), the coil
        radius or diameter (axis to wire centre), the wire radius or
        diameter, the turns, the coil length, and optionally the wire gauge
        and a name. A unit in the header (``Length (mm)``, ``L [µH]``,
        ``Radius, in``) or in the cells (``12.5 mm``) is converted: H, mH,
        µH (uH), nH, pH; m, cm, mm, µm, inches (in, ``"``), mil. Without a
        unit, henry and metres are assumed. Cells may be text, with decimal
        commas.
    decimal_comma : bool, optional
        Whether commas in numbers are decimal commas; by default they are
        when some cell has a comma and no cell a point.
    first_row : int, default 2
        The row number of the first coil in messages (2: the header is row 1
        of the spreadsheet).

    Returns
    -------
    pandas.DataFrame
        The columns of ``quelmo.COIL_COLUMNS`` in henry and metres, ready
        for ``quelmo.fit``. ``.attrs["assumptions"]`` lists, as sentences,
        what was assumed (units, decimal commas, derived gauges and names).

    Raises
    ------
    quelmo._coiltable.TableError
        (a ValueError) for a missing or doubled column, two units in one
        column, a cell that is no number, a turns or gauge value that is no
        whole number, or two coils of one name, naming the row and column.
    """
    import pandas as pd

    headers = [str(column) for column in table.columns]
    cells = [[row[i] for i in range(len(headers))] for row in table.itertuples(index=False)]
    assumptions: list[str] = []
    if decimal_comma is None:
        texts = [str(c) for row in cells for c in row if isinstance(c, str)]
        commas = any(re.fullmatch(r"\s*[-+]?\d*,\d+([eE][-+]?\d+)?\s*", t) for t in texts)
        points = any(re.fullmatch(r"\s*[-+]?\d*\.\d+([eE][-+]?\d+)?\s*", t) for t in texts)
        decimal_comma = commas and not points
        if decimal_comma:
            assumptions.append("commas in numbers are decimal commas")

    # Which column is which quantity.
    columns: dict[str, tuple[int, str, bool, str | None]] = {}
    for index, header in enumerate(headers):
        words, unit = _split_header(header)
        found = _quantity_of(words, unit)
        if found is None:
            assumptions.append(f"column {header!r} is not a coil quantity and is left out")
            continue
        quantity, kind, halve = found
        if quantity in columns:
            raise TableError(f"column {header!r}: it gives the {quantity} again, already given by column "
                             f"{headers[columns[quantity][0]]!r}")
        if unit is not None and kind in ("inductance", "length") and _unit_factor(kind, unit) is None:
            raise TableError(f"column {header!r}: {unit!r} is not a unit of {kind}; known: "
                             + ", ".join(_INDUCTANCE_UNITS if kind == "inductance" else _LENGTH_UNITS))
        columns[quantity] = (index, kind, halve, unit)
    missing = [q for q in ("measured_H", "coil_radius_m", "wire_radius_m", "turns", "length_m") if q not in columns]
    if missing:
        raise TableError("the table has no column for " + ", ".join(missing) + " (headers: "
                         + ", ".join(repr(h) for h in headers) + ")")

    values: dict[str, list[Any]] = {q: [] for q in COIL_COLUMNS}
    rows = [(first_row + i, row) for i, row in enumerate(cells)
            if any(str(c).strip() not in ("", "nan", "None") for c in row)]
    if len(rows) < len(cells):
        assumptions.append(f"{len(cells) - len(rows)} empty rows are left out")
    if not rows:
        raise TableError("the table has no coil")
    for quantity, (index, kind, halve, header_unit) in columns.items():
        header = headers[index]
        cell_units = set()
        for number, row in rows:
            cell = row[index]
            if kind == "text":
                values[quantity].append(str(cell).strip())
                continue
            value, unit = _cell_value(cell, kind, decimal_comma)
            if value is None or not math.isfinite(value):
                raise TableError(f"row {number}, column {header!r}: {str(cell)!r} is not a number")
            if unit is not None:
                if header_unit is not None and unit != header_unit:
                    raise TableError(f"row {number}, column {header!r}: the cell is in {unit}, the header in "
                                     f"{header_unit}: give one unit per column")
                cell_units.add(unit)
                if len(cell_units) > 1:
                    raise TableError(f"row {number}, column {header!r}: mixed units "
                                     f"({', '.join(sorted(cell_units))}) in one column: give one unit per column")
            if kind == "count":
                if value != int(value):
                    raise TableError(f"row {number}, column {header!r}: {str(cell)!r} is not a whole number")
                values[quantity].append(int(value))
                continue
            unit = unit or header_unit
            factor = 1.0 if unit is None else _unit_factor(kind, unit)
            value *= factor
            values[quantity].append(value / 2 if halve else value)
        if kind in ("inductance", "length"):
            unit = header_unit or (next(iter(cell_units)) if cell_units else None)
            what = (f"in {unit}" if unit else ("in henry" if kind == "inductance" else "in metres") + " (no unit given)")
            assumptions.append(f"column {header!r} is the {_WORDS[quantity]} {what}"
                               + (", a diameter halved to the radius" if halve else ""))

    count = len(rows)
    if "gauge" not in columns:
        values["gauge"] = [_awg(2 * w) for w in values["wire_radius_m"]]
        assumptions.append("no gauge column: each gauge is the AWG nearest the wire diameter")
    if "name" not in columns:
        values["name"] = [f"coil{number - first_row + 1:03d}" for number, _ in rows]
        assumptions.append("no name column: the coils are named coil001, coil002, ...")
    else:
        index = columns["name"][0]
        seen: dict[str, int] = {}
        for i, (number, _) in enumerate(rows):
            name = values["name"][i]
            if not name:
                raise TableError(f"row {number}, column {headers[index]!r}: the name is empty")
            word = re.sub(r"[\s,]+", "_", name)
            if word != name:
                assumptions.append(f"row {number}: the name {name!r} becomes {word!r} (a name is one word "
                                   f"without commas)")
                values["name"][i] = word
            if word in seen:
                raise TableError(f"row {number}, column {headers[index]!r}: the name {word!r} is given again "
                                 f"(first in row {seen[word]})")
            seen[word] = number
    frame = pd.DataFrame({q: values[q][:count] for q in COIL_COLUMNS})
    frame.attrs["assumptions"] = assumptions
    return frame


def _shortest(value: float) -> str:
    """The shorter of the exact form and twelve significant digits, which is
    more than any measurement has."""
    exact, rounded = repr(float(value)), f"{value:.12g}"
    return rounded if len(rounded) < len(exact) else exact


def coil_file_text(coils: pandas.DataFrame, source: str = "") -> str:
    """The coil file of a table from ``coils_from_table``."""
    lines = [f"// coils from {source} by quelmo-coils\n" if source else "",
             "// inductance (H), coil radius (m), wire radius (m), gauge, turns, length (m), name\n"]
    for i in range(len(coils)):
        row = coils.iloc[i]
        line = ",".join([_shortest(row["measured_H"]), _shortest(row["coil_radius_m"]),
                         _shortest(row["wire_radius_m"]), str(int(row["gauge"])), str(int(row["turns"])),
                         _shortest(row["length_m"]), str(row["name"])])
        if len(line) + 1 >= _LINE_LIMIT:
            raise TableError(f"coil {row['name']}: its line would be {len(line) + 1} characters, and the program "
                             f"reads fewer than {_LINE_LIMIT}: shorten its name")
        lines.append(line + "\n")
    return "".join(lines)


def _read_text(path: str) -> str:
    with open(path, "rb") as file:
        data = file.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("cp1252", errors="replace")


def _delimiter(text: str) -> str:
    """The separator of a table: the one of tab, semicolon and comma that
    splits the first lines into the same number of fields, the most."""
    import csv
    import io
    sample = [line for line in io.StringIO(text, newline=None).read().splitlines() if line.strip()][:20]
    best, fields = ",", 0
    for candidate in ("\t", ";", ","):
        counts = {len(row) for row in csv.reader(sample, delimiter=candidate)}
        if len(counts) == 1 and (n := counts.pop()) > fields:
            best, fields = candidate, n
    return best


def read_table(path: str) -> tuple[pandas.DataFrame, list[str]]:
    """A CSV or TSV file as a DataFrame of text cells, and what was assumed
    about its form."""
    import csv
    import io

    import pandas as pd

    text = _read_text(path)
    delimiter = _delimiter(text)
    rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
    rows = [row for row in rows if row]  # blank lines; rows of empty fields are left out later
    if not rows:
        raise TableError(f"{path}: the file holds no table")
    header = rows[0]
    if 2 * sum(_number(cell, True) is not None for cell in header) > len(header):
        raise TableError(f"{path}: row 1 holds numbers; the table needs a header row naming its columns")
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != len(header) and any(cell.strip() for cell in row):
            raise TableError(f"{path}: row {number} has {len(row)} fields, the header {len(header)}")
    names = {"\t": "tabs", ";": "semicolons", ",": "commas"}
    assumptions = [f"fields are separated by {names[delimiter]}; row 1 is the header"]
    rows = [row if len(row) == len(header) else [""] * len(header) for row in rows[1:]]
    return pd.DataFrame(rows, columns=header, dtype=object), assumptions


def convert(table_path: str, coil_path: str | None) -> list[str]:
    """Converts a CSV or TSV file into a coil file (standard output when
    ``coil_path`` is None or '-'); returns what was assumed. Nothing is
    written when it fails."""
    import tempfile

    table, assumptions = read_table(table_path)
    coils = coils_from_table(table)
    assumptions += coils.attrs["assumptions"]
    text = coil_file_text(coils, os.path.basename(table_path))
    if coil_path is None or coil_path == "-":
        sys.stdout.write(text)
    else:
        directory = os.path.dirname(os.path.abspath(coil_path))
        handle, temporary = tempfile.mkstemp(dir=directory, prefix=".quelmo-coils-")
        try:
            with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
                file.write(text)
            os.replace(temporary, coil_path)
        except BaseException:
            os.unlink(temporary)
            raise
    return assumptions + [f"{len(coils)} coils written"]


def cli(argv: list[str] | None = None) -> int:
    """The command ``quelmo-coils TABLE [COILFILE]``."""
    import argparse

    parser = argparse.ArgumentParser(
        prog="quelmo-coils",
        description="Turns a spreadsheet's CSV or TSV export of measured coils (a header row naming the columns, "
                    "in any order, with units such as mm, in, µH or nH) into a coil file for quelmo.")
    parser.add_argument("table", help="the CSV or TSV file")
    parser.add_argument("coilfile", nargs="?", default="-", help="the coil file to write (default: standard output)")
    arguments = parser.parse_args(argv)
    try:
        assumptions = convert(arguments.table, arguments.coilfile)
    except (TableError, OSError) as error:
        print(f"quelmo-coils: {error}; nothing written", file=sys.stderr)
        return 1
    for line in assumptions:
        print(f"quelmo-coils: {line}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(cli())
