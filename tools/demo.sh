#!/usr/bin/env bash
# The demo session: builds the Windows module, the simulator driver and the
# stand-in engine host if they are missing, then runs the real DLL under Wine
# through a session a server-side application would run, draws the measured
# spectrum and shows the end of the module's log.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh demo
. tools/wine-env.sh

build=build/demo-win32
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKST_TESTS=OFF >/dev/null
ninja -C "$build" kestav-host KestavClientDriverICA kst_sim >/dev/null

wine_start
mkdir -p build/demo
echo "Running the 32-bit module $build/bin/KestavClientDriverICA.dll under Wine"
echo "with the simulator driver $build/bin/drivers/Kestav/sim.dll"
echo
wine "$build/bin/kestav-host.exe" --script tools/demo-session.txt \
  --plot build/demo/spectrum.svg --show-log 14 </dev/null

echo
echo "On this machine: the picture is $(pwd)/build/demo/spectrum.svg,"
echo "the log is $(winepath -u 'C:\users' 2>/dev/null | sed 's|/$||')/$(whoami)/Temp/KestavClientDriver.log"
