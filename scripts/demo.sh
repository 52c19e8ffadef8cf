#!/usr/bin/env bash
# Shows the package's round trip under Wine: installs it into a fresh prefix
# with dist/lindorian-setup.exe (the box driver going through the pages),
# adds the EUDC links and Office add-ins the installer does not bring, runs
# the installed uninstall.exe through Setup's removal companion, as the
# Start menu's Uninstall and Apps & features do, with the box driver
# answering OK, and
# reports what each step changed, then restarts the prefix, which deletes
# what the uninstaller left for the restart. Screenshots: the installer's first
# page (dist/setup-welcome.png), the uninstaller's confirmation
# (dist/uninstall-confirm.png), and the two side by side
# (dist/setup-and-uninstall.png).
#
# Needs the build (scripts/build.sh runs this at its end).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source tests/wine/wine-env.sh
source tests/wine/package.sh

setup=$root/dist/lindorian-setup.exe
driver=$root/build/default/windows/tests/windows/boxdriver.exe
work=$root/build/default/wine/demo
prefix=$work/prefix
setup_shot=$root/dist/setup-welcome.png
uninstall_shot=$root/dist/uninstall-confirm.png
both_shots=$root/dist/setup-and-uninstall.png
uninstall="$PKG_INSTALL\\uninstall.exe"
companion="$PKG_INSTALL\\ldremove.exe"

# Code page 950, where the EUDC link names are the package's faces.
export LC_CTYPE=zh_TW.UTF-8
unset LC_ALL

cleanup() {
  wine_remove_prefix "$prefix"
  wine_cleanup
}
trap cleanup EXIT

for f in "$setup" "$driver"; do
  [[ -f $f ]] || { echo "demo: $f is missing; build first" >&2; exit 1; }
done

# Wine draws the window frames itself: there is no window manager on the
# headless display. Its frame buttons need the Marlett font, which Debian's
# Wine does not find in its own font folder.
frames_registry_text() {
  cat <<'REG'
[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"

REG
}

# Usage: take_screenshot SIGNALS OUTPUT &
# Waits for the driver's marker, takes the screenshot of the rectangle
# written in it (around the windows the driver found), and lets the driver
# go on.
take_screenshot() {
  local signals=$1 output=$2 left top width height i
  for ((i = 0; i < 1800; i++)); do
    [[ -s $signals/box-up ]] && break
    sleep 0.1
  done
  if read -r left top width height <"$signals/box-up" 2>/dev/null; then
    import -display "$DISPLAY" -window root -crop "${width}x${height}+${left}+${top}" +repage "$output" ||
      echo "demo: screenshot failed" >&2
  fi
  touch "$signals/go"
}

# Usage: run_with_screenshot NAME OUTPUT PROGRAM EXIT_CODE DRIVER_ARGS...
# Runs PROGRAM beside the box driver, which pauses for the screenshot.
run_with_screenshot() {
  local name=$1 output=$2 program=$3 expected=$4 shot rc=0
  shift 4
  mkdir -p "$work/$name"
  rm -f "$output"
  take_screenshot "$work/$name" "$output" &
  shot=$!
  pkg_run_driven "$prefix" "$program" "$expected" "$driver" "$work/$name.log" \
    "$@" --pause "$(wine_winpath "$work/$name")" || rc=$?
  touch "$work/$name/go"
  wait "$shot" || true
  return $rc
}

echo "== A fresh Wine prefix with the keyboard layouts Windows always has"
start=$SECONDS
unset DISPLAY  # a headless display of its own, whatever this shell has
wine_start_x
# Wine sets a prefix's fonts up for the code page it is made in: a template
# of its own, made in code page 950, lets window captions and message boxes
# show Chinese text.
template=$root/build/default/wine/template-cp950
wine_make_template "$template"
rm -rf "$work"
mkdir -p "$work"
wine_copy_prefix "$template" "$prefix"
pkg_profile_paths "$prefix"
[[ ! -f /usr/share/wine/fonts/marlett.ttf ]] || cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
{ frames_registry_text; pkg_trace_registry_text; pkg_layouts_registry_text; } >"$work/machine.reg"
pkg_import "$prefix" "$work/machine.reg"
pkg_list "$prefix" "$work/machine.txt"

echo "== Running dist/lindorian-setup.exe; the box driver goes through its pages"
rc=0
run_with_screenshot setup "$setup_shot" "$setup" 0 setup || rc=$?
pkg_list "$prefix" "$work/installed.txt"
echo
echo "== What the installer added"
pkg_report "$work/machine.txt" "$work/installed.txt"

echo
echo "== Adding the EUDC links and Office add-ins the installer does not bring"
pkg_install_extras "$prefix"
pkg_extras_registry_text >"$work/extras.reg"
pkg_import "$prefix" "$work/extras.reg"
pkg_list "$prefix" "$work/complete.txt"

echo "== Removing the package as Start > Lindorian > Uninstall does: ldremove.exe"
echo "   runs a copy of the installed uninstall.exe, the box driver answers OK,"
echo "   and then takes the Apps & features entry back"
# Nothing is in use, so nothing waits for a restart: ldremove.exe exits
# with 0.
PKG_UNINSTALL_DEBUG=+relay run_with_screenshot uninstall "$uninstall_shot" "$companion" 0 \
  ok --window "$uninstall" || rc=$?
pkg_await_companion_end "$prefix" 'C:\Program Files\Krelmo' || rc=$?
pkg_list "$prefix" "$work/removed.txt"
echo
echo "== What the uninstaller removed"
pkg_report "$work/complete.txt" "$work/removed.txt"
echo
echo "== Its calls whose effects the prefix does not keep (Wine's trace)"
pkg_traced_calls "$work/uninstall.log" | sed 's/^/  /'
echo
echo "== What waits for the restart: nothing, as nothing of the package was in"
echo "   use (the companion moved its own file out of the install folder and ran"
echo "   uninstall.exe from a private folder, which is gone too)"
python3 "$PKG_STATE" pending "$work/removed.txt" | sed 's/^/  /'
echo
echo "== Restarting (Wine carries out that list when its next session starts)"
wine_run "$prefix" 120 cmd /c exit 0 || rc=$?
pkg_list "$prefix" "$work/restarted.txt"
echo "== What the restart changed"
pkg_report "$work/removed.txt" "$work/restarted.txt"
echo
echo "== Against the machine before the installation: only Office's and the EUDC"
echo "   settings stay, and the folders the demo put the Office add-ins in"
pkg_report "$work/machine.txt" "$work/restarted.txt"
echo

if [[ -f $setup_shot && -f $uninstall_shot ]]; then
  convert "$setup_shot" "$uninstall_shot" -bordercolor white -border 8 \
    -background white -gravity center +append "$both_shots"
  echo "Screenshots: dist/setup-welcome.png, dist/uninstall-confirm.png, side by side in dist/setup-and-uninstall.png"
fi
echo "Demo took $((SECONDS - start)) s"
exit $rc
