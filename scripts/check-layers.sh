#!/usr/bin/env bash
# Checks that each layer includes only the layers below it:
#   engine, platform (neither includes the other) < networking < SDK models < SDK < map view.
# The build enforces most of this itself (each library publishes only its own headers, see
# marvisto_include_root in CMakeLists.txt); this script is the second net, and the only one
# for what lives inside one library: the coordinator (sdk/MainSDK) above the SDK's other
# components, and include paths that differ only by case.
# The SDK's models (sdk/MCModels, with sdk/Foundation under them) include no other SDK
# component; the SDK reaches the map view only through the interfaces it declares, and the
# map view never reaches the coordinator. Test-only and internal platform headers stay where
# they belong. Prints every offending line and exits 1 when there is one.
set -uo pipefail
cd "$(dirname "$0")/.."

failed=0

# The SDK's component directories, as includes name them ("MainSDK/main_sdk.h").
sdk_components=$(find sdk -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort | paste -sd'|')
below_models='MCModels|Foundation'
sdk_above_models=$(tr '|' '\n' <<<"$sdk_components" | grep -vxE "$below_models" | paste -sd'|')

# includes DIRS... -- PATTERN: lines of C++ sources under DIRS whose quoted include
# starts with one of PATTERN's directories.
includes() {
  local dirs=() pattern
  while [[ $1 != -- ]]; do
    dirs+=("$1")
    shift
  done
  pattern=$2
  [[ -z $pattern ]] && return 0
  local existing=()
  for d in "${dirs[@]}"; do [[ -e $d ]] && existing+=("$d"); done
  [[ ${#existing[@]} -eq 0 ]] && return 0
  grep -rnE --include='*.h' --include='*.hpp' --include='*.cc' --include='*.cpp' \
    "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($pattern)/" "${existing[@]}"
}

# forbid WHAT DIRS... -- PATTERN
forbid() {
  local what=$1
  shift
  local hits
  hits=$(includes "$@")
  if [[ -n $hits ]]; then
    echo "check-layers: $what:" >&2
    echo "$hits" >&2
    failed=1
  fi
}

forbid "the SDK's models include another SDK component" \
  sdk/MCModels sdk/Foundation -- "$sdk_above_models|sdk|mapview|networking"
forbid "the SDK's foundation includes the models" sdk/Foundation -- "MCModels"
forbid "the SDK includes the map view" sdk -- "mapview"
# The coordinator stands on the SDK's other components, never the other way round: what
# several of them share lives below it (Foundation/, Device/).
sdk_below_coordinator=()
for c in $(tr '|' ' ' <<<"$sdk_components"); do
  [[ $c != MainSDK ]] && sdk_below_coordinator+=("sdk/$c")
done
forbid "an SDK component includes the coordinator" "${sdk_below_coordinator[@]}" -- "MainSDK"
forbid "the map view includes the coordinator" mapview -- "MainSDK"
forbid "the platform or networking includes the SDK or the map view" platform networking -- \
  "$sdk_components|sdk|mapview"
forbid "the platform includes the networking client" platform -- "networking"
forbid "the engine includes a layer above it" engine -- \
  "platform|networking|mapview|sdk|$sdk_components"
forbid "the platform includes the engine" platform -- "server|wifipos"

# Test helpers (platform/testing.h) live in their own library: no production source uses them.
hits=$(grep -rnE --include='*.h' --include='*.cc' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*"platform/testing\.h"' \
  engine platform networking sdk mapview 2>/dev/null | grep -v '^platform/testing\.cc:')
if [[ -n $hits ]]; then
  echo "check-layers: production code includes the platform's test helpers:" >&2
  echo "$hits" >&2
  failed=1
fi

# Internal headers (named *_internal.h, or saying "(internal)" at the top) are included only
# from their own directory.
while IFS= read -r header; do
  dir=$(dirname "$header")
  as_included=${header#sdk/}
  as_included=${as_included#engine/}
  hits=$(grep -rnE --include='*.h' --include='*.cc' --include='*.cpp' \
    "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($header|$as_included)\"" \
    engine platform networking sdk mapview tools tests bench 2>/dev/null | grep -v "^$dir/[^/]*:")
  if [[ -n $hits ]]; then
    echo "check-layers: $header is internal to $dir/:" >&2
    echo "$hits" >&2
    failed=1
  fi
done < <({
  find engine platform networking sdk mapview -name '*_internal.h' 2>/dev/null
  grep -rlE --include='*.h' -m1 '^//.*\(internal\)' engine platform networking sdk mapview 2>/dev/null
} | sort -u)

# Include paths name a directory below an include root (engine/, sdk/, tools/, the top):
# two of them that differ only by case are one directory on a case-insensitive file system.
hits=$(for root in . engine sdk tools; do
  find "$root" -mindepth 1 -maxdepth 1 -type d ! -name '.*' ! -name 'build*' -printf '%f\n'
done | sort -u | sort -f | uniq -di)
if [[ -n $hits ]]; then
  echo "check-layers: include directories that differ only by case:" >&2
  for name in $hits; do
    for root in . engine sdk tools; do
      find "$root" -mindepth 1 -maxdepth 1 -type d -iname "$name" >&2
    done
  done
  failed=1
fi

# No library publishes the whole tree or a whole layer as its include root: each publishes
# its own headers (marvisto_include_root).
hits=$(grep -rnE 'target_include_directories\([^)]*(PUBLIC|INTERFACE)[^)]*\$\{PROJECT_SOURCE_DIR\}(/(engine|sdk|tools))?[[:space:])]' \
  --include=CMakeLists.txt . 2>/dev/null | grep -v '^\./build')
if [[ -n $hits ]]; then
  echo "check-layers: a library publishes more than its own headers:" >&2
  echo "$hits" >&2
  failed=1
fi

# Lower libraries never link the ones above them from another directory's CMake list.
hits=$(grep -rnE 'target_link_libraries\((mv_sdk|mv_sdk_models|mv_platform|mv_networking|engine)[[:space:]]' \
  --include=CMakeLists.txt mapview tools bench tests 2>/dev/null)
if [[ -n $hits ]]; then
  echo "check-layers: a higher layer adds itself to a lower library's links:" >&2
  echo "$hits" >&2
  failed=1
fi

if [[ $failed -ne 0 ]]; then
  exit 1
fi
echo "check-layers: layering holds"
