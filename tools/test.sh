#!/usr/bin/env bash
# Builds and runs every test: natively (plus a sanitizer build), the Linux
# modules for arm64 and armhf under qemu, the 32-bit Windows DLL and its tests
# under Wine, and the 64-bit Windows build likewise.
# Exits non-zero when any test fails or the DLL is not built as shipped.
# On a machine that cannot run 32-bit programs the stages that need them are
# skipped, each named in the summary with the reason; the rest run as ever.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: tools/test.sh
Installs what the tests need (apt-get), then builds and runs every test: native (also
under AddressSanitizer, UBSan and ThreadSanitizer), the Linux modules for arm64 and
armhf under qemu, the Windows DLLs and tools under Wine, the server side end to end, fuzz targets briefly, the policy templates, the
packages installed under Wine, and the real RDP stack on loopback (as root). On a
machine that cannot run 32-bit programs, the 32-bit stages are skipped and listed.
Ends with a summary; exits non-zero when anything fails. Starts nothing when asked
for this text. docs/maintainers.md says how to run one test program or one test.
USAGE
    exit 0 ;;
  "") ;;
  *) echo "tools/test.sh: unknown argument $1 (tools/test.sh --help)" >&2; exit 2 ;;
esac
root=$PWD
. tools/machine.sh
if runs_32bit; then
  echo "=== this machine runs 32-bit programs: every stage runs"
else
  echo "=== this machine cannot run 32-bit programs (a 32-bit test program did not start): the 32-bit stages are skipped"
fi
tools/install-deps.sh test
. tools/wine-env.sh

summary=()
skipped=()
skip() {  # stage, reason
  echo "=== $1: skipped, $2"
  skipped+=("skipped: $1 ($2)")
}
no32="this machine cannot run 32-bit programs"
# The Windows build whose programs run here: the 32-bit one where it can.
runbits=64
runs_32bit && runbits=32
count_tests() {  # the gtest result files of one build -> "N passed, S skipped"
  local total=0 skipped=0 f n
  for f in "$1"/bin/cwd/results/*.xml; do
    n=$(sed -n 's/.*<testsuites tests="\([0-9]*\)".*/\1/p' "$f" | head -1)
    total=$((total + n))
    skipped=$((skipped + $(grep -c 'result="skipped"' "$f" || true)))
  done
  echo "$((total - skipped)) tests passed, $skipped skipped"
}

# Every test program must report every test it holds: under Wine 8 a program
# that crashes after one of its threads has ended can still exit 0. ctest's
# output rules (tests/CMakeLists.txt) catch such an end by its missing
# "[  PASSED  ]" line; this catches a program that stopped early all the same.
check_complete() {  # bin folder, runner ("wine" or ""), gtest filter, program...
  local bin=$1 runner=$2 filter=$3 program name listed reported
  shift 3
  for program in "$@"; do
    name=${program%.exe}
    listed=$(cd "$bin" && $runner "./$program" --gtest_list_tests --gtest_filter="$filter" </dev/null 2>/dev/null |
             tr -d '\r' | grep -c '^  ' || true)
    if [ ! -f "$bin/cwd/results/$name.xml" ]; then
      echo "$program left no results: it did not run to its end"; return 1
    fi
    reported=$(sed -n 's/.*<testsuites tests="\([0-9]*\)".*/\1/p' "$bin/cwd/results/$name.xml" | head -1)
    if [ "$reported" != "$listed" ]; then
      echo "$program reported $reported of the $listed tests it holds"; return 1
    fi
  done
}

build_only() {  # name, extra cmake arguments...
  echo "=== $1: build"
  cmake -S . -B "build/$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${@:2}" >/dev/null
  ninja -C "build/$1"
}

run_build() {  # name, extra cmake arguments...
  local name=$1; shift
  local dir=build/$name runner=""
  build_only "$name" "$@"
  rm -rf "$dir/bin/cwd/results"
  echo "=== $name: test"
  GTEST_OUTPUT="xml:results/" ctest --test-dir "$dir" --output-on-failure -LE selfcheck
  [[ "$*" == *mingw* ]] && runner=wine
  # shellcheck disable=SC2046
  check_complete "$dir/bin" "$runner" '*' $(cat "$dir/bin/test-programs.txt")
  summary+=("$name: $(count_tests "$dir")")
}

check_dll() {  # the DLL imports Windows' own DLLs only, exports its names alone (one line), and fits its size
  local objdump=$1 dll=$2 format=$3 export=$4 limit=${5:-}
  local headers imports
  headers=$("$objdump" -p "$dll")
  grep -q "file format $format" <<<"$headers" || { echo "$dll is not $format"; exit 1; }
  # The export name table: "[Ordinal/Name Pointer] Table" then "[   0] Load" lines up to a blank line.
  [ "$(awk '/\[Ordinal\/Name Pointer\] Table/ {p=1; next} p && NF == 0 {exit} p {print $NF}' <<<"$headers" |
       tr '\n' ' ' | sed 's/ $//')" = "$export" ] ||
    { echo "$dll must export $export and nothing else"; exit 1; }
  imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u | tr '\n' ' ')
  for name in $imports; do
    case "${name,,}" in
      kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll) ;;
      *) echo "$dll imports $name, which a client PC does not have"; exit 1 ;;
    esac
  done
  local stripped
  stripped=$(mktemp)
  "${objdump%objdump}strip" -o "$stripped" "$dll"
  if [ -n "$limit" ] && [ "$(stat -c %s "$stripped")" -gt "$limit" ]; then
    echo "$dll is $(stat -c %s "$stripped") bytes stripped, more than $limit"; exit 1
  fi
  summary+=("$(basename "$(dirname "$(dirname "$dll")")"): $(basename "$dll") imports ${imports}, $(stat -c %s "$stripped") bytes stripped")
  rm -f "$stripped"
}

run_build native
echo "=== native: short soak and benchmark (docs/maintainers.md gives the long runs)"
build/native/bin/soak 20000
build/native/bin/road_bench 5 100 --no-host
summary+=("native: a 20000-command soak kept every response and its memory")

echo "=== native: the tools' own options, as the pages give them"
# Each row: what is shown, the exit status wanted ("any": the check's own verdict on this
# machine comes first), a text its output must hold, the command.
tool_option() {
  local what=$1 status=$2 text=$3 got out
  shift 3
  set +e; out=$("$@" 2>&1 </dev/null); got=$?; set -e
  if { [ "$status" != any ] && [ "$got" != "$status" ]; } || ! grep -qF -- "$text" <<<"$out"; then
    echo "$what: exit $got (wanted $status), output:"; echo "$out"; exit 1
  fi
}
version=$(sed -n 's/^project(KestavClientDriver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
nolog=$(mktemp -d)
tool_option "kestav-check --version" 0 "kestav-check $version" build/native/bin/kestav-check --version
tool_option "kestav-host --version" 0 "kestav-host $version" build/native/bin/kestav-host --version
tool_option "kestav-check --help on Linux" 0 "each FreeRDP client" build/native/bin/kestav-check --help
tool_option "kestav-host --listen on Linux" 2 "a Windows one (named pipes)" build/native/bin/kestav-host --listen
tool_option "--refuse with --listen" 2 "--listen --no-module" build/native/bin/kestav-host --listen --refuse 1
tool_option "kestav-host --hpc on Linux" 2 "has no High Performance Channel" build/native/bin/kestav-host --hpc Hello
tool_option "kestav-register without a verb" 2 "usage: kestav-register add|remove" build/native/bin/kestav-register
tool_option "kestav-register --help" 0 "usage: kestav-register add|remove" build/native/bin/kestav-register --help
tool_option "kestav-register --version" 0 "kestav-register $version" build/native/bin/kestav-register --version
tool_option "kestav-register add where no client is" 1 "nothing registered; name the client's folder" \
  build/native/bin/kestav-register add "$nolog"
if build/native/bin/kestav-host --help | grep -qE -- '--listen|--dvc|--hpc'; then
  echo "kestav-host --help on Linux lists what works on Windows alone"; exit 1
fi
tool_option "tools/test.sh --help" 0 "usage: tools/test.sh" tools/test.sh --help
tool_option "tools/fuzz.sh --help" 0 "usage: tools/fuzz.sh" tools/fuzz.sh --help
tool_option "--show-log with no log" any "no log there yet" env TMPDIR="$nolog" XDG_RUNTIME_DIR= \
  build/native/bin/kestav-check --show-log
tool_option "the log's path as people read it" any "log file: $nolog/kestav-$(id -u)/KestavClientDriver.log" \
  env TMPDIR="$nolog/" XDG_RUNTIME_DIR= build/native/bin/kestav-check --show-log
# The check only looks: not even the log's folder is made (another user's
# check would own it).
env TMPDIR="$nolog/fresh" XDG_RUNTIME_DIR= build/native/bin/kestav-check >/dev/null 2>&1 </dev/null || true
mkdir -p "$nolog/fresh"
env TMPDIR="$nolog/fresh" XDG_RUNTIME_DIR= build/native/bin/kestav-check >/dev/null 2>&1 </dev/null || true
[ -z "$(ls -A "$nolog/fresh")" ] || { echo "kestav-check wrote into $nolog/fresh: $(ls -A "$nolog/fresh")"; exit 1; }
rm -rf "$nolog"
summary+=("native: kestav-check, kestav-host and kestav-register: --version, --help, --listen and --refuse, --hpc, --show-log, add without a client, usage as the pages say; test.sh and fuzz.sh --help")

run_build native-sanitize -DKST_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
echo "=== native-sanitize: leak check of the command road"
# LeakSanitizer reports any block the command road leaves behind at exit.
ASAN_OPTIONS=detect_leaks=1:exitcode=23 build/native-sanitize/bin/soak 5000 --no-memory-check
summary+=("native-sanitize: the command road under LeakSanitizer: no leak")

echo "=== native-tsan: the instrument thread under ThreadSanitizer"
cmake -S . -B build/native-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKST_TSAN=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
ninja -C build/native-tsan engine_tests
rm -rf build/native-tsan/bin/cwd/results
ninja -C build/native-tsan unit_tests static_tests
tsan="halt_on_error=1:exitcode=66:suppressions=$root/tests/tsan.supp"
(cd build/native-tsan/bin/cwd && TSAN_OPTIONS=$tsan GTEST_OUTPUT="xml:results/" \
   ../engine_tests --gtest_filter='InstrumentThreadTest.*:QueuedAndHpc/*:InProcessAndHosted/*:LinuxEngine*' &&
 TSAN_OPTIONS=$tsan GTEST_OUTPUT="xml:results/" \
   ../unit_tests --gtest_filter='InstrumentThreadUnitTest.*:LogLine.*' &&
 TSAN_OPTIONS=$tsan GTEST_OUTPUT="xml:results/" \
   ../static_tests --gtest_filter='*CallsBack*:*TheSessionTranscript*')
summary+=("native-tsan: $(count_tests build/native-tsan) (instrument thread, sessions and the static plug-in's writes, no race reported)")

echo "=== fuzz targets, briefly (tools/fuzz.sh runs them for longer)"
SKIP_INSTALL=1 tools/fuzz.sh --runs 20000
summary+=("fuzz: every target (receive paths: session, plug-in, static plug-in, driver host exchange, listener session, engine, command, the client library's Remote Desktop reads; decoders: text, frames, PE and ELF, loop, chunks, stream responses, VirtualDriverEx) ran 20000 inputs without a finding")

wine_start || { echo "Wine did not start in $WINEPREFIX:"; wine_start_said; exit 1; }
# No administrator setting left over from an earlier run in this prefix.
for view in 32 64; do
  wine reg delete 'HKLM\SOFTWARE\Kestav\ClientDriver' /f /reg:$view >/dev/null 2>&1 </dev/null || true
done
# ARM thin clients: every Linux module and its tests built for arm64 and
# armhf with Debian's cross compilers, run here under qemu-user (the
# programs they start, such as the driver host, through binfmt_misc, with
# the architecture's libraries from the cross compiler's folder).
for arm in arm64:aarch64:aarch64-linux-gnu armhf:arm:arm-linux-gnueabihf; do
  IFS=: read -r deb qemu triple <<<"$arm"
  if runs_foreign "$qemu"; then
    # The architecture's C library: its multiarch one where that is installed
    # (as FreeRDP's libraries bring it), else the cross compiler's.
    if [ -e "/usr/lib/$triple/libc.so.6" ]; then
      run_build "$deb" -DCMAKE_TOOLCHAIN_FILE="cmake/linux-$deb.cmake"
    else
      QEMU_LD_PREFIX=/usr/$triple run_build "$deb" -DCMAKE_TOOLCHAIN_FILE="cmake/linux-$deb.cmake"
    fi
    summary[-1]+=" under qemu-$qemu"
  else
    skip "$deb" "qemu-$qemu-static or binfmt_misc is not usable here (tools/install-deps.sh test installs qemu; registering needs root)"
  fi
done

if runs_32bit; then
  run_build win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
else
  # Built all the same: the packages and the DLL checks below take it.
  build_only win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
  skip "win32: the 32-bit tests under Wine" "$no32"
fi
check_dll i686-w64-mingw32-objdump build/win32/bin/KestavClientDriverICA.dll pei-i386 Load 800000
check_dll i686-w64-mingw32-objdump build/win32/bin/KestavClientDriverDVC.dll pei-i386 \
  'VirtualChannelEntry VirtualChannelEntryEx VirtualChannelGetInstance' 800000
run_build win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
check_dll x86_64-w64-mingw32-objdump build/win64/bin/KestavClientDriverICA.dll pei-x86-64 Load
check_dll x86_64-w64-mingw32-objdump build/win64/bin/KestavClientDriverDVC.dll pei-x86-64 \
  'VirtualChannelEntry VirtualChannelEntryEx VirtualChannelGetInstance'
run=build/win$runbits
echo "=== self-check: a test program that ends a thread, then crashes, must fail ($runbits-bit)"
# Wine lets it exit 0; ctest and the completeness check must both catch it.
if WINEDEBUG=-all wine $run/bin/crash_selfcheck.exe </dev/null >/dev/null 2>&1; then
  echo "(as expected under Wine 8, the crashing program exited 0)"
fi
rm -f $run/bin/cwd/results/crash_selfcheck.xml
if ctest --test-dir $run -L selfcheck >/dev/null 2>&1; then
  echo "ctest passed a program that crashed"; exit 1
fi
if check_complete $run/bin wine '*' crash_selfcheck.exe >/dev/null; then
  echo "the completeness check passed a program that crashed"; exit 1
fi
summary+=("self-check: a crashing test program (exit status 0 under Wine) is reported as failed ($runbits-bit)")
tool_option "kestav-check --help on Windows" 0 "ICA clients" wine $run/bin/kestav-check.exe --help
for option in /? --help; do
  tool_option "KestavRegister.exe $option" 0 "usage: KestavRegister add 32|64" wine $run/bin/KestavRegister.exe $option
done
tool_option "KestavRegister.exe --version" 0 "KestavRegister $version" wine $run/bin/KestavRegister.exe --version
tool_option "the log's path on Windows, one separator between names" any 'Temp\KestavClientDriver.log' \
  wine $run/bin/kestav-check.exe --show-log 0
echo "=== win$runbits: short benchmark under Wine"
wine $run/bin/road_bench.exe 3 50 </dev/null

if runs_32bit; then
echo "=== mixed: the 64-bit module with 32-bit drivers through KestavDriverHost32.exe"
# As a 64-bit client PC with a maker's 32-bit drivers: the 64-bit module and
# tests, the 32-bit driver host, and the 32-bit drivers in drivers/.
rm -rf build/mixed
mkdir -p build/mixed
cp -r build/win64/bin build/mixed/bin
cp build/win32/bin/KestavDriverHost32.exe build/mixed/bin/
rm -rf build/mixed/bin/drivers && cp -r build/win32/bin/drivers build/mixed/bin/drivers
rm -rf build/mixed/bin/cwd/results && mkdir -p build/mixed/bin/cwd
# The tests that steer the driver through commands (the rest load the
# recording driver into the test process, which a 32-bit library cannot be).
mixed_filter='QueuedAndHpc/SessionTest.*:Builds/DriverBuildTest.*:HostedDriverTest.*:InProcessAndHosted/*:SelfTest.*'
(cd build/mixed/bin/cwd && GTEST_OUTPUT="xml:results/" wine ../engine_tests.exe \
   --gtest_filter="$mixed_filter" </dev/null | tee ../mixed.log)
grep -q '^\[  PASSED  \]' build/mixed/bin/mixed.log && ! grep -qE '^\[  FAILED  \]|Unhandled' build/mixed/bin/mixed.log ||
  { echo "mixed: tests failed or ended early"; exit 1; }
check_complete build/mixed/bin wine "$mixed_filter" engine_tests.exe
# The 64-bit Remote Desktop plug-in with the same 32-bit drivers.
dvc_filter='DvcTest.TheSessionTranscript:Builds/DriverBuild.*:DvcTest.ACrashOrAHang*:DvcTest.HostileMessages*:DvcTest.AFlood*'
(cd build/mixed/bin/cwd && GTEST_OUTPUT="xml:results/" wine ../dvc_tests.exe \
   --gtest_filter="$dvc_filter" </dev/null | tee ../mixed-dvc.log)
grep -q '^\[  PASSED  \]' build/mixed/bin/mixed-dvc.log && ! grep -qE '^\[  FAILED  \]|Unhandled' build/mixed/bin/mixed-dvc.log ||
  { echo "mixed: Remote Desktop tests failed or ended early"; exit 1; }
check_complete build/mixed/bin wine "$dvc_filter" dvc_tests.exe
summary+=("mixed: $(count_tests build/mixed) (64-bit module and plug-in, 32-bit simulator and recording drivers)")

else
  skip "mixed: the 64-bit module and plug-in with 32-bit drivers through KestavDriverHost32.exe" "$no32"
fi

echo "=== a folder named in Greek, Polish and Chinese: kestav-host, kestav-check, the module, the driver host, a driver"
# (The tests run the same from inside; this is the programs as shipped, started there.)
far="build/Ωμέγα Łukasz 測色"
rm -rf "$far" && mkdir -p "$far/drivers/Kestav"
cp $run/bin/KestavClientDriverICA.dll $run/bin/KestavDriverHost$runbits.exe $run/bin/kestav-host.exe \
  $run/bin/kestav-check.exe "$far/"
cp $run/bin/drivers/Kestav/sim.dll "$far/drivers/Kestav/"
out=$(cd "$far" && wine kestav-host.exe "Init|sim|" GetSerialNumber </dev/null | tr -d '\r')
echo "$out"
grep -qx '< OK|KSIM-000417' <<<"$out" || { echo "the module did not answer from that folder"; exit 1; }
out=$(cd "$far" && wine kestav-check.exe --self-test "$(winepath -w "$root/$far/drivers/Kestav/sim.dll")" </dev/null | tr -d '\r')
grep -q '^31 entry points: all ok' <<<"$out" || { echo "$out"; echo "the self-test failed in that folder"; exit 1; }
rm -rf "$far"
summary+=("folders in any language ($runbits-bit): kestav-host, kestav-check, the module, the driver host and the simulator from a Greek, Polish and Chinese folder name")

if runs_32bit; then
echo "=== mixed: kestav-host drives the 64-bit module with the 32-bit simulator"
out=$(cd build/mixed/bin && wine kestav-host.exe "Init|sim|" Connect GetSerialNumber </dev/null)
echo "$out"
grep -qx '< OK|KSIM-000417' <<<"$out" || { echo "the 32-bit simulator did not answer"; exit 1; }
echo "=== mixed: kestav-host --dvc drives the 64-bit Remote Desktop plug-in with the 32-bit simulator"
out=$(cd build/mixed/bin && wine kestav-host.exe --dvc "Init|sim|" Connect GetSerialNumber </dev/null | tr -d '\r')
echo "$out"
grep -qx '< OK|KSIM-000417  (on KstDta1)' <<<"$out" || { echo "the plug-in did not answer"; exit 1; }

fi

# The 64-bit module with the 32-bit simulator where 32-bit programs run, else
# the 64-bit module and simulator: either way the driver host is the one killed.
killbin=build/mixed/bin killhost=KestavDriverHost32.exe
runs_32bit || killbin=build/win64/bin killhost=KestavDriverHost64.exe
echo "=== a client that is killed takes its driver host ($killhost) with it"
fifo=$(mktemp -u)
mkfifo "$fifo"
(cd $killbin && exec wine kestav-host.exe --interactive <"$fifo" >/dev/null 2>&1) &
exec 7>"$fifo"
echo "Init|sim|" >&7
host=""
for _ in $(seq 100); do
  host=$(pgrep -f "$killhost" | head -1 || true)
  [ -n "$host" ] && break
  sleep 0.2
done
client=$(pgrep -f 'kestav-host.exe --interactive' | head -1 || true)
[ -n "$host" ] && [ -n "$client" ] || { echo "no driver host or client to kill"; exit 1; }
kill -9 "$client"
for _ in $(seq 100); do kill -0 "$host" 2>/dev/null || break; sleep 0.2; done
exec 7>&-
rm -f "$fifo"
if kill -0 "$host" 2>/dev/null; then echo "the driver host $host outlived its client"; exit 1; fi
summary+=("a client killed outright took its driver host ($killhost) with it")

echo "=== server side: example programs -> stand-in wfapi -> local loop -> kestav-host --listen -> module -> simulator"
# Each program of each bitness against a listener of each bitness: the pipe
# carries the same frames either way. The stand-in WFAPI goes where the
# developer kit puts it, into the system folders (the example loads it by
# full path, as on a Citrix server), and away again afterwards.
system32=$WINEPREFIX/drive_c/windows/system32 syswow64=$WINEPREFIX/drive_c/windows/syswow64
if [ -e "$syswow64/wfapi.dll" ] || [ -e "$system32/wfapi64.dll" ]; then
  echo "a WFAPI is in the test prefix's system folders already"; exit 1
fi
ended=$(trap -p EXIT | sed "s/^trap -- '\(.*\)' EXIT$/\1/")  # wine_start's
trap "rm -f '$syswow64/wfapi.dll' '$system32/wfapi64.dll'; $ended" EXIT
server_bits="64"
if runs_32bit; then
  server_bits="32 64"
  cp build/win32/bin/server/wfapi.dll "$syswow64/wfapi.dll"
else
  skip "server: the 32-bit example programs and the 32-bit listener" "$no32"
fi
cp build/win64/bin/server/wfapi64.dll "$system32/wfapi64.dll"
for listener_bits in $server_bits; do
  for program_bits in $server_bits; do
    name="e2e-$listener_bits-$program_bits"
    out=build/server-e2e-$name.log
    (cd build/win$listener_bits/bin && exec wine kestav-host.exe --listen "$name" --sessions 2 </dev/null >"$root/$out" 2>&1) &
    listener=$!
    for example in example-wfapi example-library; do
      result=$(cd build/win$program_bits/bin/server && KESTAV_LOOP=$name timeout 120 wine $example.exe </dev/null | tr -d '\r')
      grep -q '^Measure  *OK|true$' <<<"$result" && [ "$(grep -c ' nm  ' <<<"$result")" = 31 ] ||
        { echo "$example ($program_bits-bit) against the $listener_bits-bit listener:"; echo "$result"; exit 1; }
    done
    wait $listener || { echo "the $listener_bits-bit listener failed:"; cat "$out"; exit 1; }
    grep -q '^< OK|true$' "$out" || { echo "the listener printed no response"; cat "$out"; exit 1; }
  done
done
rm -f "$syswow64/wfapi.dll" "$system32/wfapi64.dll"
trap "$ended" EXIT
summary+=("server: the example programs (plain WFAPI loaded by full path, and the library), ${server_bits// / and }-bit, measured a spectrum through the stand-in wfapi, the local loop and listeners of the same bitnesses")
echo "=== server side: the library and the local loop against the module's road ($runbits-bit; short; docs/maintainers.md gives the long run)"
wine $run/bin/loop_bench.exe 3 50 </dev/null

echo "=== real stack: xrdp with xfreerdp and xfreerdp3 on loopback, the module as FreeRDP's add-in, a program in the session"
SKIP_INSTALL=1 tools/real-stack.sh build/native | tee build/real-stack.log | grep -v '^ok      transcript: '
grep -q "^real-stack: passed (amd64 client)$" build/real-stack.log || { echo "the real-stack stage failed"; exit 1; }
summary+=("real stack, FreeRDP 2 and 3: $(grep '^checks:' build/real-stack.log | sort -u | paste -sd/) in the xrdp session with each; the session ended and the client killed during a slow command; $(paste -sd';' build/real-stack-figures.txt)")
if grep -q '^ok: removed, module.ini is byte for byte as it was' build/real-stack.log; then
  summary+=("real stack, the Citrix Workspace app for Linux (a stand-in client folder): the package's link and module.ini entries added once, checked, answered through, and removed byte for byte")
fi

echo "=== packages for ARM thin clients: arm64 and armhf, laid out as the amd64 package, each for its machine"
for arch in arm64 armhf; do
  deb=$(SKIP_INSTALL=1 tools/package-deb.sh --out build/packages --arch $arch)
  summary+=("packages: $(tools/check-deb.sh "$deb" "build/packages/kestav-client_${version}_amd64.deb")")
  echo "${summary[-1]}"
done
# From an arm64 client: its xfreerdp and xfreerdp3 under qemu in an arm64
# system under build/ (tools/arm64-client.sh makes it in minutes, once).
if [ -f build/arm64-client/.made ] && runs_foreign aarch64; then
  echo "=== real stack from an arm64 client: its xfreerdp and xfreerdp3 under qemu, the arm64 package installed in it"
  SKIP_INSTALL=1 tools/real-stack.sh --arch arm64 | tee build/real-stack-arm64.log | grep -v '^ok      transcript: '
  grep -q "^real-stack: passed (arm64 client)$" build/real-stack-arm64.log || { echo "the arm64 real-stack stage failed"; exit 1; }
  summary+=("real stack from an arm64 client, FreeRDP 2 and 3: $(grep '^checks:' build/real-stack-arm64.log | sort -u | paste -sd/); $(paste -sd';' build/real-stack-figures-arm64.txt)")
else
  skip "real stack from an arm64 client" "no arm64 client system in build/arm64-client (tools/arm64-client.sh makes it)"
fi

echo "=== policy templates: references, names and ranges; a broken copy must fail"
tools/check-policy.sh
broken=$(mktemp -d)
cp -r packaging/policy/. "$broken"
sed -i '/<string id="IsolateDriver">/d' "$broken/de-DE/KestavClientDriver.adml"
if tools/check-policy.sh "$broken" >/dev/null; then
  echo "the template check passed a copy with a string missing"; exit 1
fi
rm -rf "$broken"
summary+=("policy: $(tools/check-policy.sh | sed 's/^policy templates: //'); a copy with a string missing fails")

echo "=== packages: built, signed with a throwaway certificate, installed under Wine"
cert=build/package-cert
rm -rf "$cert" && mkdir -p "$cert"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$cert/key.pem" -out "$cert/cert.pem" -days 2 \
  -subj "/CN=Kestav test signing" 2>/dev/null
openssl pkcs12 -export -out "$cert/cert.pfx" -inkey "$cert/key.pem" -in "$cert/cert.pem" -passout pass:kestav
SKIP_INSTALL=1 tools/package.sh --version 1.5.0 --out build/packages/older >/dev/null
SKIP_INSTALL=1 tools/package.sh --sign "$cert/cert.pfx" --password kestav
signed=0
for file in build/package-stage/*/*.dll build/package-stage/*/*.exe build/package-stage/*/drivers/Kestav/*.dll \
            build/packages/*.msi; do
  osslsigncode verify -CAfile "$cert/cert.pem" -in "$file" >/dev/null ||
    { echo "the signature of $file does not verify"; exit 1; }
  signed=$((signed + 1))
done
summary+=("packages: $signed files signed and verified (module, driver hosts, tools, simulator, the client MSIs and the developer kit)")
tools/package-test.sh | tee build/package-test.log
summary+=("$(tail -1 build/package-test.log)")

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
[ ${#skipped[@]} -eq 0 ] || printf '%s\n' "${skipped[@]}"
