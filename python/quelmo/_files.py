"""The names of the files that fit() has the program write and that
FitResult reads back, shared by both so that neither imports the other, and
the check of the whole-number cells fit() writes into the coil file."""

import math
import numbers

RESULT_JSON = "result.json"
COIL_CSV = "coils.csv"
LOG_CSV = "log.csv"
RANGES = "ranges.txt"
COILS = "coils.txt"
# The line after which the ranges file holds only what fit() adds to read the
# results back; FitResult.to_ranges keeps what stands before it.
MANAGED_MARKER = "# Set by quelmo.fit to read the results back:"


def whole_number(value: object, row: int, column: str) -> str:
    """The cell ``value`` of a whole-number column as the coil file writes it.

    Parameters
    ----------
    value : int, float, str or numpy scalar
        The cell: a turn count or a wire gauge.
    row : int
        The cell's row, counted from 0, for the message.
    column : str
        The cell's column, for the message.

    Returns
    -------
    str
        The value in decimal digits.

    Raises
    ------
    ValueError
        When the value is not a whole number (``11.9``, NaN, other text): the
        program would read only the part before the point, so the table is
        refused instead, naming the row and the column.
    """
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, str) and value.strip().lstrip("+-").isdigit():
        return str(int(value))
    if isinstance(value, numbers.Real) and math.isfinite(value) and float(value) == math.floor(value):
        return str(int(value))
    raise ValueError(f"coils: row {row}, column {column!r}: {value!r} is not a whole number; "
                     f"the program reads {column} as whole numbers")
