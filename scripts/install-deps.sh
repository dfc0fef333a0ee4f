#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and
# run its tools. Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential clang cmake ninja-build pkg-config git ccache
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libzip-dev zlib1g-dev libtinyxml2-dev
  libeigen3-dev libhwy-dev libboost-graph-dev libcgal-dev libgmp-dev libmpfr-dev
  libcairo2-dev libpng-dev
  libasio-dev libboost-dev nlohmann-json3-dev libplist-dev libturbojpeg0-dev libjpeg62-turbo-dev
  librsvg2-dev libcurl4-openssl-dev libssl-dev libcpp-httplib-dev
  nginx openssl curl python3 iproute2
  doxygen lintian blhc dpkg-dev help2man
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
