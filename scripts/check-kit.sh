#!/usr/bin/env bash
# Checks the installed kit as a host application meets it, from a finished build:
#   bash scripts/check-kit.sh [BUILD_DIR]      (default: build)
# Installs into a temporary prefix; compiles every public header on its own there with
# g++ and clang++ (-Wall -Wextra -Werror, C++20); builds and runs examples/host against
# the prefix (not the build tree) on loopback; compiles and runs a tiny program through
# pkg-config; and builds the API reference, where an undocumented public member fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=$(nproc)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
echo "kit: installed into a temporary prefix"

# Each public header alone, against the installed tree only: a header that includes
# something not installed (an engine header, say) fails here.
headers=$(cat "$build/marvisto_public_headers.txt")
for h in $headers; do
  for cxx in g++ clang++; do
    echo "#include \"$h\"" | "$cxx" -x c++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only \
      -I "$prefix/include/marvisto" - || { echo "kit: $h does not compile alone with $cxx"; exit 1; }
  done
done
echo "kit: $(echo "$headers" | wc -w) public headers compile alone with g++ and clang++"

# The example, found through the package config of the prefix.
cmake -S examples/host -B "$work/host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host" -j "$jobs" >/dev/null
timeout 300 "$work/host/marvisto-host" > "$work/host.out" 2>&1 || {
  cat "$work/host.out"
  echo "kit: the example host failed"
  exit 1
}
for expected in "remote copy loaded" "route: " "entered zone" "position floor"; do
  grep -q "$expected" "$work/host.out" || {
    cat "$work/host.out"
    echo "kit: the example host printed no \"$expected\""
    exit 1
  }
done
echo "kit: the example host ran: $(tail -1 "$work/host.out")"

# A host that knows only pkg-config.
cat > "$work/pc.cc" <<'CC'
#include "MainSDK/marvisto_core.h"
#include "MainSDK/marvisto_error.h"
int main() { return MarvistoErrorIsListed(kMarvistoErrorDownload) && !MarvistoCore::mainSDK() ? 0 : 1; }
CC
pcdir=$(dirname "$(find "$prefix" -name marvisto.pc)")
# shellcheck disable=SC2046
g++ -Wall -Wextra -Werror "$work/pc.cc" -o "$work/pc" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs marvisto)
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir marvisto) "$work/pc"
echo "kit: a pkg-config build links and runs"

cmake --build "$build" --target docs
echo "kit: the API reference has every public member documented ($build/docs/html/index.html)"
