#!/usr/bin/env bash
# Clones the repository's committed state into a scratch directory, runs the
# README's example command and then its test command there (listing mode),
# and checks that the test command finds the whole suite: EXPECTED tests, as
# many as the suite of this checkout.
#
#   scripts/check_readme_commands.sh EXPECTED
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
expected="${1:?usage: check_readme_commands.sh EXPECTED_TEST_COUNT}"
clone="$(mktemp -d "${TMPDIR:-/tmp}/questrand-clone.XXXXXX")"
trap 'rm -rf "$clone"' EXIT
git clone -q "$root" "$clone/repo"
(cd "$clone/repo" && ./scripts/run_example.sh >/dev/null)
found="$(cd "$clone/repo" && QUESTRAND_LIST_TESTS=1 ./scripts/run_tests.sh 2>/dev/null | tail -n 1)"
if [ "$found" != "$expected" ]; then
  echo "questrand: after the README's example command, its test command finds ${found:-no} tests on a fresh clone, expected $expected" >&2
  exit 1
fi
echo "the README's commands in their order find all $found tests on a fresh clone"
