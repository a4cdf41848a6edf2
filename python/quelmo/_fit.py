"""fit(): runs the installed program on coils and ranges in a directory of its
own, shows its progress, and reads its result files back."""

from __future__ import annotations

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
import warnings
from typing import IO, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from . import _build
from ._equation import COEFFICIENTS, COIL_COLUMNS
from ._errors import FitError, FitInterrupted, InterruptedFitWarning
from ._files import COIL_CSV, COILS, LOG_CSV, MANAGED_MARKER, RANGES, RESULT_JSON, whole_number
from ._messages import warn_messages
from ._progress import STREAM, ProgressBar, ProgressStream
from ._result import FitResult
from ._settings import check_setting_names, unique_names

PathLike = Union[str, "os.PathLike[str]"]

# The files fit() has the program write, and reads back.
_OUTPUTS = {"resultjson": RESULT_JSON, "coilcsv": COIL_CSV, "logcsv": LOG_CSV}
# The settings fit() sets itself: those, and the progress stream it reads.
_MANAGED = tuple(_OUTPUTS) + ("progressjson",)
# The exit statuses of a run that SIGINT or SIGTERM stopped, after its final
# report and result files.
_STOPPED = (128 + signal.SIGINT, 128 + signal.SIGTERM)
# Before the given ranges, so that they can replace them: a checkpoint and a
# result file in the fit's own directory rather than one shared by every run.
_DEFAULTS = "checkpoint checkpoint.txt\nresultfile fit-result.txt\n"
# fit()'s own keywords, beside the settings.
_KEYWORDS = ("workdir", "keep", "progress", "mpi", "program", "raise_on_interrupt")

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent
_LINE_LIMIT = 79  # the program reads a coil file 79 characters at a time


def example(name: str = "coils-example.txt") -> pathlib.Path:
    """The path of one of the example files that come with the program.

    Parameters
    ----------
    name : str
        ``coils-example.txt`` (60 coils), ``coils-small.txt`` (12 coils),
        ``ranges-example.txt`` (the ranges ``fit`` uses when given none) or
        ``ranges-check.txt``.

    Returns
    -------
    pathlib.Path
        The file's absolute path.

    Raises
    ------
    FileNotFoundError
        When there is no such example file.
    """
    path: pathlib.Path = (_PACKAGE_DIR / _build.EXAMPLES_DIR / name).resolve()
    if not path.is_file():
        raise FileNotFoundError(f"no example file {path}")
    return path


def find_program(name: str = "quelmo", explicit: Optional[PathLike] = None,
                 variables: Sequence[str] = ("QUELMO_BIN", "QUELMO_PROGRAM")) -> Tuple[str, str]:
    """The program ``fit`` runs, and where it was found.

    Parameters
    ----------
    name : str
        The program's name: ``quelmo`` or ``quelmo-mpi``.
    explicit : str or os.PathLike, optional
        The path given (``program=``), which comes first.
    variables : sequence of str
        The environment variables that may name it, in order.

    Returns
    -------
    tuple of (str, str)
        The program's absolute path and how it was found: the one given, the
        one an environment variable names (QUELMO_BIN, or the older
        QUELMO_PROGRAM), the one installed beside this package by ``cmake
        --install`` (or built with it), or the one on the PATH.

    Raises
    ------
    FileNotFoundError
        When the one named is not an executable program, or none is found.
    """
    given: List[Tuple[Optional[PathLike], str]] = [(explicit, "program=")]
    given += [(os.environ.get(v), v) for v in variables]
    for path, how in given:
        if path:
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return os.path.abspath(os.fspath(path)), how
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


def _setting_value(name: str, value: object) -> str:
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


def _ranges_text(ranges: Union[None, PathLike, Mapping[str, Any]]) -> str:
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


def _write_coils(coils: Any, path: PathLike) -> None:
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


def _session_processes(session: int) -> Optional[List[int]]:
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


def _end_with_parent() -> None:
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

    def __init__(self, command: List[str], workdir: pathlib.Path, environment: Dict[str, str],
                 bar: ProgressBar, stream: Optional[ProgressStream]) -> None:
        self.bar = bar
        self.stream = stream
        self.interrupted = 0
        self.output: List[str] = []
        self.errors: List[str] = []
        # A Control-C while the program and its readers start would leave it
        # running unseen: it waits until the run is known, and then stops it.
        held: List[int] = []
        holding = threading.current_thread() is threading.main_thread()
        if holding:
            # A handler set outside Python reads as None and cannot be set
            # back: Python's own takes its place.
            previous = signal.signal(signal.SIGINT, lambda number, frame: held.append(number)) or \
                signal.default_int_handler
        try:
            self.process = subprocess.Popen(command, cwd=workdir, env=environment, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                            preexec_fn=_end_with_parent if sys.platform == "linux" else None)
            pipes: Tuple[Any, Any] = (self.process.stdout, self.process.stderr)
            self.readers = [threading.Thread(target=self._read, args=(pipes[0], self.output)),
                            threading.Thread(target=self._read, args=(pipes[1], self.errors))]
            for reader in self.readers:
                reader.daemon = True
                reader.start()
        finally:
            if holding:
                signal.signal(signal.SIGINT, previous)
        self.asked = time.monotonic()
        if held:
            self.interrupted = 1
            self._signal(signal.SIGINT)

    @staticmethod
    def _read(stream: IO[bytes], lines: List[str]) -> None:
        for raw in stream:
            lines.append(raw.decode("utf-8", errors="replace"))

    def _signal(self, number: int) -> None:
        try:
            os.killpg(self.process.pid, number)
        except ProcessLookupError:
            pass

    def _follow(self) -> None:
        if self.stream is not None:
            self.bar.take(self.stream.read())

    def _wait(self) -> int:
        while True:
            try:
                return self.process.wait(timeout=0.1)
            except subprocess.TimeoutExpired:
                self._follow()
                self._repeat_early_stop()

    def _repeat_early_stop(self) -> None:
        """While the program starts its workers it ignores SIGINT, so a stop
        asked then is lost: until a generation has ended (no fit exists
        then, so nothing is lost by ending at once), it is asked again each
        second."""
        if not self.interrupted or _any_generation("".join(self.output)):
            return
        now = time.monotonic()
        if now - self.asked >= 1.0:
            self._signal(signal.SIGINT)
            self.asked = now

    def wait(self) -> int:
        """The exit status once the program has ended, with no process of the
        run left. A KeyboardInterrupt is passed on as a terminal's Control-C
        would be (SIGINT to every process of the run, which then finishes as
        at a terminal; a second one ends the program at once, a third kills
        it); ``interrupted`` counts them."""
        try:
            while True:
                try:
                    status = self._wait()
                    break
                except KeyboardInterrupt:
                    self.interrupted += 1
                    self.asked = time.monotonic()
                    self._signal(signal.SIGINT if self.interrupted <= 2 else signal.SIGKILL)
        finally:
            if self.process.poll() is None:
                self._signal(signal.SIGKILL)
                self.process.wait()
            self._end_session()
            for reader in self.readers:
                reader.join()
            for pipe in (self.process.stdout, self.process.stderr):
                if pipe is not None:
                    pipe.close()
            self._follow()
            self.bar.close()
        return 128 - status if status < 0 else status

    def _end_session(self) -> None:
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


def fit(coils: Any, ranges: Union[None, PathLike, Mapping[str, Any]] = None, *, workdir: Optional[PathLike] = None,
        keep: bool = False, progress: bool = True, mpi: Optional[int] = None, program: Optional[PathLike] = None,
        raise_on_interrupt: bool = False, **settings: Any) -> FitResult:
    """Fits the equation's fifteen coefficients to measured coils by running
    the program.

    Parameters
    ----------
    coils : str, os.PathLike, pandas.DataFrame or mapping of columns
        A coil file's path, or a table with the columns of ``read_coils``
        (``name`` may be left out), written into the run's directory as a
        coil file.
    ranges : str, os.PathLike, mapping or None
        A ranges file's path; a mapping of coefficient name -> (low, high,
        resolution, minorInc, mcount) and setting name -> value; or None for
        the example ranges (``quelmo.example("ranges-example.txt")``).
    workdir : str or os.PathLike, optional
        The directory to run in (made when missing), which keeps every file
        of the run; None runs in a fresh temporary directory, removed once
        the result has been read (or the fit has failed) unless ``keep``.
    keep : bool
        Keep the temporary directory (``result.workdir``, ``error.workdir``).
    progress : bool
        Say which program runs, and show one bar of the generations and the
        best goodness while the fit runs, read from the program's progress
        stream (setting ``progressjson``): tqdm's notebook bar in Jupyter,
        its terminal bar elsewhere, one line on standard error without tqdm.
    mpi : int, optional
        N runs ``quelmo-mpi`` with N worker ranks under ``mpirun`` (which the
        environment variable QUELMO_MPIRUN may name) instead of ``quelmo``.
    program : str or os.PathLike, optional
        The program's path; otherwise the environment variable QUELMO_BIN
        (or QUELMO_PROGRAM; QUELMO_MPI_PROGRAM with ``mpi``), the program
        installed beside this package, or the one on the PATH. The result's
        ``program`` tells which ran.
    raise_on_interrupt : bool
        After a Control-C, raise ``quelmo.FitInterrupted`` (a
        KeyboardInterrupt) holding the result as ``error.result``, instead
        of returning the result.
    **settings
        Any setting of the ranges file, which these replace, for example
        ``maxgenerations=200, processes=2, polish=1, statistics=1, seed=7``.

    Returns
    -------
    FitResult
        The fit, read back from the program's result files.

    Raises
    ------
    TypeError
        A keyword that is not a setting, before anything runs (naming the
        closest setting).
    ValueError
        A setting given twice, a value that cannot be written in a ranges
        file, or a setting fit() sets itself.
    FitError
        The run failed: the program's message and exit status.
    KeyboardInterrupt
        Control-C before the program's first generation: no fit exists yet.
    FitInterrupted
        Control-C with ``raise_on_interrupt=True``.

    Warns
    -----
    QuelmoWarning
        What the program warned about on standard error, one warning per
        kind (``CoilFileWarning``, ``UnitWarning``, ``RangesFileWarning``,
        ``BaseFormulaWarning``, ``RunWarning``), and
        ``InterruptedFitWarning`` when Control-C stopped the fit.

    Notes
    -----
    A KeyboardInterrupt (Control-C, a notebook's Stop) stops the run as a
    Control-C at a terminal does: the program finishes its final report and
    writes its result files (with ``statefile`` set, it first ends its
    generation and saves its snapshot, which ``resume=1`` in the same
    ``workdir`` continues); the fit then returns that result, marked
    ``interrupted``. A second Control-C ends the program at once. No
    process of the run is left behind.
    """
    check_setting_names(list(settings), "fit()", extra=_KEYWORDS)
    managed = sorted(set(_MANAGED) & {name.lower() for name in settings})
    if managed:
        raise ValueError(f"fit() sets {', '.join(managed)} itself, to read the results back")
    if mpi is not None and (isinstance(mpi, bool) or not isinstance(mpi, int) or mpi < 1):
        raise ValueError("mpi: the number of worker ranks, 1 or more")
    text = _DEFAULTS + _ranges_text(ranges)
    if settings:
        text += "# Given to quelmo.fit:\n"
        text += "".join(f"{name} {_setting_value(name, value)}\n" for name, value in settings.items())
    outputs = dict(_OUTPUTS, **({"progressjson": STREAM} if progress else {}))
    text += MANAGED_MARKER + "\n" + "".join(f"{name} {path}\n" for name, path in outputs.items())
    if mpi is None:
        found, how = find_program("quelmo", program)
    else:
        found, how = find_program("quelmo-mpi", program, ("QUELMO_MPI_PROGRAM",))

    temporary = workdir is None
    run_dir = pathlib.Path(tempfile.mkdtemp(prefix="quelmo-fit-") if workdir is None else workdir).resolve()
    removed = temporary and not keep
    try:
        return _run_in(run_dir, coils, text, found, how, mpi, progress, removed, raise_on_interrupt)
    finally:
        if removed:
            shutil.rmtree(run_dir, ignore_errors=True)


def _command(program: str, arguments: List[str], mpi: Optional[int], environment: Dict[str, str]) -> List[str]:
    """The command line that runs the program (under mpirun with ``mpi``)."""
    if mpi is None:
        command = [program] + arguments
        # Standard output to a pipe is written in blocks; line by line, what
        # the program says follows the run (whether a generation has ended).
        stdbuf = shutil.which("stdbuf")
        return [stdbuf, "-oL"] + command if stdbuf is not None else command
    mpirun = os.environ.get("QUELMO_MPIRUN") or shutil.which("mpirun") or "mpirun"
    # Open MPI: the master is idle most of the time, so one worker per
    # core plus the master oversubscribes; unbound ranks share a busy
    # machine better; and root needs its consent. Other MPIs ignore these.
    environment.setdefault("OMPI_MCA_rmaps_base_oversubscribe", "1")
    environment.setdefault("OMPI_MCA_hwloc_base_binding_policy", "none")
    if os.geteuid() == 0:
        environment.setdefault("OMPI_ALLOW_RUN_AS_ROOT", "1")
        environment.setdefault("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1")
    return [mpirun, "-n", str(mpi + 1), program] + arguments


def _any_generation(output: str) -> bool:
    """Whether the program's output tells of a generation that ended."""
    return output.startswith("gen = ") or "\ngen = " in output


def _run_in(workdir: pathlib.Path, coils: Any, text: str, program: str, how: str, mpi: Optional[int],
            progress: bool, removed: bool, raise_on_interrupt: bool) -> FitResult:
    workdir.mkdir(parents=True, exist_ok=True)
    if isinstance(coils, (str, os.PathLike)):
        coil_file = os.path.abspath(coils)
    else:
        coil_file = str(workdir / COILS)
        _write_coils(coils, coil_file)
    (workdir / RANGES).write_text(text, encoding="utf-8", errors="surrogateescape")
    for name in list(_OUTPUTS.values()) + [STREAM]:
        (workdir / name).unlink(missing_ok=True)

    environment = dict(os.environ)
    command = _command(program, [coil_file, RANGES], mpi, environment)
    stream = ProgressStream(workdir / STREAM) if progress else None
    bar = ProgressBar(progress, f"quelmo: running {program} ({how})")
    bar.begin()
    run = _Run(command, workdir, environment, bar, stream)
    status = run.wait()
    output, errors = "".join(run.output), "".join(run.errors)
    stopped = status in _STOPPED and (workdir / RESULT_JSON).is_file() and _any_generation(output)
    if run.interrupted and not stopped:
        raise KeyboardInterrupt("the fit was interrupted before its first generation ended: no fit exists yet")
    if status != 0 and not stopped:
        message = errors.strip() or f"the program ended with status {status} and no message"
        raise FitError(message, status, output, None if removed else workdir)
    result = FitResult.read(workdir, output=output, messages=errors)
    result.program = program
    result.interrupted = stopped
    if removed:
        result.workdir = None
    warn_messages(errors, (RANGES,), stacklevel=3)
    if stopped:
        if raise_on_interrupt:
            raise FitInterrupted(result)
        warnings.warn(f"the fit was interrupted after {len(result.log)} generations: the result is the best "
                      f"set found by then (goodness {result.goodness:.6g})", InterruptedFitWarning, stacklevel=3)
    return result
