#!/usr/bin/env python3
"""Checks that a manual page renders with no words run together.

The font-alternating macros (.BR, .RB, .BI, .IB, .IR, .RI) set their
arguments one after another with no space between them, which is right for
"name" + "." or "save" + "+1" and wrong for "." + "On" or "several" +
"machines". Two checks, each of which fails on its own:

1. In the source, every junction between two arguments of such a macro: a
   word must not follow a word, nor a comma, semicolon or colon, nor a lone
   full stop or closing parenthesis ("." then "On"; "r0" "..." "l3" is
   fine). A junction meant to join two words is written with \\& at it.
2. In the page as man renders it, no word may hold a lower-case letter, a
   full stop and a capitalised word ("none.On"), or a letter, a comma,
   semicolon or colon and another letter ("machines,give").

groff must also render the page without a warning.

    scripts/check-manpage.py PAGE...
"""
import os
import re
import subprocess
import sys

ALTERNATING = {"BR", "RB", "BI", "IB", "IR", "RI"}
SEPARATORS = ",;:!?"
CLOSING_PUNCTUATION = set(".,;:!?)")  # alone, it ends what comes before
RENDERED_FAULTS = [re.compile(r"[a-z]\.[A-Z][a-z]"), re.compile(r"[A-Za-z][,;:][A-Za-z]")]


def arguments(text):
    """The arguments of a macro line, as troff splits them: blanks separate,
    double quotes group, and "" inside quotes is a quote."""
    args, current, quoted, i = [], None, False, 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            current = (current or "") + text[i : i + 2]
            i += 2
            continue
        if quoted:
            if c == '"' and text[i + 1 : i + 2] == '"':
                current += '"'
                i += 1
            elif c == '"':
                quoted = False
            else:
                current += c
        elif c == '"' and current is None:
            quoted, current = True, ""
        elif c in " \t":
            if current is not None:
                args.append(current)
                current = None
        else:
            current = (current or "") + c
        i += 1
    if current is not None:
        args.append(current)
    return args


def plain(arg):
    """An argument's text with the escapes that matter here resolved: \\& stays
    as a marker, font changes go, special characters become a symbol."""
    arg = re.sub(r"\\f(\(..|\[[^]]*\]|.)", "", arg)
    arg = arg.replace("\\-", "-").replace("\\ ", " ").replace("\\e", "\\")
    arg = re.sub(r"\\(\(..|\[[^]]*\])", "*", arg)
    return arg


def bad_junction(left, right):
    if left.endswith("\\&") or right.startswith("\\&"):
        return False
    left, right = plain(left), plain(right)
    if not left or not right or not right[0].isalnum():
        return False
    last = left[-1]
    return last.isalnum() or last in SEPARATORS or left in CLOSING_PUNCTUATION


def check_source(path):
    faults = []
    with open(path, encoding="utf-8") as page:
        for number, line in enumerate(page, 1):
            match = re.match(r"^[.'](\w+)\s*(.*)$", line.rstrip("\n"))
            if not match or match.group(1) not in ALTERNATING:
                continue
            args = arguments(match.group(2))
            for left, right in zip(args, args[1:]):
                if bad_junction(left, right):
                    faults.append(f"{path}:{number}: .{match.group(1)} runs {left!r} and {right!r} together")
    return faults


def check_rendered(path):
    environment = dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="")
    rendered = subprocess.run(["man", "-l", path], capture_output=True, text=True, env=environment, check=True)
    faults = []
    for number, line in enumerate(rendered.stdout.splitlines(), 1):
        text = re.sub(r".\x08", "", line)
        for word in text.split():
            if any(pattern.search(word) for pattern in RENDERED_FAULTS):
                faults.append(f"{path}: rendered line {number}: words run together in {word!r}")
    warnings = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", path], capture_output=True, text=True)
    faults += [f"{path}: groff: {w}" for w in warnings.stderr.splitlines()]
    return faults


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    faults = []
    for path in sys.argv[1:]:
        faults += check_source(path) + check_rendered(path)
    print("\n".join(faults) if faults else f"{' '.join(sys.argv[1:])}: no words run together")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
