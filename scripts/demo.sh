#!/usr/bin/env bash
# The main job: builds the tools and runs the demo on a built-in synthetic venue.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target marvisto-demo
mkdir -p out
exec ./build/tools/marvisto-demo --out out "$@"
