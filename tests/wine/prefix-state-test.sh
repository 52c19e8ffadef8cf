#!/usr/bin/env bash
# prefix-state.py report on listings where the same subjects changed in
# each way a listing shows: a value's data, a file's size, a file written
# again at its old size, a link's new target, and a path that changed kind.
#
#   prefix-state-test.sh PYTHON
set -euo pipefail
state="$(dirname "$0")/prefix-state.py"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

cat >"$dir/before" <<'TEXT'
file d C:\kept
file d C:\turned
file f C:\grown.txt 10 1700000000
file f C:\same.txt 7 1700000000
file l C:\link -> C:\old
reg HKLM\Key :: "value" = "1"
TEXT
cat >"$dir/after" <<'TEXT'
file d C:\kept
file f C:\grown.txt 12 1700000100
file f C:\same.txt 7 1700000100
file f C:\turned 3 1700000100
file l C:\link -> C:\new
reg HKLM\Key :: "value" = "2"
TEXT
cat >"$dir/expected" <<'TEXT'
Changed (5):
  file          C:\grown.txt: 10 bytes -> 12 bytes
  link          C:\link: -> C:\new, before -> C:\old
  file          C:\same.txt: rewritten, 7 bytes as before
  C:\turned: was file d C:\turned, is file f C:\turned 3 1700000100
  registry value HKLM\Key  "value": "1" -> "2"
TEXT
"$1" "$state" report "$dir/before" "$dir/after" >"$dir/report"
diff -u "$dir/expected" "$dir/report"
