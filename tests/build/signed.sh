#!/usr/bin/env bash
# Checks the signed release that the reproducible check's build made with
# its throwaway certificate (reproducible.sh, test-certificate.sh). Every
# file the build lists as signed (signed-files.txt: unsigned and signed
# path) must
# - verify with osslsigncode against the throwaway authority, and
# - be its unsigned twin plus the certificate table, with a header checksum
#   that matches the signed file (signcompare);
# the signed modules must still read as layouts (kbdinspect check); the
# list must cover every PE file in dist/, Setup's helper and companion, and
# the installer; and every PE file packed in the signed installer, whatever
# the build lists (NSIS's plug-ins too), must verify: unpacked with 7-Zip,
# which reads NSIS installers.
#
#   signed.sh WORK_DIR SIGNCOMPARE KBDINSPECT
set -euo pipefail
work=$(realpath "$1") signcompare=$2 kbdinspect=$3
list=$work/build/signed-files.txt
ca=$work/certificate/ca.pem
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

check_signed() {
  local unsigned=$1 signed=$2 log
  log=$(osslsigncode verify -CAfile "$ca" -in "$signed" 2>&1) ||
    { fail "$signed does not verify against the test authority"; echo "$log" >&2; }
  "$signcompare" "$unsigned" "$signed" || fail "$signed is not $unsigned plus a signature"
  if [[ $signed == */ldkeys.dll ]]; then
    "$kbdinspect" check "$signed" >/dev/null || fail "$signed no longer reads as a layout"
  fi
}

declare -A signed_of
while IFS=$'\t' read -r unsigned signed; do
  signed_of[$unsigned]=$signed
  check_signed "$unsigned" "$signed"
done <"$list"

signed_as() {
  local signed
  for signed in "${signed_of[@]}"; do [[ $signed == *"$1" ]] && return 0; done
  return 1
}
# What must be on the list: each PE file in dist/, signed at the same place
# in dist/signed/ (the installer there packs the signed files, so its
# unsigned twin is not the one in dist/), and Setup's helper and removal
# companion and per-user step, which are not in dist/.
while IFS= read -r -d '' file; do
  head -c 2 "$file" | grep -qx MZ || continue
  signed_as "$work/dist/signed/${file#"$work/dist/"}" || fail "$file has no signed copy in dist/signed/"
done < <(find "$work/dist" -path "$work/dist/signed" -prune -o -type f -print0)
signed_as /ldsetup.dll || fail "Setup's helper is not signed"
signed_as /ldremove.exe || fail "Setup's removal companion is not signed"
signed_as /lduser.exe || fail "Setup's per-user step is not signed"

# 7-Zip names a file by the variable it is unpacked to ($1, $R4, ...), so
# that many share a name: -aou keeps each, renamed.
unpacked=$work/unpacked-setup
rm -rf "$unpacked"
7z x -aou "-o$unpacked" "$work/dist/signed/lindorian-setup.exe" >"$unpacked.log" ||
  fail "7z cannot unpack $work/dist/signed/lindorian-setup.exe (see $unpacked.log)"
packed=0
while IFS= read -r -d '' file; do
  head -c 2 "$file" | grep -qx MZ || continue
  packed=$((packed + 1))
  osslsigncode verify -CAfile "$ca" -in "$file" >/dev/null 2>&1 ||
    fail "the signed installer packs ${file#"$unpacked/"} unsigned"
done < <(find "$unpacked" -type f -print0)
((packed > 0)) || fail "no PE file found in the signed installer"

echo "${#signed_of[@]} signed files and $packed PE files in the installer checked, $failures failures"
exit $((failures > 0))
