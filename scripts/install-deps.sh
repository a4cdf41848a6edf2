#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that building and testing quelmo
# need and that this machine lacks. Packages already installed are left alone,
# so on a prepared machine this does nothing and needs no network.
#
#   scripts/install-deps.sh              what the program and the Python package need to build
#   scripts/install-deps.sh PROFILE ...  that, plus the packages of each profile named:
#     plots      quelmo-plot, FitResult.plot() and the report page (matplotlib)
#     mpi        Open MPI, so that quelmo-mpi is built and can be run with mpirun
#     notebook   Jupyter, to open examples/fit-your-coils.ipynb; with the README's
#                virtual environment (./v, or the one QUELMO_VENV names) made,
#                also registers it as the kernel "quelmo"
#     test       everything the tests and benchmarks use: all of the above and more
# It runs apt-get as root, or through sudo for another user.
set -euo pipefail

# Building the program.
build=(
  g++ cmake make            # C++20 compiler and the build system
  libceres-dev              # Ceres Solver: the least-squares polish (setting polish)
  nlohmann-json3-dev        # nlohmann-json: the result JSON (setting resultjson); the tests read it back
  libboost-math-dev         # Boost.Math's chi-square distribution: the p-value of the test of fit (setting uncertainty)
  python3-dev               # the Python headers, for the package's compiled part (python/)
  pybind11-dev              # pybind11, which binds the program's equation and coil reader to Python
  python3-pybind11          # pybind11 for Debian's /usr/bin/python3 (python3 -m pybind11)
  python3-numpy             # the package's arrays (quelmo.inductance)
  python3-pandas            # the package's tables (quelmo.read_coils, quelmo.fit)
  python3-scipy             # the package's distributions (Student's t, chi-square) for predict's intervals
  python3-tqdm              # the package's progress bar while quelmo.fit runs (a notebook bar in Jupyter)
  python3-venv              # pip's route: a virtual environment that sees these packages
  python3-setuptools        # pip's route: the build backend of python/pyproject.toml
  python3-wheel             # pip's route: setuptools builds the wheel pip installs with it
)
# quelmo-plot, FitResult.plot() and the report page.
plots=(
  python3-matplotlib        # the plots (tools/quelmo-plot, quelmo.plots)
)
# quelmo-mpi: the workers as MPI ranks.
mpi=(
  openmpi-bin               # mpirun, to run quelmo-mpi
  libopenmpi-dev            # MPI headers and library, to build quelmo-mpi
)
# The notebook examples/fit-your-coils.ipynb, opened in Jupyter.
notebook=(
  jupyter-notebook          # Jupyter's notebook server and the command jupyter notebook
  python3-ipykernel         # the kernel that runs the notebook's Python, and registers the venv
  python3-matplotlib        # the notebook's plots
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
  poppler-utils             # pdftoppm: the report page's printed PDF as images, to measure its figures
  python3-pytest            # runs the Python package's tests (python/tests/)
  mypy                      # CI checks the Python package's type hints (mypy --strict)
  pyflakes3                 # CI checks the Python package for unused imports and names
)

wanted=("${build[@]}")
for profile in "$@"; do
  case "$profile" in
    plots) wanted+=("${plots[@]}") ;;
    mpi) wanted+=("${mpi[@]}") ;;
    notebook) wanted+=("${notebook[@]}") ;;
    test) wanted+=("${plots[@]}" "${mpi[@]}" "${notebook[@]}" "${test[@]}") ;;
    *) echo "install-deps.sh: unknown profile $profile; known: plots mpi notebook test" >&2; exit 2 ;;
  esac
done

# With the notebook profile, the README's virtual environment becomes a
# Jupyter kernel, so the notebook runs with the quelmo package installed there.
register_kernel() {
  case " $* " in *" notebook "*) ;; *) return 0 ;; esac
  local venv="${QUELMO_VENV:-v}"
  if [ ! -x "$venv/bin/python" ]; then
    echo "install-deps.sh: no virtual environment at $venv (the README's Fits from Python makes it);" \
      "make it, then run scripts/install-deps.sh notebook again to register it as a Jupyter kernel" >&2
    return 0
  fi
  "$venv/bin/python" -m ipykernel install --user --name quelmo --display-name "Python (quelmo, $venv)" >&2
}

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  register_kernel "$@"
  exit 0
fi

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
register_kernel "$@"
