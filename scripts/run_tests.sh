#!/usr/bin/env bash
# Builds questrand and runs every test: the unit tests, the reference runs and
# the Python toolkit's tests (with the Python solver module, which needs
# pybind11), the C++ suite under AddressSanitizer and UBSan, each fuzzer for a bounded
# time (FUZZ_SECONDS, default 60), and a check that the README's two commands,
# run in their order on a fresh clone, find the whole suite.
#
# Every build option the suite relies on is set here, so a build directory
# configured by another script (run_example.sh builds without tests) cannot
# turn the tests off.  ctest fails when it finds no test.
#
# QUESTRAND_LIST_TESTS=1: configure and build the release suite, print the
# number of tests ctest finds, and stop (used by the fresh-clone check).
set -euo pipefail
source "$(dirname "$0")/common.sh"
need cmake cmake
need g++ g++
need python3 python3
need_file /usr/include/gtest/gtest.h libgtest-dev
need_file "$pybind11_header" pybind11-dev
need_python_modules pybind11:python3-pybind11
need_file "$(python_header)" python3-dev
# The fit report's page is rendered in a headless browser when one is there.
command -v chromium >/dev/null 2>&1 || install_package chromium ||
  echo "questrand: chromium not found: the report page's rendering is not tested (apt-get install chromium)" >&2
need snakemake snakemake
need_python_modules numpy:python3-numpy pandas:python3-pandas scipy:python3-scipy \
  matplotlib:python3-matplotlib meshio:python3-meshio pytest:python3-pytest xarray:python3-xarray \
  netCDF4:python3-netcdf4 nbclient:python3-nbclient ipykernel:python3-ipykernel \
  ensurepip:python3-venv pip:python3-pip setuptools:python3-setuptools wheel:python3-wheel emcee:python3-emcee

configure() {  # configure BUILD_DIR EXTRA_OPTIONS...
  local dir="$1"
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQUESTRAND_TESTS=ON -DQUESTRAND_BENCH=OFF \
    -DQUESTRAND_FUZZ=OFF -DQUESTRAND_PYTHON="$python_module" "$@" >/dev/null
}

echo "== build and test (release)"
python_module=ON  # the solver module and its tests (python/tests/test_in_process.py)
configure "$root/build" -DQUESTRAND_SANITIZE=OFF
cmake --build "$root/build" -j"$jobs"
if [ "${QUESTRAND_LIST_TESTS:-0}" = 1 ]; then
  (cd "$root/build" && ctest -N --no-tests=error | sed -n 's/^Total Tests: //p')
  exit 0
fi
(cd "$root/build" && ctest --output-on-failure --no-tests=error -j"$jobs")

echo "== build and test (address and undefined-behaviour sanitizers)"
python_module=OFF  # its tests are the toolkit's, which do not run under the sanitizers
configure "$root/build-sanitize" -DQUESTRAND_SANITIZE=ON
cmake --build "$root/build-sanitize" -j"$jobs"
(cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --no-tests=error -j"$jobs")

echo "== fuzzers"
need clang++-14 clang-14
fuzzer_lib() { compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; }
if ! fuzzer_lib && ! { install_package libclang-rt-14-dev && fuzzer_lib; }; then
  echo "questrand: the libFuzzer runtime was not found: install the Debian package libclang-rt-14-dev" >&2
  exit 1
fi
bash "$root/fuzz/run_fuzzers.sh" "${FUZZ_SECONDS:-60}"

echo "== the README's two commands on a fresh clone"
bash "$root/scripts/check_readme_commands.sh" "$(cd "$root/build" && ctest -N | sed -n 's/^Total Tests: //p')"
echo "all tests passed"
