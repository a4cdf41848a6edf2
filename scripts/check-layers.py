#!/usr/bin/env python3
"""Checks the include graph of src/ and the import graph of the Python
package against the layers of the program.

The layers are read from one place: the table under "## Module map" in
README.md, one row per folder of src/, top layer first, whose last column
names the folders it may use. The check holds that

- the table names every folder of src/ and no other;
- a folder may use only folders listed below it (so the folders are layers,
  and two folders that do not use each other are beside each other);
- a file includes files of its own folder or of a folder its row allows;
- a module (a source file and the header of the same name: process.cpp and
  process.h, but not process_mpi.cpp) includes no module that includes it
  back, directly or through others;
- no module of the Python package (python/quelmo/) imports one that imports
  it back, at the top of the file or inside a function;
- no header of src/ declares a mutable variable at namespace scope (extern,
  inline or static, and not const) other than those of SHARED_STATE: the
  run's state is otherwise owned by objects a function is given.

Prints each fault and exits 1 when there is one; prints the layers with
their modules otherwise.

    scripts/check-layers.py [ROOT]
"""
import ast
import os
import re
import sys

TABLE_HEADING = "## Module map"

# Loops known and left for now, each with the reason; the check fails on any
# other, and on one of these once it is gone (so the entry goes with it).
KNOWN_LOOPS = []
FOLDER_CELL = re.compile(r"^`([a-z0-9_]+)/`$")

# The mutable variables a header may declare, each with the reason. The
# search's long-standing names come first; the rest own the run's
# configuration and its search state.
SHARED_STATE = {
    **{name: "a long-standing name of the search's state or settings" for name in (
        "S", "R", "theInductors", "collected", "FreeResults", "lib", "libCnt", "rejects", "gen", "lastgen",
        "bestGoodness", "tested", "lastTested", "accumSeconds", "accumCnt", "swapper")},
    "searchCounters": "the one owner of the search's counters, which snapshots write and read whole",
    "randomSource": "the search's random source, which snapshots write and read whole",
    "workerSlots": "the search's worker slots: each slot's window order and the jobs out",
}
# A declaration at namespace scope (it starts its line) of a variable: its
# text up to the initializer or the end, for declared_variable to judge.
DECLARATION = re.compile(r"^(extern|inline|static)\s+(?!\"C\")(?!constexpr\b)(?!static_assert\b)([^=;{]*)")
FUNCTION_POINTER = re.compile(r"\(\s*\*\s*(\w+)\s*\)\s*\(")


def read_layers(readme):
    """The module map's rows, top first: [(folder, [folders it may use])]."""
    with open(readme, encoding="utf-8") as text:
        lines = text.read().splitlines()
    try:
        start = lines.index(TABLE_HEADING)
    except ValueError:
        raise SystemExit(f"{readme}: no '{TABLE_HEADING}' section")
    rows = []
    for line in lines[start + 1:]:
        if line.startswith("## "):
            break
        if not line.startswith("|"):
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        match = FOLDER_CELL.match(cells[0])
        if not match:
            continue  # the heading row and its rule
        uses = re.findall(r"`([a-z0-9_]+)/`", cells[-1])
        rows.append((match.group(1), uses))
    if not rows:
        raise SystemExit(f"{readme}: the module map has no rows")
    return rows


def module_of(path):
    return os.path.splitext(path)[0].replace(os.sep, "/")


def include_graph(src):
    """{module: {module it includes}} over the folders of src/."""
    graph = {}
    for folder, _, files in os.walk(src):
        for f in sorted(files):
            if not f.endswith((".cpp", ".h")):
                continue
            path = os.path.relpath(os.path.join(folder, f), src)
            module = module_of(path)
            if "/" not in module:
                continue  # files at the top of src/ (test hooks) belong to no layer
            targets = graph.setdefault(module, {})
            with open(os.path.join(folder, f), encoding="utf-8") as text:
                for target in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text.read(), re.M):
                    other = module_of(target)
                    if other != module and "/" in other:
                        targets.setdefault(other, path)
    return graph


def python_graph(package):
    """{module: {module it imports}} over the Python package's own modules."""
    if not os.path.isdir(package):
        return {}
    names = {os.path.splitext(f)[0] for f in os.listdir(package) if f.endswith(".py")}
    graph = {}
    for name in sorted(names):
        with open(os.path.join(package, name + ".py"), encoding="utf-8") as text:
            tree = ast.parse(text.read(), name)
        targets = graph.setdefault(name, {})
        for node in ast.walk(tree):
            found = []
            if isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level == 0:
                    if base != "quelmo" and not base.startswith("quelmo."):
                        continue
                    base = base[len("quelmo"):].lstrip(".")
                if base:
                    found.append(base.split(".")[0])
                else:
                    found += [alias.name for alias in node.names]
            elif isinstance(node, ast.Import):
                found += [a.name.split(".")[1] for a in node.names if a.name.startswith("quelmo.")]
            for other in found:
                if other in names and other != name:
                    targets.setdefault(other, f"{name}.py")
    return graph


def loops(graph):
    """The strongly connected components of more than one node, sorted."""
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


def declared_variable(line):
    """The name of the mutable variable that `line` declares, or None."""
    match = DECLARATION.match(line)
    if match is None or line.rstrip().endswith(("(", ",")):
        return None
    text = match.group(2).strip()
    pointer = FUNCTION_POINTER.search(text)
    if pointer is not None:
        return pointer.group(1)
    if "(" in text:  # a function
        return None
    words = re.findall(r"[A-Za-z_]\w*|\*|&", re.sub(r"\[.*?\]|<.*>", " ", text))
    if len(words) < 2:
        return None
    name, before = words[-1], words[:-1]
    # const T, or T* const: nothing to change through this name.
    if before[-1] == "const" or (before[0] == "const" and "*" not in before):
        return None
    return name


def mutable_globals(src):
    """[(path, line number, name)] of the headers' mutable variables."""
    found = []
    for folder, _, files in sorted(os.walk(src)):
        for name in sorted(f for f in files if f.endswith(".h")):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as text:
                for number, line in enumerate(text, 1):
                    variable = declared_variable(line)
                    if variable is not None:
                        found.append((os.path.relpath(path, src), number, variable))
    return found


def check(root):
    src = os.path.join(root, "src")
    rows = read_layers(os.path.join(root, "README.md"))
    faults = []
    order = [folder for folder, _ in rows]
    allowed = dict(rows)
    for position, (folder, uses) in enumerate(rows):
        for other in uses:
            if other not in allowed:
                faults.append(f"README.md: {folder}/ may use {other}/, which the module map does not list")
            elif order.index(other) <= position:
                faults.append(f"README.md: {folder}/ may use {other}/, which is not below it in the module map")
    present = sorted(d for d in os.listdir(src)
                     if os.path.isdir(os.path.join(src, d))
                     and any(f.endswith((".cpp", ".h")) for f in os.listdir(os.path.join(src, d))))
    for folder in present:
        if folder not in allowed:
            faults.append(f"src/{folder}/: not in the module map of README.md; add a row")
    for folder in order:
        if folder not in present:
            faults.append(f"README.md: the module map lists {folder}/, which src/ does not hold")

    graph = include_graph(src)
    for module, targets in sorted(graph.items()):
        mine = module.split("/")[0]
        for other, path in sorted(targets.items()):
            theirs = other.split("/")[0]
            if theirs != mine and mine in allowed and theirs not in allowed[mine]:
                faults.append(f"src/{path}: {mine}/ includes {other}, but the module map does not let {mine}/ use {theirs}/")
    found = loops(graph)
    faults += [f"include loop: {' -> '.join(c)}" for c in found if c not in KNOWN_LOOPS]
    faults += [f"scripts/check-layers.py: the known loop {' -> '.join(c)} is gone; remove it from KNOWN_LOOPS"
               for c in KNOWN_LOOPS if c not in found and all(m in graph for m in c)]
    faults += [f"python/quelmo: import loop: {' -> '.join(c)}"
               for c in loops(python_graph(os.path.join(root, "python", "quelmo")))]
    faults += [f"src/{path}:{number}: {name} is a mutable global declared in a header; give it an owner that "
               "functions are given, or name it with its reason in SHARED_STATE of scripts/check-layers.py"
               for path, number, name in mutable_globals(src) if name not in SHARED_STATE]
    return rows, graph, faults


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    rows, graph, faults = check(root)
    if faults:
        print("\n".join(faults))
        return 1
    # A folder's height: one above the highest folder it may use; folders of
    # the same height stand beside each other.
    height = {}
    for folder, uses in reversed(rows):
        height[folder] = 1 + max((height[u] for u in uses), default=0)
    for folder, _ in rows:
        members = sorted(m.split("/", 1)[1] for m in graph if m.split("/")[0] == folder)
        print(f"{height[folder]:2}. {folder}/: {', '.join(members)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
