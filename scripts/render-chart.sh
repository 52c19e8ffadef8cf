#!/usr/bin/env bash
# Draws the keyboard chart of the built layout module and renders it:
#   dist/ldkeys-chart.svg   drawn by kbdinspect from dist/ldkeys.dll's tables
#   dist/ldkeys-chart.png   the same, rendered by librsvg
# With --update-docs it also refreshes docs/ldkeys-chart.png, the picture the
# README shows (commit it along with a change to the layout).
#
# The build runs it once dist/ldkeys.dll is linked, with KBDINSPECT naming
# the inspector it built and DIST_DIR the build's dist folder (an absolute
# path); by hand it takes the default build's and the repository's dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

kbdinspect=${KBDINSPECT:-build/default/tools/kbdinspect/kbdinspect}
dist=${DIST_DIR:-dist}
module=$dist/ldkeys.dll
svg=$dist/ldkeys-chart.svg
png=$dist/ldkeys-chart.png
docs=docs/ldkeys-chart.png

"$kbdinspect" svg "$module" "$svg"
# The 64-bit modules come from the same tables: their chart is this one,
# and so is the chart of the ARM64X module's ARM64EC view.
same_chart() {
  "$kbdinspect" svg "$@" | cmp -s - "$svg" || { echo "render-chart: svg $* draws another chart" >&2; exit 1; }
}
for other in "$dist"/{wow64,amd64,arm64}/ldkeys.dll; do
  same_chart "$other"
done
same_chart --ec "$dist/arm64/ldkeys.dll"
echo "render-chart: the WOW64 and amd64 modules and both views of the arm64 one draw the same chart"
# 1.5 times the drawing's size, so that the picture stays sharp when the
# README shows it scaled down, or on a high-density screen.
rsvg-convert --zoom 1.5 --background-color white --output "$png" "$svg"

if [[ "${1:-}" == --update-docs ]] && ! cmp -s "$png" "$docs"; then
  mkdir -p "$(dirname "$docs")"
  cp "$png" "$docs"
  echo "render-chart: $docs updated"
fi
ls -l "$svg" "$png"
