#!/usr/bin/env bash
# Builds the Debian package for Linux thin clients:
#   build/packages/kestav-client_<version>_amd64.deb
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
# Usage: tools/package-deb.sh [--out DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/packages
[ "${1:-}" = --out ] && out=$2
[ "${SKIP_INSTALL:-}" = 1 ] || tools/install-deps.sh realstack
version=$(sed -n 's/^project(KestavClientDriver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
build=build/package-linux
# Where it is, on standard error (standard output is the package's path).
step() { echo "package-deb: [$1/3] $2" >&2; }
step 1 "building the add-ins, the ICA module, the driver host and the tools in $build (minutes the first time)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKST_TESTS=OFF >/dev/null
majors=(2 3)
ninja -C "$build" "${majors[@]/#/kestav-client-freerdp}" kestav-static kst_driver_host kst_sim kestav-check \
  KestavClientDriverICA kestav-register >/dev/null 2>&1 || true
for major in "${majors[@]}"; do
  [ -f "$build/bin/libkestav-client-freerdp$major.so" ] ||
    { echo "package-deb: no add-in built for FreeRDP $major (freerdp$major-dev missing?)" >&2; exit 1; }
done
ninja -C "$build" kestav-static kst_driver_host kst_sim kestav-check KestavClientDriverICA kestav-register >/dev/null

step 2 "laying out the package in build/package-deb-stage"
stage=build/package-deb-stage
rm -rf "$stage" && mkdir -p "$stage/DEBIAN" "$stage/usr/lib/kestav/drivers/Kestav" \
  "$stage/usr/share/doc/kestav-client" "$stage/usr/bin" "$stage/etc/kestav"
for major in "${majors[@]}"; do
  strip -o "$stage/usr/lib/kestav/libkestav-client-freerdp$major.so" "$build/bin/libkestav-client-freerdp$major.so"
  mkdir -p "$stage/usr/lib/x86_64-linux-gnu/freerdp$major"
  ln -s "../../kestav/libkestav-client-freerdp$major.so" \
    "$stage/usr/lib/x86_64-linux-gnu/freerdp$major/libkestav-client.so"
done
strip -o "$stage/usr/lib/kestav/libkestav-static.so" "$build/bin/libkestav-static.so"
for bridge in vmware omnissa; do
  mkdir -p "$stage/usr/lib/$bridge/rdpvcbridge"
  ln -s ../../kestav/libkestav-static.so "$stage/usr/lib/$bridge/rdpvcbridge/libkestav-static.so"
done
strip -o "$stage/usr/lib/kestav/drivers/Kestav/sim.so" "$build/bin/drivers/Kestav/sim.so"
strip -o "$stage/usr/lib/kestav/kestav-check" "$build/bin/kestav-check"
strip -o "$stage/usr/lib/kestav/KestavDriverHost64" "$build/bin/KestavDriverHost64"
strip -o "$stage/usr/lib/kestav/KestavClientDriverICA.so" "$build/bin/KestavClientDriverICA.so"
strip -o "$stage/usr/lib/kestav/kestav-register" "$build/bin/kestav-register"
cp packaging/linux/client.conf "$stage/etc/kestav/client.conf"
ln -s ../lib/kestav/kestav-check "$stage/usr/bin/kestav-check"
cp docs/administrators.md "$stage/usr/share/doc/kestav-client/"
chmod -R u=rwX,go=rX "$stage"
echo /etc/kestav/client.conf >"$stage/DEBIAN/conffiles"
install -m 755 packaging/linux/postinst packaging/linux/prerm "$stage/DEBIAN/"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: kestav-client
Version: $version
Architecture: amd64
Maintainer: Kestav <support@kestav.example>
Installed-Size: $size
Depends: libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1
Enhances: freerdp2-x11, freerdp3-x11, icaclient
Section: net
Priority: optional
Description: Kestav client driver for FreeRDP, Horizon and Citrix (colour-measurement instruments)
 Lets an application in a remote session drive a spectrophotometer plugged
 into this PC: a FreeRDP add-in for FreeRDP 2 (xfreerdp) and FreeRDP 3
 (xfreerdp3), dynamic (/dvc:kestav) or static (/vc:kestav), the static
 channel plug-in for Horizon's Linux client (its rdpvcbridge folder), the ICA
 module for the Citrix Workspace app for Linux (registered in
 /opt/Citrix/ICAClient where it is installed), with the driver host, the
 simulator driver and the client check (kestav-check).
 Instrument drivers go in /usr/lib/kestav/drivers/Kestav/; settings in
 /etc/kestav/client.conf.
CONTROL
mkdir -p "$out"
deb="$out/kestav-client_${version}_amd64.deb"
step 3 "writing $deb"
dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
echo "$deb"
