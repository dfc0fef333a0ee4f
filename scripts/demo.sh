#!/usr/bin/env bash
# The main job: builds the kit and runs the host demo through the public facade: our
# content server on a free loopback port serves the built-in synthetic venue, the simulated
# world walks it, and the kit downloads, navigates, records, replays and reports.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target marvisto-kit-demo
mkdir -p out
exec ./build/bin/marvisto-kit-demo --out out "$@"
