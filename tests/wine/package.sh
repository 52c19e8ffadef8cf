# Package installations in a Wine prefix: put the package's files and
# registry entries in place, list the prefix's state, and compare the state
# before and after the uninstaller ran. Source wine-env.sh first.
#
#   source tests/wine/wine-env.sh
#   source tests/wine/package.sh
#   pkg_put "$prefix" 'C:\Program Files\Krelmo\Lindorian\readme.txt'
#   pkg_import "$prefix" "$dir/install.reg"      # one regedit run
#   pkg_list "$prefix" "$dir/before.txt"
#   ... run the uninstaller ...
#   pkg_list "$prefix" "$dir/after.txt"
#   pkg_check "$dir/before.txt" "$dir/after.txt" "$dir/expect.txt"
#
# Windows paths name places on the prefix's drive C: ('C:\...'). Functions
# return non-zero on failure and say why on stderr.

PKG_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PKG_STATE="$PKG_LIB_DIR/prefix-state.py"
# The Python to run it with: a case runs it a dozen times, and a version
# manager's python3 wrapper takes longer to start than the listing.
PKG_PYTHON=${PKG_PYTHON:-python3}

_pkg_err() { echo "package: $*" >&2; }

# Usage: pkg_host_path PREFIX 'C:\path'
# Prints where a path on the prefix's drive C: lives on the host.
pkg_host_path() {
  local prefix=$1 path=$2
  [[ ${path:0:3} == 'C:\' || ${path:0:3} == 'c:\' ]] || { _pkg_err "not a C: path: $path"; return 1; }
  path=${path:3}
  printf '%s/drive_c/%s\n' "$prefix" "${path//\\//}"
}

# Usage: pkg_user_dir PREFIX
# Prints the Windows path of the prefix's user profile (C:\users\<name>).
pkg_user_dir() {
  local name
  name=$(id -un)
  [[ -d $1/drive_c/users/$name ]] || { _pkg_err "no profile for $name in $1"; return 1; }
  printf 'C:\\users\\%s\n' "$name"
}

# Usage: pkg_put PREFIX 'C:\path\file' [TEXT]
# Creates the file and its folders; the text defaults to a line naming it.
# A file already there is replaced, not written over: it may be the
# template's (wine_copy_prefix).
pkg_put() {
  local host
  host=$(pkg_host_path "$1" "$2") || return 1
  mkdir -p "$(dirname "$host")" && rm -f "$host" || return 1
  printf '%s\r\n' "${3:-${2##*\\}}" >"$host"
}

# Usage: pkg_copy PREFIX HOST_FILE 'C:\path\file'
# Replaces a file already there, as pkg_put does.
pkg_copy() {
  local host
  host=$(pkg_host_path "$1" "$3") || return 1
  mkdir -p "$(dirname "$host")" && cp --remove-destination "$2" "$host"
}

# Usage: pkg_mkdir PREFIX 'C:\path'...
pkg_mkdir() {
  local prefix=$1 path host
  shift
  for path; do
    host=$(pkg_host_path "$prefix" "$path") && mkdir -p "$host" || return 1
  done
}

# Usage: pkg_link PREFIX 'C:\path\link' 'C:\target'
# A folder link as Wine knows it: a relative host symbolic link inside
# drive_c (Wine 8 cannot make junctions or symbolic links itself).
pkg_link() {
  local link target
  link=$(pkg_host_path "$1" "$2") && target=$(pkg_host_path "$1" "$3") || return 1
  mkdir -p "$(dirname "$link")" || return 1
  ln -s "$(realpath -m --relative-to="$(dirname "$link")" "$target")" "$link"
}

# Usage: pkg_import PREFIX REG_TEXT_FILE
# Imports registry entries with one regedit run, in the session that runs
# (wine_session_start), or else in a session of its own that it waits out.
# The file holds .reg sections in UTF-8 without the header line;
# regedit gets it as UTF-16 with a byte order mark, so value names and data
# may use any characters. PKG_REGEDIT names another regedit to run, such as
# the 32-bit one of a 64-bit prefix, which writes what a 32-bit installer
# would: through the 32-bit view of the registry.
pkg_import() {
  local prefix=$1 text=$2 reg=$2.utf16.reg rc=0
  { printf 'Windows Registry Editor Version 5.00\n\n'; cat "$text"; } |
    sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16 >"$reg" || return 1
  wine_run "$prefix" 120 "${PKG_REGEDIT:-regedit}" /s "$(wine_winpath "$reg")" || rc=$?
  wine_session_running "$prefix" || wine_wait "$prefix" || return 1
  ((rc == 0)) || { _pkg_err "regedit failed ($rc) on $text"; return 1; }
}

# Usage: pkg_list PREFIX OUTPUT
# Writes the prefix's listing: in the session that runs, through its
# keeper (wine_registry_hives); otherwise once the prefix is idle and its
# registry on disk.
pkg_list() {
  local hives
  mapfile -t hives < <(wine_registry_hives "$1") && ((${#hives[@]} == 2)) &&
    "$PKG_PYTHON" "$PKG_STATE" list "$1" "${hives[@]}" >"$2"
}

# Usage: pkg_check BEFORE AFTER EXPECT
# Succeeds when the listings differ exactly as EXPECT says (see
# prefix-state.py); otherwise prints the differences and fails.
pkg_check() {
  "$PKG_PYTHON" "$PKG_STATE" check "$1" "$2" "$3"
}

# Usage: pkg_report BEFORE AFTER
pkg_report() {
  "$PKG_PYTHON" "$PKG_STATE" report "$1" "$2"
}

# Usage: pkg_tree LISTING SUBJECT
# Prints the listing's lines about SUBJECT and everything under it, without
# file sizes and times.
pkg_tree() {
  # Only lines that name SUBJECT can be about it: grep finds them in a
  # fraction of the time Python takes to read the whole listing.
  { LC_ALL=C grep -aF -- "$2" "$1" || (($? == 1)); } | "$PKG_PYTHON" "$PKG_STATE" tree /dev/stdin "$2"
}

# Usage: pkg_run_driven PREFIX PROGRAM EXIT_CODE DRIVER_EXE LOG [DRIVER_ARGS...]
# Starts PROGRAM (without arguments) and the box driver side by side in
# PREFIX. PROGRAM's standard output and error (where a Wine trace goes) land
# in LOG. Set PKG_UNINSTALL_DEBUG to give PROGRAM its own WINEDEBUG. Fails
# unless the driver exits with 0 and PROGRAM with EXIT_CODE.
pkg_run_driven() {
  local prefix=$1 program=$2 expected=$3 driver=$4 log=$5 pid rc=0 prc=0
  shift 5
  WINEDEBUG=${PKG_UNINSTALL_DEBUG:-$WINEDEBUG} wine_run "$prefix" 180 "$program" >"$log" 2>&1 &
  pid=$!
  wine_server_ready "$prefix" 60 || rc=1
  ((rc != 0)) || wine_run "$prefix" 180 "$driver" "$@" || rc=$?
  # A driver that gave up leaves the program waiting for an answer.
  ((rc == 0)) || wine_kill "$prefix"
  wait "$pid" || prc=$?
  ((rc == 0)) || _pkg_err "box driver failed with code $rc"
  ((prc == expected)) || _pkg_err "${program##*[/\\]} exited with code $prc, expected $expected"
  ((rc == 0 && prc == expected))
}

# Usage: pkg_run_uninstaller PREFIX UNINSTALL_EXE DRIVER_EXE LOG ANSWER [DRIVER_ARGS...]
# Runs the uninstaller beside the box driver answering ANSWER (ok or
# cancel), as pkg_run_driven does; both must exit with 0.
pkg_run_uninstaller() {
  local prefix=$1 exe=$2 driver=$3 log=$4
  shift 4
  pkg_run_driven "$prefix" "$exe" 0 "$driver" "$log" "$@"
}

# Usage: pkg_await_companion_end PREFIX MAKER_FOLDER
# The removal companion runs from a private folder beside the maker folder
# ('C:\...'), which the system's command interpreter deletes once the
# companion has ended. Waits up to 30 s for it to go; fails if it stays.
pkg_await_companion_end() {
  local parent i
  parent=$(dirname "$(pkg_host_path "$1" "$2")") || return 1
  for ((i = 0; i < 300; i++)); do
    compgen -G "$parent/Lindorian removal *" >/dev/null || return 0
    sleep 0.1
  done
  _pkg_err "the companion's private folder is still there: $(ls "$parent")"
  return 1
}

# --- the package --------------------------------------------------------------

PKG_INSTALL='C:\Program Files\Krelmo\Lindorian'
PKG_FONT_SOURCES=(/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf
                  /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf)

# Usage: pkg_profile_paths PREFIX
# Sets PKG_USER, PKG_APPDATA and PKG_GROUP to the Windows paths of the
# user's profile, application-data folder and the package's program group.
pkg_profile_paths() {
  PKG_USER=$(pkg_user_dir "$1") || return 1
  PKG_APPDATA="$PKG_USER\\AppData\\Roaming"
  PKG_GROUP="$PKG_APPDATA\\Microsoft\\Windows\\Start Menu\\Programs\\Lindorian"
}

# Usage: pkg_fresh_case CASE_DIR PREFIX
# Empties the test case's folder and makes PREFIX in it a fresh copy of the
# template prefix ($WINE_TEMPLATE), on a display of its own (the box driver
# reads the screen), sets the package paths (pkg_profile_paths), and starts
# the session that the case's programs share (wine_session_start): it lasts
# until the case ends it, and its registry is read while it runs.
pkg_fresh_case() {
  local dir=$1 prefix=$2
  wine_remove_prefix "$prefix" && rm -rf "$dir" && mkdir -p "$dir" || return 1
  unset DISPLAY
  wine_start_x && wine_copy_prefix "$WINE_TEMPLATE" "$prefix" && pkg_profile_paths "$prefix" &&
    wine_session_start "$prefix"
}

# Usage: pkg_template_with TEMPLATE NAME < REG_TEXT
# Prints the name of a template prefix made from TEMPLATE with the
# registry text (pkg_import) imported, TEMPLATE.NAME. Cases that all start
# with the same entries copy it instead of each importing them, which
# takes a program under emulation. It is made once, in a session and on a
# display of its own, and made anew when TEMPLATE or the text changed.
# Concurrent callers wait for each other.
pkg_template_with() {
  local base=$1 name=$2 dir text stamp lock rc=0
  base=$(realpath "$base") && dir=$base.$name || return 1
  text=$(cat) || return 1
  stamp="made from $(head -n1 "$base/.template-complete") with $(sha256sum <<<"$text" | cut -c1-16)"
  exec {lock}>"$dir.lock" || return 1
  if ! flock -w 600 "$lock"; then
    _pkg_err "timed out waiting for another build of $dir"
    exec {lock}>&-
    return 1
  fi
  if ! grep -qxF "$stamp" "$dir/.template-complete" 2>/dev/null || ! _wine_template_complete "$dir"; then
    (_pkg_make_template_with "$base" "$dir" "$stamp" <<<"$text") || rc=1
  fi
  exec {lock}>&-
  ((rc == 0)) && echo "$dir"
}

_pkg_make_template_with() {
  local base=$1 dir=$2 stamp=$3 new=$2.new
  trap wine_cleanup EXIT
  unset DISPLAY
  wine_remove_prefix "$new" && wine_remove_prefix "$dir" && wine_start_x || return 1
  wine_copy_prefix "$base" "$new" && cat >"$new.reg" && pkg_import "$new" "$new.reg" || return 1
  rm -f "$new.reg" "$new.reg.utf16.reg"
  cp "$base/.template-complete" "$new/" && echo "$stamp" >>"$new/.template-complete" &&
    mv "$new" "$dir"
}

# Usage: pkg_install_extras PREFIX
# Puts in place the package's files that its installer does not bring: the
# EUDC files in the install folder and the Office add-ins.
pkg_install_extras() {
  local prefix=$1
  pkg_profile_paths "$prefix" || return 1
  pkg_put "$prefix" "$PKG_INSTALL\\ldeudb.tte" 'Ming-style EUDC characters' &&
    pkg_put "$prefix" "$PKG_INSTALL\\ldeuda.tte" 'Kai-style EUDC characters' &&
    pkg_put "$prefix" 'C:\Program Files\Microsoft Office\OFFICE11\STARTUP\Lindorian11.dot' &&
    pkg_put "$prefix" "$PKG_APPDATA\\Microsoft\\Excel\\XLSTART\\Lindorian11.xla"
}

# Usage: pkg_install_files PREFIX LDKEYS_DLL
# Puts every file of a complete installation in place: the layout module,
# the two fonts (any TrueType files serve), the install folder tree and the
# program group, and pkg_install_extras.
pkg_install_files() {
  local prefix=$1 ldkeys=$2
  pkg_install_extras "$prefix" &&
    pkg_copy "$prefix" "$ldkeys" 'C:\windows\system32\ldkeys.dll' &&
    pkg_copy "$prefix" "${PKG_FONT_SOURCES[0]}" 'C:\windows\Fonts\ldser.ttf' &&
    pkg_copy "$prefix" "${PKG_FONT_SOURCES[1]}" 'C:\windows\Fonts\ldfix.ttf' &&
    pkg_put "$prefix" "$PKG_INSTALL\\Readme.txt" &&
    pkg_put "$prefix" "$PKG_INSTALL\\Docs\\Keyboard chart.html" &&
    pkg_put "$prefix" "$PKG_INSTALL\\Docs\\Images\\keys.png" &&
    pkg_put "$prefix" "$PKG_INSTALL\\Templates\\Lindorian11.dot" &&
    pkg_put "$prefix" "$PKG_GROUP\\Readme.lnk" &&
    pkg_put "$prefix" "$PKG_GROUP\\Keyboard chart.lnk" &&
    pkg_put "$prefix" "$PKG_GROUP\\Uninstall.lnk"
}

# Usage: pkg_wine_layout
# Wine puts its own keyboard layout into the first entry of the user's
# preload list each time a program that uses windows starts. Prints that
# layout for the current locale (LC_ALL, LC_CTYPE or LANG), so that prepared
# lists can start with it and only the uninstaller changes them.
pkg_wine_layout() {
  case ${LC_ALL:-${LC_CTYPE:-${LANG:-}}} in
    zh_TW*) echo E0010404 ;;  # the Traditional Chinese input method
    *) echo 00000409 ;;
  esac
}

# Usage: pkg_layouts_registry_text > FILE
# Keyboard layout registrations such as every Windows has, for pkg_import:
# a fresh Wine prefix has no Keyboard Layouts key at all. The one with a
# variant number other than 0000 has its "Layout Id".
pkg_layouts_registry_text() {
  cat <<'EOF'
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00000409]
"Layout File"="KBDUS.DLL"
"Layout Text"="US"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00010409]
"Layout File"="KBDDV.DLL"
"Layout Text"="United States-Dvorak"
"Layout Id"="0002"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00000404]
"Layout File"="KBDUS.DLL"
"Layout Text"="Chinese (Traditional) - US Keyboard"

EOF
}

# Usage: pkg_registry_text FIRST_LAYOUT > FILE
# The registry entries of a complete installation, for pkg_import: the
# layout 00000628 (module ldkeys.dll) second in the user's preload list after
# FIRST_LAYOUT and before another layout of the same language, the fonts,
# and pkg_extras_registry_text.
pkg_registry_text() {
  printf '[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\n"1"="%s"\n"2"="00000628"\n"3"="00010628"\n\n' "$1"
  cat <<'EOF'
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00000628]
"Layout File"="ldkeys.dll"
"Layout Text"="Lindorian"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00010628]
"Layout File"="ldother.dll"
"Layout Text"="Lindorian (another maker)"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Fonts]
"Lindorian Serif (TrueType)"="ldser.ttf"
"Lindorian Fixed (TrueType)"="ldfix.ttf"

EOF
  pkg_extras_registry_text
}

# Usage: pkg_extras_registry_text > FILE
# The registry entries that go with pkg_install_extras, for pkg_import: the
# three EUDC links; Word 2003 with its start-up folder setting and Excel
# 2003.
pkg_extras_registry_text() {
  cat <<'EOF'
[HKEY_CURRENT_USER\EUDC\950]
"細明體"="C:\\Program Files\\Krelmo\\Lindorian\\ldeudb.tte"
"新細明體"="C:\\Program Files\\Krelmo\\Lindorian\\ldeudb.tte"
"標楷體"="C:\\Program Files\\Krelmo\\Lindorian\\ldeuda.tte"
"SystemDefaultEUDCFont"="EUDC.TTE"

[HKEY_CURRENT_USER\Software\Microsoft\Office\11.0\Word\Options]
"STARTUP-PATH"="C:\\Program Files\\Microsoft Office\\OFFICE11\\STARTUP\\"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Office\11.0\Excel\InstallRoot]
"Path"="C:\\Program Files\\Microsoft Office\\OFFICE11\\"

EOF
}

# Registry settings that make Wine trace the calls whose effects the prefix
# does not keep (run the uninstaller with PKG_UNINSTALL_DEBUG=+relay): only
# these functions, and only when the uninstaller itself calls them.
pkg_trace_registry_text() {
  cat <<'EOF'
[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="user32.LoadKeyboardLayoutA;gdi32.RemoveFontResourceA;user32.SendMessageA;user32.SendMessageTimeoutA"
"RelayFromInclude"="uninstall.exe"

EOF
}

# The same, adding the calls that delete, remove and enumerate files and
# folders: these show what the uninstaller asked for even where Wine then
# does something else (or nothing) with a link.
pkg_trace_files_registry_text() {
  pkg_trace_registry_text | sed -E '/^"RelayInclude"/s/"$/;kernel32.DeleteFileA;kernel32.RemoveDirectoryA;kernel32.FindFirstFileA;kernelbase.DeleteFileA;kernelbase.RemoveDirectoryA;kernelbase.FindFirstFileA"/'
}

# Usage: pkg_traced_calls LOG
# The traced calls in the uninstaller's log, one a line, with the string
# arguments shown and the broadcasts of WM_FONTCHANGE (0x1D) to
# HWND_BROADCAST (0xFFFF) named, whichever send call made them.
pkg_traced_calls() {
  sed -nE 's/^[0-9a-f]+:Call [A-Za-z0-9_]+\.([A-Za-z]+)\((.*)\) ret=[0-9a-f]+$/\1(\2)/p' "$1" |
    sed -E 's/[0-9a-f]{8} "/"/g;
            s/^(FindFirstFileA\("([^"\\]|\\.)*"),.*/\1)/;
            s/^SendMessage(Timeout)?A\(0000ffff,0000001d,00000000,00000000.*/broadcast WM_FONTCHANGE/'
}
