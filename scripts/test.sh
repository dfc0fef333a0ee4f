#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: once optimised, once
# under AddressSanitizer and UndefinedBehaviorSanitizer; the threading test also
# runs under ThreadSanitizer. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600

# The threaded test programs (marked TSAN in their CMake lists) run again under
# ThreadSanitizer: the engine client driven from several threads, the platform
# runtime, the SDK tick.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_TSAN=ON \
  -DMARVISTO_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target tsan_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -L tsan --output-on-failure -j "$jobs" --timeout 900

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_SANITIZE=ON \
  -DMARVISTO_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 900
