#!/usr/bin/env bash
# Installs what the build needs on a Debian machine, skipping what is there.
# Usage: tools/install-deps.sh demo|test|package|realstack
set -euo pipefail

need=(cmake ninja-build g++ libboost-dev g++-mingw-w64-i686-posix wine wine32:i386)
if [ "${1:-test}" = test ] || [ "${1:-}" = package ]; then
  need+=(g++-mingw-w64-x86-64-posix wine64 wixl msitools osslsigncode openssl libxml2-utils llvm)
fi
if [ "${1:-test}" = test ] || [ "${1:-}" = realstack ]; then
  need+=(xrdp xorgxrdp freerdp2-x11 freerdp2-dev xvfb)
fi
if [ "${1:-test}" = test ]; then
  need+=(googletest libbenchmark-dev clang libclang-rt-dev lld)
fi

missing=()
for package in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
