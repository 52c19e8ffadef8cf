#!/usr/bin/env bash
# Loads ldkeys.dll under Wine with its preferred base already taken, so the
# loader must relocate it, and lets ldkeys_loader.exe walk the live tables.
# Several loader and module pairs run one after the other in one prefix.
#
#   loader-test.sh LDKEYS_LOADER_EXE LDKEYS_DLL [LDKEYS_LOADER_EXE LDKEYS_DLL]...
set -euo pipefail
source "$WINE_ENV_SH"
trap wine_cleanup EXIT

usage="usage: loader-test.sh LDKEYS_LOADER_EXE LDKEYS_DLL [LDKEYS_LOADER_EXE LDKEYS_DLL]..."
(($# >= 2 && $# % 2 == 0)) || { echo "$usage" >&2; exit 2; }
for file; do
  [[ -f $file ]] || { echo "FAIL: $file is missing" >&2; exit 1; }
done

prefix=$WINE_CASE_DIR/prefix
wine_copy_prefix "$WINE_TEMPLATE" "$prefix"
failures=0
while (($#)); do
  exe=$1 dll=$2
  shift 2
  rc=0
  wine_run "$prefix" 120 "$exe" "$(wine_winpath "$dll")" || rc=$?
  ((rc == 0)) || { echo "FAIL: $(basename "$exe") on $dll exited with $rc" >&2; failures=$((failures + 1)); }
done
wine_wait "$prefix" || true
exit $((failures > 0))
