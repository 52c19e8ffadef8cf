#!/usr/bin/env bash
# Builds everything and runs every test: host unit tests (ASan/UBSan),
# checks on the built images, and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"
