"""The names of the files that fit() has the program write and that
FitResult reads back, shared by both so that neither imports the other."""

RESULT_JSON = "result.json"
COIL_CSV = "coils.csv"
LOG_CSV = "log.csv"
RANGES = "ranges.txt"
COILS = "coils.txt"
# The line after which the ranges file holds only what fit() adds to read the
# results back; FitResult.to_ranges keeps what stands before it.
MANAGED_MARKER = "# Set by quelmo.fit to read the results back:"
