"""The command quelmo-plot: PNG files of a fit's plots, or with --html one
page of the whole fit (see quelmo.plots for the plots and quelmo.report for
the page)."""

import argparse
import importlib.util
import os
import sys

from .plots import (BadInput, COIL_CSV_COLUMNS, LOG_COLUMNS, figures, read_result, read_table, save)


def main(argv, program="quelmo-plot"):
    parser = argparse.ArgumentParser(prog=program, description="Plots of quelmo's result files.")
    parser.add_argument("coilcsv", metavar="COILCSV|RUNDIR_OR_JSON",
                        help="CSV file of the coils (setting coilcsv); with --html, the run's directory or its "
                        "result JSON (setting resultjson)")
    parser.add_argument("logcsv", nargs="?", help="CSV file of the generations (setting logcsv)")
    parser.add_argument("--json", dest="result", help="the result JSON (setting resultjson): goodness and seed "
                        "for the titles, and with statistics the plot of studentized residuals")
    parser.add_argument("-o", dest="directory", default=".", help="directory for the PNG files (default: .)")
    parser.add_argument("--html", metavar="REPORT", help="write one self-contained HTML page of the fit, with "
                        "every plot, instead of PNG files")
    args = parser.parse_args(argv)
    if args.html is not None:
        if args.logcsv is not None or args.result is not None:
            parser.error("--html takes one run directory or result JSON, and no LOGCSV or --json")
        return html_main(args.html, args.coilcsv, program)
    try:
        coils = read_table(args.coilcsv, COIL_CSV_COLUMNS)
        log = read_table(args.logcsv, LOG_COLUMNS) if args.logcsv is not None else None
        result = read_result(args.result) if args.result is not None else None
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            raise BadInput("matplotlib is missing (Debian package python3-matplotlib)") from None
        try:
            os.makedirs(args.directory, exist_ok=True)
        except OSError as error:
            raise BadInput(f"cannot create {args.directory}: {error.strerror}") from None
        made = figures(coils, log, result)
        written = []
        while made:
            name, fig = made.pop(0)
            try:
                written.append(save(plt, fig, args.directory, name))
            except BadInput:
                for _, rest in made:
                    plt.close(rest)
                raise
    except BadInput as error:
        print(f"{program}: {error}", file=sys.stderr)
        return 1
    for path in written:
        print(path)
    if result is not None and not any(p.endswith("studentized-vs-leverage.png") for p in written):
        print(f"{program}: {args.result} holds no statistics (setting statistics 1): "
              "no studentized-vs-leverage.png", file=sys.stderr)
    return 0


def html_main(target, source, program):
    if importlib.util.find_spec("matplotlib") is None:
        print(f"{program}: matplotlib is missing (Debian package python3-matplotlib)", file=sys.stderr)
        return 1
    from . import report
    try:
        notes = report.write_report(target, source)
    except (report.BadInput, BadInput) as error:
        print(f"{program}: {error}", file=sys.stderr)
        return 1
    for note in notes:
        print(f"{program}: {note}", file=sys.stderr)
    print(target)
    return 0


def cli():
    """The console script quelmo-plot."""
    sys.exit(main(sys.argv[1:]))
