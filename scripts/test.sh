#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite twice:
# once as released (GCC), once under AddressSanitizer and UndefinedBehaviorSanitizer
# with clang, which also runs the fuzz targets for a bounded number of iterations.
# Tests labelled "big" (files over 4 GiB) and "long" (the full kill loop) are opt-in:
#   ctest --test-dir build -L big   (or -L long)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE "big|long"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLARKFIELD_SANITIZE=ON -DLARKFIELD_FUZZ=ON -DLARKFIELD_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE "big|long|no-sanitizer"
echo "test.sh: all tests passed in both builds"
