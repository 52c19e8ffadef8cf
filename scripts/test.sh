#!/usr/bin/env bash
# Builds everything and runs every test: host unit tests (ASan/UBSan),
# checks on the built images, and the end-to-end tests under Wine. As many
# tests run at once as the machine has cores: each Wine case has its own
# prefix and X server, and a test that cannot share the machine says so in
# CTest (RESOURCE_LOCK or RUN_SERIAL). Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default --parallel "$(nproc)" "$@"
