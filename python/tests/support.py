"""What the package's tests share: the built program and the example files."""

import os
import pathlib
import subprocess
import tempfile

import quelmo
from quelmo import _build, _fit

# The program fit() runs: the one QUELMO_BIN (or QUELMO_PROGRAM) names, else this build's.
PROGRAM = os.environ.get("QUELMO_BIN") or os.environ.get("QUELMO_PROGRAM") or \
    os.path.realpath(os.path.join(os.path.dirname(_fit.__file__), _build.PROGRAM_DIR, "quelmo"))
EXAMPLES = pathlib.Path(quelmo.example("coils-example.txt")).parent


def run_program(directory, *arguments):
    """Runs the built program in `directory` with standard input from
    /dev/null; returns (status, stdout, stderr)."""
    done = subprocess.run([PROGRAM, *arguments], cwd=directory, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def start_set(path):
    """The start set (bestr0 ... bestl3) a ranges file gives, by name."""
    values = {}
    for line in pathlib.Path(path).read_text().splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[0].startswith("best") and fields[0][4:] in quelmo.COEFFICIENTS:
            values[fields[0][4:]] = float(fields[1])
    return values


def knows_result_json():
    """Whether the program has the setting resultjson, which fit() needs."""
    with tempfile.TemporaryDirectory() as directory:
        ranges = pathlib.Path(directory, "ranges.txt")
        ranges.write_text(f"{(EXAMPLES / 'ranges-check.txt').read_text()}\ncheckpoint c.txt\nresultjson r.json\n")
        status, _, _ = run_program(directory, str(EXAMPLES / "coils-small.txt"), str(ranges))
        return status == 0

