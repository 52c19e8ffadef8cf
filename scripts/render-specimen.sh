#!/usr/bin/env bash
# Shows why the package has fonts of its own: one line of the romanization,
# typed through the built layout module (kbdinspect type), rendered by
# HarfBuzz (hb-view) in a font that lacks some of what the layout types and in
# the two built fonts, each under a label:
#   dist/fonts-specimen.png
# With --update-docs it also refreshes docs/fonts-specimen.png, the picture
# the README shows (commit it along with a change to the fonts or layout).
#
# The build runs it once the module and the fonts are made, with KBDINSPECT
# naming the inspector it built and DIST_DIR the build's dist folder (an
# absolute path); by hand it takes the default build's and the repository's
# dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

kbdinspect=${KBDINSPECT:-build/default/tools/kbdinspect/kbdinspect}
dist=${DIST_DIR:-dist}
png=$dist/fonts-specimen.png
docs=docs/fonts-specimen.png
label_font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
lacking_font=/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf

# Words that use all seven marks after their letters (acute, grave,
# circumflex, macron, vertical line above, breve, dot above right), and ṳ
# and ⁿ, which have keys of their own.
strokes=(shift+k e quote l o space m i grave space t a shift+6 n space
         o equals r a space l u shift+backslash n space b o q space
         k a shift+9 space h z space s i x period)
line=$("$kbdinspect" type "$dist/ldkeys.dll" "${strokes[@]}" | sed -n 's/^text: //p')
[[ -n $line ]] || { echo "render-specimen: $dist/ldkeys.dll typed nothing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# render NAME FONT SIZE COLOUR TEXT
render() {
  hb-view --font-file="$2" --font-size="$3" --foreground="$4" --margin=4,16,4,16 \
    --output-format=png --output-file="$work/$1.png" --text="$5"
}
render 1-label "$label_font" 22 666666 "Liberation Mono: a box where it lacks the mark or the letter"
render 2-line "$lacking_font" 44 000000 "$line"
render 3-label "$label_font" 22 666666 "Lindorian Serif (ldser.ttf)"
render 4-line "$dist/ldser.ttf" 44 000000 "$line"
render 5-label "$label_font" 22 666666 "Lindorian Fixed (ldfix.ttf)"
render 6-line "$dist/ldfix.ttf" 44 000000 "$line"
# Stacked on white, left-aligned; no time stamps in the PNG, so that every
# build gives the same file.
convert -background white "$work"/*.png -gravity west -append -bordercolor white -border 12 \
  -define png:exclude-chunks=date,time +set date:create +set date:modify "PNG:$png.partial"
mv "$png.partial" "$png"

if [[ "${1:-}" == --update-docs ]] && ! cmp -s "$png" "$docs"; then
  mkdir -p "$(dirname "$docs")"
  cp "$png" "$docs"
  echo "render-specimen: $docs updated"
fi
echo "render-specimen: $line"
ls -l "$png"
