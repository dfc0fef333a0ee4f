#!/usr/bin/env bash
# Compares the dynamic symbols a shared library of the kit defines (demangled, with their
# version node) with the list kept beside this script, so that a change of the exported set
# is a reviewed change:
#   check_exports.sh LIBRARY LIST [--no-state-of NAMESPACE]   fails on any difference
#   check_exports.sh --update LIBRARY LIST                    rewrites LIST from LIBRARY
# --no-state-of also fails when the library holds data of its own in NAMESPACE (its objects,
# exported or not): the world library must drive the kit's platform, not a copy of it whose
# clock, run loops and managers would exist twice.
set -euo pipefail
update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
lib=$1
list=$2
shift 2
state_of=
if [ "${1:-}" = --no-state-of ]; then state_of=$2; fi

# "address type name@@VERSION"; the version nodes themselves are absolute symbols (type A).
exported=$(nm -DC --defined-only "$lib" | sed -E -n 's/^[0-9a-f]+ [^A] //p' | LC_ALL=C sort -u)
if [ "$update" = 1 ]; then
  printf '%s\n' "$exported" > "$list"
  echo "exports: $list rewritten, $(wc -l < "$list") symbols"
  exit 0
fi

name=$(basename "$lib")
if ! difference=$(diff <(LC_ALL=C sort -u "$list") <(printf '%s\n' "$exported")); then
  echo "exports: $name exports a set other than $list ('>' unlisted, '<' listed but missing):"
  printf '%s\n' "$difference" | grep '^[<>]'
  echo "exports: an intended change is made with: $0 --update $lib $list"
  exit 1
fi

if [ -n "$state_of" ]; then
  # Data, bss, read-only and unique objects (and their guard variables) of the namespace.
  state=$(nm -C --defined-only "$lib" | grep -E "^[0-9a-f]+ [bBdDrRuVv] (guard variable for )?$state_of::" || true)
  if [ -n "$state" ]; then
    echo "exports: $name holds state of its own in $state_of:"
    printf '%s\n' "$state"
    exit 1
  fi
fi
echo "exports: $name exports the $(printf '%s\n' "$exported" | wc -l) listed symbols"
