#!/usr/bin/env bash
# Lets this machine run Wine's 32-bit (i386) loader.
#
# Some kernels are built or booted without ia32 emulation, so i386 ELF files
# fail with "Exec format error". There we hand them to qemu-user through
# binfmt_misc. qemu-user before 8.1 cannot give a 32-bit guest the whole
# 4 GiB address space Wine needs (it fails to map the shared user data or
# crashes later), so on Debian 12 qemu-user comes from bookworm-backports,
# pinned so that nothing else is taken from there.
#
# Idempotent: it only changes what is missing or stale. Needs root.
set -euo pipefail

wine_loader=/usr/lib/wine/wine
qemu=/usr/bin/qemu-i386
entry=/proc/sys/fs/binfmt_misc/qemu-i386
min_qemu=8.1

log() { echo "setup-binfmt: $*"; }

# Runs Wine's i386 loader; succeeds if the kernel could start it at all.
i386_runs() { "$wine_loader" --version >/dev/null 2>&1; }

qemu_version() {
  dpkg-query -W -f='${Version}' qemu-user 2>/dev/null | sed -E 's/^[0-9]+://'
}

qemu_recent_enough() {
  local v
  v=$(qemu_version)
  [[ -n $v ]] && dpkg --compare-versions "$v" ge "$min_qemu"
}

# The archive this machine's apt already takes the release itself from, so
# that backports come from the same mirror.
release_mirror() {
  apt-get indextargets --format '$(CODENAME) $(REPO_URI)' 2>/dev/null |
    awk -v codename="$1" '$1 == codename { print $2; exit }'
}

add_backports_for_qemu() {
  local codename mirror
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [[ $codename != bookworm ]]; then
    log "qemu-user in this release is older than $min_qemu and no backports suite is known for '$codename'" >&2
    return 1
  fi
  local list=/etc/apt/sources.list.d/bookworm-backports.list
  local pin=/etc/apt/preferences.d/bookworm-backports-qemu
  if [[ ! -f $list ]]; then
    mirror=$(release_mirror "$codename")
    [[ -n $mirror ]] || { log "apt has no source for $codename to take backports from" >&2; return 1; }
    echo "deb $mirror $codename-backports main" >"$list"
  fi
  cat >"$pin" <<'EOF'
# Only qemu-user (and its companions) may come from backports.
Package: *
Pin: release n=bookworm-backports
Pin-Priority: 100

Package: qemu-user qemu-user-static qemu-user-binfmt
Pin: release n=bookworm-backports
Pin-Priority: 500
EOF
}

install_qemu() {
  if ! qemu_recent_enough; then
    apt-get update -qq || log "apt-get update reported errors; going on" >&2
    local candidate
    candidate=$(apt-cache policy qemu-user | awk '/Candidate:/ {print $2}' | sed -E 's/^[0-9]+://')
    if [[ -z $candidate || $candidate == "(none)" ]] || ! dpkg --compare-versions "$candidate" ge "$min_qemu"; then
      add_backports_for_qemu
      apt-get update -qq || log "apt-get update reported errors; going on" >&2
    fi
    log "installing qemu-user"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
    qemu_recent_enough || { log "qemu-user $(qemu_version) is older than $min_qemu" >&2; return 1; }
  fi
}

mount_binfmt_misc() {
  [[ -e /proc/sys/fs/binfmt_misc/register ]] && return 0
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
}

# The registered emulator answers QEMU_VERSION through binfmt; it must be the
# installed one. With the F flag the kernel keeps the file it opened at
# registration, so after a qemu upgrade the entry still runs the old binary.
registered_qemu_is_current() {
  [[ -e $entry ]] && grep -qx enabled "$entry" || return 1
  local running installed
  running=$(QEMU_VERSION=1 "$wine_loader" 2>/dev/null | head -n1) || return 1
  installed=$("$qemu" --version | head -n1)
  [[ -n $running && $running == "$installed" ]]
}

register_qemu() {
  [[ -e $entry ]] && echo -1 >"$entry"
  # Matches i386 ELF executables and shared objects. P keeps argv[0] (Wine
  # re-executes itself by name); F opens the emulator now so it also works
  # inside chroots and namespaces.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':FP' \
    >/proc/sys/fs/binfmt_misc/register
}

main() {
  if [[ ! -x $wine_loader ]]; then
    log "$wine_loader is missing (package wine32:i386)" >&2
    exit 1
  fi
  # A kernel that runs i386 itself needs no emulator; an entry someone else
  # registered is left alone only if it runs the qemu we have.
  if [[ ! -e $entry ]] && i386_runs; then
    log "i386 binaries run natively"
    exit 0
  fi
  install_qemu
  mount_binfmt_misc
  if ! registered_qemu_is_current; then
    log "registering $qemu for i386 binaries"
    register_qemu
  fi
  if ! i386_runs; then
    log "Wine's i386 loader still does not start" >&2
    exit 1
  fi
}

main "$@"
