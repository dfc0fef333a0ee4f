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

# Only the program written for it runs under ThreadSanitizer: it drives one
# navigation client from several threads at once.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_TSAN=ON \
  -DMARVISTO_BENCH=OFF >/dev/null
if ninja -C build-tsan -t targets all 2>/dev/null | grep -q '^test_tsan:'; then
  cmake --build build-tsan -j "$jobs" --target test_tsan
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./build-tsan/tests/test_tsan
fi

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_SANITIZE=ON \
  -DMARVISTO_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 900
