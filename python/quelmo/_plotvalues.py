"""What the plots and the report page share about the values they draw:
which count as numbers, and the size of fit above which points become a
density."""

from __future__ import annotations

import math
import numbers
from typing import Any

#: Above this many coils a plot draws a density instead of single points.
DENSITY_ABOVE = 3000


def finite(*values: Any) -> bool:
    """Whether every value is a real number (a numpy one too; not None, not
    text) that is finite as a float; an integer too large for a float is not."""
    try:
        return all(isinstance(v, numbers.Real) and math.isfinite(v) for v in values)
    except OverflowError:
        return False
