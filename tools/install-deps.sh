#!/usr/bin/env bash
# Installs what the build needs on a Debian machine, skipping what is there.
# Usage: tools/install-deps.sh demo|demo32|test|package|realstack
# Wine's 32-bit side only where this machine runs 32-bit programs at all
# (tools/machine.sh): elsewhere it could not start.
# FreeRDP 3 comes from the backports suite on Debian 12 (whose own suite has
# FreeRDP 2 only): the suite is added to apt's sources for the install and
# taken out again afterwards, so that nothing else is upgraded from it later.
set -euo pipefail

. "$(dirname "$0")/machine.sh"
newer=()  # from the backports suite on Debian 12
need=(cmake ninja-build g++ libboost-dev g++-mingw-w64-x86-64-posix wine wine64)
case "${1:-test}" in
  demo) ;;
  *) need+=(g++-mingw-w64-i686-posix) ;;
esac
if [ "${1:-test}" != demo ] && runs_32bit; then
  need+=(wine32:i386)
fi
if [ "${1:-test}" = test ] || [ "${1:-}" = package ]; then
  need+=(wixl msitools osslsigncode openssl libxml2-utils llvm)
fi
if [ "${1:-test}" = test ] || [ "${1:-}" = realstack ]; then
  need+=(xrdp xorgxrdp freerdp2-x11 freerdp2-dev xvfb)
  newer+=(freerdp3-x11 freerdp3-dev)
fi
if [ "${1:-test}" = test ]; then
  need+=(googletest libbenchmark-dev clang libclang-rt-dev lld)
  # ARM thin clients: the cross compilers, and qemu to run their tests here.
  need+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static)
  # FreeRDP's libraries of those architectures beside this machine's own
  # (multiarch), for the add-ins' cross builds; the headers are the same for
  # every architecture and come with this machine's -dev packages. The
  # versions must match this machine's, which apt may upgrade to match.
  # Debian 12's backports suite has FreeRDP 3 for arm64, not for armhf; its
  # libwinpr3-dev does not install beside this machine's (one header differs),
  # so the build links the library's own file (libwinpr3.so.3).
  for arch in arm64 armhf; do
    need+=("libwinpr2-dev:$arch" "libfreerdp-client2-2:$arch")
  done
  newer+=(libfreerdp-client3-3:arm64)
fi
if [ "${1:-test}" = test ] || [ "${1:-}" = realstack ]; then
  # The arm64 client's own system, made under build/ (tools/arm64-client.sh).
  need+=(debootstrap)
fi

missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
  done
}
mapfile -t missing < <(missing "${need[@]}")
mapfile -t missing_newer < <(missing "${newer[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_newer[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The architectures named after a package (name:arch) that dpkg does not take yet.
add_architectures() {
  local arch
  for arch in $(printf '%s\n' "$@" | sed -n 's/.*:\(.*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
  done
}
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  add_architectures "${missing[@]}"
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_newer[@]} -gt 0 ]; then
  echo "installing: ${missing_newer[*]}"
  add_architectures "${missing_newer[@]}"
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ "$codename" = bookworm ]; then
    # The archive Debian's own sources name, with its backports suite.
    archive=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
    [ -n "$archive" ] || archive=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
    [ -n "$archive" ] || archive=http://deb.debian.org/debian
    list=/etc/apt/sources.list.d/kestav-bookworm-backports.sources
    trap '$SUDO rm -f "$list"; $SUDO apt-get update -q >/dev/null 2>&1 || true' EXIT
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
      "$archive" /usr/share/keyrings/debian-archive-keyring.gpg | $SUDO tee "$list" >/dev/null
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends -t bookworm-backports "${missing_newer[@]}"
  else
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing_newer[@]}"
  fi
fi
