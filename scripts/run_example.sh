#!/usr/bin/env bash
# Builds questrand, runs the main example (examples/instrument) in a scratch
# directory, prints the run's summary, and draws its plots with the Python
# toolkit; prints where the results and the plots are.
set -euo pipefail
source "$(dirname "$0")/common.sh"
need cmake cmake
need g++ g++
need_python_modules numpy:python3-numpy pandas:python3-pandas matplotlib:python3-matplotlib \
  meshio:python3-meshio
# The Python solver module is built when pybind11 is there (installed here as
# root); without it the build says so in one line and goes on.
[ -e "$pybind11_header" ] || install_package pybind11-dev || true
"$debian_python" -c "import pybind11" >/dev/null 2>&1 || install_package python3-pybind11 || true
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DQUESTRAND_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$jobs" --target questrand >/dev/null
work="$(mktemp -d "${TMPDIR:-/tmp}/questrand-example.XXXXXX")"
cp "$root/examples/instrument/PROB.INP" "$work/"
"$root/build/questrand" -C "$work" > "$work/console.txt"
echo
echo "example run finished in $work:"
ls "$work"
echo
echo "plots:"
QUESTRAND_PYTHON="$debian_python" "$root/build/questrand" plot "$work" -o "$work/plots"
