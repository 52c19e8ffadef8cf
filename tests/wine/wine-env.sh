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

# The Xvfb this shell started, if any, and the prefixes it used.
WINE_ENV_XVFB_PID=
WINE_ENV_PREFIXES=()

_wine_err() { echo "wine-env: $*" >&2; }

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
    sleep 0.1
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

# The template is up to date when it was finished by wine_make_template and
# Wine would not update it: Wine compares .update-timestamp with wine.inf.
_wine_template_complete() {
  local dir=$1 inf=/usr/share/wine/wine.inf
  [[ -f $dir/.template-complete && -f $dir/system.reg && -f $dir/.update-timestamp ]] || return 1
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
  wine --version >"$new/.template-complete"
  mv "$new" "$dir"
}

# Usage: wine_copy_prefix TEMPLATE DEST
# Replaces DEST with a private copy of the template prefix (about 600 MB,
# about 1 s on ext4; a reflink copy where the file system can).
wine_copy_prefix() {
  local template=$1 dest=$2
  [[ -n $template && -n $dest ]] || { _wine_err "usage: wine_copy_prefix TEMPLATE DEST"; return 2; }
  _wine_template_complete "$template" || { _wine_err "no complete template prefix in $template"; return 1; }
  wine_remove_prefix "$dest" || return 1
  mkdir -p "$(dirname "$dest")" || return 1
  cp -a --reflink=auto "$template" "$dest" || return 1
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
  WINEPREFIX=$prefix timeout -k 10 "$limit" wine "$@" </dev/null || rc=$?
  # 124 and 137 are timeout's codes, but a program may return them too.
  if ((rc == 124 || rc == 137)) && ((SECONDS - start >= limit)); then
    _wine_err "$1 did not finish within ${limit}s; killing the prefix's processes"
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
    sleep 0.1
  done
  _wine_err "no wineserver for $prefix after ${limit}s"
  return 1
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
  return 0
}

# Kills whatever is left of a prefix: the Wine processes (run by the emulator
# or natively) and wineserver whose environment carries WINEPREFIX=<prefix>.
# Says so unless asked to be quiet: after a clean wineserver exit, nothing
# should be left.
_wine_sweep() {
  local prefix=$1 quiet=${2:-} env pid exe pids=()
  while IFS= read -r env; do
    pid=${env#/proc/}
    pid=${pid%/environ}
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    case $exe in
      */qemu-i386* | /usr/lib/wine/* | */wine/wine*) pids+=("$pid") ;;
    esac
  done < <(grep -lzxF "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null)
  ((${#pids[@]})) || return 0
  [[ -n $quiet ]] || _wine_err "killing leftover processes of $prefix: ${pids[*]}"
  kill -9 "${pids[@]}" 2>/dev/null || true
  return 0
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
# Stops every prefix this shell ran programs in and the Xvfb it started.
wine_cleanup() {
  local p
  for p in "${WINE_ENV_PREFIXES[@]}"; do
    wine_wait "$p" 30 || true
  done
  WINE_ENV_PREFIXES=()
  wine_stop_x
}
