#!/usr/bin/env bash
# Test fixture: makes (or reuses) the template Wine prefix in $1.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

template=${1:?usage: make-template.sh TEMPLATE_DIR}
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "Wine's i386 loader does not start here; run tests/wine/setup-binfmt.sh (as root)" >&2
  exit 1
fi
start=$SECONDS
wine_make_template "$template"
echo "template prefix ready in $template ($((SECONDS - start)) s)"
