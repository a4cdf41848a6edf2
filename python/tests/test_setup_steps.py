"""The README's steps against scripts/install-deps.sh: every command a
section of the README shows (its code blocks) may need only the Debian
packages of the base install and of the profiles that the section names
(`scripts/install-deps.sh PROFILE`), so that no step needs a package its
profile leaves out."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
SCRIPT = (ROOT / "scripts" / "install-deps.sh").read_text()

# What a command or a Python line needs, by the Debian package that brings it.
NEEDS = [
    (r"\bmpirun\b|quelmo-mpi", {"openmpi-bin", "libopenmpi-dev"}),
    (r"quelmo-plot|\.plot\(|import matplotlib|savefig", {"python3-matplotlib"}),
    (r"\bjupyter\b", {"jupyter-notebook", "python3-ipykernel"}),
    (r"/usr/bin/time", {"time"}),
    (r"\bctest\b", {"libgtest-dev", "libbenchmark-dev", "python3-selenium", "python3-nbclient"}),
    (r"\bcmake\b", {"cmake", "g++"}),
    (r"-m venv|pip install", {"python3-venv", "python3-setuptools", "python3-wheel"}),
    (r"import quelmo|quelmo\.", {"python3-numpy", "python3-pandas"}),
    (r"import scipy", {"python3-scipy"}),
    (r"\bman\b", {"man-db"}),
]


def arrays():
    """The package arrays of install-deps.sh, by name."""
    found = {}
    for name, body in re.findall(r"^(\w+)=\(\n(.*?)^\)", SCRIPT, re.M | re.S):
        found[name] = {word for line in body.splitlines() for word in line.split("#")[0].split()}
    return found


def profiles():
    """What `install-deps.sh PROFILE` installs, by profile ('' for none)."""
    packages = arrays()
    cases = dict(re.findall(r"^\s+(\w+)\) wanted\+=\(([^)]*)\)", SCRIPT, re.M))
    result = {"": packages["build"]}
    for profile, body in cases.items():
        result[profile] = packages["build"].union(*(packages[name] for name in re.findall(r"\$\{(\w+)\[@\]\}", body)))
    return result


def sections():
    """(heading, text, code) for each section of the README."""
    parts = re.split(r"^(#{2,3} .*)$", README, flags=re.M)
    for heading, text in zip(parts[1::2], parts[2::2]):
        fenced = re.findall(r"^```\w*\n(.*?)^```", text, re.M | re.S)
        indented = re.findall(r"^(?:    .*\n)+", re.sub(r"^```\w*\n.*?^```", "", text, flags=re.M | re.S), re.M)
        yield heading, text, "\n".join(fenced + indented)


def test_the_script_has_the_profiles_the_readme_names():
    named = set(re.findall(r"install-deps\.sh((?: [a-z]+)+)", README))
    known = profiles()
    for words in named:
        for profile in words.split():
            assert profile in known, f"the README names the profile {profile}, which install-deps.sh lacks"
    assert {"plots", "mpi", "notebook", "test"} <= set(known)
    assert known["test"] >= known["plots"] | known["mpi"] | known["notebook"]


@pytest.mark.parametrize("heading, text, code", list(sections()), ids=lambda v: v if isinstance(v, str) and
                         v.startswith("#") else "")
def test_each_step_needs_only_what_its_profiles_install(heading, text, code):
    known = profiles()
    named = {p for words in re.findall(r"install-deps\.sh((?: [a-z]+)+)", text) for p in words.split()}
    installed = known[""].union(*(known[p] for p in named if p in known))
    for pattern, packages in NEEDS:
        if re.search(pattern, code):
            assert packages <= installed, (f"{heading}: its commands need {sorted(packages - installed)}, which "
                                           f"the profiles it names ({sorted(named) or 'none'}) leave out")


def test_the_readme_names_what_the_script_takes_for_granted():
    assert re.search(r"\bsudo\b", README) and re.search(r"\bgit\b", README)
