#!/usr/bin/env bash
# End-to-end tests of uninstall.exe under Wine. Each case prepares a package
# installation in its own copy of the template prefix, runs the uninstaller
# with the box driver answering, and checks the prefix's registry and drive
# afterwards against exactly what should have changed, and Wine's trace of
# the calls whose effects the prefix does not keep.
#
#   uninstall-test.sh CASE UNINSTALL_EXE LDKEYS_DLL BOXDRIVER_EXE [WOW64_LDKEYS_DLL]
#
# Cases: cancel, layout, full-cp950, full-cp1252, linked-folders, path-names
# in a 32-bit prefix; in a 64-bit one (WINE_ENV_ARCH=win64) full-win64,
# where LDKEYS_DLL is the module of the system's architecture and
# WOW64_LDKEYS_DLL the one for 32-bit programs.
set -euo pipefail
# The checks read their expectations from pipes: the last command of a
# pipeline must run in this shell, or the failures it counts are lost.
shopt -s lastpipe
source "$WINE_ENV_SH"
source "$(dirname "$0")/package.sh"
trap wine_cleanup EXIT

case_name=${1:?usage: uninstall-test.sh CASE UNINSTALL_EXE LDKEYS_DLL BOXDRIVER_EXE}
exe=$2 ldkeys=$3 driver=$4 wow64_ldkeys=${5:-}
dir=$WINE_CASE_DIR
prefix=$dir/prefix
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

start_case() {
  export LC_ALL=$1
  if ! locale -a | grep -qix "${LC_ALL/UTF-8/utf8}"; then
    echo "locale $LC_ALL is missing; scripts/install-deps.sh generates it" >&2
    exit 1
  fi
  pkg_fresh_case "$dir" "$prefix"
}

# Usage: run_uninstaller NAME ANSWER
# Runs the uninstaller with the driver answering ANSWER and Wine tracing
# the calls named by pkg_trace_registry_text; the listing before the run is
# $dir/NAME.before, after it $dir/NAME.after, the trace $dir/NAME.log.
run_uninstaller() {
  local name=$1 answer=$2 start=$SECONDS
  pkg_list "$prefix" "$dir/$name.before"
  PKG_UNINSTALL_DEBUG=+relay pkg_run_uninstaller "$prefix" "$exe" "$driver" "$dir/$name.log" \
    "$answer" --window "$(wine_winpath "$exe")" || fail "$name: the run did not go as expected"
  pkg_list "$prefix" "$dir/$name.after"
  echo "$name: uninstaller run and listings took $((SECONDS - start)) s"
}

# Usage: check_state NAME <<EOF expectations EOF (see prefix-state.py)
check_state() {
  cat >"$dir/$1.expect"
  if ! pkg_check "$dir/$1.before" "$dir/$1.after" "$dir/$1.expect"; then
    fail "$1: the prefix did not change as expected (see above)"
  fi
}

# Usage: check_calls NAME <<EOF expected calls EOF
check_calls() {
  if ! diff -u <(cat) <(pkg_traced_calls "$dir/$1.log") >"$dir/$1.calls.diff"; then
    fail "$1: the traced calls differ from the expected ones (- expected, + traced):"
    cat "$dir/$1.calls.diff" >&2
  fi
}

# Usage: font_calls [deletions]
# The font calls are made whether or not the fonts are there; with
# "deletions", each font's file deletion (traced by
# pkg_trace_files_registry_text) follows its broadcast.
font_calls() {
  local file
  for file in ldser.ttf ldfix.ttf; do
    echo "RemoveFontResourceA(\"C:\\\\windows\\\\Fonts\\\\$file\")"
    echo 'broadcast WM_FONTCHANGE'
    [[ ${1:-} != deletions ]] || echo "DeleteFileA(\"C:\\\\windows\\\\Fonts\\\\$file\")"
  done
}

# --- cases ------------------------------------------------------------------

# Without the package, OK still ends with the completion box, and the
# package folders that the uninstaller creates on its way go again: nothing
# changes. Cancel there leaves those folders behind and nothing else; on a
# complete installation it changes nothing at all.
case_cancel() {
  start_case C.UTF-8
  pkg_trace_registry_text >"$dir/trace.reg"
  pkg_import "$prefix" "$dir/trace.reg"
  run_uninstaller nothing ok
  check_state nothing </dev/null
  font_calls | check_calls nothing

  run_uninstaller bare cancel
  check_state bare <<EOF
new C:\\Program Files\\Krelmo
new C:\\Program Files\\Krelmo\\Lindorian
new $PKG_GROUP
EOF
  check_calls bare </dev/null

  pkg_install_files "$prefix" "$ldkeys"
  pkg_registry_text "$(pkg_wine_layout)" >"$dir/install.reg"
  pkg_import "$prefix" "$dir/install.reg"
  run_uninstaller installed cancel
  check_state installed <<EOF
keep C:\\Program Files\\Krelmo\\Lindorian\\ldeudb.tte
keep $PKG_GROUP\\Readme.lnk
keep C:\\windows\\system32\\ldkeys.dll
keep C:\\windows\\Fonts\\ldser.ttf
keep HKLM\\System\\CurrentControlSet\\Control\\Keyboard Layouts\\00000628
keep HKCU\\Keyboard Layout\\Preload
keep HKCU\\EUDC\\950
EOF
  check_calls installed </dev/null
}

# The layout found under its second variant number, taken out of the middle
# of the preload list; nested package folders, and a folder link inside the
# install folder that leads outside it.
case_layout() {
  start_case C.UTF-8
  local install='C:\Program Files\Krelmo\Lindorian'
  pkg_copy "$prefix" "$ldkeys" 'C:\windows\system32\ldkeys.dll'
  pkg_put "$prefix" "$install\\Readme.txt"
  pkg_put "$prefix" "$install\\.version"
  pkg_put "$prefix" "$install\\Docs\\Keyboard chart.html"
  pkg_put "$prefix" "$install\\Docs\\Images\\keys.png"
  pkg_put "$prefix" "$install\\Docs\\Images\\Dead keys\\acute.png"
  pkg_mkdir "$prefix" "$install\\Empty folder"
  pkg_put "$prefix" "$PKG_GROUP\\Readme.lnk"
  pkg_put "$prefix" "$PKG_GROUP\\Help\\Keyboard chart.lnk"
  pkg_put "$prefix" 'C:\Shared Data\notes.txt'
  pkg_put "$prefix" 'C:\Shared Data\Forms\letter.dot'
  pkg_link "$prefix" "$install\\Shared" 'C:\Shared Data'
  { pkg_trace_registry_text; cat <<'EOF'; } >"$dir/install.reg"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00000628]
"Layout File"="kbdother.dll"
"Layout Text"="Another maker's layout"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00010628]
"Layout File"="LDKEYS.DLL"
"Layout Text"="Lindorian"

[HKEY_CURRENT_USER\Keyboard Layout\Preload]
"1"="00000409"
"2"="00010628"
"3"="00000404"
EOF
  pkg_import "$prefix" "$dir/install.reg"
  run_uninstaller layout ok
  # Wine 8 reports the link as a folder with the reparse-point attribute,
  # but RemoveDirectoryA on it fails while the folder it leads to has files
  # (ERROR_DIR_NOT_EMPTY): the link stays, and so do the install folder and
  # the maker folder around it. What matters is that nothing behind the link
  # is touched.
  check_state layout <<EOF
gone HKLM\\System\\CurrentControlSet\\Control\\Keyboard Layouts\\00010628
keep HKLM\\System\\CurrentControlSet\\Control\\Keyboard Layouts\\00000628
keep HKCU\\Keyboard Layout\\Preload :: "1"
set HKCU\\Keyboard Layout\\Preload :: "2" = "00000404"
gone HKCU\\Keyboard Layout\\Preload :: "3"
gone C:\\windows\\system32\\ldkeys.dll
gone $PKG_GROUP
gone $install\\Readme.txt
gone $install\\.version
gone $install\\Docs
gone $install\\Empty folder
keep $install\\Shared
keep C:\\Shared Data
EOF
  font_calls | check_calls layout
}

# The registry text and listing expectations of the complete installation,
# for where a 32-bit installer's files and keys are: as written on 32-bit
# Windows (the default); on 64-bit Windows (installer_view_win64) the
# package's folder in Program Files (x86), and Office's machine-wide key in
# the 32-bit view of the registry, Wow6432Node.
installer_view() { cat; }
installer_view_win64() {
  PKG_INSTALL='C:\Program Files (x86)\Krelmo\Lindorian'
  installer_view() {
    sed 's/\(program files\)\(\\*krelmo\)/\1 (x86)\2/Ig;
         s/^\(keep HKLM\\Software\\\)\(Microsoft\\Office\)/\1Wow6432Node\\\2/'
  }
}

# A complete installation. The package's layout is second in the preload
# list, before another layout of its language, which replaces it. The Kai
# EUDC link belongs to another product; one Ming link differs in letter case.
# Word's start-up folder setting wins over the per-user folder; Excel's
# per-user folder wins over its install root.
install_complete_package() {
  pkg_install_files "$prefix" "$ldkeys"
  pkg_put "$prefix" "$PKG_APPDATA\\Microsoft\\Word\\STARTUP\\Lindorian11.dot"
  pkg_put "$prefix" 'C:\Program Files\Microsoft Office\OFFICE11\XLSTART\Lindorian11.xla'
  pkg_put "$prefix" 'C:\Program Files\Ferrand Type\ferkai.tte'
  {
    pkg_trace_registry_text
    pkg_registry_text "$(pkg_wine_layout)"
    cat <<'EOF'
[HKEY_CURRENT_USER\Keyboard Layout\Preload]
"4"="00000404"

[HKEY_CURRENT_USER\EUDC\950]
"新細明體"="c:\\program files\\krelmo\\lindorian\\LDEUDB.TTE"
"標楷體"="C:\\Program Files\\Ferrand Type\\ferkai.tte"
EOF
  } | installer_view >"$dir/install.reg"
  pkg_import "$prefix" "$dir/install.reg"
}

# What goes in both code pages: all but the EUDC links.
complete_package_expectations() {
  cat <<EOF
gone HKLM\\System\\CurrentControlSet\\Control\\Keyboard Layouts\\00000628
keep HKLM\\System\\CurrentControlSet\\Control\\Keyboard Layouts\\00010628
set HKCU\\Keyboard Layout\\Preload :: "2" = "00010628"
set HKCU\\Keyboard Layout\\Preload :: "3" = "00000404"
gone HKCU\\Keyboard Layout\\Preload :: "4"
gone C:\\windows\\system32\\ldkeys.dll
gone C:\\windows\\Fonts\\ldser.ttf
gone C:\\windows\\Fonts\\ldfix.ttf
gone HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts :: "Lindorian Serif (TrueType)"
gone HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts :: "Lindorian Fixed (TrueType)"
gone C:\\Program Files\\Microsoft Office\\OFFICE11\\STARTUP\\Lindorian11.dot
keep $PKG_APPDATA\\Microsoft\\Word\\STARTUP\\Lindorian11.dot
gone $PKG_APPDATA\\Microsoft\\Excel\\XLSTART\\Lindorian11.xla
keep C:\\Program Files\\Microsoft Office\\OFFICE11\\XLSTART\\Lindorian11.xla
keep HKCU\\Software\\Microsoft\\Office\\11.0
keep HKLM\\Software\\Microsoft\\Office\\11.0
gone $PKG_GROUP
gone C:\\Program Files\\Krelmo
keep C:\\Program Files\\Ferrand Type
EOF
}

complete_package_calls() {
  echo 'LoadKeyboardLayoutA("00010628",00000010)'
  font_calls
}

# With code page 950 the EUDC value names the uninstaller uses are the three
# faces: the links to the package's file go, the other product's stays.
# Names whose second byte in code page 950 is that of "\" (許 B3 5C, 功 A5 5C,
# 蓋 BB 5C) go like any other.
case_full_cp950() {
  start_case zh_TW.UTF-8
  install_complete_package
  pkg_put "$prefix" "$PKG_INSTALL\\許.txt"
  pkg_put "$prefix" "$PKG_INSTALL\\功\\蓋.txt"
  run_uninstaller full ok
  { complete_package_expectations; cat <<'EOF'; } | check_state full
gone HKCU\EUDC\950 :: "細明體"
gone HKCU\EUDC\950 :: "新細明體"
keep HKCU\EUDC\950 :: "標楷體"
keep HKCU\EUDC\950 :: "SystemDefaultEUDCFont"
EOF
  complete_package_calls | check_calls full
}

# With code page 1252 the same bytes name other values: every link stays.
case_full_cp1252() {
  start_case C.UTF-8
  install_complete_package
  run_uninstaller full ok
  { complete_package_expectations; echo 'keep HKCU\EUDC\950'; } | check_state full
  complete_package_calls | check_calls full
}

# The calls of a run that deletes, removes or enumerates nothing but what
# each step always asks for, followed by the folder calls given as
# arguments, in order. Without a Keyboard Layouts key (a fresh prefix has
# none) the layout step stops before the module file.
file_calls() {
  local call
  font_calls deletions
  for call; do
    echo "${call//\\/\\\\}"
  done
}

# The install folder and the program group are links to other folders, kept
# whole: only the links are asked to go. Wine refuses RemoveDirectoryA on a
# link to a folder with files (and on a link to an empty one removes that
# folder instead), so the targets have files, the links stay, and the trace
# shows what the uninstaller asked for. The maker folder is not a link and
# is asked to go, which fails while the link is in it.
case_linked_folders() {
  start_case C.UTF-8
  pkg_put "$prefix" 'C:\Other Vendor\Data\other.txt'
  pkg_put "$prefix" 'C:\Other Vendor\Data\Sub\deep.txt'
  pkg_put "$prefix" 'C:\Other Group\tool.lnk'
  pkg_link "$prefix" "$PKG_INSTALL" 'C:\Other Vendor\Data'
  pkg_link "$prefix" "$PKG_GROUP" 'C:\Other Group'
  pkg_trace_files_registry_text >"$dir/trace.reg"
  pkg_import "$prefix" "$dir/trace.reg"
  run_uninstaller linked ok
  check_state linked <<EOF
keep C:\\Other Vendor
keep C:\\Other Group
keep $PKG_INSTALL
keep $PKG_GROUP
EOF
  file_calls "RemoveDirectoryA(\"$PKG_GROUP\")" "RemoveDirectoryA(\"$PKG_INSTALL\")" \
    'RemoveDirectoryA("C:\Program Files\Krelmo")' | check_calls linked
}

# Names that best-fit mapping to code page 1252 turns into paths: a
# fullwidth reverse solidus comes back as "\", a division slash as "/".
# Joined as they come they would reach C:\x.txt and C:\Victim; those
# entries stay, and so do the folders holding them, while the package's
# ordinary files go.
case_path_names() {
  start_case C.UTF-8
  local up4='..＼..＼..＼..＼' up10='..∕..∕..∕..∕..∕..∕..∕..∕..∕..∕'
  pkg_put "$prefix" 'C:\x.txt'
  pkg_put "$prefix" 'C:\Victim\v.txt'
  pkg_put "$prefix" "$PKG_INSTALL\\Readme.txt"
  pkg_put "$prefix" "$PKG_INSTALL\\a＼${up4}x.txt"
  pkg_put "$prefix" "$PKG_INSTALL\\b＼${up4}Victim\\inside.txt"
  pkg_put "$prefix" "$PKG_GROUP\\Readme.lnk"
  pkg_put "$prefix" "$PKG_GROUP\\c∕${up10}x.txt"
  pkg_put "$prefix" "$PKG_GROUP\\d∕${up10}Victim\\inside.txt"
  pkg_trace_files_registry_text >"$dir/trace.reg"
  pkg_import "$prefix" "$dir/trace.reg"
  run_uninstaller names ok
  check_state names <<EOF
keep C:\\x.txt
keep C:\\Victim
gone $PKG_INSTALL\\Readme.txt
gone $PKG_GROUP\\Readme.lnk
EOF
  file_calls "FindFirstFileA(\"$PKG_GROUP\\*.*\")" "DeleteFileA(\"$PKG_GROUP\\Readme.lnk\")" \
    "RemoveDirectoryA(\"$PKG_GROUP\")" "FindFirstFileA(\"$PKG_INSTALL\\*.*\")" \
    "DeleteFileA(\"$PKG_INSTALL\\Readme.txt\")" "RemoveDirectoryA(\"$PKG_INSTALL\")" \
    'RemoveDirectoryA("C:\Program Files\Krelmo")' | check_calls names
}

# On 64-bit Windows the 32-bit uninstaller runs under WOW64. The installation
# is the complete one as a 32-bit installer leaves it there: the module of
# the system's architecture in the system folder and the WOW64 module in
# SysWOW64, the registry written through the 32-bit view, the package's
# folder in Program Files (x86). Both modules go; everything else changes
# as on 32-bit Windows.
case_full_win64() {
  [[ -f $wow64_ldkeys ]] || { echo "FAIL: no WOW64 module given" >&2; exit 2; }
  ! cmp -s "$ldkeys" "$wow64_ldkeys" || { echo "FAIL: the two modules given are the same file" >&2; exit 2; }
  start_case C.UTF-8
  PKG_REGEDIT='C:\windows\syswow64\regedit.exe'
  installer_view_win64
  pkg_copy "$prefix" "$wow64_ldkeys" 'C:\windows\syswow64\ldkeys.dll'
  install_complete_package
  run_uninstaller full ok
  { complete_package_expectations | installer_view; cat <<'EOF'; } | check_state full
gone C:\windows\syswow64\ldkeys.dll
keep HKCU\EUDC\950
EOF
  complete_package_calls | check_calls full
}

start=$SECONDS
case $case_name in
  cancel) case_cancel ;;
  layout) case_layout ;;
  full-cp950) case_full_cp950 ;;
  full-cp1252) case_full_cp1252 ;;
  linked-folders) case_linked_folders ;;
  path-names) case_path_names ;;
  full-win64) case_full_win64 ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "case $case_name: $((SECONDS - start)) s"

if ((failures == 0)); then
  wine_remove_prefix "$prefix"
  echo "uninstaller case $case_name passed"
fi
exit $((failures > 0))
