#!/usr/bin/env bash
# The demo session: builds the 32-bit Windows module, the simulator driver
# and kestav-host (our stand-in for the Citrix client's engine: it loads the
# module as the engine does and writes commands into its channels), then
# runs the real DLL under Wine through the session a server-side application
# would run, draws the measured spectrum and shows the end of the module's log.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: tools/demo.sh
Builds the 32-bit Windows module, the simulator driver and kestav-host (a stand-in
for the Citrix client's engine), then runs a measuring session through the real DLL
under Wine: each command and its response (set-up, calibration, a measurement),
the measured spectrum drawn in the terminal and into build/demo/spectrum.svg, and the
end of the module's log. Everything goes into build/ (Wine's own prefix too, in
build/demo/wine): nothing of yours changes. About two minutes the first time, with
its progress shown; seconds after that.
USAGE
    exit 0 ;;
  "") ;;
  *) echo "tools/demo.sh: unknown argument $1 (tools/demo.sh --help)" >&2; exit 2 ;;
esac

step() { echo "[$1/4] $2"; }
step 1 "installing what the demo needs (apt-get; skipped when it is there)"
tools/install-deps.sh demo
# A Wine prefix of the demo's own: the graphics setting it needs to run
# headless stays out of the user's ~/.wine.
export WINEPREFIX=$PWD/build/demo/wine
mkdir -p build/demo
. tools/wine-env.sh

build=build/demo-win32
step 2 "building the 32-bit module, the simulator and kestav-host (about a minute the first time)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
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

step 3 "starting Wine in build/demo/wine (half a minute the first time)"
wine_start

step 4 "the session"
echo "Running the 32-bit module $build/bin/KestavClientDriverICA.dll under Wine"
echo "with the simulator driver $build/bin/drivers/Kestav/sim.dll"
echo
wine "$build/bin/kestav-host.exe" --script tools/demo-session.txt \
  --plot build/demo/spectrum.svg --show-log 14 </dev/null

echo
echo "On this machine: the picture is $PWD/build/demo/spectrum.svg,"
echo "the log is $(winepath -u 'C:\users' 2>/dev/null | sed 's|/$||')/$(whoami)/Temp/KestavClientDriver.log"
