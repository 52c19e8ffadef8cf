# Wine test bed: shell functions for tests and demos that run the Windows
# programs under Wine. Source it from bash:
#
#   source tests/wine/wine-env.sh
#   trap wine_cleanup EXIT
#   wine_start_x
#   wine_make_template build/default/wine/template
#   wine_copy_prefix build/default/wine/template "$case_dir/prefix"
#   rc=0
#   wine_run "$case_dir/prefix" 60 build/default/windows/.../prog.exe arg... || rc=$?
#   wine_wait "$case_dir/prefix"
#
# A test case that runs several programs and reads the registry between
# them keeps one session for all of them (each session boots about eight
# emulated processes, which costs seconds):
#
#   wine_session_start "$case_dir/prefix"
#   wine_run ...; wine_registry_hives "$case_dir/prefix"; wine_run ...
#   wine_session_end "$case_dir/prefix"
#
# Prefixes are 32-bit (WINEARCH=win32), or 64-bit when WINE_ENV_ARCH=win64
# is set before sourcing: a 64-bit prefix runs 64-bit programs natively and
# 32-bit ones through Wine's WOW64, with SysWOW64 and file-system
# redirection as on 64-bit Windows. The i386 Wine clients run under
# qemu-user on a kernel without ia32 emulation (see setup-binfmt.sh), while
# the 64-bit wineserver and 64-bit clients from the wine64 package run
# natively. Every function returns non-zero on failure and says why on
# stderr; none calls exit. To add DLL overrides, append to WINEDLLOVERRIDES
# after sourcing: WINEDLLOVERRIDES+=";name=n,b".

export WINEARCH=${WINE_ENV_ARCH:-win32}
# No debug channels: under emulation, even the default fixme output costs time.
export WINEDEBUG=${WINE_ENV_DEBUG:--all}
# No Mono or Gecko download prompts, no menu entries or file associations.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINELOADER WINESERVER
# Debian's Wine loader (/usr/lib/wine) comes without a preloader: then it
# starts itself a second time before each program, to no end, which under
# emulation costs about 0.05 s of CPU a program. WINELOADERNOEXEC tells it
# that this has happened (wine_run sets it; it also skips the loader's own
# options, such as --version).
WINE_ENV_LOADER_ONCE=()
if [[ -x /usr/lib/wine/wine && ! -e /usr/lib/wine/wine-preloader && ! -e /usr/lib/wine/wine64-preloader ]]; then
  WINE_ENV_LOADER_ONCE=(WINELOADERNOEXEC=1)
fi

# The Xvfb this shell started, if any, and the prefixes it used.
WINE_ENV_XVFB_PID=
WINE_ENV_PREFIXES=()
# The session_keeper.exe that keeps each prefix's session, by prefix.
declare -gA WINE_ENV_KEEPERS=()
# How many programs the keepers ran: each request has a name of its own.
WINE_ENV_RUNS=0

_wine_err() { echo "wine-env: $*" >&2; }

# Usage: _wine_nap SECONDS
# Sleeps for a fraction of a second without starting a process: the waits
# below look every 20 ms, and a sleep process each time would cost more
# CPU than the programs they wait for. read times out on a pipe that never
# gets data (this shell holds its writing end).
_wine_nap() {
  [[ -n ${WINE_ENV_NAP_FD:-} ]] || exec {WINE_ENV_NAP_FD}<> <(:)
  read -r -t "$1" -u "$WINE_ENV_NAP_FD" || true
}

# --- X server -------------------------------------------------------------

# Succeeds if an X server accepts connections on display $1 (":N" or ":N.S").
wine_x_alive() {
  local n=${1#:}
  n=${n%%.*}
  [[ $n =~ ^[0-9]+$ ]] || return 1
  python3 - "/tmp/.X11-unix/X$n" <<'EOF' 2>/dev/null
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(2)
s.connect(sys.argv[1])
EOF
}

# Makes sure DISPLAY names a working X server: keeps the one in DISPLAY if it
# answers, otherwise starts a headless Xvfb on a free display and exports
# DISPLAY. wine_stop_x (or wine_cleanup) stops only a server started here.
wine_start_x() {
  if [[ -n ${DISPLAY:-} ]] && wine_x_alive "$DISPLAY"; then
    return 0
  fi
  local out
  out=$(mktemp) || return 1
  # -displayfd makes Xvfb pick a free display and write its number once it
  # is ready for clients.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out" </dev/null >/dev/null 2>&1 &
  WINE_ENV_XVFB_PID=$!
  local i
  for ((i = 0; i < 100; i++)); do
    if [[ -s $out ]] && grep -q '^[0-9]\+$' "$out"; then
      export DISPLAY=":$(head -n1 "$out")"
      rm -f "$out"
      return 0
    fi
    kill -0 "$WINE_ENV_XVFB_PID" 2>/dev/null || break
    _wine_nap 0.1
  done
  rm -f "$out"
  _wine_err "Xvfb did not start"
  wine_stop_x
  return 1
}

wine_stop_x() {
  [[ -n $WINE_ENV_XVFB_PID ]] || return 0
  kill "$WINE_ENV_XVFB_PID" 2>/dev/null || true
  wait "$WINE_ENV_XVFB_PID" 2>/dev/null || true
  WINE_ENV_XVFB_PID=
  return 0
}

# --- prefixes -------------------------------------------------------------

# The settings every template prefix gets, and the line that says so in its
# .template-complete: a template made before they changed is made anew.
# - There is no window manager on the test displays: Wine's windows are
#   unmanaged, or Wine waits 2 s for a window manager whenever one hides.
# - The event log and the network drivers start when a program asks for
#   them, not at every boot: nothing under test uses them, and under
#   emulation they cost 0.5 s of CPU a session.
# - No devices: the Plug and Play service starts on demand, and the root
#   HID and USB buses are gone, so no driver host starts for them. Nothing
#   under test uses devices, and they cost about 1.3 s of CPU a session.
#   The mount manager stays: volume and drive calls go through it.
# - No menu builder at boot: it would only find itself disabled
#   (WINEDLLOVERRIDES), after 0.1 s of CPU.
WINE_ENV_TEMPLATE_SETTINGS='settings: windows unmanaged; event log, network and Plug and Play on demand; no device buses; no menu builder run at boot'
_wine_template_settings() {
  local prefix=$1 limit=$2 service bus view=()
  {
    printf 'Windows Registry Editor Version 5.00\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n\n'
    for service in Eventlog NDIS nsiproxy PlugPlay; do
      printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\%s]\n"Start"=dword:00000003\n\n' \
        "$service"
    done
    for bus in WINEBUS WINEUSB; do
      printf '[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\WINE\\%s]\n\n' "$bus"
    done
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\RunServices]\n"winemenubuilder"=-\n\n'
  } >"$prefix/settings.reg" || return 1
  # wine starts the 32-bit reg.exe, which in a 64-bit prefix would write
  # HKLM\Software to the 32-bit view.
  [[ $WINEARCH != win64 ]] || view=(/reg:64)
  WINEPREFIX=$prefix timeout -k 10 "$limit" wine reg import "$(wine_winpath "$prefix/settings.reg")" "${view[@]}" &&
    rm -f "$prefix/settings.reg"
}

# The template is up to date when it was finished by wine_make_template with
# the current settings and Wine would not update it: Wine compares
# .update-timestamp with wine.inf.
_wine_template_complete() {
  local dir=$1 inf=/usr/share/wine/wine.inf
  [[ -f $dir/.template-complete && -f $dir/system.reg && -f $dir/.update-timestamp ]] || return 1
  grep -qxF "$WINE_ENV_TEMPLATE_SETTINGS" "$dir/.template-complete" || return 1
  [[ ! -f $inf ]] || [[ $(head -c 32 "$dir/.update-timestamp" | tr -d '\r\n') == "$(stat -c %Y "$inf")" ]]
}

# The folders Wine links to $HOME (Desktop, Documents, ...) become plain
# folders, so a program under test cannot write outside its prefix.
_wine_unlink_home() {
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link" && mkdir -p "$link"
  done < <(find "$1/drive_c/users" -mindepth 2 -maxdepth 2 -type l -print0)
}

# The Debian wineserver keeps its socket in a fresh ${TMPDIR:-/tmp}/wine-XXXXXX
# and records that name in the prefix's "wineserver" file. Once no server runs
# for the prefix, the folder and the record go, so copies start clean.
_wine_forget_server() {
  local prefix=$1 name
  [[ -f $prefix/wineserver ]] || return 0
  name=$(head -c 64 "$prefix/wineserver")
  if [[ $name =~ ^wine-[A-Za-z0-9]{6}$ ]]; then
    rm -rf "${TMPDIR:-/tmp}/$name"
  fi
  rm -f "$prefix/wineserver"
}

# Usage: wine_make_template DIR [TIMEOUT_SECONDS]
# Creates the template prefix in DIR once and reuses it while it is complete
# and current. Concurrent callers wait for each other. Takes about 20 s under
# emulation.
wine_make_template() {
  local dir=$1 limit=${2:-600}
  [[ -n $dir ]] || { _wine_err "usage: wine_make_template DIR [TIMEOUT]"; return 2; }
  dir=$(realpath -m "$dir")
  mkdir -p "$(dirname "$dir")" || return 1
  local lock rc=0
  exec {lock}>"$dir.lock" || return 1
  if ! flock -w "$limit" "$lock"; then
    _wine_err "timed out waiting for another template build ($dir.lock)"
    exec {lock}>&-
    return 1
  fi
  if ! _wine_template_complete "$dir"; then
    _wine_build_template "$dir" "$limit" || rc=1
  fi
  exec {lock}>&-
  return $rc
}

_wine_build_template() {
  local dir=$1 limit=$2 new=$1.new
  wine_remove_prefix "$new"
  wine_remove_prefix "$dir"
  mkdir -p "$new" || return 1
  # No X server: the template must not depend on one.
  if ! DISPLAY= WINEPREFIX=$new timeout -k 10 "$limit" wineboot -i </dev/null >"$new.log" 2>&1; then
    _wine_err "wineboot failed; its output:"
    cat "$new.log" >&2
    wine_remove_prefix "$new"
    return 1
  fi
  if ! DISPLAY= _wine_template_settings "$new" "$limit" </dev/null >"$new.log" 2>&1; then
    _wine_err "the template's settings failed; the output:"
    cat "$new.log" >&2
    wine_remove_prefix "$new"
    return 1
  fi
  # wineboot returns while the prefix's services still write the registry.
  wine_wait "$new" "$limit" || { wine_remove_prefix "$new"; return 1; }
  if [[ ! -f $new/system.reg || ! -f $new/drive_c/windows/system32/kernel32.dll ]]; then
    _wine_err "wineboot left an incomplete prefix; its output:"
    cat "$new.log" >&2
    wine_remove_prefix "$new"
    return 1
  fi
  rm -f "$new.log"
  _wine_unlink_home "$new"
  { wine --version; echo "$WINE_ENV_TEMPLATE_SETTINGS"; } >"$new/.template-complete"
  mv "$new" "$dir"
}

# Usage: wine_copy_prefix TEMPLATE DEST
# Replaces DEST with a private copy of the template prefix (about 600 MB,
# nearly all of it programs and libraries that the copy shares with the
# template; 0.1 s).
wine_copy_prefix() {
  local template=$1 dest=$2
  [[ -n $template && -n $dest ]] || { _wine_err "usage: wine_copy_prefix TEMPLATE DEST"; return 2; }
  _wine_template_complete "$template" || { _wine_err "no complete template prefix in $template"; return 1; }
  wine_remove_prefix "$dest" || return 1
  mkdir -p "$(dirname "$dest")" || return 1
  # The programs and libraries, 585 of the 615 MB, are links to the
  # template's: neither Wine nor a test writes them in place (pkg_put and
  # pkg_copy replace a file). Every other file is a copy of its own.
  cp -al "$template" "$dest" || return 1
  (cd "$template" && find . -type f ! \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.sys' \
    -o -iname '*.drv' \) -print0 | xargs -0 cp -a --parents --remove-destination -t "$dest") ||
    return 1
  rm -f "$dest/.template-complete" "$dest/wineserver"
}

# Usage: wine_run PREFIX TIMEOUT_SECONDS PROGRAM [ARGS...]
# Runs a Windows program (a Unix path is fine) in PREFIX, with standard input
# from /dev/null, and returns its exit code. Wine reports the low 8 bits of
# the Windows exit code. On timeout it kills everything in the prefix and
# returns 124. The prefix's wineserver and services keep running after a
# normal exit: call wine_wait before looking at the prefix's files or
# registry, or before removing it.
wine_run() {
  local prefix=$1 limit=$2
  shift 2 || { _wine_err "usage: wine_run PREFIX TIMEOUT PROGRAM [ARGS...]"; return 2; }
  [[ -d $prefix && $# -gt 0 ]] || { _wine_err "usage: wine_run PREFIX TIMEOUT PROGRAM [ARGS...]"; return 2; }
  prefix=$(realpath "$prefix")
  _wine_track "$prefix"
  local rc=0 start=$SECONDS
  env "${WINE_ENV_LOADER_ONCE[@]}" WINEPREFIX="$prefix" timeout -k 10 "$limit" wine "$@" </dev/null || rc=$?
  # 124 and 137 are timeout's codes, but a program may return them too.
  if ((rc == 124 || rc == 137)) && ((SECONDS - start >= limit)); then
    _wine_err "$1 did not finish within ${limit}s; killing the prefix's processes:"
    _wine_show_processes "$prefix"
    wine_kill "$prefix"
    return 124
  fi
  return $rc
}

# Usage: wine_wait PREFIX [TIMEOUT_SECONDS]
# Waits until the prefix's wineserver has exited (its services shut down a
# few seconds after the last program). Kills it and fails on timeout.
wine_wait() {
  local prefix=$1 limit=${2:-60}
  [[ -d $prefix ]] || return 0
  prefix=$(realpath "$prefix")
  if WINEPREFIX=$prefix timeout "$limit" wineserver -w; then
    _wine_sweep "$prefix"
    _wine_forget_server "$prefix"
    return 0
  fi
  _wine_err "wineserver for $prefix still running after ${limit}s; killing it"
  wine_kill "$prefix"
  return 1
}

# Usage: wine_server_ready PREFIX [TIMEOUT_SECONDS]
# Waits until the prefix's wineserver accepts clients (its socket exists).
# Call it after starting one program in the background and before starting
# a second one beside it: two programs that both find no server start two,
# and one of them then fails.
wine_server_ready() {
  local prefix=$1 limit=${2:-60} name i
  [[ -d $prefix ]] || { _wine_err "no prefix $prefix"; return 1; }
  prefix=$(realpath "$prefix")
  for ((i = 0; i < limit * 10; i++)); do
    name=$(head -c 64 "$prefix/wineserver" 2>/dev/null) || name=
    if [[ $name =~ ^wine-[A-Za-z0-9]{6}$ ]] && [[ -S $(echo "${TMPDIR:-/tmp}/$name"/server-*/socket) ]]; then
      return 0
    fi
    _wine_nap 0.1
  done
  _wine_err "no wineserver for $prefix after ${limit}s"
  return 1
}

# --- sessions -------------------------------------------------------------

# Usage: wine_await_file TIMEOUT_SECONDS PID FILE...
# Waits until one of the files exists, as long as process PID lives, and
# prints the file found; fails after the timeout. Polls often: a program
# answers through a file within milliseconds, and every wait adds to a
# test case's time.
wine_await_file() {
  local limit=$1 pid=$2 file i
  shift 2
  for ((i = 0; i < limit * 50; i++)); do
    for file; do
      [[ -e $file ]] && { echo "$file"; return 0; }
    done
    kill -0 "$pid" 2>/dev/null || break
    _wine_nap 0.02
  done
  for file; do
    [[ -e $file ]] && { echo "$file"; return 0; }
  done
  return 1
}

# Usage: _wine_await_exit TIMEOUT_SECONDS PID
# Waits until the child process PID has exited and returns its exit code;
# 124 if it still runs after the timeout.
_wine_await_exit() {
  local limit=$1 pid=$2 i
  for ((i = 0; i < limit * 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    _wine_nap 0.02
  done
  kill -0 "$pid" 2>/dev/null && return 124
  wait "$pid"
}

_wine_keeper_exe() {
  local exe=${WINE_SESSION_KEEPER:-${WINDOWS_BUILD_DIR:-}/tests/windows/session_keeper.exe}
  [[ -f $exe ]] || { _wine_err "no session_keeper.exe at $exe (set WINE_SESSION_KEEPER)"; return 1; }
  echo "$exe"
}

# Usage: wine_session_start PREFIX [TIMEOUT_SECONDS]
# Starts a session in PREFIX that lasts until wine_session_end, however
# many programs start and end in it meanwhile: session_keeper.exe runs in
# it from start to end. As the session's first program it boots the
# prefix, which carries out the file operations waiting for a restart.
# While it runs, wine_registry_hives reads the registry without ending the
# session. Returns once the keeper runs.
wine_session_start() {
  local prefix=$1 limit=${2:-120} exe dir pid
  [[ -d $prefix ]] || { _wine_err "no prefix $prefix"; return 1; }
  prefix=$(realpath "$prefix")
  [[ -z ${WINE_ENV_KEEPERS[$prefix]:-} ]] || { _wine_err "a session already runs in $prefix"; return 1; }
  exe=$(_wine_keeper_exe) || return 1
  dir=$prefix/session
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  _wine_track "$prefix"
  # The keeper ends by itself after an hour; the timeout is a last resort.
  wine_run "$prefix" 3700 "$exe" "$(wine_winpath "$dir")" >"$dir/keeper.log" 2>&1 &
  pid=$!
  WINE_ENV_KEEPERS[$prefix]=$pid
  if ! wine_await_file "$limit" "$pid" "$dir/ready" >/dev/null; then
    _wine_err "session_keeper.exe did not start in $prefix within ${limit}s; its output:"
    cat "$dir/keeper.log" >&2
    _wine_show_processes "$prefix"
    wine_kill "$prefix"
    return 1
  fi
}

# Usage: wine_session_running PREFIX
# Succeeds while a session started by wine_session_start runs in PREFIX.
wine_session_running() {
  local prefix
  prefix=$(realpath -m "$1")
  [[ -n ${WINE_ENV_KEEPERS[$prefix]:-} ]]
}

# Usage: wine_registry_hives PREFIX [TIMEOUT_SECONDS]
# Prints the names of two files that hold the prefix's registry as it is
# now, HKEY_LOCAL_MACHINE on the first line and HKEY_CURRENT_USER on the
# second, in the format of the prefix's system.reg and user.reg. While a
# session runs (wine_session_start), its keeper writes them out, in about
# 0.1 s; otherwise they are the prefix's own files, once its wineserver has
# written them and exited (wine_wait).
wine_registry_hives() {
  local prefix=$1 limit=${2:-60} dir pid answer
  [[ -d $prefix ]] || { _wine_err "no prefix $prefix"; return 1; }
  prefix=$(realpath "$prefix")
  pid=${WINE_ENV_KEEPERS[$prefix]:-}
  if [[ -z $pid ]]; then
    wine_wait "$prefix" "$limit" || return 1
    printf '%s\n' "$prefix/system.reg" "$prefix/user.reg"
    return 0
  fi
  dir=$prefix/session
  rm -f "$dir"/hives.*
  : >"$dir/hives.save"
  if ! answer=$(wine_await_file "$limit" "$pid" "$dir/hives.saved" "$dir/hives.failed"); then
    _wine_err "session_keeper.exe in $prefix did not save the registry within ${limit}s; its output:"
    cat "$dir/keeper.log" >&2
    _wine_show_processes "$prefix"
    return 1
  fi
  if [[ $answer == *.failed ]]; then
    _wine_err "session_keeper.exe in $prefix: $(cat "$answer")"
    return 1
  fi
  printf '%s\n' "$dir/hives.system.reg" "$dir/hives.user.reg"
}

# Usage: _wine_command_line ARG...
# Joins the arguments into a Windows command line, quoted so that the
# program's C runtime splits it into the same arguments.
_wine_command_line() {
  local arg line= quoted slashes i c
  for arg; do
    if [[ -n $arg && $arg != *[[:space:]\"]* ]]; then
      quoted=$arg
    else
      quoted='"' slashes=0
      for ((i = 0; i < ${#arg}; i++)); do
        c=${arg:i:1}
        if [[ $c == \\ ]]; then
          slashes=$((slashes + 1))
          continue
        fi
        # Backslashes double before a quote, which gets one of its own.
        [[ $c == '"' ]] && slashes=$((slashes * 2 + 1))
        quoted+=$(printf '%*s' "$slashes" '' | tr ' ' '\\')$c
        slashes=0
      done
      quoted+=$(printf '%*s' $((slashes * 2)) '' | tr ' ' '\\')'"'
    fi
    line+=${line:+ }$quoted
  done
  printf '%s\n' "$line"
}

# Usage: wine_session_run PREFIX TIMEOUT_SECONDS LOG PROGRAM [ARGS...]
# Runs a Windows program (a Unix path is fine) in the session that runs in
# PREFIX (wine_session_start), started by its keeper, and sets
# WINE_EXIT_CODE to its whole exit code: Wine would hand it to a Unix
# parent cut to its low 8 bits. The program sees WINEDEBUG as set here,
# and its debug output goes to LOG. Fails when the keeper cannot start it,
# or it does not end within the timeout: then it kills everything in the
# prefix.
WINE_EXIT_CODE=
wine_session_run() {
  local prefix=$1 limit=$2 log=$3 dir pid name answer offset
  shift 3 || { _wine_err "usage: wine_session_run PREFIX TIMEOUT LOG PROGRAM [ARGS...]"; return 2; }
  prefix=$(realpath "$prefix")
  pid=${WINE_ENV_KEEPERS[$prefix]:-}
  [[ -n $pid ]] || { _wine_err "no session runs in $prefix"; return 1; }
  [[ $1 != /* ]] || set -- "$(wine_winpath "$1")" "${@:2}"
  dir=$prefix/session
  name=run$((++WINE_ENV_RUNS))
  WINE_EXIT_CODE=
  rm -f "$dir/$name".*
  offset=$(stat -c %s "$dir/keeper.log")
  { printf 'WINEDEBUG=%s\n' "$WINEDEBUG"; _wine_command_line "$@"; } >"$dir/$name.part" &&
    mv "$dir/$name.part" "$dir/$name.run" || return 1
  answer=$(wine_await_file "$limit" "$pid" "$dir/$name.exited" "$dir/$name.failed") || {
    _wine_err "$1 did not finish within ${limit}s; killing the prefix's processes:"
    _wine_show_processes "$prefix"
    wine_kill "$prefix"
    return 1
  }
  # The keeper's output, where the program's went, from the request on.
  tail -c +$((offset + 1)) "$dir/keeper.log" >"$log"
  if [[ $answer == *.failed ]]; then
    _wine_err "session_keeper.exe could not run $1: $(cat "$answer")"
    return 1
  fi
  WINE_EXIT_CODE=$(sed -n 's/^exit code \(-\?[0-9]*\)\r$/\1/p' "$answer")
}

# Usage: wine_session_end PREFIX [TIMEOUT_SECONDS]
# Ends the session that wine_session_start started, or waits for the one
# running to end (wine_wait): the keeper quits, Wine shuts the session
# down once no other program runs in it, and wineserver writes the
# registry to the prefix and exits. Programs still running keep the
# session until they end; after the timeout everything is killed and the
# call fails. The next program to start boots a new session: that is a
# restart.
wine_session_end() {
  local prefix=$1 limit=${2:-60} pid rc=0
  [[ -d $prefix ]] || return 0
  prefix=$(realpath "$prefix")
  pid=${WINE_ENV_KEEPERS[$prefix]:-}
  if [[ -n $pid ]]; then
    : >"$prefix/session/quit"
    _wine_await_exit "$limit" "$pid" || rc=$?
    unset "WINE_ENV_KEEPERS[$prefix]"
    if ((rc != 0)); then
      _wine_err "session_keeper.exe in $prefix ended with $rc; its output:"
      cat "$prefix/session/keeper.log" >&2
    fi
  fi
  wine_wait "$prefix" "$limit" || rc=1
  return $((rc != 0))
}

# Usage: wine_kill PREFIX
# Kills the prefix's wineserver and every process that belongs to the prefix.
wine_kill() {
  local prefix=$1
  [[ -d $prefix ]] || return 0
  prefix=$(realpath "$prefix")
  WINEPREFIX=$prefix wineserver -k9 >/dev/null 2>&1 || true
  WINEPREFIX=$prefix timeout 10 wineserver -w >/dev/null 2>&1 || true
  _wine_sweep "$prefix" quiet
  _wine_forget_server "$prefix"
  _wine_forget_keeper "$prefix"
  return 0
}

# Reaps the killed session's keeper, if any.
_wine_forget_keeper() {
  local pid=${WINE_ENV_KEEPERS[$1]:-}
  [[ -n $pid ]] || return 0
  unset "WINE_ENV_KEEPERS[$1]"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Prints the process IDs of the prefix's Wine processes (run by the emulator
# or natively) and wineserver: those whose environment carries
# WINEPREFIX=<prefix>. Each thread is looked at: under emulation a
# process's first thread sometimes exits before the others, and then
# neither its environment nor its program can be read through the process.
_wine_prefix_pids() {
  local prefix=$1 env task pid exe
  while IFS= read -r env; do
    task=${env%/environ}
    pid=${task#/proc/}
    pid=${pid%%/*}
    exe=$(readlink "$task/exe" 2>/dev/null) || continue
    case $exe in
      */qemu-i386* | /usr/lib/wine/* | */wine/wine*) echo "$pid" ;;
    esac
  done < <(grep -lzxF "WINEPREFIX=$prefix" /proc/[0-9]*/task/[0-9]*/environ 2>/dev/null) | sort -u
}

# Kills whatever is left of a prefix. Says so unless asked to be quiet:
# after a clean wineserver exit, nothing should be left.
_wine_sweep() {
  local prefix=$1 quiet=${2:-} pids
  mapfile -t pids < <(_wine_prefix_pids "$prefix")
  ((${#pids[@]})) || return 0
  [[ -n $quiet ]] || _wine_err "killing leftover processes of $prefix: ${pids[*]}"
  kill -9 "${pids[@]}" 2>/dev/null || true
  return 0
}

# Shows what the prefix's processes are doing, for a report of a hang.
_wine_show_processes() {
  local pids
  mapfile -t pids < <(_wine_prefix_pids "$1")
  ((${#pids[@]})) || { echo "(no processes left in $1)" >&2; return 0; }
  ps -L -o pid,lwp,stat,etimes,time,wchan:24,comm -p "$(IFS=,; echo "${pids[*]}")" >&2 || true
}

# Usage: wine_remove_prefix PREFIX
# Kills what runs in the prefix and deletes it.
wine_remove_prefix() {
  local prefix=$1
  [[ -n $prefix ]] || return 2
  [[ -e $prefix ]] || return 0
  wine_kill "$prefix"
  rm -rf "$prefix"
}

_wine_track() {
  local p
  for p in "${WINE_ENV_PREFIXES[@]}"; do [[ $p == "$1" ]] && return 0; done
  WINE_ENV_PREFIXES+=("$1")
}

# Usage: wine_winpath UNIX_PATH
# Prints the Windows name of an absolute Unix path through drive Z:.
wine_winpath() {
  local p
  p=$(realpath -m "$1") || return 1
  printf 'Z:%s\n' "${p//\//\\}"
}

# Usage: trap wine_cleanup EXIT
# Stops every prefix this shell ran programs in, ending the sessions it
# started, and the Xvfb it started.
wine_cleanup() {
  local p
  for p in "${WINE_ENV_PREFIXES[@]}"; do
    wine_session_end "$p" 30 || true
  done
  WINE_ENV_PREFIXES=()
  wine_stop_x
}
