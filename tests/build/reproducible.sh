#!/usr/bin/env bash
# Builds the Windows side a second time, in a folder of its own, and checks
# that every deliverable comes out byte for byte as the one in dist/: no link
# time, build path or other accident of the build may reach the images.
#
#   reproducible.sh SOURCE_DIR WORK_DIR DIST_DIR PE_CHECKSUM
set -euo pipefail
source_dir=$1 work=$2 dist=$3 pe_checksum=$4

rm -rf "$work"
cmake -S "$source_dir" -B "$work/build" -G Ninja \
  "-DCMAKE_TOOLCHAIN_FILE=$source_dir/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
  "-DDIST_DIR=$work/dist" "-DPE_CHECKSUM=$pe_checksum" >"$work.configure.log"
cmake --build "$work/build" >"$work.build.log"

failures=0
cd "$work/dist"
while IFS= read -r -d '' file; do
  if cmp -s "$file" "$dist/$file"; then
    echo "same: $file ($(sha256sum <"$file" | cut -c1-16))"
  else
    echo "FAIL: $file differs from $dist/$file" >&2
    cmp -l "$file" "$dist/$file" | head -n 8 >&2 || true
    failures=$((failures + 1))
  fi
done < <(find . -type f -printf '%P\0' | sort -z)
[[ -n $(find . -type f -print -quit) ]] || { echo "FAIL: the second build made nothing" >&2; exit 1; }
exit $((failures > 0))
