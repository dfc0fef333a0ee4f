#!/usr/bin/env bash
# Checks the layering, builds everything and runs the whole test suite twice: once
# optimised (then checks the installed kit), once under AddressSanitizer and
# UndefinedBehaviorSanitizer; the threading test also runs under ThreadSanitizer. The engine and SDK libraries are built with clang
# too, with the lock rules checked. Every build here but the package's keeps the main-thread and
# on-queue checks (MARVISTO_THREAD_CHECKS). Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/check-layers.sh
bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600

# The kit as a host application meets it: installed into a temporary prefix, each public
# header compiled alone with GCC and clang, the example host built against the prefix and
# run on loopback, the README's host run against the installed content server, pkg-config
# builds, and the API reference without undocumented members.
bash scripts/check-kit.sh build
# The Debian packages (libraries, -dev, programs) built from a tree that installs to /usr
# with Debian's hardening flags, checked for their split, their documents and build paths,
# the exported symbols against debian/*.symbols, the flags by blhc, and by lintian; a host
# built against them initialises the kit from its own thread and runs on, and the libraries
# built again in a second folder are the packaged ones byte for byte.
bash scripts/package.sh

# The kit builds with clang as well as GCC: the engine, SDK and map view libraries only
# (no tests), which the compiler cache makes cheap after the first run. There the lock rules
# of the platform, networking, SDK and map view (platform/mutex.h) are checked by the
# compiler, a broken one failing the build (MARVISTO_THREAD_SAFETY).
CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMARVISTO_BENCH=OFF -DMARVISTO_WERROR=ON -DMARVISTO_THREAD_SAFETY=ON >/dev/null
cmake --build build-clang -j "$jobs" --target mv_base mv_routing mv_zones mv_map mv_mesh \
  mv_motion mv_positioning mv_content mv_mqueue mv_platform mv_networking mv_sdk_models mv_sdk \
  mv_mapview

# The threaded test programs (marked TSAN in their CMake lists) run again under
# ThreadSanitizer: the engine client driven from several threads, the platform
# runtime, the SDK tick.
# The sanitizer builds do not make warnings errors: GCC's instrumentation makes it see
# uninitialised values where there are none (-Wmaybe-uninitialized in the standard library's
# strings); the plain, clang and package builds do.
# The sanitizer builds keep line tables only (-g1): their reports name file and line, and
# full debug info would take more than half again as much disk.
sanitizer_flags=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_TSAN=ON \
  -DMARVISTO_BENCH=OFF "${sanitizer_flags[@]}" >/dev/null
cmake --build build-tsan -j "$jobs" --target tsan_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp \
  ctest --test-dir build-tsan -L tsan --output-on-failure -j "$jobs" --timeout 900

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVISTO_SANITIZE=ON \
  -DMARVISTO_BENCH=OFF "${sanitizer_flags[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 900
