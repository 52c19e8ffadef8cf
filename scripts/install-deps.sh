#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3           # host build
  mingw-w64 g++-mingw-w64-i686            # cross build of the Windows side
  lld                                     # links ldkeys.dll (lld-link)
  clang-22 lld-22                         # the ARM64X ldkeys.dll (the first to link one)
  nsis                                    # builds the installer (makensis)
  libgtest-dev                            # host unit tests
  libunicorn-dev                          # runs the ARM64X module's code in a CPU emulator
  clang-format-14                         # scripts/format.sh
  wine wine32:i386 xvfb xauth x11-apps    # the real Win32 test bed
  wine64                                  # native wineserver (only clients are emulated)
  fonts-wine fonts-liberation             # Wine's own UI fonts (recommended by Wine, not pulled in here)
  imagemagick python3-pil librsvg2-bin    # resources, screenshots, charts
  fonts-dejavu-core                       # the maker's name in the uninstaller's picture
  locales                                 # Wine tests: code page 950 (zh_TW)
  fonts-wqy-microhei                      # Wine's dialogs in code page 950 (CJK and Latin glyphs)
  fonts-sil-charis fonts-noto-mono        # the sources of the package's two fonts
  python3-fonttools                       # makes the package's fonts
  libharfbuzz-bin                         # hb-shape, hb-view: the fonts' checks and specimen
  osslsigncode openssl                    # signed releases, and the signing test's throwaway certificate
  p7zip-full                              # the signing test unpacks the signed installer (7z reads NSIS)
  python3-yaml                            # the winget manifests' test reads them
  chromium                                # the typing page's picture and test (headless, DevTools protocol)
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  rm -f /var/lib/apt/lists/*_Packages 2>/dev/null || true
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  # A mirror caught mid-sync fails one index but serves the rest: install
  # from what it gave, and let apt-get install say if that is not enough.
  apt-get update -qq || echo "install-deps: apt-get update reported errors; going on" >&2
  install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
  if ! "${install[@]}" "${missing[@]}" >/dev/null; then
    # i386 libraries must have the version of their amd64 twins. When one
    # suite's i386 index is missing, the two architectures' candidates come
    # from different suites and cannot be matched: take them from the
    # release itself.
    . /etc/os-release
    echo "install-deps: retrying with the packages of $VERSION_CODENAME itself" >&2
    "${install[@]}" -t "$VERSION_CODENAME" "${missing[@]}" >/dev/null
  fi
fi

# Wine takes its ANSI code page from the locale: 950 needs zh_TW.
if ! locale -a 2>/dev/null | grep -qix 'zh_TW.utf8'; then
  localedef -i zh_TW -f UTF-8 zh_TW.UTF-8
fi

# Kernels without ia32 emulation run Wine's i386 loader through qemu-user.
"$(dirname "$0")/../tests/wine/setup-binfmt.sh"
