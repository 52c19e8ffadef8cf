#!/usr/bin/env bash
# Writes the typing page of the built layout module and its picture:
#   dist/ldkeys.html       made by kbdinspect from dist/ldkeys.dll, with
#                          Lindorian Serif and Lindorian Fixed embedded
#   dist/ldkeys-page.png   the page under headless Chromium, a line typed
#                          into it through its own key handling
# With --update-docs it also refreshes docs/ldkeys-page.png, the picture the
# README shows (commit it along with a change to the layout or the page).
#
# The build runs it once the module and the fonts are made, with KBDINSPECT
# naming the inspector it built and DIST_DIR the build's dist folder (an
# absolute path); by hand it takes the default build's and the repository's
# dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

kbdinspect=${KBDINSPECT:-build/default/tools/kbdinspect/kbdinspect}
dist=${DIST_DIR:-dist}
html=$dist/ldkeys.html
png=$dist/ldkeys-page.png
docs=docs/ldkeys-page.png

"$kbdinspect" html --font "$dist/ldser.ttf" --fixed "$dist/ldfix.ttf" "$dist/ldkeys.dll" "$html"

# Physical keys, by KeyboardEvent.code: a few words with their marks typed
# after the letters, ending on a letter and its mark so that the line below
# the text shows both code points.
strokes=(Shift+KeyK KeyE Quote KeyL KeyO Space KeyM KeyI Backquote Space KeyT KeyA Shift+Digit6
         KeyN Space KeyO Equal KeyR KeyA Space KeyL KeyU Shift+Backslash KeyN Space KeyB KeyO KeyQ)
/usr/bin/python3 scripts/headless_chromium.py screenshot "$html" "$png" "${strokes[@]}"

if [[ "${1:-}" == --update-docs ]] && ! cmp -s "$png" "$docs"; then
  mkdir -p "$(dirname "$docs")"
  cp "$png" "$docs"
  echo "render-page: $docs updated"
fi
ls -l "$html" "$png"
