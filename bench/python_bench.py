#!/usr/bin/python3
"""Times the Python package: `import quelmo` in a fresh interpreter (against
an interpreter that imports nothing, and one that imports numpy), and
quelmo.inductance on 10^6 coils (against the same equation in plain numpy).
Targets: import under 0.5 s, inductance on 10^6 coils under 50 ms.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py
"""

import statistics
import subprocess
import sys
import time

import numpy as np

import quelmo

RUNS = 7


def interpreter(code):
    """Median seconds of a fresh interpreter running `code`."""
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def best_of(function):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def numpy_equation(c, coils):
    """The equation written in numpy: the plain reference."""
    a, w = coils["coil_radius_m"], coils["wire_radius_m"]
    n, length = coils["turns"].astype(np.float64), coils["length_m"]
    r = ((c[3] * a + c[2]) * a + c[1]) * a + c[0]
    wp = (c[6] * w + c[5]) * w + c[4]
    t = ((c[10] * n + c[9]) * n + c[8]) * n + c[7]
    lam = ((c[14] * length + c[13]) * length + c[12]) * length + c[11]
    return r * 1.256637061435916e-6 * t / (lam * wp)


def main():
    nothing = interpreter("pass")
    with_numpy = interpreter("import numpy")
    package = interpreter("import quelmo")
    print(f"fresh interpreter: {nothing * 1e3:.0f} ms; import numpy {(with_numpy - nothing) * 1e3:.0f} ms; "
          f"import quelmo {(package - nothing) * 1e3:.0f} ms (target 500 ms)")

    example = quelmo.read_coils(quelmo.example("coils-example.txt"))
    rng = np.random.default_rng(1)
    rows = rng.integers(0, len(example), 10**6)
    coils = {column: example[column].to_numpy()[rows]
             for column in ("coil_radius_m", "wire_radius_m", "turns", "length_m")}
    coefficients = np.array([-8.73e-6, 0.00996, 1.985, -4.98, 1, 427.9, -3.36e5, -2.14, 0.250, 1, -9.1e-4,
                             0.0065, 1, -2.24, -0.27])
    quelmo.inductance(coefficients, coils)
    fastest, median = best_of(lambda: quelmo.inductance(coefficients, coils))
    plain_fastest, plain_median = best_of(lambda: numpy_equation(coefficients, coils))
    print(f"inductance, 10^6 coils: {fastest * 1e3:.1f} ms fastest, {median * 1e3:.1f} ms median (target 50 ms); "
          f"the equation in plain numpy: {plain_fastest * 1e3:.1f} / {plain_median * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
