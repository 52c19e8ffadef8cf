#!/usr/bin/env bash
# Builds the deliverables into dist/ and shows the main job running.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

echo
echo "== Keyboard chart"
scripts/render-chart.sh

echo
echo "== Deliverables"
ls -l dist/

echo
echo "== The uninstaller under Wine"
scripts/demo.sh
