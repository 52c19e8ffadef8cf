#!/usr/bin/env bash
# Loads ldkeys.dll under Wine with its preferred base already taken, so the
# loader must relocate it, and lets ldkeys_loader.exe walk the live tables.
set -euo pipefail
source "$WINE_ENV_SH"
trap wine_cleanup EXIT

exe=${1:?usage: loader-test.sh LDKEYS_LOADER_EXE LDKEYS_DLL}
dll=${2:?usage: loader-test.sh LDKEYS_LOADER_EXE LDKEYS_DLL}
[[ -f $exe ]] || { echo "FAIL: $exe is missing" >&2; exit 1; }
[[ -f $dll ]] || { echo "FAIL: $dll is missing" >&2; exit 1; }

prefix=$WINE_CASE_DIR/prefix
wine_copy_prefix "$WINE_TEMPLATE" "$prefix"
rc=0
wine_run "$prefix" 120 "$exe" "$(wine_winpath "$dll")" || rc=$?
wine_wait "$prefix" || true
((rc == 0)) || echo "FAIL: ldkeys_loader.exe exited with $rc" >&2
exit $rc
