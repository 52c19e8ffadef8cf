#!/usr/bin/env bash
# Round trips of lindorian-setup.exe under Wine. Each case installs the
# package silently into its own copy of the template prefix, checks every
# item in place and nothing else changed, loads the layout by its KLID,
# runs the installed uninstall.exe with the box driver answering OK, and
# checks that the prefix is then as it was before the installation.
#
# Where Wine differs from Windows:
# - Wine rewrites the display and network records on every program start;
#   prefix-state.py leaves them out of every listing.
# - Wine puts its own layout into preload entry "1" whenever a program with
#   windows starts. The template's list already starts with it, and the
#   installer appends after the last entry, so that entry never changes.
# - A fresh prefix has no Keyboard Layouts key, which Windows always has and
#   which would be left behind empty: start_case registers a few layouts.
# - A running program cannot delete its own file (as on Windows): the one
#   thing the round trip leaves is the installed uninstall.exe (see
#   check_removed).
#
#   install-test.sh CASE SETUP_EXE DIST_DIR WINDOWS_TESTS_DIR
#
# WINDOWS_TESTS_DIR holds boxdriver.exe and layout_load.exe.
# Cases: roundtrip, twice, beside, refused, blocked in a 32-bit prefix;
# roundtrip-win64 in a 64-bit one (WINE_ENV_ARCH=win64).
set -euo pipefail
# The checks read their expectations from pipes: the last command of a
# pipeline must run in this shell, or the failures it counts are lost.
shopt -s lastpipe
source "$WINE_ENV_SH"
source "$(dirname "$0")/package.sh"
trap wine_cleanup EXIT

case_name=${1:?usage: install-test.sh CASE SETUP_EXE DIST_DIR WINDOWS_TESTS_DIR}
setup=$2 dist=$3 programs=$4
dir=$WINE_CASE_DIR
prefix=$dir/prefix
failures=0

LAYOUTS='HKLM\System\CurrentControlSet\Control\Keyboard Layouts'
PRELOAD='HKCU\Keyboard Layout\Preload'
MAKER='C:\Program Files\Krelmo'
UNINSTALL="$PKG_INSTALL\\uninstall.exe"
MODULE='C:\windows\system32\ldkeys.dll'
# Each layout module the installer puts in place, and the file it must be.
MODULES=("$MODULE" "$dist/ldkeys.dll")

# On 64-bit Windows the installer, a 32-bit program like the uninstaller,
# puts the folders in Program Files (x86), where ProgramFilesDir in the
# 32-bit view of the registry leads, the module for the processor into the
# system folder and the WOW64 one into SysWOW64.
on_win64() {
  MAKER='C:\Program Files (x86)\Krelmo'
  PKG_INSTALL="$MAKER\\Lindorian"
  UNINSTALL="$PKG_INSTALL\\uninstall.exe"
  MODULES=("$MODULE" "$dist/amd64/ldkeys.dll" 'C:\windows\syswow64\ldkeys.dll' "$dist/wow64/ldkeys.dll")
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Usage: start_case <<EOF registry text EOF
# A fresh prefix with the layout registrations Windows always has, the
# registry text given, and its listing as $dir/machine.txt.
start_case() {
  export LC_ALL=C.UTF-8
  pkg_fresh_case "$dir" "$prefix"
  { pkg_layouts_registry_text; cat; } >"$dir/machine.reg"
  pkg_import "$prefix" "$dir/machine.reg"
  pkg_list "$prefix" "$dir/machine.txt"
}

# Usage: install NAME [EXIT_CODE]
# Runs the installer silently; its listing afterwards is $dir/NAME.txt.
install() {
  local rc=0 start=$SECONDS
  wine_run "$prefix" 120 "$setup" /S || rc=$?
  ((rc == ${2:-0})) || fail "$1: the installer exited with $rc, expected ${2:-0}"
  pkg_list "$prefix" "$dir/$1.txt"
  echo "$1: installer run and listing took $((SECONDS - start)) s"
}

# Usage: install_with_pages NAME EXIT_CODE [DRIVER_ARGS...]
# Runs the installer with its pages, the box driver going through them (or,
# given --refusal TEXT, acknowledging the box with which it refuses).
install_with_pages() {
  local name=$1 expected=$2 start=$SECONDS
  shift 2
  pkg_run_driven "$prefix" "$setup" "$expected" "$programs/boxdriver.exe" "$dir/$name.log" setup "$@" ||
    fail "$name: the installer run did not go as expected"
  pkg_list "$prefix" "$dir/$name.txt"
  echo "$name: installer run with its pages and listing took $((SECONDS - start)) s"
}

# Usage: uninstall NAME
# Runs the installed uninstall.exe with the box driver answering OK.
uninstall() {
  local start=$SECONDS
  pkg_run_uninstaller "$prefix" "$UNINSTALL" "$programs/boxdriver.exe" "$dir/$1.log" ok \
    --window "$UNINSTALL" || fail "$1: the uninstaller run did not go as expected"
  pkg_list "$prefix" "$dir/$1.txt"
  echo "$1: uninstaller run and listing took $((SECONDS - start)) s"
}

# Usage: load_layout KLID
load_layout() {
  local rc=0
  wine_run "$prefix" 120 "$programs/layout_load.exe" "$1" || rc=$?
  ((rc == 0)) || fail "layout_load.exe $1 exited with $rc"
}

# Usage: check_change NAME BEFORE AFTER <<EOF expectations EOF
# The listing AFTER differs from BEFORE exactly as said (see prefix-state.py).
check_change() {
  cat >"$dir/$1.expect"
  pkg_check "$dir/$2.txt" "$dir/$3.txt" "$dir/$1.expect" ||
    fail "$1: the prefix did not change as expected from $2 to $3 (see above)"
}

# Usage: check_tree LISTING SUBJECT <<EOF lines EOF
# What listing LISTING holds about SUBJECT, sizes and times left out.
check_tree() {
  if ! diff -u <(cat) <(pkg_tree "$dir/$1.txt" "$2") >"$dir/tree.diff"; then
    fail "$1: $2 is not as expected (- expected, + found):"
    cat "$dir/tree.diff" >&2
  fi
}

# Usage: check_link 'C:\path\link.lnk' 'C:\target'
check_link() {
  local host
  host=$(pkg_host_path "$prefix" "$1")
  grep -qaF -- "$2" "$host" || fail "$1 does not lead to $2"
}

# Every installed item, in LISTING, for the package's registration KLID:
# the files as built, the shortcuts, the registration (with VALUES, the
# lines after its two fixed values) and the preload list PRELOAD_LINES.
check_installed() {
  local listing=$1 klid=$2 values=$3 preload_lines=$4 name i
  check_tree "$listing" "$MAKER" <<EOF
file d $MAKER
file d $PKG_INSTALL
file f $PKG_INSTALL\\Readme.txt
file f $PKG_INSTALL\\ldkeys-chart.png
file f $PKG_INSTALL\\ldkeys-chart.svg
file f $UNINSTALL
EOF
  for name in uninstall.exe ldkeys-chart.png ldkeys-chart.svg; do
    cmp -s "$dist/$name" "$(pkg_host_path "$prefix" "$PKG_INSTALL\\$name")" ||
      fail "$listing: $PKG_INSTALL\\$name differs from $dist/$name"
  done
  for ((i = 0; i < ${#MODULES[@]}; i += 2)); do
    cmp -s "${MODULES[i + 1]}" "$(pkg_host_path "$prefix" "${MODULES[i]}")" ||
      fail "$listing: ${MODULES[i]} differs from ${MODULES[i + 1]}"
  done
  check_tree "$listing" "$PKG_GROUP" <<EOF
file d $PKG_GROUP
file f $PKG_GROUP\\Keyboard chart.lnk
file f $PKG_GROUP\\Uninstall.lnk
EOF
  check_link "$PKG_GROUP\\Uninstall.lnk" "$UNINSTALL"
  check_link "$PKG_GROUP\\Keyboard chart.lnk" "$PKG_INSTALL\\ldkeys-chart.png"
  { printf 'reg %s\\%s\n' "$LAYOUTS" "$klid"
    printf 'reg %s\\%s :: "Layout File" = "ldkeys.dll"\n' "$LAYOUTS" "$klid"
    [[ -z $values ]] || printf 'reg %s\\%s :: %s\n' "$LAYOUTS" "$klid" "$values"
    printf 'reg %s\\%s :: "Layout Text" = "Lindorian"\n' "$LAYOUTS" "$klid"
  } | check_tree "$listing" "$LAYOUTS\\$klid"
  printf '%s\n' "reg $PRELOAD" "$preload_lines" | check_tree "$listing" "$PRELOAD"
}

# After the uninstaller: the machine as before the installation, but for
# the uninstaller's own image. A running program cannot delete its own
# file, so the installed uninstall.exe stays, and with it the install
# folder and the maker folder around it.
check_removed() {
  echo "new $MAKER" | check_change "$1" machine "$1"
  check_tree "$1" "$MAKER" <<EOF
file d $MAKER
file d $PKG_INSTALL
file f $UNINSTALL
EOF
}

# Usage: installed_items KLID PRELOAD_NAME
# What an installation adds where nothing of the package's was.
installed_items() {
  local i
  for ((i = 0; i < ${#MODULES[@]}; i += 2)); do echo "new ${MODULES[i]}"; done
  cat <<EOF
new $MAKER
new $PKG_GROUP
new $LAYOUTS\\$1
new $PRELOAD :: "$2"
EOF
}

# --- cases ------------------------------------------------------------------

# The package alone: it takes 00000628 and the second preload entry, after
# the layout Wine puts first.
case_roundtrip() {
  start_case </dev/null
  install installed
  installed_items 00000628 2 | check_change installed machine installed
  check_installed installed 00000628 '' \
    "reg $PRELOAD :: \"1\" = \"$(pkg_wine_layout)\"
reg $PRELOAD :: \"2\" = \"00000628\""
  load_layout 00000628
  uninstall removed
  check_removed removed
}

# A second installation over the first, through the installer's pages,
# finds the registration and the preload entry the first one made, and
# changes nothing but the times of the files and shortcuts it writes again;
# one uninstaller run then removes everything.
case_twice() {
  start_case </dev/null
  install first
  install_with_pages second 0
  printf 'rewritten %s\n' "$MAKER" "$PKG_GROUP" "$MODULE" |
    check_change second first second
  uninstall removed
  check_removed removed
}

# Another maker's layout registered as 00000628, and in the user's preload
# list: the package takes 00010628, with a Layout Id one past the highest
# in use (the Dvorak layout's 0002), and the other layout stays untouched
# through installation and removal.
case_beside() {
  start_case <<EOF
[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\00000628]
"Layout File"="ldother.dll"
"Layout Text"="Lindorian (another maker)"

[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]
"2"="00000628"

EOF
  install installed
  { installed_items 00010628 3; echo "keep $LAYOUTS\\00000628"; } |
    check_change installed machine installed
  check_installed installed 00010628 '"Layout Id" = "0003"' \
    "reg $PRELOAD :: \"1\" = \"$(pkg_wine_layout)\"
reg $PRELOAD :: \"2\" = \"00000628\"
reg $PRELOAD :: \"3\" = \"00010628\""
  load_layout 00010628
  uninstall removed
  check_removed removed
}

# The package alone on 64-bit Windows (see on_win64), removed by the
# installed uninstaller under WOW64.
case_roundtrip_win64() {
  on_win64
  case_roundtrip
}

# On a system that is not Windows NT (Wine told to be Windows 98) the
# installer refuses with exit code 2 and changes nothing, silently or with
# a box saying why.
case_refused() {
  start_case <<'EOF'
[HKEY_CURRENT_USER\Software\Wine]
"Version"="win98"

EOF
  install silent 2
  check_change silent machine silent </dev/null
  install_with_pages told 2 --refusal \
    "Lindorian Package 2.10 needs Windows NT, 2000, XP or later. Nothing was installed."
  check_change told machine told </dev/null
}

# A file where the maker folder should be: the installer cannot write the
# install folder, says so with exit code 2, and stops before changing
# anything.
case_blocked() {
  start_case </dev/null
  pkg_put "$prefix" "$MAKER" 'not a folder'
  pkg_list "$prefix" "$dir/machine.txt"
  install blocked 2
  check_change blocked machine blocked </dev/null
}

start=$SECONDS
case $case_name in
  roundtrip) case_roundtrip ;;
  roundtrip-win64) case_roundtrip_win64 ;;
  twice) case_twice ;;
  beside) case_beside ;;
  refused) case_refused ;;
  blocked) case_blocked ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "case $case_name: $((SECONDS - start)) s"

if ((failures == 0)); then
  wine_remove_prefix "$prefix"
  echo "installer case $case_name passed"
fi
exit $((failures > 0))
