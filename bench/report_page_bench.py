#!/usr/bin/python3
"""Times the report page (quelmo-plot --html) of a large fit: the wall time
of the whole command, its peak memory and the page's size, for results of
10^4 and 10^5 coils, against the page of a small fit (60 coils) as the
plain reference in the same run. Target: under 30 s and 5 MB at 10^5 coils.

    PYTHONPATH=build/python /usr/bin/python3 bench/report_page_bench.py [COILS ...]
"""

import json
import math
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PLOT_TOOL = os.path.join(HERE, "..", "tools", "quelmo-plot")
MU0 = 1.256637061435916e-6
NAMES = ("r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3")


def result(count, seed=1):
    """A result JSON of count made-up coils, with statistics and the
    classical formulas, as a run with statistics 1 and baselines 1 writes it."""
    rng = random.Random(seed)
    coils = []
    for i in range(count):
        a = rng.uniform(0.002, 0.03)
        turns = rng.randint(3, 200)
        wire = rng.uniform(0.0001, 0.0006)
        length = turns * 2 * wire * rng.uniform(1.05, 3)
        measured = MU0 * math.pi * a * a * turns * turns / (length + 0.9 * a)
        error = rng.gauss(0, 0.05)
        coils.append({"name": f"coil{i}", "measured_H": measured, "computed_H": measured * (1 + error),
                      "relative_error": error, "evaluated": True, "coil_radius_m": a, "wire_radius_m": wire,
                      "gauge": 24, "turns": turns, "length_m": length, "leverage": rng.uniform(0, 12 / count * 3),
                      "studentized": rng.gauss(0, 1.2)})
    coefficients = {name: 1.0 for name in NAMES}
    return {"program": "quelmo", "version": "20.03.008", "goodness": 0.05, "coefficients": coefficients,
            "found": {"goodness": 0.06, "coefficients": coefficients}, "polished": True, "held": ["w0", "t2", "l1"],
            "pinned": [], "coils": coils, "settings": {"seed": seed},
            "statistics": {"n": count, "p": 12, "chisqr": 1.0, "redchi": 0.01, "aic": -1.0, "bic": -1.0,
                           "stderr": {name: 0.1 for name in NAMES}, "undetermined": [],
                           "outliers": [c["name"] for c in coils if abs(c["studentized"]) > 3],
                           "unavailable": None, "high_correlations": []},
            "baselines": {"solenoid": 0.6, "wheeler": 0.04, "sheet": 0.03, "sheetrosa": 0.01, "fitted": 0.05},
            "baselines_left_out": {"solenoid": 0, "wheeler": 0, "sheet": 0, "sheetrosa": 0, "fitted": 0}}


def page(count, folder):
    """(seconds, peak MB, page MB) of quelmo-plot --html for count coils."""
    source = os.path.join(folder, f"result-{count}.json")
    with open(source, "w") as file:
        json.dump(result(count), file)
    target = os.path.join(folder, f"page-{count}.html")
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    subprocess.run([sys.executable, PLOT_TOOL, "--html", target, source], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    peak = max(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, before) / 1024
    return seconds, peak, os.path.getsize(target) / 1e6


def main():
    counts = [int(c) for c in sys.argv[1:]] or [10**4, 10**5]
    with tempfile.TemporaryDirectory(prefix="quelmo-page-bench-") as folder:
        small = page(60, folder)
        print(f"{60:>7} coils (reference): {small[0]:6.1f} s, page {small[2]:5.2f} MB, peak {small[1]:5.0f} MB")
        for count in counts:
            seconds, peak, size = page(count, folder)
            print(f"{count:>7} coils: {seconds:6.1f} s ({seconds / small[0]:.1f} x the small page), page "
                  f"{size:5.2f} MB ({size / small[2]:.1f} x), peak {peak:5.0f} MB (the largest so far)")


if __name__ == "__main__":
    main()
