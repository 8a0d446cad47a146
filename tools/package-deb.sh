#!/usr/bin/env bash
# Builds the Debian package for Linux thin clients:
#   build/packages/kestav-client_<version>_<arch>.deb
# for amd64 PCs, and for ARM thin clients (arm64, armhf) with Debian's cross
# compilers: the same layout in each architecture's own multiarch folders.
# One package for FreeRDP 2 and 3 alike: it installs the add-in built for
# each major, the driver host and the simulator under /usr/lib/kestav/
# (drivers in /usr/lib/kestav/drivers/Kestav/, beside the add-ins' real
# files) and links each build into its major's add-in folder as
# libkestav-client.so, where xfreerdp /dvc:kestav (FreeRDP 2) and xfreerdp3
# /dvc:kestav (FreeRDP 3) find it, and /vc:kestav too (the same file is the
# static channel plug-in). The static plug-in alone, which needs no FreeRDP
# library, is linked into Horizon's Linux VC bridge folders
# (/usr/lib/vmware/rdpvcbridge/, /usr/lib/omnissa/rdpvcbridge/) as
# libkestav-static.so. It depends on neither major (each build is
# loaded only by its own FreeRDP), so it installs with either or both, and a
# FreeRDP installed later finds its build at once. The client check goes in as
# /usr/bin/kestav-check; the ICA module for the Citrix Workspace app for Linux
# goes in as /usr/lib/kestav/KestavClientDriverICA.so, and the package's
# scripts register it with a client in /opt/Citrix/ICAClient (kestav-register:
# the link VDKESTAV.DLL there, its entries in config/module.ini) and take that
# away on removal. The settings file /etc/kestav/client.conf (every
# setting at its default, commented) is a conffile. Removing the package
# removes all of it but a changed settings file (dpkg takes an add-in folder
# away only when nothing else is in it); purging removes that too.
# Usage: tools/package-deb.sh [--out DIR] [--arch amd64|arm64|armhf]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/packages
arch=amd64
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    *) echo "usage: tools/package-deb.sh [--out DIR] [--arch amd64|arm64|armhf]" >&2; exit 2 ;;
  esac
done
# Each architecture's multiarch triple, the width of its driver host, the
# toolchain file of its cross build and the FreeRDP majors Debian has for it
# (FreeRDP 3 comes from Debian 12's backports suite, which has no armhf build).
case "$arch" in
  amd64) triple=x86_64-linux-gnu bits=64 toolchain=() majors=(2 3) ;;
  arm64) triple=aarch64-linux-gnu bits=64 toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/linux-arm64.cmake) majors=(2 3) ;;
  armhf) triple=arm-linux-gnueabihf bits=32 toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake) majors=(2) ;;
  *) echo "package-deb: no such architecture: $arch (amd64, arm64, armhf)" >&2; exit 2 ;;
esac
strip=strip
[ "$arch" = amd64 ] || strip=$triple-strip
[ "${SKIP_INSTALL:-}" = 1 ] || tools/install-deps.sh realstack
version=$(sed -n 's/^project(KestavClientDriver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
build=build/package-linux
[ "$arch" = amd64 ] || build=build/package-linux-$arch
# Where it is, on standard error (standard output is the package's path).
step() { echo "package-deb: [$1/3] $2" >&2; }
step 1 "building the add-ins, the ICA module, the driver host and the tools in $build (minutes the first time)"
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DKST_TESTS=OFF "${toolchain[@]}" >/dev/null
ninja -C "$build" "${majors[@]/#/kestav-client-freerdp}" kestav-static kst_driver_host kst_sim kestav-check \
  KestavClientDriverICA kestav-register >/dev/null 2>&1 || true
for major in "${majors[@]}"; do
  [ -f "$build/bin/libkestav-client-freerdp$major.so" ] ||
    { echo "package-deb: no add-in built for FreeRDP $major (freerdp$major-dev, or libwinpr$major-dev:$arch, missing?)" >&2; exit 1; }
done
ninja -C "$build" kestav-static kst_driver_host kst_sim kestav-check KestavClientDriverICA kestav-register >/dev/null

stage=build/package-deb-stage
[ "$arch" = amd64 ] || stage=build/package-deb-stage-$arch
step 2 "laying out the package in $stage"
rm -rf "$stage" && mkdir -p "$stage/DEBIAN" "$stage/usr/lib/kestav/drivers/Kestav" \
  "$stage/usr/share/doc/kestav-client" "$stage/usr/bin" "$stage/etc/kestav"
for major in "${majors[@]}"; do
  $strip -o "$stage/usr/lib/kestav/libkestav-client-freerdp$major.so" "$build/bin/libkestav-client-freerdp$major.so"
  mkdir -p "$stage/usr/lib/$triple/freerdp$major"
  ln -s "../../kestav/libkestav-client-freerdp$major.so" \
    "$stage/usr/lib/$triple/freerdp$major/libkestav-client.so"
done
$strip -o "$stage/usr/lib/kestav/libkestav-static.so" "$build/bin/libkestav-static.so"
for bridge in vmware omnissa; do
  mkdir -p "$stage/usr/lib/$bridge/rdpvcbridge"
  ln -s ../../kestav/libkestav-static.so "$stage/usr/lib/$bridge/rdpvcbridge/libkestav-static.so"
done
$strip -o "$stage/usr/lib/kestav/drivers/Kestav/sim.so" "$build/bin/drivers/Kestav/sim.so"
$strip -o "$stage/usr/lib/kestav/kestav-check" "$build/bin/kestav-check"
$strip -o "$stage/usr/lib/kestav/KestavDriverHost$bits" "$build/bin/KestavDriverHost$bits"
$strip -o "$stage/usr/lib/kestav/KestavClientDriverICA.so" "$build/bin/KestavClientDriverICA.so"
$strip -o "$stage/usr/lib/kestav/kestav-register" "$build/bin/kestav-register"
cp packaging/linux/client.conf "$stage/etc/kestav/client.conf"
ln -s ../lib/kestav/kestav-check "$stage/usr/bin/kestav-check"
cp docs/administrators.md "$stage/usr/share/doc/kestav-client/"
chmod -R u=rwX,go=rX "$stage"
echo /etc/kestav/client.conf >"$stage/DEBIAN/conffiles"
install -m 755 packaging/linux/postinst packaging/linux/prerm "$stage/DEBIAN/"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
clients="FreeRDP 2 (xfreerdp)"
[ "${#majors[@]}" = 1 ] || clients="FreeRDP 2 (xfreerdp) and FreeRDP 3 (xfreerdp3)"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: kestav-client
Version: $version
Architecture: $arch
Maintainer: Kestav <support@kestav.example>
Installed-Size: $size
Depends: libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1
Enhances: $(printf 'freerdp%s-x11, ' "${majors[@]}")icaclient
Section: net
Priority: optional
Description: Kestav client driver for FreeRDP, Horizon and Citrix (colour-measurement instruments)
 Lets an application in a remote session drive a spectrophotometer plugged
 into this PC: a FreeRDP add-in for $clients,
 dynamic (/dvc:kestav) or static (/vc:kestav), the static
 channel plug-in for Horizon's Linux client (its rdpvcbridge folder), the ICA
 module for the Citrix Workspace app for Linux (registered in
 /opt/Citrix/ICAClient where it is installed), with the driver host, the
 simulator driver and the client check (kestav-check).
 Instrument drivers go in /usr/lib/kestav/drivers/Kestav/; settings in
 /etc/kestav/client.conf.
CONTROL
mkdir -p "$out"
deb="$out/kestav-client_${version}_$arch.deb"
step 3 "writing $deb"
dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
echo "$deb"
