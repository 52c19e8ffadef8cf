#!/usr/bin/env bash
# Builds the deliverables into dist/ and shows the main job running.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
# Also draws the keyboard chart (scripts/render-chart.sh) and packs the
# installer, dist/lindorian-setup.exe.
cmake --build --preset default

echo
echo "== Deliverables"
ls -l dist/

echo
echo "== Installing and removing the package under Wine"
scripts/demo.sh
