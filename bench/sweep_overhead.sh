#!/usr/bin/env bash
# Benchmark of what the sweep's workflow costs per run (not a test): a sweep
# of many short runs (200 by default; each the reference transient case of the
# tests for three steps, about 20-40 ms of program time) on two cores, made by
# the toolkit of this tree and, with --baseline REV, by the toolkit and
# workflow of commit REV (git archive of python/ and workflow/), in one run of
# this script, so that both see the same machine.
#
#   bench/sweep_overhead.sh [--rows N] [--baseline REV] [--jobs K] [SCRATCH]
#       (QUESTRAND_PROGRAM, else build/questrand)
#
# For each toolkit it prints the wall time of `questrand sweep --cores 2
# --flow coupled`, the sum of the program's own run times (the wall_time
# column of summary.csv), the overhead per run
#
#     (wall time - sum of the program's run times) / N
#
# (the two cores run the programs side by side, so this is what each run
# costs beyond its program, with the command's start, the checks, snakemake
# and the summary spread over the N runs), the wall time per run against the
# program alone, and how many times the program was started with --check and
# to run (a wrapper in front of the program counts them).
#
# Then, as a Slurm job does (each job is snakemake started again on the same
# Snakefile and configuration, for one target: the command line Snakemake's
# Slurm executor submits), K such jobs run one after another in the finished
# sweep: the wall time of one (start, parse, DAG, the run) and the --check
# invocations they made; and a dry run (start, parse and DAG alone).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rows=200 baseline="" jobs=3 scratch=""
while [ $# -gt 0 ]; do
    case $1 in
        --rows) rows=$2; shift 2 ;;
        --baseline) baseline=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        *) scratch=$1; shift ;;
    esac
done
program=${QUESTRAND_PROGRAM:-$root/build/questrand}
python=${QUESTRAND_PYTHON:-/usr/bin/python3}
[ -x "$program" ] || { echo "sweep_overhead: no program at $program (build it, or set QUESTRAND_PROGRAM)" >&2; exit 2; }
"$python" -c "import snakemake" 2>/dev/null || { echo "sweep_overhead: snakemake missing: install the Debian package snakemake" >&2; exit 2; }
scratch=${scratch:-$(mktemp -d "${TMPDIR:-/tmp}/questrand-sweep-overhead.XXXXXX")}
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)

# The counting wrapper: one line per start of the program, "check" or "run".
calls="$scratch/calls.log"
cat >"$scratch/counting-questrand" <<EOF
#!/bin/sh
case " \$* " in *" --check "*) echo check >>"$calls" ;; *) echo run >>"$calls" ;; esac
exec "$program" "\$@"
EOF
chmod +x "$scratch/counting-questrand"
count() { if [ -f "$calls" ]; then grep -c "^$1\$" "$calls" || true; else echo 0; fi; }

# The toolkits: this tree, and the baseline's python/ and workflow/.
trees=("now:$root")
if [ -n "$baseline" ]; then
    rm -rf "$scratch/baseline" && mkdir -p "$scratch/baseline"
    git -C "$root" archive "$baseline" python workflow | tar -x -C "$scratch/baseline"
    trees=("before:$scratch/baseline" "${trees[@]}")
fi

# The base problem and the table of N runs (diff_gel varied).
PYTHONPATH="$root/python" "$python" - "$root" "$scratch" "$rows" <<'EOF'
import sys
from pathlib import Path
from questrand import Problem
root, scratch, rows = Path(sys.argv[1]), Path(sys.argv[2]), int(sys.argv[3])
Problem.read(root / "tests" / "data" / "cases" / "transient_flow_conc" / "PROB.INP") \
    .replace(nsteps=3).write(scratch / "PROB.INP")
lines = ["id,diff_gel"] + [f"r{k:04d},{4e-10 + 1e-12 * k:.6g}" for k in range(rows)]
(scratch / "SWEEP.csv").write_text("\n".join(lines) + "\n")
EOF

now() { date +%s.%N; }
calc() { "$python" -c "print($1)"; }
echo "load average before: $(cut -d' ' -f1 /proc/loadavg) (2 cores; other load inflates every figure)"
declare -A per_run
for entry in "${trees[@]}"; do
    name=${entry%%:*} tree=${entry#*:}
    out="$scratch/out-$name"
    rm -rf "$out" "$calls"
    export PYTHONPATH="$tree/python" QUESTRAND_PROGRAM="$scratch/counting-questrand"
    start=$(now)
    "$python" -m questrand sweep "$scratch/PROB.INP" "$scratch/SWEEP.csv" -o "$out" --cores 2 --flow coupled \
        >"$scratch/$name.log" 2>&1 || { echo "sweep_overhead: the $name sweep failed, see $scratch/$name.log" >&2; exit 1; }
    wall=$(calc "$(now) - $start")
    checks=$(count check) runs=$(count run)
    program_sum=$("$python" -c "import csv,sys; print(sum(float(r['wall_time']) for r in csv.DictReader(open(sys.argv[1]))))" \
        "$out/summary.csv")
    overhead=$(calc "($wall - $program_sum) / $rows")
    per_run[$name]=$overhead
    printf '%-6s sweep of %d runs, 2 cores : %7.1f s wall, program %6.2f s in all (%.3f s a run)\n' \
        "$name" "$rows" "$wall" "$program_sum" "$(calc "$program_sum / $rows")"
    printf '%-6s overhead per run          : %7.3f s  (wall time per run %.3f s = %.1f times the program alone)\n' \
        "$name" "$overhead" "$(calc "$wall / $rows")" "$(calc "$wall / $program_sum")"
    printf '%-6s program started          : %d times with --check, %d times to run\n' "$name" "$checks" "$runs"

    # Slurm-like jobs: snakemake again on the same Snakefile and configuration, one target each.
    rm -f "$calls"
    start=$(now)
    for k in $(seq 0 $((jobs - 1))); do
        id=$(printf 'r%04d' "$k")
        # the command line of a job that Snakemake 7.21's Slurm executor submits
        "$python" -m snakemake --snakefile "$tree/workflow/Snakefile" --target-jobs "run_case:id=$id" \
            --allowed-rules run_case --cores 1 --attempt 1 --force-use-threads --force --keep-target-files \
            --keep-remote --max-inventory-time 0 --nocolor --notemp --no-hooks --nolock --ignore-incomplete \
            --configfiles "$out/sweep.json" --directory "$out" --mode 2 >"$scratch/$name-job$k.log" 2>&1 \
            || { echo "sweep_overhead: job $id failed, see $scratch/$name-job$k.log" >&2; exit 1; }
    done
    job=$(calc "($(now) - $start) / $jobs")
    job_checks=$(count check)
    rm -f "$calls"
    start=$(now)
    "$python" -m snakemake --snakefile "$tree/workflow/Snakefile" --directory "$out" \
        --configfile "$out/sweep.json" --cores 1 --dry-run --quiet >"$scratch/$name-dry.log" 2>&1
    dry=$(calc "$(now) - $start")
    printf '%-6s one job as under Slurm    : %7.2f s (parse, DAG, one run); %d --check in %d jobs, so about %d for %d jobs\n' \
        "$name" "$job" "$job_checks" "$jobs" "$(calc "$job_checks * $rows // $jobs")" "$rows"
    printf '%-6s one parse (dry run)       : %7.2f s, %d --check\n' "$name" "$dry" "$(count check)"
done
if [ -n "$baseline" ]; then
    printf 'overhead per run, now / before: %.3f (%.3f s against %.3f s)\n' \
        "$(calc "${per_run[now]} / ${per_run[before]}")" "${per_run[now]}" "${per_run[before]}"
fi
echo "load average after: $(cut -d' ' -f1 /proc/loadavg); files in $scratch"
