#!/usr/bin/env bash
# Checks a package for ARM thin clients against the amd64 package: the same
# files and links, each in its architecture's own multiarch folders (and the
# driver host of its width), FreeRDP 3's add-in only where the package names
# FreeRDP 3; its Architecture field; every program and library in it built
# for its machine (32-bit ARM: hard-float, as armhf is).
# Usage: tools/check-deb.sh PACKAGE.deb AMD64-PACKAGE.deb
set -euo pipefail
deb=$1 reference=$2
arch=$(dpkg-deb -f "$deb" Architecture)
case "$arch" in
  arm64) triple=aarch64-linux-gnu bits=64 machine=AArch64 ;;
  armhf) triple=arm-linux-gnueabihf bits=32 machine=ARM ;;
  *) echo "check-deb: $deb: Architecture $arch is not one of the ARM packages'"; exit 1 ;;
esac
[[ "$deb" == *_"$arch".deb ]] || { echo "check-deb: $deb says Architecture $arch"; exit 1; }

# The listing's paths and link targets, one architecture's names made alike.
listing() {  # package, its triple, its driver host's width
  dpkg-deb -c "$1" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
    sed -e "s#/$2/#/<multiarch>/#" -e "s#KestavDriverHost$3#KestavDriverHost<bits>#" | sort
}
expected=$(listing "$reference" x86_64-linux-gnu 64)
dpkg-deb -f "$deb" Enhances | grep -q 'freerdp3-x11' || expected=$(grep -v 'freerdp3' <<<"$expected")
difference=$(diff <(echo "$expected") <(listing "$deb" "$triple" "$bits")) ||
  { echo "$difference"; echo "check-deb: $deb is not laid out as the amd64 package (< amd64, > $arch)"; exit 1; }

files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
dpkg-deb -x "$deb" "$files"
elves=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  header=$(readelf -h "$file")
  grep -q "^ *Machine: *$machine\$" <<<"$header" ||
    { echo "check-deb: ${file#"$files"} is not for $machine: $(grep Machine: <<<"$header")"; exit 1; }
  [ "$arch" != armhf ] || grep -q 'hard-float ABI' <<<"$header" ||
    { echo "check-deb: ${file#"$files"} is not hard-float"; exit 1; }
  elves=$((elves + 1))
done < <(find "$files" -type f -print0)
[ "$elves" -ge 6 ] || { echo "check-deb: only $elves programs and libraries in $deb"; exit 1; }
echo "$(basename "$deb"): laid out as the amd64 package in /usr/lib/$triple, $elves programs and libraries for $machine"
