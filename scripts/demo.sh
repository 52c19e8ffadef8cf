#!/usr/bin/env bash
# Shows the uninstaller at work under Wine: prepares a complete package
# installation in a fresh prefix, runs dist/uninstall.exe with the box driver
# answering OK, saves a screenshot of the window with the confirmation box
# to dist/uninstall-confirm.png, and reports what the run removed.
#
# Needs the build (scripts/build.sh runs this at its end).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source tests/wine/wine-env.sh
source tests/wine/package.sh

exe=$root/dist/uninstall.exe
ldkeys=$root/dist/ldkeys.dll
driver=$root/build/default/windows/tests/windows/boxdriver.exe
work=$root/build/default/wine/demo
prefix=$work/prefix
screenshot=$root/dist/uninstall-confirm.png

# Code page 950, where the EUDC link names are the package's faces.
export LC_CTYPE=zh_TW.UTF-8
unset LC_ALL

cleanup() {
  wine_remove_prefix "$prefix"
  wine_cleanup
}
trap cleanup EXIT

for f in "$exe" "$ldkeys" "$driver"; do
  [[ -f $f ]] || { echo "demo: $f is missing; build first" >&2; exit 1; }
done

# Wine draws the window frames itself: there is no window manager on the
# headless display. Its frame buttons need the Marlett font, which Debian's
# Wine does not find in its own font folder.
frames_registry_text() {
  cat <<'EOF'
[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"

EOF
}

# Waits for the driver's marker, takes the screenshot of the main window's
# rectangle around the window and the box (written in the marker), and
# lets the driver go on.
take_screenshot() {
  local signals=$1 left top width height i
  for ((i = 0; i < 1800; i++)); do
    [[ -s $signals/box-up ]] && break
    sleep 0.1
  done
  if read -r left top width height <"$signals/box-up" 2>/dev/null; then
    import -display "$DISPLAY" -window root -crop "${width}x${height}+${left}+${top}" +repage "$screenshot" ||
      echo "demo: screenshot failed" >&2
  fi
  touch "$signals/go"
}

echo "== Preparing a complete package installation in a fresh Wine prefix"
start=$SECONDS
unset DISPLAY  # a headless display of its own, whatever this shell has
wine_start_x
wine_make_template "$root/build/default/wine/template"
rm -rf "$work"
mkdir -p "$work/signals"
wine_copy_prefix "$root/build/default/wine/template" "$prefix"
pkg_install_files "$prefix" "$ldkeys"
[[ ! -f /usr/share/wine/fonts/marlett.ttf ]] || cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
{ frames_registry_text; pkg_trace_registry_text; pkg_registry_text "$(pkg_wine_layout)"; } >"$work/install.reg"
pkg_import "$prefix" "$work/install.reg"
pkg_list "$prefix" "$work/before.txt"

echo "== Running dist/uninstall.exe; the box driver answers OK"
rm -f "$screenshot"
take_screenshot "$work/signals" &
shot=$!
rc=0
PKG_UNINSTALL_DEBUG=+relay pkg_run_uninstaller "$prefix" "$exe" "$driver" "$work/uninstall.log" ok \
  --window "$(wine_winpath "$exe")" --pause "$(wine_winpath "$work/signals")" || rc=$?
touch "$work/signals/go"
wait "$shot" || true
pkg_list "$prefix" "$work/after.txt"

echo
echo "== What the uninstaller removed"
pkg_report "$work/before.txt" "$work/after.txt"
echo
echo "== Its calls whose effects the prefix does not keep (Wine's trace)"
pkg_traced_calls "$work/uninstall.log" | sed 's/^/  /'
echo
[[ -f $screenshot ]] && echo "Screenshot of the confirmation: dist/uninstall-confirm.png"
echo "Demo took $((SECONDS - start)) s"
exit $rc
