#!/usr/bin/env bash
# The demo session: builds the Windows module (64-bit unless --32), the
# simulator driver and kestav-host (our stand-in for the Citrix client's
# engine: it loads the module as the engine does and writes commands into its
# channels), then runs the real DLL under Wine through the session a
# server-side application would run, draws the measured spectrum and shows the
# end of the module's log.
set -euo pipefail
cd "$(dirname "$0")/.."
bits=64
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: tools/demo.sh [--32]
Builds the 64-bit Windows module (--32: the 32-bit one), the simulator driver and
kestav-host (a stand-in for the Citrix client's engine), then runs a measuring
session through the real DLL under Wine: each command and its response (set-up,
calibration, a measurement), the measured spectrum drawn in the terminal and into
build/demo/spectrum.svg, and the end of the module's log. Everything goes into
build/ (Wine's own prefix too, in build/demo/wine): nothing of yours changes.
About two minutes the first time, with its progress shown; seconds after that.
USAGE
    exit 0 ;;
  --32) bits=32 ;;
  "") ;;
  *) echo "tools/demo.sh: unknown argument $1 (tools/demo.sh --help)" >&2; exit 2 ;;
esac
. tools/machine.sh
if [ $bits = 32 ] && ! runs_32bit; then
  echo "tools/demo.sh: this machine cannot run 32-bit programs (its kernel has no 32-bit support), so" \
       "neither can Wine: run tools/demo.sh without --32 for the 64-bit module" >&2
  exit 1
fi

step() { echo "[$1/4] $2"; }
step 1 "installing what the demo needs (apt-get; skipped when it is there)"
tools/install-deps.sh $([ $bits = 32 ] && echo demo32 || echo demo)
# A Wine prefix of the demo's own: the graphics setting it needs to run
# headless stays out of the user's ~/.wine.
export WINEPREFIX=$PWD/build/demo/wine
mkdir -p build/demo
. tools/wine-env.sh

# Wine first: a machine where it cannot start is told why before any build.
step 2 "starting Wine in build/demo/wine (half a minute the first time)"
if ! wine_start; then
  echo "tools/demo.sh: Wine did not start in $WINEPREFIX:" >&2
  wine_start_said >&2
  if [ $bits = 32 ]; then
    echo "For the 32-bit module Wine needs its 32-bit side: dpkg --add-architecture i386;" \
         "apt-get update; apt-get install wine32:i386. Without --32 the demo needs only wine64." >&2
  else
    echo "The 64-bit module needs wine and wine64 (apt-get install wine wine64)." >&2
  fi
  exit 1
fi

toolchain=cmake/mingw-x86_64.cmake
[ $bits = 32 ] && toolchain=cmake/mingw-i686.cmake
build=build/demo-win$bits
step 3 "building the $bits-bit module, the simulator and kestav-host (about a minute the first time)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=$toolchain \
  -DCMAKE_BUILD_TYPE=Release -DKST_TESTS=OFF >/dev/null
# One line that counts up, the build's own output only when it fails.
NINJA_STATUS="      %f of %t built " ninja -C "$build" kestav-host KestavClientDriverICA kst_sim >"$build/demo-build.log" 2>&1 &
ninja_pid=$!
while kill -0 "$ninja_pid" 2>/dev/null; do
  printf '\r%s' "$(grep -o '[0-9]* of [0-9]* built' "$build/demo-build.log" | tail -1)"
  sleep 1
done
if ! wait "$ninja_pid"; then
  echo; tail -30 "$build/demo-build.log"; echo "tools/demo.sh: the build failed"; exit 1
fi
printf '\r      built                \n'

step 4 "the session"
echo "Running the $bits-bit module $build/bin/KestavClientDriverICA.dll under Wine"
echo "with the simulator driver $build/bin/drivers/Kestav/sim.dll"
echo
wine "$build/bin/kestav-host.exe" --script tools/demo-session.txt \
  --plot build/demo/spectrum.svg --show-log 14 </dev/null

echo
echo "On this machine: the picture is $PWD/build/demo/spectrum.svg,"
echo "the log is $(winepath -u 'C:\users' 2>/dev/null | sed 's|/$||')/$(whoami)/Temp/KestavClientDriver.log"
