#!/usr/bin/env python3
"""Checks the include graph of src/ against the layers of the program.

A module is a source file and its header, with its variants (gridsearch,
gridsearch_avx2 and gridsearch_kernel are one module). Each module belongs to
the first layer below whose patterns match it, top layer first; a module may
include modules of its own layer or of lower layers, never of a higher one,
and the graph may hold no loop. Prints each fault and exits 1 when there is
one; prints the layers with their modules otherwise.

    scripts/check-layers.py [SRC]
"""
import fnmatch
import os
import re
import sys

# Top to bottom. Keep README.md's module map in step with this list.
LAYERS = [
    ("entry points and the run sequence", ["run/*"]),
    ("generation driver", ["search/driver"]),
    ("snapshots during a run", ["state/resume"]),
    ("snapshot file", ["state/snapshot", "state/crc32c"]),
    ("dispatch loop", ["workers/dispatch"]),
    ("final report and result JSON", ["reports/finalreport", "reports/resultjson"]),
    ("refinement and run monitor", ["refine/*", "reports/runmonitor"]),
    ("reports and outputs", ["reports/*"]),
    ("transports", ["workers/process", "workers/workerstate", "workers/runlock", "workers/terminal"]),
    ("grid search", ["workers/gridsearch"]),
    ("search state, operators, population, library, random source", ["search/*"]),
    ("settings", ["settings/*"]),
    ("coils and equation", ["coils/*"]),
    ("common helpers", ["common/*"]),
]


def module_of(path):
    stem = os.path.splitext(path)[0]
    folder, name = os.path.split(stem)
    return f"{folder}/{name.split('_')[0]}" if folder else name.split("_")[0]


def layer_of(module):
    for index, (_, patterns) in enumerate(LAYERS):
        if any(fnmatch.fnmatch(module, p) for p in patterns):
            return index
    return None


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    graph = {}
    faults = []
    for folder, _, files in os.walk(src):
        for f in files:
            if not f.endswith((".cpp", ".h")):
                continue
            path = os.path.relpath(os.path.join(folder, f), src)
            module = module_of(path)
            if "/" not in module:
                continue  # files at the top of src/ (test hooks) belong to no layer
            graph.setdefault(module, set())
            with open(os.path.join(folder, f), encoding="utf-8") as text:
                for target in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text.read(), re.M):
                    other = module_of(target)
                    if other != module and "/" in other:
                        graph[module].add(other)
                        faults += check_edge(path, module, other)
    faults += [f"loop: {' -> '.join(c)}" for c in loops(graph)]
    for module in sorted(graph):
        if layer_of(module) is None:
            faults.append(f"{module}: in no layer; add it to LAYERS")
    if faults:
        print("\n".join(faults))
        return 1
    for index, (title, _) in enumerate(LAYERS):
        members = sorted(m for m in graph if layer_of(m) == index)
        print(f"{index + 1:2}. {title}: {', '.join(members)}")
    return 0


def check_edge(path, module, other):
    mine, theirs = layer_of(module), layer_of(other)
    if mine is None or theirs is None or theirs >= mine:
        return []
    return [f"{path}: {module} ({LAYERS[mine][0]}) includes {other}, a higher layer ({LAYERS[theirs][0]})"]


def loops(graph):
    index, low, stack, on, found, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


if __name__ == "__main__":
    sys.exit(main())
