#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for SECONDS (default 60).
#
#   fuzz/run_fuzzers.sh [SECONDS]
#
# Environment:
#   FUZZ_BUILD_DIR     build directory (default: build-fuzz/ under the project root)
#   FUZZ_ARTIFACT_DIR  where crash, leak and timeout reproducers go
#                      (default: $FUZZ_BUILD_DIR/artifacts)
#   FUZZ_JOBS          parallel build jobs (default 2)
#
# Each target runs on a copy of its checked-in corpus in a temporary
# directory, so new inputs never land in fuzz/corpus/.  Exits non-zero when a
# target crashes, leaks, trips a sanitizer or breaks a checked invariant.
set -u -o pipefail

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "run_fuzzers.sh: SECONDS must be a positive integer, got '$seconds'" >&2; exit 2 ;;
esac
if [ "$seconds" -lt 1 ]; then
  echo "run_fuzzers.sh: SECONDS must be at least 1" >&2
  exit 2
fi

fuzz_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$fuzz_dir/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
artifacts="${FUZZ_ARTIFACT_DIR:-$build/artifacts}"
jobs="${FUZZ_JOBS:-2}"

cxx="${CXX:-clang++-14}"
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "run_fuzzers.sh: $cxx not found: install the Debian packages clang-14 and libclang-rt-14-dev" \
       "(apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 2
fi

echo "== building fuzz targets in $build"
mkdir -p "$build"
if ! CXX="$cxx" cmake -S "$root" -B "$build" -DQUESTRAND_FUZZ=ON -DQUESTRAND_TESTS=OFF >"$build/configure.log" 2>&1; then
  cat "$build/configure.log" >&2
  echo "run_fuzzers.sh: configuring the fuzz build failed (a build directory configured with another compiler needs a fresh FUZZ_BUILD_DIR)" >&2
  exit 2
fi
if ! cmake --build "$build" -j "$jobs" --target fuzz_problem_input fuzz_restart; then
  echo "run_fuzzers.sh: building the fuzz targets failed" >&2
  exit 2
fi

mkdir -p "$artifacts"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
work="$(mktemp -d "${TMPDIR:-/tmp}/questrand-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

status=0
summary=""
run_target() {
  local target="$1" corpus="$2"
  shift 2
  local exe="$build/fuzz/$target"
  local copy="$work/$target-corpus"
  local log="$work/$target.log"
  mkdir -p "$copy"
  cp -R "$fuzz_dir/corpus/$corpus/." "$copy/"
  echo "== $target: ${seconds}s on a copy of fuzz/corpus/$corpus"
  (cd "$work" && "$exe" "$copy" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=8192 \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$@") >"$log" 2>&1
  local rc=$?
  local execs
  execs="$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)"
  if [ -z "$execs" ]; then
    execs="$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)"
  fi
  local speed
  speed="$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)"
  if [ "$rc" -eq 0 ]; then
    echo "$target: OK, ${execs:-?} executions (${speed:-?} exec/s)"
    summary+="$target: OK ${execs:-?} executions"$'\n'
  else
    status=1
    echo "$target: FAILED (exit $rc) after ${execs:-?} executions; reproducers under $artifacts" >&2
    # The sanitizer or libFuzzer report: from its first line to the end.
    grep -n -m1 -E '^==[0-9]+==|runtime error:|^fuzz_[a-z_]+: |deadly signal|uncaught exception' "$log" >/dev/null &&
      sed -n "$(grep -n -m1 -E '^==[0-9]+==|runtime error:|^fuzz_[a-z_]+: |deadly signal|uncaught exception' "$log" | cut -d: -f1),\$p" "$log" | head -n 80 >&2 ||
      tail -n 80 "$log" >&2
    summary+="$target: FAILED (exit $rc)"$'\n'
  fi
}

run_target fuzz_problem_input problem_input -dict="$fuzz_dir/problem_input.dict"
run_target fuzz_restart restart -dict="$fuzz_dir/restart.dict"

echo "== summary"
printf '%s' "$summary"
exit "$status"
