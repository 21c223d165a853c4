#!/usr/bin/env bash
# Builds questrand and runs the shipped instrument example in a scratch
# directory; prints where the results are.
set -euo pipefail
source "$(dirname "$0")/common.sh"
need cmake cmake
need g++ g++
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DQUESTRAND_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$jobs" --target questrand >/dev/null
work="$(mktemp -d "${TMPDIR:-/tmp}/questrand-example.XXXXXX")"
cp "$root/examples/instrument/PROB.INP" "$work/"
(cd "$work" && "$root/build/questrand" > console.txt)
tail -n 6 "$work/console.txt"
echo
echo "example run finished in $work:"
ls "$work"
