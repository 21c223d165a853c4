#!/usr/bin/env bash
# Benchmark (not a test) of an accuracy-controlled fit: the shipped
# examples/fit fit as its README runs it,
#
#   questrand fit PROB.INP gel_mid.csv --param diff_gel --scheme second-order --accuracy 0.01
#
# from a cold flow cache (the steady flows of every grid solved) and again
# from a warm one, in a scratch copy of the example.  Prints both wall times
# and the estimate; the target is a cold fit within 30 s on 2 cores.
#
#   bench/fit_accuracy_bench.sh [SCRATCH]      (QUESTRAND_PROGRAM, else build/questrand)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${QUESTRAND_PROGRAM:-$root/build/questrand}
python=${QUESTRAND_PYTHON:-/usr/bin/python3}
scratch=${1:-$(mktemp -d /tmp/questrand-fit-bench.XXXXXX)}
mkdir -p "$scratch"
cp "$root/examples/fit/PROB.INP" "$root/examples/fit/gel_mid.csv" "$scratch/"
cd "$scratch"
export QUESTRAND_PROGRAM=$program PYTHONPATH=$root/python QUESTRAND_FLOW_CACHE=$scratch/flow-cache
rm -rf "$scratch/flow-cache"
for cache in cold warm; do
  began=$("$python" -c "import time; print(time.time())")
  "$python" -m questrand fit PROB.INP gel_mid.csv --param diff_gel --scheme second-order --accuracy 0.01 \
    --json "fit_$cache.json" >"fit_$cache.txt" 2>/dev/null
  ended=$("$python" -c "import time; print(time.time())")
  estimate=$(sed -n 's/^diff_gel  *[^ ]*  *\([^ ]*\).*/\1/p' "fit_$cache.txt")
  state=$(grep -o 'accuracy 1 % .*' "fit_$cache.txt" | head -1)
  printf 'fit, %s flow cache: %.1f s wall, diff_gel %s (%s)\n' "$cache" "$("$python" -c "print($ended - $began)")" "$estimate" "$state"
done
