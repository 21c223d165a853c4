#!/usr/bin/env bash
# Benchmark of `questrand sweep` (not a test): an eight-run sweep with
# --jobs 1 and with --jobs 2, against running the program directly on the
# same eight problems one after the other (the flow coupled in both, as the
# problems ask; bench/flow_bench.py measures what reusing the steady flow saves).
#
#   bench/sweep_bench.sh [SCRATCH]      (QUESTRAND_PROGRAM, else build/questrand)
#
# Prints the wall times, the speed-up of two cores over one and the time the
# workflow adds per run: the one-core sweep minus the direct runs, and minus
# the program's own time inside the jobs (less sensitive to other load),
# divided by eight (Snakemake's start, its job handling, the job script, the
# summary and the plot); and a second invocation that has nothing to run.
# On a shared machine other load spoils the speed-up: run it on idle cores
# (or, as root, under `nice -n -10`).  Each run is the example instrument on an 82-column
# grid for ten steps, about 7 s on one core of a 2020s laptop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${QUESTRAND_PROGRAM:-$root/build/questrand}
python=${QUESTRAND_PYTHON:-/usr/bin/python3}
[ -x "$program" ] || { echo "sweep_bench: no program at $program (build it, or set QUESTRAND_PROGRAM)" >&2; exit 2; }
command -v snakemake >/dev/null || { echo "sweep_bench: snakemake missing: install the Debian package snakemake" >&2; exit 2; }
scratch=${1:-$(mktemp -d "${TMPDIR:-/tmp}/questrand-sweep-bench.XXXXXX")}
mkdir -p "$scratch"
export PYTHONPATH="$root/python${PYTHONPATH:+:$PYTHONPATH}" QUESTRAND_PROGRAM="$program"

# The base problem, the sweep table and the eight PROB.INP texts for the direct runs.
"$python" - "$root" "$scratch" <<'EOF'
import sys
from pathlib import Path
from questrand import Problem
from questrand.sweep import Sweep
root, scratch = Path(sys.argv[1]), Path(sys.argv[2])
base = Problem.read(root / "examples" / "instrument" / "PROB.INP").replace(
    ni=82, n_flow=16, n_memb=6, n_gel=12, jmon=6, nsteps=10, restart_out=False)
base.write(scratch / "PROB.INP")
rows = ["id,diff_gel"] + [f"g{k},{4e-10 + 1e-10 * k:.3g}" for k in range(8)]
(scratch / "SWEEP.csv").write_text("\n".join(rows) + "\n")
for run in Sweep.from_csv(scratch / "PROB.INP", scratch / "SWEEP.csv").runs:
    d = scratch / "direct" / run.id
    d.mkdir(parents=True, exist_ok=True)
    (d / "PROB.INP").write_text(run.text)
EOF

now() { date +%s.%N; }
load() { cut -d" " -f1 /proc/loadavg; }
echo "load average before: $(load) (the speed-up needs two otherwise idle cores)"
calc() { "$python" -c "print($1)"; }
rm -rf "$scratch/cores1" "$scratch/cores2"

start=$(now)
for d in "$scratch"/direct/*/; do (cd "$d" && "$program" >console.txt 2>stderr.txt); done
direct=$(calc "$(now) - $start")

start=$(now)
"$python" -m questrand sweep "$scratch/PROB.INP" "$scratch/SWEEP.csv" -o "$scratch/cores1" --jobs 1 --flow coupled \
    >"$scratch/cores1.log" 2>&1
cores1=$(calc "$(now) - $start")

start=$(now)
"$python" -m questrand sweep "$scratch/PROB.INP" "$scratch/SWEEP.csv" -o "$scratch/cores2" --jobs 2 --flow coupled \
    >"$scratch/cores2.log" 2>&1
cores2=$(calc "$(now) - $start")

start=$(now)
"$python" -m questrand sweep "$scratch/PROB.INP" "$scratch/SWEEP.csv" -o "$scratch/cores2" --jobs 2 --flow coupled \
    >"$scratch/again.log" 2>&1
again=$(calc "$(now) - $start")

runs_sum=$("$python" -c "import csv,sys; print(sum(float(r['wall_time']) for r in csv.DictReader(open(sys.argv[1]))))" \
    "$scratch/cores1/summary.csv")
printf 'eight runs directly, one after another : %7.2f s\n' "$direct"
printf 'sweep --jobs 1                         : %7.2f s  (program time inside the jobs %.2f s)\n' "$cores1" "$runs_sum"
printf 'sweep --jobs 2                         : %7.2f s\n' "$cores2"
printf 'speed-up, 2 cores over 1               : %7.2f\n' "$(calc "$cores1 / $cores2")"
printf 'overhead per run (cores 1 - direct)/8  : %7.2f s\n' "$(calc "($cores1 - $direct) / 8")"
printf 'overhead per run (cores 1 - program)/8 : %7.2f s  (wall time outside the program, fixed part included)\n' \
    "$(calc "($cores1 - $runs_sum) / 8")"
printf 'second invocation, nothing to run      : %7.2f s  (the fixed part: snakemake start and DAG)\n' "$again"
echo "load average after: $(load); files in $scratch"
