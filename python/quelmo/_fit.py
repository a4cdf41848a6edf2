"""fit(): runs the installed program on coils and ranges in a directory of its
own, shows its progress, and reads its result files back."""

import math
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from . import _build
from ._equation import COEFFICIENTS, COIL_COLUMNS
from ._errors import FitError
from ._files import COIL_CSV, COILS, LOG_CSV, MANAGED_MARKER, RANGES, RESULT_JSON, whole_number
from ._result import FitResult
from ._settings import check_setting_names, unique_names

# The files fit() has the program write, and reads back.
_OUTPUTS = {"resultjson": RESULT_JSON, "coilcsv": COIL_CSV, "logcsv": LOG_CSV}
# Before the given ranges, so that they can replace them: a checkpoint and a
# result file in the fit's own directory rather than one shared by every run.
_DEFAULTS = "checkpoint checkpoint.txt\nresultfile fit-result.txt\n"
# fit()'s own keywords, beside the settings.
_KEYWORDS = ("workdir", "keep", "progress", "mpi", "program")

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent
_LINE_LIMIT = 79  # the program reads a coil file 79 characters at a time


def example(name="coils-example.txt"):
    """The path of one of the example files that come with the program:
    ``coils-example.txt`` (60 coils), ``coils-small.txt`` (12 coils),
    ``ranges-example.txt`` (the ranges ``fit`` uses when given none) or
    ``ranges-check.txt``."""
    path = (_PACKAGE_DIR / _build.EXAMPLES_DIR / name).resolve()
    if not path.is_file():
        raise FileNotFoundError(f"no example file {path}")
    return path


def find_program(name="quelmo", explicit=None, variables=("QUELMO_BIN", "QUELMO_PROGRAM")):
    """The program fit() runs and where it was found, as (path, how): the one
    given (program=), the one an environment variable names (QUELMO_BIN, or
    the older QUELMO_PROGRAM), the one installed beside this package by
    ``cmake --install`` (or built with it), or the one on the PATH."""
    given = [(explicit, "program=")] + [(os.environ.get(v), v) for v in variables]
    for path, how in given:
        if path:
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return os.path.abspath(path), how
            raise FileNotFoundError(f"{path} (from {how}) is not an executable program")
    if _build.PROGRAM_DIR is not None:
        beside = _PACKAGE_DIR / _build.PROGRAM_DIR / name
        if beside.is_file() and os.access(beside, os.X_OK):
            return str(beside.resolve()), "installed beside the package"
    found = shutil.which(name)
    if found is None:
        raise FileNotFoundError(f"cannot find the program {name}: put it on the PATH (cmake --install installs "
                                f"it), set {variables[0]} to its path or pass program=")
    return os.path.abspath(found), "on the PATH"


def _setting_value(name, value):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (str, os.PathLike)):
        text = os.fspath(value)
        if not text or re.search(r"\s", text):
            raise ValueError(f"setting {name}: {text!r} cannot be written in a ranges file "
                             "(a value is one word, without blanks)")
        return text
    raise TypeError(f"setting {name}: {type(value).__name__} is not a setting value "
                    "(give a number, a bool or a string)")


def _ranges_text(ranges):
    """The ranges file's text from a path, a mapping or None (the example).
    A mapping's names are checked: each a coefficient or a setting, once."""
    if ranges is None:
        ranges = example("ranges-example.txt")
    if isinstance(ranges, (str, os.PathLike)):
        with open(ranges, encoding="utf-8", errors="surrogateescape") as file:
            text = file.read()
        return text if text.endswith("\n") or not text else text + "\n"
    lines = []
    for name in ranges:
        if not (isinstance(name, str) and name.lower() in COEFFICIENTS):
            check_setting_names([name], "ranges", extra=COEFFICIENTS)
    unique_names(list(ranges), "ranges")
    for name, value in ranges.items():
        if str(name).lower() in COEFFICIENTS:
            values = list(value)
            if len(values) != 5:
                raise ValueError(f"ranges: {name} needs five values: low high resolution minorInc mcount")
            lines.append(" ".join([str(name)] + [_setting_value(name, v) for v in values]))
        else:
            lines.append(f"{name} {_setting_value(name, value)}")
    return "\n".join(lines) + "\n"


def _write_coils(coils, path):
    """Writes a coil table as a coil file the program reads back to the
    same doubles (each number in its shortest exact form)."""
    import numpy as np
    columns = {}
    for column in COIL_COLUMNS[1:]:
        try:
            columns[column] = np.asarray(coils[column])
        except KeyError:
            raise ValueError(f"coils: no column {column!r}") from None
    count = len(columns["measured_H"])
    names = list(coils["name"]) if "name" in coils else [f"coil{i + 1}" for i in range(count)]
    lines = []
    for i in range(count):
        name = str(names[i])
        if not name or re.search(r"[\s,]", name):
            raise ValueError(f"coils: row {i}: the name {name!r} must be one word without commas")
        fields = [repr(float(columns[c][i])) for c in ("measured_H", "coil_radius_m", "wire_radius_m")]
        fields += [whole_number(columns[c][i], i, c) for c in ("gauge", "turns")]
        fields += [repr(float(columns["length_m"][i])), name]
        line = ",".join(fields)
        if len(line) + 1 > _LINE_LIMIT:
            raise ValueError(f"coils: coil {name}: its line is {len(line) + 1} characters, and the program "
                             f"reads at most {_LINE_LIMIT}: round its values or shorten its name")
        if line[0].isalpha() or line[0] == "/":
            raise ValueError(f"coils: coil {name}: a line starting with {line[0]!r} is skipped as a comment")
        lines.append(line + "\n")
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as file:
        file.write("// measured_H, coil_radius_m, wire_radius_m, gauge, turns, length_m, name\n")
        file.writelines(lines)


def _session_processes(session):
    """The processes of a session, on Linux; None where /proc cannot tell."""
    try:
        entries = os.listdir("/proc")
    except OSError:
        return None
    found = []
    for entry in entries:
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if len(fields) > 3 and int(fields[3]) == session and fields[0] != "Z":
            found.append(int(entry))
    return found


class _Progress:
    """The run's progress: a tqdm bar when tqdm is installed, else one line on
    standard error redrawn in place."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.total = None
        self.generation = 0
        self.best = None
        self.bar = None
        self.drawn = 0.0
        self.text = ""

    def update(self):
        if not self.enabled:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None:
            if self.bar is None:
                self.bar = tqdm(total=self.total, unit="gen", desc="quelmo", leave=False)
            self.bar.n = self.generation
            if self.best is not None:
                self.bar.set_postfix_str(f"best {self.best:g}", refresh=False)
            self.bar.refresh()
            return
        limit = f"/{self.total}" if self.total is not None else ""
        best = f"{self.best:g}" if self.best is not None else "-"
        text = f"quelmo: gen {self.generation}{limit}  best {best}"
        now = time.monotonic()
        if text == self.text or now - self.drawn < 0.1:
            return
        sys.stderr.write("\r" + text.ljust(len(self.text)))
        sys.stderr.flush()
        self.drawn, self.text = now, text

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.text:
            sys.stderr.write("\r" + " " * len(self.text) + "\r")
            sys.stderr.flush()


_GENERATION = re.compile(r"gen = (\d+) done already ")
_IMPROVEMENT = re.compile(r"\d+, ([0-9.eE+-]+), ")
_LIMIT = re.compile(r"\s*maxgenerations: (\d+)$")


def _end_with_parent():
    """In the child before it runs the program, on Linux: SIGTERM when the
    Python process ends, so that a killed interpreter (a notebook kernel
    restarted, say) does not leave the fit running on its own."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class _Run:
    """One run of the program in its own session, so that a Control-C at the
    terminal reaches only Python, which passes it on."""

    def __init__(self, command, workdir, environment, progress):
        self.progress = progress
        self.output = []
        self.errors = []
        self.process = subprocess.Popen(command, cwd=workdir, env=environment, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                        preexec_fn=_end_with_parent if sys.platform == "linux" else None)
        self.readers = [threading.Thread(target=self._read, args=(self.process.stdout, self.output, True)),
                        threading.Thread(target=self._read, args=(self.process.stderr, self.errors, False))]
        for reader in self.readers:
            reader.daemon = True
            reader.start()

    def _read(self, stream, lines, parse):
        for raw in stream:
            line = raw.decode("utf-8", errors="replace")
            lines.append(line)
            if not parse:
                continue
            if match := _GENERATION.match(line):
                self.progress.generation = int(match.group(1)) + 1
            elif match := _IMPROVEMENT.match(line):
                self.progress.best = float(match.group(1))
            elif self.progress.total is None and (match := _LIMIT.match(line)):
                self.progress.total = int(match.group(1))

    def _signal(self, number):
        try:
            os.killpg(self.process.pid, number)
        except ProcessLookupError:
            pass

    def _wait(self):
        while True:
            try:
                return self.process.wait(timeout=0.1)
            except subprocess.TimeoutExpired:
                self.progress.update()

    def wait(self):
        """The exit status once the program has ended, with no process of the
        run left. A KeyboardInterrupt is passed on as a terminal's Control-C
        would be (SIGINT to every process of the run; a second one ends the
        program at once), and raised again once the run has ended."""
        interrupted = 0
        try:
            while True:
                try:
                    status = self._wait()
                    break
                except KeyboardInterrupt:
                    interrupted += 1
                    self._signal(signal.SIGINT if interrupted <= 2 else signal.SIGKILL)
        finally:
            if self.process.poll() is None:
                self._signal(signal.SIGKILL)
                self.process.wait()
            self._end_session()
            for reader in self.readers:
                reader.join()
            self.process.stdout.close()
            self.process.stderr.close()
            self.progress.close()
        if interrupted:
            raise KeyboardInterrupt
        return 128 - status if status < 0 else status

    def _end_session(self):
        """Workers end with their master; whatever is left a few seconds
        after is killed."""
        session = self.process.pid
        deadline = time.monotonic() + 5
        while True:
            left = _session_processes(session)
            if left is None:
                self._signal(signal.SIGKILL)
                return
            if not left:
                return
            if time.monotonic() > deadline:
                for pid in left:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                deadline = math.inf
            time.sleep(0.02)


def fit(coils, ranges=None, *, workdir=None, keep=False, progress=True, mpi=None, program=None, **settings):
    """Fits the equation's fifteen coefficients to measured coils by running
    the program, and returns a ``FitResult``.

    coils
        a coil file's path, or a table (a pandas DataFrame or a mapping of
        columns) with the columns of ``read_coils`` (``name`` may be left
        out), written into the run's directory as a coil file.
    ranges
        a ranges file's path; a mapping of coefficient name -> (low, high,
        resolution, minorInc, mcount) and setting name -> value; or None for
        the example ranges (``quelmo.example("ranges-example.txt")``).
    workdir
        the directory to run in (made when missing), which keeps every file
        of the run; None runs in a fresh temporary directory, removed when
        the fit ends (failed or interrupted too) unless ``keep`` is true.
    keep
        keep the temporary directory (``result.workdir``, ``error.workdir``).
    progress
        show which program runs, and the generation and best goodness while
        the fit runs (a tqdm bar when tqdm is installed, else one line on
        standard error).
    mpi
        N runs ``quelmo-mpi`` with N worker ranks under ``mpirun`` (which the
        environment variable QUELMO_MPIRUN may name) instead of ``quelmo``.
    program
        the program's path; otherwise the environment variable QUELMO_BIN
        (or QUELMO_PROGRAM; QUELMO_MPI_PROGRAM with ``mpi``), the program
        installed beside this package, or the one on the PATH. The result's
        ``program`` tells which ran.
    settings
        any setting of the ranges file, which these replace, for example
        ``maxgenerations=200, processes=2, polish=1, statistics=1, seed=7``.
        A name that is not a setting raises TypeError before anything runs,
        naming the closest setting.

    A run that fails raises ``quelmo.FitError`` with the program's message
    and exit status. A KeyboardInterrupt (Control-C) stops the run as a
    Control-C at a terminal does: with ``statefile`` set, the program first
    ends its generation and saves its snapshot (``resume=1`` in the same
    ``workdir`` continues it). No process of the run is left behind, and the
    KeyboardInterrupt is raised again.
    """
    check_setting_names(list(settings), "fit()", extra=_KEYWORDS)
    managed = sorted(set(_OUTPUTS) & {name.lower() for name in settings})
    if managed:
        raise ValueError(f"fit() sets {', '.join(managed)} itself, to read the results back")
    if mpi is not None and (isinstance(mpi, bool) or not isinstance(mpi, int) or mpi < 1):
        raise ValueError("mpi: the number of worker ranks, 1 or more")
    text = _DEFAULTS + _ranges_text(ranges)
    if settings:
        text += "# Given to quelmo.fit:\n"
        text += "".join(f"{name} {_setting_value(name, value)}\n" for name, value in settings.items())
    text += MANAGED_MARKER + "\n" + "".join(f"{name} {path}\n" for name, path in _OUTPUTS.items())
    if mpi is None:
        found, how = find_program("quelmo", program)
    else:
        found, how = find_program("quelmo-mpi", program, ("QUELMO_MPI_PROGRAM",))

    temporary = workdir is None
    if temporary:
        workdir = tempfile.mkdtemp(prefix="quelmo-fit-")
    workdir = pathlib.Path(workdir).resolve()
    try:
        return _run_in(workdir, coils, text, found, how, mpi, progress, removed=temporary and not keep)
    finally:
        if temporary and not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def _run_in(workdir, coils, text, program, how, mpi, progress, removed):
    workdir.mkdir(parents=True, exist_ok=True)
    if isinstance(coils, (str, os.PathLike)):
        coil_file = os.path.abspath(coils)
    else:
        coil_file = str(workdir / COILS)
        _write_coils(coils, coil_file)
    (workdir / RANGES).write_text(text, encoding="utf-8", errors="surrogateescape")
    for name in _OUTPUTS.values():
        (workdir / name).unlink(missing_ok=True)

    environment = dict(os.environ)
    arguments = [coil_file, RANGES]
    if mpi is None:
        command = [program] + arguments
        # Standard output to a pipe is written in blocks; line by line, the
        # progress follows the run.
        stdbuf = shutil.which("stdbuf") if progress else None
        if stdbuf is not None:
            command = [stdbuf, "-oL"] + command
    else:
        mpirun = os.environ.get("QUELMO_MPIRUN") or shutil.which("mpirun") or "mpirun"
        command = [mpirun, "-n", str(mpi + 1), program] + arguments
        # Open MPI: the master is idle most of the time, so one worker per
        # core plus the master oversubscribes; unbound ranks share a busy
        # machine better; and root needs its consent. Other MPIs ignore these.
        environment.setdefault("OMPI_MCA_rmaps_base_oversubscribe", "1")
        environment.setdefault("OMPI_MCA_hwloc_base_binding_policy", "none")
        if os.geteuid() == 0:
            environment.setdefault("OMPI_ALLOW_RUN_AS_ROOT", "1")
            environment.setdefault("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1")

    if progress:
        sys.stderr.write(f"quelmo: running {program} ({how})\n")
        sys.stderr.flush()
    run = _Run(command, workdir, environment, _Progress(progress))
    status = run.wait()
    output, errors = "".join(run.output), "".join(run.errors)
    if status != 0:
        message = errors.strip() or f"the program ended with status {status} and no message"
        raise FitError(message, status, output, None if removed else workdir)
    result = FitResult.read(workdir, output=output, messages=errors)
    result.program = program
    if removed:
        result.workdir = None
    return result
