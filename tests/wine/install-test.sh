#!/usr/bin/env bash
# Round trips of lindorian-setup.exe under Wine. Each case installs the
# package silently into its own copy of the template prefix, checks every
# item in place and nothing else changed, loads the layout by its KLID,
# checks in Wine's trace that the installer added both fonts to the running
# system and announced them, and its Apps & features entry, removes the
# package through that entry's removal companion or runs the installed
# uninstall.exe by hand, with the box driver answering OK, and checks that
# the prefix is then as it was before the installation, but for what waits
# for the restart, and after the restart exactly so.
#
# Where Wine differs from Windows:
# - Wine rewrites the display and network records on every program start;
#   prefix-state.py leaves them out of every listing.
# - Wine puts its own layout into preload entry "1" whenever a program with
#   windows starts. The template's list already starts with it, and the
#   installer appends after the last entry, so that entry never changes.
# - A fresh prefix has no Keyboard Layouts key, which Windows always has and
#   which would be left behind empty: start_case registers a few layouts.
# - A running program cannot delete its own file (as on Windows): the
#   uninstaller leaves its own file, with the folders around it, for the
#   restart to delete (see check_removed).
# - Wine hands a Unix parent only the low 8 bits of an exit code (3010
#   arrives as 194): run_setup reads the installer's on the Windows side.
# - Wine neither locks a loaded font nor loads layout modules, so nothing
#   is in use by itself: file_holder.exe holds files open as the programs
#   that use them do. Wine carries out the moves waiting for a restart when
#   a new session starts (its first program boots the prefix): a case runs
#   in one session, kept by session_keeper.exe (pkg_fresh_case), which is
#   the time before the restart; its end followed by a new session is the
#   restart (see restart).
#
#   install-test.sh CASE SETUP_EXE DIST_DIR WINDOWS_TESTS_DIR [COMPANION_EXE [WINGET_DIR]]
#
# WINDOWS_TESTS_DIR holds boxdriver.exe, layout_load.exe and
# file_holder.exe. WINGET_DIR, if given, holds the winget manifests of
# SETUP_EXE, whose Apps & features entry check_entry compares with the one
# Setup wrote. Cases: roundtrip, twice, beside, refused, blocked,
# in-use-restart-first, in-use-uninstall-first, reinstall-held,
# reinstall-released in a 32-bit prefix; roundtrip-win64 in a 64-bit one
# (WINE_ENV_ARCH=win64).
set -euo pipefail
# The checks read their expectations from pipes: the last command of a
# pipeline must run in this shell, or the failures it counts are lost.
shopt -s lastpipe
source "$WINE_ENV_SH"
source "$(dirname "$0")/package.sh"
trap wine_cleanup EXIT

case_name=${1:?usage: install-test.sh CASE SETUP_EXE DIST_DIR WINDOWS_TESTS_DIR [COMPANION_EXE]}
setup=$2 dist=$3 programs=$4
# The removal companion the installer packs: the Windows build's, or its
# signed copy for the signed installer.
companion_exe=${5:-$WINDOWS_BUILD_DIR/setup/remove/ldremove.exe}
# The per-user step it packs: the Windows build's, or the signed copy beside
# the signed companion.
user_step_exe=$WINDOWS_BUILD_DIR/setup/user/lduser.exe
[[ -z ${5:-} ]] || user_step_exe=$(dirname "$5")/lduser.exe
winget_dir=${6:-}
dir=$WINE_CASE_DIR
prefix=$dir/prefix
failures=0

LAYOUTS='HKLM\System\CurrentControlSet\Control\Keyboard Layouts'
PRELOAD='HKCU\Keyboard Layout\Preload'
MAKER='C:\Program Files\Krelmo'
UNINSTALL="$PKG_INSTALL\\uninstall.exe"
COMPANION="$PKG_INSTALL\\ldremove.exe"
USER_STEP="$PKG_INSTALL\\lduser.exe"
# The Apps & features entry, in the 32-bit view of the registry.
ENTRY_NAME=Lindorian
ENTRY="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$ENTRY_NAME"
MODULE='C:\windows\system32\ldkeys.dll'
FONTS='C:\windows\Fonts'
FONTS_KEY='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts'
# The list of file operations Wine carries out when the next session starts.
PENDING='HKLM\System\CurrentControlSet\Control\Session Manager :: "PendingFileRenameOperations"'
# Each file the installer puts outside the install folder, and the file it
# must be: the layout module and the fonts.
FONT_PLACES=("$FONTS\\ldser.ttf" "$dist/ldser.ttf" "$FONTS\\ldfix.ttf" "$dist/ldfix.ttf")
PLACED=("$MODULE" "$dist/ldkeys.dll" "${FONT_PLACES[@]}")
# The font registrations, as listings show them.
FONT_VALUES=('"Lindorian Serif (TrueType)" = "ldser.ttf"' '"Lindorian Fixed (TrueType)" = "ldfix.ttf"')
# What a signed-in user's programs hold open while the package is in use:
# the layout module and the serif font.
IN_USE=("$MODULE" "$FONTS\\ldser.ttf")
# The running file_holder.exe, if any.
holder=
# Where the case puts the stand-in for input.dll (start_case), if it does:
# the folder a 32-bit program loads the system's DLLs from.
STANDIN_DIR=
# The package's and another layout's KLID for the other users' hives
# (add_users), where the case has other users.
USERS=
# The mode the installation is for, as its entry records it, and the
# program group it has: the user's (PKG_GROUP) unless the case says.
INSTALL_MODE=CurrentUser
GROUP=
# The programs the last removal left for the restart, which a running
# program cannot delete: uninstall.exe when started by hand; nothing when
# the companion ran (companion_removed).
removal_programs=("$UNINSTALL")
# What a removal changes beyond the package's own items (add_users).
removal_changes=()
# Whether the case has seen Wine's Add/Remove Programs list the entry.
apps_listed=

# On 64-bit Windows the installer, a 32-bit program like the uninstaller,
# puts the folders in Program Files (x86), where ProgramFilesDir in the
# 32-bit view of the registry leads, the module for the processor into the
# system folder and the WOW64 one into SysWOW64.
on_win64() {
  MAKER='C:\Program Files (x86)\Krelmo'
  PKG_INSTALL="$MAKER\\Lindorian"
  UNINSTALL="$PKG_INSTALL\\uninstall.exe"
  COMPANION="$PKG_INSTALL\\ldremove.exe"
  USER_STEP="$PKG_INSTALL\\lduser.exe"
  ENTRY="HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$ENTRY_NAME"
  removal_programs=("$UNINSTALL")
  PLACED=("$MODULE" "$dist/amd64/ldkeys.dll" 'C:\windows\syswow64\ldkeys.dll' "$dist/wow64/ldkeys.dll"
          "${FONT_PLACES[@]}")
  IN_USE=("$MODULE" 'C:\windows\syswow64\ldkeys.dll' "$FONTS\\ldser.ttf")
}

# Prints the Windows path of each file in PLACED.
placed_targets() {
  local i
  for ((i = 0; i < ${#PLACED[@]}; i += 2)); do echo "${PLACED[i]}"; done
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Wine traces the installer's calls that add a font and announce it, and
# the companion's that mount and unmount a user's hive (run with
# WINEDEBUG=+relay), whichever module makes them.
setup_trace_registry_text() {
  cat <<'EOF'
[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="gdi32.AddFontResourceA;user32.SendMessageTimeoutA;advapi32.RegLoadKeyA;advapi32.RegUnLoadKeyA"

EOF
}

# Another product's Apps & features entry, as every Windows has some, in
# the view a 32-bit installer writes (which the package's entry must leave
# as it is).
other_entry_registry_text() {
  local view=
  [[ $WINEARCH != win64 ]] || view='\Wow6432Node'
  printf '[HKEY_LOCAL_MACHINE\\Software%s\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other]\n' "$view"
  printf '"DisplayName"="Another product"\n"UninstallString"="C:\\\\other\\\\remove.exe"\n\n'
}

# Usage: start_case <<EOF registry text EOF
# A fresh prefix with the layout registrations Windows always has, another
# product's Apps & features entry, the installer's trace set up, the
# stand-in for input.dll where the case wants it (STANDIN_DIR), the other
# users where it names the KLIDs for them (USERS, see add_users), the
# registry text given, and its listing as $dir/machine.txt. The first
# three come with a template of their own that every case copies
# (pkg_template_with).
start_case() {
  export LC_ALL=C.UTF-8
  local template
  template=$({ pkg_layouts_registry_text; setup_trace_registry_text; other_entry_registry_text; } |
    pkg_template_with "$WINE_TEMPLATE" install) || exit 1
  WINE_TEMPLATE=$template pkg_fresh_case "$dir" "$prefix"
  [[ -z $STANDIN_DIR ]] || pkg_copy "$prefix" "$programs/input.dll" "$STANDIN_DIR\\input.dll"
  cat >"$dir/machine.reg"
  [[ -z $USERS ]] || add_users $USERS
  [[ ! -s $dir/machine.reg ]] || pkg_import "$prefix" "$dir/machine.reg"
  [[ -z $USERS ]] || mount_users
  pkg_list "$prefix" "$dir/machine.txt"
}

# Usage: list NAME
# Lists the prefix as $dir/NAME.txt, in the session that runs.
list() {
  pkg_list "$prefix" "$dir/$1.txt"
}

# Usage: run_setup NAME EXIT_CODE [SWITCH...]
# Runs the installer silently, with the switches given after /S, traced
# into $dir/NAME.log, in the session that runs; checks its exit code, and
# that it added both fonts for 0 and none for 2. The session's keeper
# starts it and reads the whole exit code (wine_session_run).
run_setup() {
  local code=
  ! WINEDEBUG=+relay wine_session_run "$prefix" 120 "$dir/$1.log" "$setup" /S "${@:3}" ||
    code=$WINE_EXIT_CODE
  [[ $code == "$2" ]] || fail "$1: the installer exited with ${code:-no code}, expected $2"
  take_input_calls "$1"
  case $2 in
    0) check_fonts_added "$1" ldser.ttf ldfix.ttf ;;
    2) check_fonts_added "$1" ;;
  esac
}

# Usage: install NAME [EXIT_CODE [SWITCH...]]
# Runs the installer silently (run_setup, EXIT_CODE 0 by default); its
# listing afterwards is $dir/NAME.txt.
install() {
  local start=$SECONDS
  run_setup "$1" "${2:-0}" "${@:3}"
  list "$1"
  echo "$1: installer run and listing took $((SECONDS - start)) s"
}

# Usage: install_with_pages NAME EXIT_CODE [DRIVER_ARGS...]
# Runs the installer with its pages, the box driver going through them (or,
# given --refusal TEXT, acknowledging the box with which it refuses).
install_with_pages() {
  local name=$1 expected=$2 start=$SECONDS
  shift 2
  PKG_UNINSTALL_DEBUG=+relay pkg_run_driven "$prefix" "$setup" "$expected" \
    "$programs/boxdriver.exe" "$dir/$name.log" setup "$@" ||
    fail "$name: the installer run did not go as expected"
  take_input_calls "$name"
  ((expected != 0)) || check_fonts_added "$name" ldser.ttf ldfix.ttf
  list "$name"
  echo "$name: installer run with its pages and listing took $((SECONDS - start)) s"
}

# Usage: run_uninstaller NAME
# Runs the installed uninstall.exe by hand, with the box driver answering
# OK, in the session that runs if any, and in the system folder, as its
# shortcut started it before there was a removal companion.
run_uninstaller() {
  removal_programs=("$UNINSTALL")
  (cd "$(pkg_host_path "$prefix" 'C:\windows\system32')" &&
    pkg_run_uninstaller "$prefix" "$UNINSTALL" "$programs/boxdriver.exe" "$dir/$1.log" ok \
      --window "$UNINSTALL") || fail "$1: the uninstaller run did not go as expected"
}

# Usage: uninstall NAME
# Runs the installed uninstall.exe (run_uninstaller); its listing
# afterwards is $dir/NAME.txt.
uninstall() {
  local start=$SECONDS
  run_uninstaller "$1"
  list "$1"
  echo "$1: uninstaller run and listing took $((SECONDS - start)) s"
}

# Usage: take_input_calls NAME
# Moves what the stand-in for input.dll recorded since the last time to
# $dir/NAME.calls, so that listings never see its record.
take_input_calls() {
  local log
  [[ -n $STANDIN_DIR ]] || return 0
  log=$(pkg_host_path "$prefix" "$STANDIN_DIR\\InstallLayoutOrTip.log")
  if [[ -f $log ]]; then tr -d '\r' <"$log" >"$dir/$1.calls" && rm "$log"; else : >"$dir/$1.calls"; fi
}

# Usage: check_input_calls NAME [LINE...]
# The stand-in for input.dll recorded exactly these InstallLayoutOrTip
# calls, "FLAGS LLLL:KLID", during NAME.
check_input_calls() {
  local name=$1
  shift
  { (($# == 0)) || printf '%s\n' "$@"; } |
    check_lines "$name: the calls of InstallLayoutOrTip" "$dir/$name.calls"
}

# Usage: run_companion NAME EXIT_CODE ok|cancel|none [ARGUMENT...]
# Runs the installed ldremove.exe as a deployment tool does, reading its
# whole exit code, with the box driver answering uninstall.exe's box (none:
# no box is expected, and none may come). Without ARGUMENTs it gets one it
# does not know, which it ignores; /S removes silently.
run_companion() {
  local name=$1 expected=$2 answer=$3 pid rc=0 code limit=180
  shift 3
  (($#)) || set -- --unknown
  # A silent removal that shows a box waits for nobody: it fails at the
  # limit.
  [[ $answer != none ]] || limit=60
  rm -f "$dir/$name.code"
  (WINEDEBUG=+relay wine_session_run "$prefix" "$limit" "$dir/$name.log" "$COMPANION" "$@" &&
    echo "$WINE_EXIT_CODE" >"$dir/$name.code") &
  pid=$!
  [[ $answer == none ]] ||
    wine_run "$prefix" 180 "$programs/boxdriver.exe" "$answer" --window "$UNINSTALL" || rc=$?
  # A driver that gave up leaves the box waiting for an answer.
  ((rc == 0)) || wine_kill "$prefix"
  wait "$pid" || fail "$name: ldremove.exe did not run (see $name.log)"
  ((rc == 0)) || fail "$name: the box driver failed with code $rc"
  code=$(cat "$dir/$name.code" 2>/dev/null) || true
  [[ $code == "$expected" ]] || fail "$name: ldremove.exe exited with ${code:-no code}, expected $expected"
  take_input_calls "$name"
  [[ $answer == cancel || $expected == 1603 ]] || companion_removed "$name"
}

# Usage: remove_through_apps NAME
# Removes the package as a user does from Wine's Add/Remove Programs,
# which starts the entry's UninstallString and waits for it, with the box
# driver answering OK.
remove_through_apps() {
  local name=$1 pid rc=0
  wine_run "$prefix" 180 uninstaller --remove "$ENTRY_NAME" >"$dir/$name.log" 2>&1 &
  pid=$!
  wine_run "$prefix" 180 "$programs/boxdriver.exe" ok --window "$UNINSTALL" || rc=$?
  ((rc == 0)) || wine_kill "$prefix"
  wait "$pid" || fail "$name: uninstaller --remove failed (see $name.log)"
  ((rc == 0)) || fail "$name: the box driver failed with code $rc"
  take_input_calls "$name"
  companion_removed "$name"
}

# Usage: companion_removed NAME
# The companion moves itself out of the install folder and runs the
# uninstaller from a private folder beside the maker folder, so that
# neither keeps the install folder for the restart; once it has ended, the
# system's command interpreter deletes that folder.
companion_removed() {
  removal_programs=()
  pkg_await_companion_end "$prefix" "$MAKER" || fail "$1: the private folder stayed"
}

# --- other users of the machine -----------------------------------------------

# Two users besides the one running the cases, each with a profile folder
# that ProfileList names and the package's entries in their hive among
# other layouts' entries: Ana is signed in (her hive mounted under
# HKEY_USERS, as Windows does at a sign-in), Ben is not. Ben's own hive
# names a Programs folder outside his profile, where another maker's
# folder Lindorian must stay untouched.
ANA_SID=S-1-5-21-1-2-3-1001
BEN_SID=S-1-5-21-1-2-3-1002
ANA='C:\users\ana'
BEN='C:\users\ben'
ANA_PROGRAMS="$ANA\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"
OTHER_PROGRAMS='C:\Program Files\Other Maker'

# Usage: user_hive_text PROGRAMS PACKAGE_KLID OTHER_KLID
# A user's hive file in Wine's own text format, which RegLoadKey reads,
# with the package's per-user entries among others: the input list, the
# preload list, a substitute of another layout, the per-user step's
# record, the Active Setup copy and the Programs shell folder.
user_hive_text() {
  local programs=${1//\\/\\\\}
  printf 'WINE REGISTRY Version 2\n\n#arch=win32\n\n'
  printf '[Control Panel\\\\International\\\\User Profile\\\\en-US] 1797000000\n'
  printf '"0409:00000409"=dword:00000000\n"0409:%s"=dword:00000001\n"0409:%s"=dword:00000002\n\n' "$2" "$3"
  printf '[Keyboard Layout\\\\Preload] 1797000000\n'
  printf '"1"="00000409"\n"2"="%s"\n"3"="%s"\n"4"="00000404"\n\n' "$2" "$3"
  printf '[Keyboard Layout\\\\Substitutes] 1797000000\n"d0010409"="00010409"\n\n'
  printf '[Software\\\\Krelmo\\\\Lindorian] 1797000000\n"InstalledLayoutOrTip"="0409:%s"\n\n' "$2"
  printf '[Software\\\\Microsoft\\\\Active Setup\\\\Installed Components\\\\Krelmo.Lindorian] 1797000000\n'
  printf '"Version"="2,10"\n\n'
  printf '[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell Folders] 1797000000\n'
  printf '"Programs"="%s"\n' "$programs"
}

# Usage: expand_sz TEXT
# TEXT as the data of a REG_EXPAND_SZ value in a .reg file.
expand_sz() {
  printf 'hex(2):%s' "$(printf '%s\0' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 |
    tr -s ' \n' ',,' | sed 's/^,//; s/,$//')"
}

# Usage: add_users PACKAGE_KLID OTHER_KLID
# Puts Ana and Ben on the machine (see above): their profile folders, hive
# files and groups, and their ProfileList entries added to the case's
# registry text $dir/machine.reg (start_case, given USERS).
add_users() {
  pkg_mkdir "$prefix" "$ANA" "$BEN" || fail "users: no profile folders"
  user_hive_text "$ANA_PROGRAMS" "$1" "$2" >"$(pkg_host_path "$prefix" "$ANA\\NTUSER.DAT")"
  user_hive_text "$OTHER_PROGRAMS" "$1" "$2" >"$(pkg_host_path "$prefix" "$BEN\\NTUSER.DAT")"
  pkg_put "$prefix" "$ANA_PROGRAMS\\Lindorian\\Uninstall.lnk"
  pkg_put "$prefix" "$OTHER_PROGRAMS\\Lindorian\\Other.lnk"
  local list='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\ProfileList'
  printf '[%s\\%s]\n"ProfileImagePath"="C:\\\\users\\\\ana"\n\n[%s\\%s]\n"ProfileImagePath"=%s\n\n' \
    "$list" "$ANA_SID" "$list" "$BEN_SID" "$(expand_sz '%SystemDrive%\users\ben')" >>"$dir/machine.reg"
  removal_changes=("gone $ANA_PROGRAMS\\Lindorian")
}

# Ana signs in: her hive is mounted under HKEY_USERS\<her SID>.
mount_users() {
  wine_run "$prefix" 60 "$programs/hive_mount.exe" "$ANA_SID" "$ANA\\NTUSER.DAT" ||
    fail "users: hive_mount.exe could not mount Ana's hive"
}

# Usage: check_users NAME OTHER_KLID
# After the removal NAME: Ana's hive, still mounted, holds the other
# entries only, in their order, her preload list renumbered without a gap
# (her program group is gone with the rest: check_removed); Ben's hive was
# mounted and unmounted again, and nothing else (Wine keeps no change to
# it, so the host tests show what changes there); the other maker's folder
# Lindorian that Ben's hive names is untouched (check_removed: it was there
# before).
check_users() {
  local name=$1 export=$dir/$1.ana.reg
  rm -f "$export"
  wine_run "$prefix" 60 regedit /e "$(wine_winpath "$export")" "HKEY_USERS\\$ANA_SID" ||
    fail "$name: regedit could not export Ana's hive"
  # The keys that hold values, each with its values, named below the hive.
  iconv -f UTF-16 -t UTF-8 "$export" | tr -d '\r' |
    root="[HKEY_USERS\\$ANA_SID\\" awk '
      BEGIN { root = ENVIRON["root"] }
      index($0, root) == 1 { key = "[" substr($0, length(root) + 1); next }
      /^"/ { if (key != "") print key; key = ""; print }' >"$dir/$name.ana"
  { printf '[Control Panel\\International\\User Profile\\en-US]\n'
    printf '"0409:00000409"=dword:00000000\n"0409:%s"=dword:00000002\n' "$2"
    printf '[Keyboard Layout\\Preload]\n"1"="00000409"\n"2"="%s"\n"3"="00000404"\n' "$2"
    printf '[Keyboard Layout\\Substitutes]\n"d0010409"="00010409"\n'
    printf '[Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\n'
    printf '"Programs"="%s"\n' "${ANA_PROGRAMS//\\/\\\\}"
  } | check_lines "$name: Ana's hive" "$dir/$name.ana"
  pkg_traced_calls "$dir/$name.log" | grep -E '^Reg(Un)?LoadKeyA' |
    sed -E 's/^(Reg(Un)?LoadKeyA)\(80000003,"[^"]*"(,"([^"]*)")?.*/\1 \4/' >"$dir/$name.hives" || true
  printf 'RegLoadKeyA %s\nRegUnLoadKeyA \n' "${BEN//\\/\\\\}\\\\NTUSER.DAT" |
    check_lines "$name: the hives mounted and unmounted" "$dir/$name.hives"
}

# Usage: hold 'C:\file'...
# Starts file_holder.exe on the files and waits until it holds them.
hold() {
  rm -rf "$dir/holder" && mkdir -p "$dir/holder"
  wine_run "$prefix" 900 "$programs/file_holder.exe" "$(wine_winpath "$dir/holder")" "$@" \
    >"$dir/holder.log" 2>&1 &
  holder=$!
  wait_for held || fail "file_holder.exe does not hold $* (see holder.log)"
}

# Holds the files of IN_USE (hold). file_holder.exe is a 32-bit program: on
# 64-bit Windows it reaches the native system folder as sysnative.
hold_in_use() {
  local file files=()
  for file in "${IN_USE[@]}"; do
    [[ $WINEARCH != win64 ]] || file=${file/#'C:\windows\system32\'/'C:\windows\sysnative\'}
    files+=("$file")
  done
  hold "${files[@]}"
}

# Has file_holder.exe let go of its files; the session goes on.
release() {
  touch "$dir/holder/release"
  wait_for released || fail "file_holder.exe did not let go (see holder.log)"
}

# Ends the case's session: file_holder.exe, if it runs, lets go and quits,
# and so does the session's keeper; wineserver writes the registry and
# exits.
end_session() {
  if [[ -n $holder ]]; then
    touch "$dir/holder/release" "$dir/holder/quit"
    wait "$holder" || fail "file_holder.exe failed (see holder.log)"
    holder=
  fi
  wine_session_end "$prefix"
}

# Usage: wait_for SIGNAL
# Waits up to 2 minutes for file_holder.exe to create $dir/holder/SIGNAL.
wait_for() {
  wine_await_file 120 "$holder" "$dir/holder/$1" >/dev/null
}

# Usage: restart NAME
# Restarts the machine as Wine knows it: the session ends, and the first
# program of the next one boots the prefix, which carries out the moves
# waiting for a restart. Its listing afterwards is $dir/NAME.txt.
restart() {
  end_session || fail "$1: the session did not end"
  wine_session_start "$prefix" || fail "$1: no session started after the restart"
  list "$1"
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

# Usage: check_lines WHAT FILE <<EOF lines EOF
# FILE holds exactly the lines given; WHAT says what it is about.
check_lines() {
  if ! diff -u <(cat) "$2" >"$dir/lines.diff"; then
    fail "$1 is not as expected (- expected, + found):"
    cat "$dir/lines.diff" >&2
  fi
}

# Usage: check_tree LISTING SUBJECT <<EOF lines EOF
# What listing LISTING holds about SUBJECT, sizes and times left out.
check_tree() {
  pkg_tree "$dir/$1.txt" "$2" >"$dir/tree.txt"
  check_lines "$1: $2" "$dir/tree.txt"
}

# Usage: check_same NAME 'C:\file' HOST_FILE
check_same() {
  cmp -s "$3" "$(pkg_host_path "$prefix" "$2")" || fail "$1: $2 differs from $3"
}

# Usage: check_fonts_added NAME [FONT...]
# The installer's trace $dir/NAME.log shows that it added exactly these
# fonts of the Fonts folder to the running system, in this order, and then
# announced them once to every window.
check_fonts_added() {
  local name=$1 font
  shift
  # The trace doubles each backslash in a string.
  pkg_traced_calls "$dir/$name.log" | sed 's/\\\\/\\/g' |
    grep -E '^(AddFontResourceA|broadcast WM_FONTCHANGE)' >"$dir/$name.fonts" || true
  {
    for font; do printf 'AddFontResourceA("%s\\%s")\n' "$FONTS" "$font"; done
    (($# == 0)) || echo 'broadcast WM_FONTCHANGE'
  } | check_lines "$name: the fonts added and announced" "$dir/$name.fonts"
}

# Usage: check_link 'C:\path\link.lnk' 'C:\target'
check_link() {
  local host
  host=$(pkg_host_path "$prefix" "$1")
  grep -qaF -- "$2" "$host" || fail "$1 does not lead to $2"
}

# Every installed item, in LISTING, for the package's registration KLID:
# the files as built, the shortcuts, the registration (with VALUES, the
# lines after its two fixed values), the preload list PRELOAD_LINES and the
# font registrations.
check_installed() {
  local listing=$1 klid=$2 values=$3 preload_lines=$4 name i value
  check_tree "$listing" "$MAKER" <<EOF
file d $MAKER
file d $PKG_INSTALL
file f $PKG_INSTALL\\OFL.txt
file f $PKG_INSTALL\\Readme.txt
file f $PKG_INSTALL\\ldkeys-chart.png
file f $PKG_INSTALL\\ldkeys-chart.svg
file f $COMPANION
file f $USER_STEP
file f $UNINSTALL
EOF
  for name in uninstall.exe ldkeys-chart.png ldkeys-chart.svg OFL.txt; do
    check_same "$listing" "$PKG_INSTALL\\$name" "$dist/$name"
  done
  check_same "$listing" "$COMPANION" "$companion_exe"
  check_same "$listing" "$USER_STEP" "$user_step_exe"
  for ((i = 0; i < ${#PLACED[@]}; i += 2)); do
    check_same "$listing" "${PLACED[i]}" "${PLACED[i + 1]}"
  done
  local group=${GROUP:-$PKG_GROUP}
  check_tree "$listing" "$group" <<EOF
file d $group
file f $group\\Keyboard chart.lnk
file f $group\\Uninstall.lnk
EOF
  check_link "$group\\Uninstall.lnk" "$COMPANION"
  check_link "$group\\Keyboard chart.lnk" "$PKG_INSTALL\\ldkeys-chart.png"
  { printf 'reg %s\\%s\n' "$LAYOUTS" "$klid"
    printf 'reg %s\\%s :: "Layout File" = "ldkeys.dll"\n' "$LAYOUTS" "$klid"
    [[ -z $values ]] || printf 'reg %s\\%s :: %s\n' "$LAYOUTS" "$klid" "$values"
    printf 'reg %s\\%s :: "Layout Text" = "Lindorian"\n' "$LAYOUTS" "$klid"
  } | check_tree "$listing" "$LAYOUTS\\$klid"
  printf '%s\n' "reg $PRELOAD" "$preload_lines" | check_tree "$listing" "$PRELOAD"
  for value in "${FONT_VALUES[@]}"; do
    echo "reg $FONTS_KEY :: $value" | check_tree "$listing" "$FONTS_KEY :: ${value%% = *}"
  done
  check_entry "$listing" "$klid"
}

# Usage: check_entry LISTING KLID
# The Apps & features entry in LISTING: every value, the size within 10 %
# of the bytes installed, and Wine's Add/Remove Programs listing it.
check_entry() {
  local listing=$1 klid=$2 size bytes=0 file
  pkg_tree "$dir/$listing.txt" "$ENTRY" | grep -v '"EstimatedSize"' >"$dir/tree.txt"
  # Listings show a quote inside a string as it is.
  { echo "reg $ENTRY"
    printf "reg $ENTRY :: %s\\n" "\"DisplayIcon\" = \"$UNINSTALL,0\"" \
      '"DisplayName" = "Lindorian Package"' '"DisplayVersion" = "2.10"' \
      "\"InstallLocation\" = \"$PKG_INSTALL\"" "\"InstallMode\" = \"$INSTALL_MODE\""
    [[ -z $STANDIN_DIR || $INSTALL_MODE != CurrentUser ]] ||
      echo "reg $ENTRY :: \"InstalledLayoutOrTip\" = \"0409:$klid\""
    printf "reg $ENTRY :: %s\\n" '"NoModify" = dword:00000001' '"NoRepair" = dword:00000001' \
      '"Publisher" = "Krelmo Lindorian Workshop"' \
      "\"QuietUninstallString\" = \"\"$COMPANION\" /S\"" "\"UninstallString\" = \"\"$COMPANION\"\""
  } | check_lines "$listing: the Apps & features entry" "$dir/tree.txt"
  size=$(pkg_tree "$dir/$listing.txt" "$ENTRY :: \"EstimatedSize\"" | sed -n 's/.* = dword://p')
  while IFS= read -r file; do
    bytes=$((bytes + $(stat -c %s "$(pkg_host_path "$prefix" "$file")")))
  done < <(placed_targets; pkg_tree "$dir/$listing.txt" "$PKG_INSTALL" | sed -n 's/^file f //p')
  [[ -n $size ]] && ((10 * (0x$size * 1024 - bytes) <= bytes && 10 * (bytes - 0x$size * 1024) <= bytes)) ||
    fail "$listing: EstimatedSize is ${size:-missing} (hex) KB for $bytes bytes installed"
  # Once a case: the entry's values are checked above each time, and Wine's
  # Add/Remove Programs is a program under emulation.
  if [[ -z $apps_listed ]]; then
    apps_listed=1
    wine_run "$prefix" 60 uninstaller --list >"$dir/$listing.apps" 2>/dev/null ||
      fail "$listing: uninstaller --list failed"
    grep -qxF "$ENTRY_NAME|||Lindorian Package" <(tr -d '\r' <"$dir/$listing.apps") ||
      fail "$listing: Wine's Add/Remove Programs does not list the package (see $listing.apps)"
  fi
  [[ -z $winget_dir ]] || check_winget_entry "$listing"
}

# Usage: check_winget_entry LISTING
# The winget manifests in WINGET_DIR describe the installer that ran (its
# SHA-256) and the entry it wrote in LISTING: the key name they give as
# the product code, and the values they list.
check_winget_entry() {
  local listing=$1 key line
  "$PKG_PYTHON" "$(dirname "$0")/../build/winget-manifests.py" entry "$winget_dir" "$setup" \
    >"$dir/$listing.winget" || { fail "$listing: the winget manifests do not fit $setup"; return; }
  pkg_tree "$dir/$listing.txt" "$ENTRY" >"$dir/$listing.entry"
  { read -r key
    [[ $key == "$ENTRY_NAME" ]] || fail "$listing: winget's product code is $key, not $ENTRY_NAME"
    while IFS= read -r line; do
      grep -qxF "reg $ENTRY :: $line" "$dir/$listing.entry" ||
        fail "$listing: winget expects $line in the entry, which does not hold it"
    done
  } <"$dir/$listing.winget"
}

# Usage: check_installed_alone LISTING
# check_installed for the package alone: it has 00000628 and the second
# preload entry, after the layout Wine puts first.
check_installed_alone() {
  check_installed "$1" 00000628 '' "reg $PRELOAD :: \"1\" = \"$(pkg_wine_layout)\"
reg $PRELOAD :: \"2\" = \"00000628\""
}

# Usage: check_removed LISTING [HELD_FILE...]
# After a removal, before the restart: the machine as before the
# installation, but for what was in use and waits for the restart to
# delete it (check_waiting): the files given, which a program held open,
# and, after uninstall.exe started by hand, its own file, which a running
# program cannot delete, with the install folder and the maker folder
# around it. Nothing waits where nothing was in use.
check_removed() {
  local listing=$1 file
  shift
  { ((${#removal_changes[@]} == 0)) || printf '%s\n' "${removal_changes[@]}"
    ((${#removal_programs[@]} == 0)) || echo "new $MAKER"
    ((${#removal_programs[@]} + $# == 0)) || echo "new $PENDING"
    for file; do echo "new $file"; done
    # uninstall.exe started by hand knows nothing of the entry.
    ((${#removal_programs[@]} == 0)) || echo "new $ENTRY"
  } | check_change "$listing" machine "$listing"
  if ((${#removal_programs[@]})); then
    { printf 'file d %s\n' "$MAKER" "$PKG_INSTALL"
      printf 'file f %s\n' "${removal_programs[@]}"
    } | check_tree "$listing" "$MAKER"
  fi
  check_waiting "$listing"
}

# Usage: is_package_place 'C:\path'
# The path, in any letter case, is a file the package installs, or one of
# its folders or inside the install folder or the program group.
is_package_place() {
  local path=${1,,} place
  for place in "${PKG_INSTALL,,}" "${PKG_GROUP,,}"; do
    [[ $path == "$place" || $path == "$place\\"* ]] && return 0
  done
  while IFS= read -r place; do
    [[ $path != "${place,,}" ]] || return 0
  done < <(placed_targets; echo "$MAKER")
  return 1
}

# Usage: check_waiting LISTING
# The restart's list in LISTING deletes what is left of the package and
# nothing else: each entry is the deletion of a package place, each
# package file and folder still there has one, and no folder comes before
# what is in it (Windows works through the list in order).
check_waiting() {
  local name=$1 op path i j ops=()
  "$PKG_PYTHON" "$PKG_STATE" pending "$dir/$name.txt" >"$dir/$name.pending"
  mapfile -t ops <"$dir/$name.pending"
  for op in "${ops[@]}"; do
    [[ $op == 'delete \??\'* ]] && is_package_place "${op#'delete \??\'}" ||
      fail "$name: waits for the restart, but is no deletion of the package's: $op"
  done
  { pkg_tree "$dir/$name.txt" "$MAKER"; pkg_tree "$dir/$name.txt" "$PKG_GROUP"
    placed_targets | while IFS= read -r path; do pkg_tree "$dir/$name.txt" "$path"; done
  } | sed -n 's/^file [df] //p' | while IFS= read -r path; do
    grep -qixF "delete \\??\\$path" "$dir/$name.pending" ||
      fail "$name: $path is left, and the restart does not delete it"
  done
  for ((i = 0; i < ${#ops[@]}; i++)); do
    for ((j = i + 1; j < ${#ops[@]}; j++)); do
      [[ ${ops[j],,} != "${ops[i],,}\\"* ]] || fail "$name: ${ops[i]} comes before ${ops[j]}"
    done
  done
}

# Usage: installed_items KLID [PRELOAD_NAME]
# What an installation adds where nothing of the package's was; the
# preload entry where a name is given.
installed_items() {
  local value
  placed_targets | sed 's/^/new /'
  for value in "${FONT_VALUES[@]}"; do echo "new $FONTS_KEY :: ${value%% = *}"; done
  printf 'new %s\n' "$MAKER" "${GROUP:-$PKG_GROUP}" "$LAYOUTS\\$1" "$ENTRY"
  [[ -z ${2:-} ]] || echo "new $PRELOAD :: \"$2\""
}

# What installing again changes: nothing but the times of the files and
# shortcuts it writes again.
rewritten_items() {
  printf 'rewritten %s\n' "$MAKER" "${GROUP:-$PKG_GROUP}"
  placed_targets | sed 's/^/rewritten /'
}

# Usage: version_lower VERSION OTHER
# Succeeds when VERSION is lower than OTHER, compared number by number as
# Active Setup compares its Version values ("2,10" is above "2,9"); a
# missing number counts as 0.
version_lower() {
  local IFS=, i mine=() other=()
  read -ra mine <<<"$1"
  read -ra other <<<"$2"
  for i in 0 1 2 3; do
    ((10#${mine[i]:-0} == 10#${other[i]:-0})) || return $((10#${mine[i]:-0} > 10#${other[i]:-0}))
  done
  return 1
}

# Usage: sign_in NAME LISTING
# Does what Windows does for Active Setup when a user signs in, on the
# machine as LISTING shows it; the listing afterwards is $dir/NAME.txt and
# the stand-in's record of InstallLayoutOrTip calls $dir/NAME.calls.
# Windows (explorer.exe, before it shows the desktop) goes through the
# components under HKLM\Software\Microsoft\Active Setup\Installed
# Components, on 64-bit Windows in both views of the registry (also
# HKLM\Software\Wow6432Node\...). A component with a StubPath, and
# IsInstalled not 0, runs when the user's copy of it
# (HKCU\Software\Microsoft\Active Setup\Installed Components\<id>, or
# HKCU\Software\Wow6432Node\... for the 32-bit view) has no Version, or a
# lower one, compared number by number: Windows then runs StubPath as a
# command line in the user's session, with the user's own unelevated
# rights, waits for it, and copies the component's Version into the user's
# copy. Wine has no Active Setup: here the session's keeper runs the
# command line, split as CreateProcess splits it (a quoted program, then
# its arguments), and regedit writes the copy.
sign_in() {
  local name=$1 listing=$2 view machine user line key value id stub program args argv=()
  local -A stubs versions disabled copies
  : >"$dir/$name.reg"
  for view in '' '\Wow6432Node'; do
    machine="HKLM\\Software$view\\Microsoft\\Active Setup\\Installed Components"
    user="HKCU\\Software$view\\Microsoft\\Active Setup\\Installed Components"
    stubs=() versions=() disabled=() copies=()
    { pkg_tree "$dir/$listing.txt" "$machine"; pkg_tree "$dir/$listing.txt" "$user"; } |
      while IFS= read -r line; do
        [[ $line == *' :: '* ]] || continue
        key=${line%%' :: '*} value=${line#*' :: '}
        key=${key#reg } id=${key##*\\}
        [[ ${key%\\*} == "$machine" || ${key%\\*} == "$user" ]] || continue
        case ${key%\\*}:${value%%' = '*} in
          "$machine:\"StubPath\"") value=${value#*' = '} stubs[$id]=${value:1:-1} ;;
          "$machine:\"Version\"") value=${value#*' = '} versions[$id]=${value:1:-1} ;;
          "$machine:\"IsInstalled\"") [[ $value != *' = dword:00000000' ]] || disabled[$id]=1 ;;
          "$user:\"Version\"") value=${value#*' = '} copies[$id]=${value:1:-1} ;;
        esac
      done
    for id in "${!stubs[@]}"; do
      [[ -z ${disabled[$id]:-} ]] || continue
      [[ -z ${copies[$id]+set} ]] || version_lower "${copies[$id]}" "${versions[$id]:-}" || continue
      stub=${stubs[$id]}
      if [[ $stub == '"'* ]]; then
        program=${stub#\"} program=${program%%\"*}
        args=${stub#\"$program\"}
      else
        program=${stub%% *} args=${stub#"$program"}
      fi
      read -ra argv <<<"$args"
      wine_session_run "$prefix" 60 "$dir/$name.$id.log" "$program" "${argv[@]}" ||
        fail "$name: $stub did not run (see $name.$id.log)"
      [[ $WINE_EXIT_CODE == 0 ]] || fail "$name: $stub exited with ${WINE_EXIT_CODE:-no code}, not 0"
      printf '[HKEY_CURRENT_USER\\Software%s\\Microsoft\\Active Setup\\Installed Components\\%s]\n"Version"="%s"\n\n' \
        "$view" "$id" "${versions[$id]:-}" >>"$dir/$name.reg"
    done
  done
  [[ ! -s $dir/$name.reg ]] || pkg_import "$prefix" "$dir/$name.reg" ||
    fail "$name: regedit did not import $dir/$name.reg"
  take_input_calls "$name"
  list "$name"
}

# Usage: set_pending NAME SOURCE TARGET [SOURCE TARGET]...
# Makes the restart's list these pairs (an empty TARGET deletes SOURCE), as
# another product's installer leaves it, imported in the session that runs
# (pkg_import) from $dir/NAME.reg, the value as UTF-16 bytes.
set_pending() {
  local name=$1 bytes
  shift
  bytes=$({ printf '%s\0' "$@"; printf '\0'; } | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 |
    tr -s ' \n' ',,' | sed 's/^,//; s/,$//')
  printf '%s\n' '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager]' \
    "\"PendingFileRenameOperations\"=hex(7):$bytes" '' >"$dir/$name.reg"
  pkg_import "$prefix" "$dir/$name.reg" || fail "$name: regedit did not import $dir/$name.reg"
}

# Makes each file in PLACED an older version of itself, one byte longer.
age_placed_files() {
  local target
  placed_targets | while IFS= read -r target; do
    printf '\0' >>"$(pkg_host_path "$prefix" "$target")"
  done
}

# --- cases ------------------------------------------------------------------

# The package alone: it takes 00000628 and the second preload entry, after
# the layout Wine puts first, and, on Windows 8 and later (the stand-in for
# input.dll), the user's input list under their default language. It is
# then in use, as on a signed-in machine: the layout loaded, its module and
# the serif font held open, while the user removes it from Add/Remove
# Programs, which runs the companion and the uninstaller (on 64-bit
# Windows, while a deployment tool removes it silently: exit code 3010).
# What is held waits for the restart, which leaves the machine exactly as
# before; nothing else does.
case_roundtrip() {
  STANDIN_DIR=${STANDIN_DIR:-'C:\windows\system32'}
  start_case </dev/null
  install installed
  check_input_calls installed "0 0409:00000628"
  installed_items 00000628 2 | check_change installed machine installed
  check_installed_alone installed
  hold_in_use
  load_layout 00000628
  if [[ $WINEARCH == win64 ]]; then run_companion removed 3010 none /S; else remove_through_apps removed; fi
  list removed
  check_input_calls removed "1 0409:00000628"
  check_removed removed "${IN_USE[@]}"
  restart restarted
  check_change restarted machine restarted </dev/null
}

# A second installation over the first, through the installer's pages,
# which ask for whom with "for me" chosen as the first one installed, finds
# the registration, the preload entry, the input list's entry and the Apps
# & features entry the first one made, and changes nothing but the times of
# the files and shortcuts it writes again. The companion, started
# as a deployment tool starts it, fails without uninstall.exe and changes
# nothing, changes nothing either when the user cancels, and then removes
# everything at once: nothing was in use, so nothing waits for the restart
# and the exit code is 0.
case_twice() {
  local aside=$dir/uninstall.exe.aside
  STANDIN_DIR='C:\windows\system32'
  USERS='00000628 00010628'
  start_case </dev/null
  install first
  check_input_calls first "0 0409:00000628"
  install_with_pages second 0 --mode 'Only for &me'
  check_input_calls second "0 0409:00000628"
  rewritten_items | check_change second first second
  check_installed_alone second
  mv "$(pkg_host_path "$prefix" "$UNINSTALL")" "$aside"
  run_companion missing 1603 none
  mv "$aside" "$(pkg_host_path "$prefix" "$UNINSTALL")"
  run_companion cancelled 1602 cancel
  list cancelled
  check_input_calls cancelled
  check_change cancelled second cancelled </dev/null
  run_companion removed 0 ok
  list removed
  check_input_calls removed "1 0409:00000628"
  check_removed removed
  check_users removed 00010628
}

# Another maker's layout registered as 00000628, and in the user's preload
# list: the package takes 00010628, with a Layout Id one past the highest
# in use (the Dvorak layout's 0002), and the other layout stays untouched
# through installation and removal. The removal companion, started as a
# deployment tool starts it, must find the package's registration past the
# other layout's, by its layout file: on Cancel it is still there, and the
# companion exits with 1602 and changes nothing, calling nothing; on OK it
# is gone, and the companion takes the layout out of the input list and
# deletes the entry, leaving the other layout and its preload entry as
# they were (check_removed: everything not named is unchanged). That
# removal is the silent one (/S), with no box and nobody to answer one:
# exit code 0, and nothing waits for the restart.
case_beside() {
  STANDIN_DIR='C:\windows\system32' USERS='00010628 00000628'
  start_case <<EOF
[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\00000628]
"Layout File"="ldother.dll"
"Layout Text"="Lindorian (another maker)"

[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]
"2"="00000628"

EOF
  install installed
  check_input_calls installed "0 0409:00010628"
  { installed_items 00010628 3; echo "keep $LAYOUTS\\00000628"; } |
    check_change installed machine installed
  check_installed installed 00010628 '"Layout Id" = "0003"' \
    "reg $PRELOAD :: \"1\" = \"$(pkg_wine_layout)\"
reg $PRELOAD :: \"2\" = \"00000628\"
reg $PRELOAD :: \"3\" = \"00010628\""
  load_layout 00010628
  run_companion cancelled 1602 cancel
  list cancelled
  check_input_calls cancelled
  check_change cancelled installed cancelled </dev/null
  run_companion removed 0 none /S
  list removed
  check_input_calls removed "1 0409:00010628"
  check_removed removed
  check_users removed 00000628
}

# A repair over an older version while a program holds its serif font and
# its module open, as a signed-in user's programs hold a loaded font and
# layout: the fixed font is replaced at once, the new serif font and module
# wait in the install folder, and the exit code is 3010. ORDER is
# restart-first: the restart puts them in place, leaving nothing beside,
# and the uninstaller removes the package; or uninstall-first: the
# uninstaller runs in the same session, once the program has let go, and
# the restart then has nothing to put back, but deletes what the
# uninstaller left. Either way the machine ends as before.
case_in_use() {
  local order=$1 name
  start_case </dev/null
  install installed
  age_placed_files
  hold "$FONTS\\ldser.ttf" "$MODULE"
  run_setup repaired 3010
  check_fonts_added repaired ldfix.ttf
  check_same repaired "$FONTS\\ldfix.ttf" "$dist/ldfix.ttf"
  for name in ldser.ttf ldkeys.dll; do
    check_same repaired "$PKG_INSTALL\\$name" "$dist/$name"
  done
  if [[ $order == restart-first ]]; then
    restart restarted
    rewritten_items | check_change restarted installed restarted
    check_installed_alone restarted
    uninstall removed
    check_removed removed
  else
    release
    uninstall removed
    restart restarted
    # uninstall.exe started by hand leaves the entry, which Add/Remove
    # Programs offers to remove once its companion is gone.
    echo "new $ENTRY" | check_change restarted machine restarted
  fi
}

# A signed-in user has the package in use (IN_USE held open). A repair
# with the same installer finds every file as it brings it: nothing to
# write, nothing to wait for, exit code 0. The uninstaller leaves what is
# in use for the restart to delete, after other products' entries in the
# restart's list; then the package is installed again before that
# restart, with the files still held or let go (FILES). Setup takes its
# own deletions back out of the list, leaving the others as they were,
# and the restart then finds the package whole and nothing of it to do.
case_reinstall() {
  local files=$1
  local other=('\??\C:\Program Files\Krelmo\Lindorian2\Ωμέγα.txt' ''
               '\??\C:\Program Files\Krelmo\Lindorian\ldkeys.dll' "!\\??\\$MODULE"
               '\??\C:\Program Files\Krelmo\Other\日本.dll' '')
  start_case </dev/null
  install installed
  hold_in_use
  run_setup repaired 0
  set_pending others "${other[@]}"
  run_uninstaller removed
  [[ $files == held ]] || release
  run_setup reinstalled 0
  list reinstalled
  printf 'reg %s = multi:%s\n' "$PENDING" "$(printf '"%s" ' "${other[@]}" | sed 's/ $//')" |
    check_tree reinstalled "$PENDING"
  restart restarted
  rewritten_items | check_change restarted installed restarted
  check_installed_alone restarted
}

# The package alone on 64-bit Windows (see on_win64), removed by the
# installed uninstaller under WOW64 while both module copies and the serif
# font are held open.
case_roundtrip_win64() {
  on_win64
  STANDIN_DIR='C:\windows\syswow64'
  case_roundtrip
}

# An installation for everyone who uses the computer, as deployment tools
# make it (here with /AllUsers; that Setup running as LocalSystem chooses
# it has a host test): the program group in the common Programs folder, the
# Active Setup component, the mode in the entry, and nothing in the
# installing account's profile, which gets neither the preload entry nor
# an InstallLayoutOrTip call. At that user's next sign-in Windows runs the
# per-user step lduser.exe, which gives them both; a second sign-in, and
# the step run again by hand, change nothing. A repair keeps the mode.
# /CurrentUser switches to "for me": the component and the common group
# go, the user's group and input list's entry come as for "for me" (the
# preload entry is there already); once the user has added a layout after
# it, /AllUsers switches back, taking the user's entries (their preload
# list renumbered without a gap), their step's record and their copy of
# the component back, so that their next sign-in gives them the layout
# anew. Once the layout is no longer registered, the step gives a user who
# signs in nothing. Last, ldremove.exe /S removes the package with the
# component, the common group and the user's copy: exit code 0, nothing
# waiting, the machine as before but for the layout the user added.
case_allusers() {
  local component='HKLM\Software\Microsoft\Active Setup\Installed Components\Krelmo.Lindorian'
  local copy='HKCU\Software\Microsoft\Active Setup\Installed Components\Krelmo.Lindorian'
  local record='HKCU\Software\Krelmo' user_group wine_layout
  STANDIN_DIR='C:\windows\system32'
  # The user has the copy of a component of Wine's own, as Windows users
  # have copies of many.
  start_case <<'EOF'
[HKEY_CURRENT_USER\Software\Microsoft\Active Setup\Installed Components\{44BBA855-CC51-11CF-AAFA-00AA00B6015F}]
"Version"="4,71,1113,0"

EOF
  user_group=$PKG_GROUP wine_layout=$(pkg_wine_layout)
  INSTALL_MODE=AllUsers GROUP='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Lindorian'
  install installed 0 /AllUsers
  check_input_calls installed
  { installed_items 00000628; echo "new $component"; } | check_change installed machine installed
  check_installed installed 00000628 '' "reg $PRELOAD :: \"1\" = \"$wine_layout\""
  check_tree installed "$component" <<EOF
reg $component
reg $component :: "IsInstalled" = dword:00000001
reg $component :: "StubPath" = ""$USER_STEP""
reg $component :: "Version" = "2,10"
reg $component :: @ = "Lindorian Package"
EOF

  sign_in signed-in installed
  check_input_calls signed-in "0 0409:00000628"
  printf 'new %s\n' "$PRELOAD :: \"2\"" "$record" "$copy" | check_change signed-in installed signed-in
  { echo "reg $PRELOAD"; printf 'reg %s :: "%s" = "%s"\n' "$PRELOAD" 1 "$wine_layout" "$PRELOAD" 2 00000628
    echo "reg $record\\Lindorian"
    echo "reg $record\\Lindorian :: \"InstalledLayoutOrTip\" = \"0409:00000628\""
  } | check_lines "signed-in: the user's preload list and record" \
    <(pkg_tree "$dir/signed-in.txt" "$PRELOAD"; pkg_tree "$dir/signed-in.txt" "$record")
  printf 'reg %s\n' "$copy" "$copy :: \"Version\" = \"2,10\"" | check_tree signed-in "$copy"
  sign_in signed-in-again signed-in
  check_input_calls signed-in-again
  check_change signed-in-again signed-in signed-in-again </dev/null
  wine_session_run "$prefix" 60 "$dir/by-hand.log" "$USER_STEP" && [[ $WINE_EXIT_CODE == 0 ]] ||
    fail "by-hand: lduser.exe did not run, or exited with ${WINE_EXIT_CODE:-no code}"
  take_input_calls by-hand
  check_input_calls by-hand
  list by-hand
  check_change by-hand signed-in by-hand </dev/null

  install repaired
  check_input_calls repaired
  rewritten_items | check_change repaired signed-in repaired

  INSTALL_MODE=CurrentUser GROUP=
  install for-me 0 /CurrentUser
  check_input_calls for-me "0 0409:00000628"
  { printf 'gone %s\n' "$component" 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Lindorian'
    printf 'rewritten %s\n' "$MAKER" && placed_targets | sed 's/^/rewritten /'
    echo "new $user_group"
    echo "set $ENTRY :: \"InstallMode\" = \"CurrentUser\""
    echo "new $ENTRY :: \"InstalledLayoutOrTip\""
  } | check_change for-me repaired for-me
  check_installed for-me 00000628 '' "reg $PRELOAD :: \"1\" = \"$wine_layout\"
reg $PRELOAD :: \"2\" = \"00000628\""

  # The user has added a layout after the package's since.
  printf '[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\n"3"="00000404"\n\n' >"$dir/added.reg"
  pkg_import "$prefix" "$dir/added.reg" || fail "added: regedit did not import it"
  INSTALL_MODE=AllUsers GROUP='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Lindorian'
  install for-everyone 0 /AllUsers
  check_input_calls for-everyone "1 0409:00000628"
  { rewritten_items; printf 'gone %s\n' "$record" "$copy"
    echo "set $PRELOAD :: \"2\" = \"00000404\""
  } | check_change for-everyone signed-in for-everyone
  sign_in signed-in-anew for-everyone
  check_input_calls signed-in-anew "0 0409:00000628"
  { rewritten_items; echo "set $PRELOAD :: \"2\" = \"00000404\""; echo "new $PRELOAD :: \"3\""; } |
    check_change signed-in-anew signed-in signed-in-anew

  # A user who has not signed in since, once the layout's registration is
  # gone: Windows runs the step, which adds nothing.
  printf '[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\00000628]\n\n[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\n"2"=-\n\n[-HKEY_CURRENT_USER\\Software\\Krelmo]\n\n[-%s]\n\n' \
    "HKEY_CURRENT_USER${copy#HKCU}" >"$dir/unregistered.reg"
  pkg_import "$prefix" "$dir/unregistered.reg" || fail "unregistered: regedit did not import it"
  list unregistered
  sign_in signed-in-unregistered unregistered
  check_input_calls signed-in-unregistered
  echo "new $copy" | check_change signed-in-unregistered unregistered signed-in-unregistered

  # A deployment tool's silent removal then takes the component, the common
  # group and the user's copy back with the rest; the preload entry the
  # user added stays.
  run_companion removed 0 none /S
  list removed
  check_input_calls removed
  echo "new $PRELOAD :: \"3\"" | check_change removed machine removed
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
  allusers) case_allusers ;;
  beside) case_beside ;;
  refused) case_refused ;;
  blocked) case_blocked ;;
  in-use-restart-first) case_in_use restart-first ;;
  in-use-uninstall-first) case_in_use uninstall-first ;;
  reinstall-held) case_reinstall held ;;
  reinstall-released) case_reinstall released ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "case $case_name: $((SECONDS - start)) s"

if ((failures == 0)); then
  wine_remove_prefix "$prefix"
  echo "installer case $case_name passed"
fi
exit $((failures > 0))
