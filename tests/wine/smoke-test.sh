#!/usr/bin/env bash
# Runs wine_smoke.exe in a copy of the template prefix and checks what came
# back through each channel: the exit code, and the file it wrote.
set -euo pipefail
source "$WINE_ENV_SH"
trap wine_cleanup EXIT

exe=${1:?usage: smoke-test.sh WINE_SMOKE_EXE}
prefix=$WINE_CASE_DIR/prefix
out=$WINE_CASE_DIR/out.txt
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

wine_start_x
wine_copy_prefix "$WINE_TEMPLATE" "$prefix"
rm -f "$out"

start=$SECONDS
rc=0
wine_run "$prefix" 120 "$exe" "$(wine_winpath "$out")" "hello from wine" || rc=$?
echo "program run: $((SECONDS - start)) s"
((rc == 42)) || fail "exit code $rc, expected 42"

# The text round trip and a 32-bit prefix (no SysWOW64 folder).
expected=$'hello from wine\r\nwow64=none\r\n'
if [[ ! -f $out ]]; then
  fail "$out was not written"
elif ! cmp -s "$out" <(printf '%s' "$expected"); then
  fail "unexpected contents of $out:"
  od -c "$out" >&2
fi

# A different outcome must come back as a different code: no arguments is a
# usage error (2), so the 42 above is the program's own answer.
rc=0
wine_run "$prefix" 120 "$exe" || rc=$?
((rc == 2)) || fail "usage error gave exit code $rc, expected 2"

start=$SECONDS
wine_wait "$prefix" || fail "wineserver did not exit"
echo "wineserver exit: $((SECONDS - start)) s"

if ((failures == 0)); then
  wine_remove_prefix "$prefix"
  echo "wine smoke test passed"
fi
exit $((failures > 0))
