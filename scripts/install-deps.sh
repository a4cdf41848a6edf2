#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that building and testing quelmo
# need and that this machine lacks. Packages already installed are left alone,
# so on a prepared machine this does nothing and needs no network.
#
#   scripts/install-deps.sh          what the program itself needs to build
#   scripts/install-deps.sh test     that, plus what the tests and benchmarks use
#                                    and Open MPI, so that quelmo-mpi is built and tested
set -euo pipefail

# Building the program.
build=(
  g++ cmake make            # C++20 compiler and the build system
  libceres-dev              # Ceres Solver: the least-squares polish (setting polish)
  nlohmann-json3-dev        # nlohmann-json: the result JSON (setting resultjson); the tests read it back
  python3-dev               # the Python headers, for the package's compiled part (python/)
  pybind11-dev              # pybind11, which binds the program's equation and coil reader to Python
  python3-pybind11          # pybind11 for Debian's /usr/bin/python3 (python3 -m pybind11)
  python3-numpy             # the package's arrays (quelmo.inductance)
  python3-pandas            # the package's tables (quelmo.read_coils, quelmo.fit)
  python3-tqdm              # the package's progress bar while quelmo.fit runs (a notebook bar in Jupyter)
  python3-venv              # pip's route: a virtual environment that sees these packages
  python3-setuptools        # pip's route: the build backend of python/pyproject.toml
  python3-wheel             # pip's route: setuptools builds the wheel pip installs with it
)
# Building and running the tests and benchmarks.
test=(
  libgtest-dev              # unit and command-line tests
  libbenchmark-dev          # bench/
  libsimde-dev              # the tests run the AVX-512 walk on SIMDe's emulation where the CPU lacks AVX-512
  clang                     # the Clang build check and the fuzzing harnesses (fuzz/, .ci/fuzz.sh)
  libclang-rt-14-dev        # libFuzzer and the sanitizer runtimes for Clang 14 (fuzz/)
  tmux                      # a real terminal for the test of the progress line
  python3-matplotlib        # tools/quelmo-plot and its test (run with /usr/bin/python3)
  man-db                    # man -l, for the check of the manual page (scripts/check-manpage.py)
  openmpi-bin               # mpirun, to run quelmo-mpi in its tests and benchmark
  libopenmpi-dev            # MPI headers and library, to build quelmo-mpi
  time                      # /usr/bin/time -v: peak memory of a whole run (README, Performance)
  python3-nbclient          # runs examples/fit-your-coils.ipynb in the tests
  python3-ipykernel         # the notebook's kernel
  chromium                  # the report page's test in a real browser (headless)
  chromium-driver           # drives that browser
  python3-selenium          # from Python, through chromium-driver
  python3-pytest            # runs the Python package's tests (python/tests/)
  mypy                      # CI checks the Python package's type hints (mypy --strict)
  pyflakes3                 # CI checks the Python package for unused imports and names
)

wanted=("${build[@]}")
[ "${1:-}" = test ] && wanted+=("${test[@]}")

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
