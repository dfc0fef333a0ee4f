#!/usr/bin/env bash
# Builds the Debian packages and checks them with blhc and lintian:
#   bash scripts/package.sh [--update-symbols] [OUT_DIR]      (default: build-pkg/packages)
# libmarvisto1 and libmarvisto-world1 (the shared libraries), libmarvisto-dev (headers,
# CMake package, pkg-config files) and marvisto (the programs). The build installs to /usr,
# so the libraries land in the multiarch directory, and takes its compiler and linker flags
# from dpkg-buildflags with every hardening feature on, as a Debian package build does.
# Exits non-zero when a package cannot be built, a library exports other symbols than its
# symbols file in debian/ lists, a compile or link went without the hardening flags (blhc),
# a package lacks its copyright file, changelog or symbols file, a binary names the build
# tree, or lintian reports an error, a warning or a missing hardening feature; when a package
# marked "Multi-Arch: same" holds a file outside the architecture's library directory, the
# headers and its documents, or -dev's JSON dependency misses the JSON version the library's
# symbols carry; when a host built against the packaged files stops in the library on
# initialising the kit from a thread of its own (the thread checks are a test build's, not
# the package's); and when the two libraries built again in another folder differ from the
# packaged ones by a byte.
#
# --update-symbols first rewrites debian/<package>.symbols from the built libraries, for a
# deliberate change of what they export: a symbol listed before keeps the version it came
# with, a new one gets this version, one no longer exported is dropped.
set -euo pipefail
cd "$(dirname "$0")/.."
update_symbols=0
if [ "${1:-}" = --update-symbols ]; then
  update_symbols=1
  shift
fi
build=build-pkg
out=$(realpath -m "${1:-$build/packages}")

buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
ldflags=$(buildflag LDFLAGS)
config=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
  -DMARVISTO_TESTS=OFF -DMARVISTO_BENCH=OFF -DMARVISTO_WERROR=ON
  # A library in a host's process does not end it for a call made on the wrong thread.
  -DMARVISTO_THREAD_CHECKS=OFF
  # No build folder is written into a binary to be taken out at install, which would leave a
  # gap of the folder name's length in the library's strings.
  -DCMAKE_SKIP_BUILD_RPATH=ON
  -DCMAKE_C_FLAGS="$(buildflag CPPFLAGS) $(buildflag CFLAGS)"
  -DCMAKE_CXX_FLAGS="$(buildflag CPPFLAGS) $(buildflag CXXFLAGS)"
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags"
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags")
cmake -S . -B "$build" "${config[@]}" >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"

# Every compile and link of the build, written as blhc reads a dpkg-buildpackage log (which
# starts after the line naming dpkg-buildpackage), checked for all hardening flags; Debian's
# compilers make position-independent executables by themselves (--debian).
{
  echo "dpkg-buildpackage: info: the commands of $build"
  ninja -C "$build" -t commands
} > "$build/build-commands.log"
blhc --debian --all --arch="$(dpkg-architecture -qDEB_HOST_ARCH)" "$build/build-commands.log" \
  > "$build/blhc.txt" || {
  head -c 4000 "$build/blhc.txt"
  echo "package: compiles or links without the hardening flags (all in $build/blhc.txt)"
  exit 1
}
echo "package: blhc: every compile and link of the build has the hardening flags"

# The symbols files: C++ symbols under their demangled names ((c++) patterns), the rest as they
# are, sorted, so that a change reads as a plain diff.
if [ $update_symbols = 1 ]; then
  version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  mkdir -p debian
  for library in "$build"/deb/*/library; do
    package=$(basename "$(dirname "$library")")
    kept=debian/$package.symbols
    fresh=$(mktemp)
    dpkg-gensymbols -q -p"$package" -v"$version" -e"$(cat "$library")" -O"$fresh"
    tail -n +2 "$fresh" | awk '{print $1}' > "$fresh.names"
    sed 's/@[^@]*$//' "$fresh.names" | c++filt > "$fresh.demangled"
    {
      head -1 "$fresh"
      echo "* Build-Depends-Package: libmarvisto-dev"
      paste -d '\t' "$fresh.names" "$fresh.demangled" |
        awk -F '\t' -v version="$version" -v kept="$kept" '
          BEGIN {
            while ((getline line < kept) > 0) {
              if (line !~ /^ /) continue
              key = line; sub(/ [^ ]+$/, "", key)
              since[key] = line; sub(/^.* /, "", since[key])
            }
          }
          {
            symver = $1; sub(/^.*@/, "@", symver)
            name = $1; sub(/@[^@]*$/, "", name)
            key = (name == $2) ? " " $1 : " (c++)\"" $2 symver "\""
            print key " " ((key in since) ? since[key] : version)
          }' | LC_ALL=C sort -u
    } > "$kept.new"
    mv "$kept.new" "$kept"
    echo "package: $kept: $(grep -c '^ ' "$kept") symbols"
    rm -f "$fresh" "$fresh.names" "$fresh.demangled"
  done
fi

rm -rf "$out" && mkdir -p "$out"
# cpack checks the exported symbols against debian/*.symbols first (cmake/deb_symbols.cmake).
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
  grep -v '^CPack: ' "$out/cpack.log" | head -c 8000
  echo "package: cpack failed (all in $out/cpack.log)"
  exit 1
}
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
  if grep -q "^\./usr/lib/$multiarch/lib.*\.so\.[0-9]" <<<"$files" && ! dpkg-deb -I "$deb" symbols >/dev/null 2>&1; then
    echo "package: $name ships a shared library without a symbols file"
    exit 1
  fi
  # The packages of several architectures that say "Multi-Arch: same" install side by side:
  # each file of theirs lies under the architecture's library directory or is the same on all
  # of them (the headers, copied from the tree, and the documents).
  if [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ]; then
    shared=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | grep -v -e "^\./usr/lib/$multiarch/" \
      -e '^\./usr/include/marvisto/' -e "^\./usr/share/doc/$name/" || true)
    if [ -n "$shared" ]; then
      echo "package: $name says Multi-Arch: same but holds" $shared
      exit 1
    fi
  elif grep -q -e "^\./usr/lib/$multiarch/." -e '^\./usr/include/.' <<<"$files"; then
    echo "package: $name installs libraries or headers without saying Multi-Arch: same"
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

# The library and -dev packages unpacked together, as a host's machine has them installed.
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
for name in libmarvisto1 libmarvisto-world1 libmarvisto-dev; do
  dpkg-deb -x "$out/${name}_"*.deb "$check/root"
done
libdir=$check/root/usr/lib/$multiarch

# The JSON library's version that the ABI tag of the library's symbols carries
# (nlohmann::json_abi_v3_11_2 for 3.11.2) is the one -dev asks for, up to the next release.
json=$(nm -D -C --defined-only "$libdir/libmarvisto.so.1" |
  grep -oE 'json_abi(_[a-z]+)*_v[0-9]+_[0-9]+_[0-9]+' | sed 's/.*_v//; s/_/./g' | sort -u)
dev_depends=$(dpkg-deb -f "$out"/libmarvisto-dev_*.deb Depends)
next=$(awk -F. '{print $1 "." $2 "." $3 + 1}' <<<"$json")
if [ "$(wc -w <<<"$json")" != 1 ] || ! grep -qF "nlohmann-json3-dev (>= $json)" <<<"$dev_depends" ||
   ! grep -qF "nlohmann-json3-dev (<< $next~)" <<<"$dev_depends"; then
  echo "package: the library's symbols carry the JSON ABI of version '$json'; -dev depends on: $dev_depends"
  exit 1
fi
echo "package: libmarvisto-dev asks for the JSON library $json, whose ABI tag the symbols carry"

# A host built against the packaged files through the packaged pkg-config file, initialising
# the kit from a thread of its own: the call belongs to the main thread, and the packaged
# library must not end the host's process for it (a test build stops there).
cat > "$check/host.cc" <<'EOF'
#include <cstdio>
#include <memory>
#include <thread>

#include "MainSDK/marvisto_core.h"
#include "platform/paths.h"
#include "platform/run_loop.h"

int main(int, char** argv) {
  platform::RunLoop::setMainThread();
  platform::Paths::setHome(argv[1]);
  std::shared_ptr<MarvistoCore> core;
  std::thread([&] { core = MarvistoCore::initWithUserHash("package-check", "http://127.0.0.1:9"); }).join();
  if (!core) return 1;
  core->stopSendingPostRequests();
  std::puts("initialised on a thread of the host's own");
  return 0;
}
EOF
# shellcheck disable=SC2046
g++ -std=c++20 -Wall -Wextra -Werror "$check/host.cc" -o "$check/host" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs marvisto)
mkdir "$check/home"
LD_LIBRARY_PATH=$libdir timeout 60 "$check/host" "$check/home" > "$check/host.out" 2>&1 || {
  status=$?
  cat "$check/host.out"
  echo "package: the packaged library ended a host that initialised it from its own thread (exit $status)"
  exit 1
}
echo "package: a host that initialises the packaged library from its own thread runs on"

# The two libraries built again from the tree in another folder: what they install is what the
# packages hold, byte for byte, so nothing in them depends on the folder's path or its length.
# The folder lies beside the first, so that the compiler cache, which keys the objects by the
# sources' paths from the folder, has them all: a configure and two links.
again=$build-again
cmake -S . -B "$again" "${config[@]}" >/dev/null
cmake --build "$again" -j "${JOBS:-$(nproc)}" --target marvisto marvisto_world >/dev/null
for component in Libraries WorldLibraries; do
  DESTDIR=$check/again cmake --install "$again" --component "$component" --strip >/dev/null
done
rebuilt=$(cd "$check/again" && find . -type f -name 'lib*.so.*')
[ "$(wc -w <<<"$rebuilt")" = 2 ] || { echo "package: the libraries built again are" $rebuilt; exit 1; }
for file in $rebuilt; do
  cmp "$check/again/$file" "$check/root/$file" || {
    echo "package: ${file#.} differs when built in $again"
    exit 1
  }
done
echo "package: the libraries built again in another folder are the packaged ones, byte for byte"

# lintian's errors and warnings fail the check, and so do the informational tags of a binary
# built without a hardening feature or a library package without a symbols file; the other
# notes are printed for the record.
lintian --tag-display-limit 0 --display-info "$out"/*.deb 2>/dev/null | tee "$out/lintian.txt" || true
if grep -E '^(E|W): |^I: .*(hardening-no-|no-symbols-control-file)' "$out/lintian.txt" >/dev/null; then
  echo "package: lintian reports errors, warnings or missing hardening or symbols"
  exit 1
fi
echo "package: $(ls "$out"/*.deb | wc -l) packages in $out, lintian: no errors or warnings," \
  "$(grep -c '^I:' "$out/lintian.txt" || true) notes"
