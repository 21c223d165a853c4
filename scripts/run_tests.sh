#!/usr/bin/env bash
# Builds questrand and runs every test: the unit tests and reference runs,
# the same suite under AddressSanitizer and UBSan, and each fuzzer for a
# bounded time (FUZZ_SECONDS, default 60).
set -euo pipefail
source "$(dirname "$0")/common.sh"
need cmake cmake
need g++ g++
need python3 python3
need_file /usr/include/gtest/gtest.h libgtest-dev

echo "== build and test (release)"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$jobs"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

echo "== build and test (address and undefined-behaviour sanitizers)"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Release -DQUESTRAND_SANITIZE=ON >/dev/null
cmake --build "$root/build-sanitize" -j"$jobs"
(cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs")

echo "== fuzzers"
need clang++-14 clang-14
fuzzer_lib() { compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; }
if ! fuzzer_lib && ! { install_package libclang-rt-14-dev && fuzzer_lib; }; then
  echo "questrand: the libFuzzer runtime was not found: install the Debian package libclang-rt-14-dev" >&2
  exit 1
fi
bash "$root/fuzz/run_fuzzers.sh" "${FUZZ_SECONDS:-60}"
echo "all tests passed"
