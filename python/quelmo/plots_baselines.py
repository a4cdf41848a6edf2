"""The plot of a fit beside the classical formulas, for ``quelmo-plot`` and
``FitResult.plot()``: from a result JSON of a run with ``baselines 1``,

  baselines-vs-shape.png  the relative error of each classical formula and of
                          the fit, against length/diameter, one panel each

Plain Python and matplotlib alone, like plots.py, which loads this file by
itself. The formulas are written out here again (the ideal long solenoid,
Wheeler 1928, the current sheet with Nagaoka's coefficient, and with Rosa's
round-wire correction); a coil a formula cannot evaluate is left out of its
panel and counted in its title.
"""

import math
from typing import Any, Dict, List, Tuple

from ._plotvalues import DENSITY_ABOVE, finite

MU0 = 1.256637061435916e-6

# The program's names, the panels' titles.
FORMULAS = (("solenoid", "ideal long solenoid"), ("wheeler", "Wheeler 1928"),
            ("sheet", "current sheet (Nagaoka)"), ("sheetrosa", "current sheet + Rosa's correction"))


def nagaoka(a, length):
    """Nagaoka's coefficient from the complete elliptic integrals, by the
    arithmetic-geometric mean."""
    x = length / (2 * a)
    k_prime = x / math.sqrt(1 + x * x)
    k = 1 / math.sqrt(1 + x * x)
    mean, geometric, c = 1.0, k_prime, k
    weight, total = 0.5, 0.5 * k * k
    for _ in range(64):
        following = (mean + geometric) / 2
        geometric = math.sqrt(mean * geometric)
        c = c * c / (4 * following)
        mean = following
        weight *= 2
        total += weight * c * c
        if c <= 1e-17 * mean:
            break
    big_k = math.pi / (2 * mean)
    k_minus_e = big_k * total
    return 4 / (3 * math.pi * k_prime) * ((k_prime * k_prime / (k * k)) * k_minus_e + big_k - k_minus_e - k)


def formula(name, a, wire, turns, length):
    """A classical formula's inductance (H), None where it cannot evaluate the coil."""
    if not (a > 0 and turns >= 1 and length > 0):
        return None
    if name == "solenoid":
        return MU0 * math.pi * a * a * turns * turns / length
    if name == "wheeler":
        ai, li = a / 0.0254, length / 0.0254
        return 1e-6 * ai * ai * turns * turns / (9 * ai + 10 * li)
    sheet = MU0 * math.pi * a * a * turns * turns * nagaoka(a, length) / length
    if name == "sheet":
        return sheet
    pitch = length / turns
    if pitch > 0.3 * a or not 0 < 2 * wire <= pitch:
        return None
    n = turns
    h = (math.log(2 * math.pi) - 1.5 - math.log(n) / (6 * n) - 0.33084236 / n - 1 / (120 * n ** 3)
         + 1 / (504 * n ** 5) - 0.0011923 / n ** 7 + 0.0005068 / n ** 9)
    value = sheet - MU0 * a * n * (1.25 - math.log(pitch / wire) + h)
    return value if value > 0 else None


def figures(plt: Any, ticker: Any, result: Dict[str, Any], head: str) -> List[Tuple[str, Any]]:
    """[(file name, figure)]: the panels of baselines-vs-shape.png."""
    listed = result.get("coils")
    coils = [c for c in listed if isinstance(c, dict)] if isinstance(listed, list) else []
    goodness = result["baselines"] if isinstance(result.get("baselines"), dict) else {}
    panels = [(name, title) for name, title in FORMULAS] + [("fitted", "fitted set")]
    fig, axes = plt.subplots(len(panels), 1, figsize=(6.4, 2.2 * len(panels)), sharex=True)
    for ax, (name, title) in zip(axes, panels):
        points = []
        for coil in coils:
            measured, a, length = coil.get("measured_H"), coil.get("coil_radius_m"), coil.get("length_m")
            wire, turns = coil.get("wire_radius_m"), coil.get("turns")
            if not finite(measured, a, length) or not measured or not a or not length:
                continue  # a coil a result made elsewhere may hold anything
            if name == "fitted":
                computed = coil.get("computed_H") if coil.get("evaluated") else None
            else:
                computed = formula(name, a, wire, turns, length) if finite(wire, turns) else None
            if not finite(computed):
                continue
            error = (computed - measured) / measured
            if math.isfinite(error):
                points.append((length / (2 * a), 100 * error))
        ax.axhline(0, color="0.4", linewidth=1)
        if len(points) > DENSITY_ABOVE:  # a large fit: the density, drawn as an image
            ax.hexbin([x for x, _ in points], [y for _, y in points], gridsize=(70, 12), bins="log", mincnt=1,
                      xscale="log", cmap="Blues" if name == "fitted" else "Greys", rasterized=True, zorder=2)
        else:
            ax.scatter([x for x, _ in points], [y for _, y in points], s=14,
                       color="tab:blue" if name == "fitted" else "tab:gray", zorder=3)
        value = goodness.get(name)
        left_out = len(coils) - len(points)
        ax.set_title(f"{title}: goodness {format(value, '.4g') if finite(value) else 'none'}"
                     + (f", {left_out} coils left out" if left_out else ""), fontsize=9)
        ax.set_ylabel("error (%)")
        ax.grid(True, which="both", linewidth=0.3)
    axes[-1].set_xscale("log")
    axes[-1].set_xlabel("length / diameter")
    fig.suptitle(f"Relative error of the classical formulas and the fit\n{head}", fontsize=10)
    return [("baselines-vs-shape.png", fig)]
