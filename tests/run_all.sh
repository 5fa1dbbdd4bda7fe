#!/bin/sh
# Builds dravik and runs every test twice: once in the release build with
# warnings as errors, once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDRAVIK_WERROR=ON -DDRAVIK_TESTS=ON
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DDRAVIK_WERROR=ON -DDRAVIK_SANITIZE=ON -DDRAVIK_TESTS=ON
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize -j "$jobs" --output-on-failure
