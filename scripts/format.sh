#!/usr/bin/env bash
# Formats every C++ source the repository tracks in the style of
# .clang-format. With --check it changes nothing, lists what is not yet
# formatted and fails if anything is.
set -euo pipefail
cd "$(dirname "$0")/.."

format=$(command -v clang-format-14 || command -v clang-format || true)
[[ -n $format ]] || { echo "format: clang-format not found (scripts/install-deps.sh installs it)" >&2; exit 1; }

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
if [[ "${1:-}" == --check ]]; then
  "$format" --dry-run --Werror "${files[@]}"
else
  "$format" -i "${files[@]}"
fi
