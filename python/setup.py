"""Builds the package quelmo for pip (see pyproject.toml): the pure Python
modules, the compiled part from the program's own sources, the version from
src/common/version.h, and the example files inside the package.

Everything it needs comes from Debian; what is missing is named at once, with
the package that brings it, before anything is compiled."""

import os
import pathlib
import re
import shutil
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent
TOP = HERE.parent


def missing_tools():
    """What the build lacks, as (what, Debian package) pairs."""
    missing = []
    for module, package in (("setuptools", "python3-setuptools"), ("wheel", "python3-wheel"),
                            ("pybind11", "python3-pybind11 pybind11-dev")):
        try:
            __import__(module)
        except ImportError:
            missing.append((f"the Python module {module}", package))
    headers = sysconfig.get_paths().get("include") or ""
    if not os.path.isfile(os.path.join(headers, "Python.h")):
        missing.append(("the Python headers (Python.h)", "python3-dev"))
    compiler = (os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++").split()[0]
    if shutil.which(compiler) is None:
        missing.append((f"a C++20 compiler ({compiler})", "g++"))
    return missing


def refuse_when_missing():
    missing = missing_tools()
    if missing:
        packages = " ".join(dict.fromkeys(p for _, p in missing))
        sys.exit("quelmo cannot be built: " + "; ".join(what for what, _ in missing) + " missing.\n"
                 f"Install the Debian packages: apt-get install {packages}\n"
                 "(scripts/install-deps.sh installs them), then run pip with --no-build-isolation again.")


def version():
    """The version triple of src/common/version.h, which quelmo --version prints."""
    text = (TOP / "src" / "common" / "version.h").read_text()
    parts = [re.search(rf"kVersion{part}\s*=\s*(\d+)", text) for part in ("Major", "Minor", "Patch")]
    if not all(parts):
        sys.exit(f"{TOP / 'src/common/version.h'}: no version triple")
    return ".".join(str(int(p.group(1))) for p in parts)


def extension_sources():
    lines = (HERE / "extension-sources.txt").read_text().splitlines()
    # setuptools takes only paths relative to this file's directory.
    sources = [os.path.relpath(TOP / line.strip(), HERE) for line in lines if line.strip() and not line.startswith("#")]
    absent = [s for s in sources if not os.path.isfile(HERE / s)]
    if absent:
        sys.exit(f"quelmo cannot be built: the program's sources are missing ({', '.join(absent)}); "
                 "install from a whole source tree")
    return sources


refuse_when_missing()

from pybind11.setup_helpers import Pybind11Extension, build_ext  # noqa: E402
from setuptools import setup  # noqa: E402
from setuptools.command.build_py import build_py  # noqa: E402

VERSION = version()


class build_with_files(build_py):
    """Writes quelmo/_build.py (the version; examples inside the package; the
    program from QUELMO_BIN or the PATH) and copies the example files."""

    def run(self):
        super().run()
        package = pathlib.Path(self.build_lib) / "quelmo"
        (package / "_build.py").write_text(f'# Written by setup.py.\nVERSION = "{VERSION}"\n'
                                           'PROGRAM_DIR = None\nEXAMPLES_DIR = "examples"\n')
        (package / "examples").mkdir(exist_ok=True)
        for name in ("coils-example.txt", "coils-small.txt", "ranges-check.txt", "ranges-example.txt"):
            shutil.copyfile(TOP / "examples" / name, package / "examples" / name)


extension = Pybind11Extension(
    "quelmo._quelmo", extension_sources(), cxx_std=20, include_dirs=[os.path.relpath(TOP / "src", HERE)],
    # The program's order of floating-point operations, bit for bit; a
    # reader's fatal error becomes an exception (src/common/fatal.h).
    extra_compile_args=["-ffp-contract=off"], define_macros=[("QUELMO_FATAL_THROWS", None)])

setup(version=VERSION, ext_modules=[extension], cmdclass={"build_ext": build_ext, "build_py": build_with_files})
