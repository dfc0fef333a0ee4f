#!/usr/bin/env bash
# Builds the Debian packages and checks them with lintian:
#   bash scripts/package.sh [OUT_DIR]      (default: build-pkg/packages)
# libmarvisto1 and libmarvisto-world1 (the shared libraries), libmarvisto-dev (headers,
# CMake package, pkg-config files) and marvisto (the programs). The build installs to /usr,
# so the libraries land in the multiarch directory. Exits non-zero when a package cannot be
# built, a package lacks its copyright file or changelog, a binary names the build tree, or
# lintian reports an error.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-pkg
out=$(realpath -m "${1:-$build/packages}")

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DMARVISTO_TESTS=OFF -DMARVISTO_BENCH=OFF -DMARVISTO_WERROR=ON >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"
rm -rf "$out" && mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
src=$(pwd)
for deb in "$out"/*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  files=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for doc in copyright changelog.gz; do
    grep -qx "./usr/share/doc/$name/$doc" <<<"$files" || {
      echo "package: $name has no /usr/share/doc/$name/$doc"
      exit 1
    }
  done
  if grep -q '^\./usr/lib/lib' <<<"$files"; then
    echo "package: $name installs a library outside /usr/lib/$multiarch"
    exit 1
  fi
  unpacked=$(mktemp -d)
  dpkg-deb -x "$deb" "$unpacked"
  if grep -rlF "$src/" "$unpacked" >/dev/null; then
    echo "package: $name has binaries that name the build tree $src:"
    grep -rlF "$src/" "$unpacked"
    rm -rf "$unpacked"
    exit 1
  fi
  rm -rf "$unpacked"
  echo "package: $(basename "$deb") ($(dpkg-deb -f "$deb" Depends | tr -d '\n'))"
done

# Programs without a development package behind them.
programs_depends=$(dpkg-deb -f "$out"/marvisto_*.deb Depends)
if grep -q -- '-dev' <<<"$programs_depends"; then
  echo "package: the programs depend on a development package: $programs_depends"
  exit 1
fi

# lintian's errors fail the check; its warnings and notes are printed for the record.
lintian --tag-display-limit 0 --display-level ">=warning" "$out"/*.deb | tee "$out/lintian.txt" || true
if grep -q '^E:' "$out/lintian.txt"; then
  echo "package: lintian reports errors"
  exit 1
fi
echo "package: $(ls "$out"/*.deb | wc -l) packages in $out, lintian: $(grep -c '^W:' "$out/lintian.txt" || true) warnings, no errors"
