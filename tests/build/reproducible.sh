#!/usr/bin/env bash
# Builds the deliverables a second time, in a host build tree of its own
# with its own dist folder, and checks that every file it makes comes out
# byte for byte as the one in dist/: the modules, uninstall.exe, the
# keyboard chart, the fonts with their license and specimen, the typing
# page and its picture, and the installer that packs them. No link time,
# file time, build path or other accident of the build may reach them. The second build writes its files
# minutes or at least seconds after the first, so a time stamp taken from
# the clock or from a file shows up here.
#
# The second build is also the signed one, so that signing costs no third
# build: it is given a throwaway code-signing certificate, and makes the
# signed release in dist/signed/ besides the unsigned files, which are the
# ones compared here (the signing test, signed.sh, checks the signed ones).
# Every unsigned file is therefore also shown to be the same whether the
# build signs or not. It also writes the winget manifests of the signed
# installer, for the address WINGET_URL (build.winget checks them), and so
# shows that the unsigned files stay the same with them.
#
#   reproducible.sh SOURCE_DIR WORK_DIR DIST_DIR WINGET_URL
set -euo pipefail
source_dir=$1 work=$2 dist=$3 winget_url=$4

rm -rf "$work"
bash "$(dirname "$0")/test-certificate.sh" "$work/certificate"
# The default build's configuration but for the folders and the host tools
# (the chart drawer, the checksum step): they are built plainly, without
# sanitizers or optimisation, which takes a fraction of the time, and what
# they write must not depend on how they were built either. The Windows
# side is built exactly as in the default build, but without the test
# programs (BUILD_TESTING). Building the installer also builds what it
# packs; the fonts, their license and their specimen, and the typing page,
# are built along.
(cd "$source_dir" && cmake --preset default -B "$work/build" "-DDIST_DIR=$work/dist" \
  -DWITH_SANITIZERS=OFF -DCMAKE_BUILD_TYPE= -DBUILD_TESTING=OFF \
  "-DSIGN_CERT=$work/certificate/signer.pem" "-DSIGN_KEY=$work/certificate/signer.key" \
  "-DSIGN_KEY_PASSWORD_FILE=$work/certificate/signer.pass" \
  "-DWINGET_INSTALLER_URL=$winget_url") \
  >"$work.configure.log"
cmake --build "$work/build" --target setup setup-signed winget fonts fonts-specimen page >"$work.build.log"

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
done < <(find . \( -path ./signed -o -path ./winget \) -prune -o -type f -printf '%P\0' | sort -z)
for made in lindorian-setup.exe ldser.ttf ldfix.ttf OFL.txt fonts-specimen.png ldkeys.html \
            ldkeys-page.png; do
  [[ -f $made ]] || { echo "FAIL: the second build made no $made" >&2; exit 1; }
done
exit $((failures > 0))
