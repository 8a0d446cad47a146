#!/usr/bin/env bash
# The real-stack stage: a real RDP server (xrdp) and a real RDP client under
# Xvfb on loopback, FreeRDP 2's xfreerdp and FreeRDP 3's xfreerdp3 in turn,
# each with the module as its FreeRDP add-in (the build for its major) with
# the simulator, installed from the Debian package, and the test program
# inside the session (as a test user) driving every command through both,
# with the longest response and hostile inputs; the bare echo add-in of the
# same major beside it for the round-trip figure (dynamic, and static against
# its static echo). Then, with each client, the
# session is ended during a slow command, and the client killed during one,
# killed and started again (one library handle throughout), and the same
# checks run over static channels (xrdp.ini lists KstCmd1 and KstDta1, the
# client loads the add-in with /vc:kestav alone, the library finds them).
# Every process it started is ended by pid, the user and the package and the
# echo add-ins removed, whatever the outcome.
# Usage: tools/real-stack.sh [--arch arm64] [BUILD]   (default build/native; run as root)
#   --arch arm64: the client is an arm64 thin client's system under
#   build/arm64-client (tools/arm64-client.sh makes it) whose xfreerdp and
#   xfreerdp3 run here under qemu-user, with the arm64 package installed in it
#   and the add-ins of BUILD (default build/arm64); the server side, xrdp and
#   the session program, stay this machine's. The Citrix Workspace app's
#   stand-in is left to the amd64 run.
#   The clients run with environment variables that set the settings in a
#   test build (the shipped add-in must not heed them).
#   KST_SETTINGS="IsolateDriver = 0" (lines added to the settings file) measures
#   the round trip with other settings; the checks of the driver host then skip.
#   KST_MAJORS="3" runs the clients of those FreeRDP majors only (a machine
#   with one of them installed); the test command runs both.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=amd64
[ "${1:-}" = --arch ] && { arch=$2; shift 2; }
# The client's system ("" for this machine's own), its multiarch triple.
case "$arch" in
  amd64) sysroot="" triple=x86_64-linux-gnu build=${1:-build/native} nm=nm ;;
  arm64) sysroot=$root/build/arm64-client triple=aarch64-linux-gnu build=${1:-build/arm64} nm=aarch64-linux-gnu-nm
    [ -f "$sysroot/.made" ] || { echo "real-stack: no arm64 client in build/arm64-client (tools/arm64-client.sh makes it)"; exit 1; } ;;
  *) echo "usage: tools/real-stack.sh [--arch arm64] [BUILD]"; exit 2 ;;
esac
# The session side is this machine's.
server=build/native
figures=$root/build/real-stack-figures.txt
[ "$arch" = amd64 ] || figures=$root/build/real-stack-figures-$arch.txt
# Runs a command on the client's system (a program started in the
# background through chroot itself, so that its pid is the program's).
chroot_client=()
[ -z "$sysroot" ] || chroot_client=(chroot "$sysroot")
in_client() { "${chroot_client[@]}" "$@"; }
[ "$(id -u)" -eq 0 ] || { echo "real-stack: needs root (a test user, xrdp's sockets, FreeRDP's add-in folder)"; exit 1; }
[ "${SKIP_INSTALL:-}" = 1 ] || tools/install-deps.sh realstack
# FreeRDP's major, its client program and its add-in folder.
read -r -a majors <<<"${KST_MAJORS:-2 3}"
declare -A program=([2]=xfreerdp [3]=xfreerdp3)
addins() { echo "$sysroot/usr/lib/$triple/freerdp$1"; }
ninja -C "$build" "${majors[@]/#/kestavecho-client-freerdp}" "${majors[@]/#/kestavstream-client-freerdp}" >/dev/null
ninja -C "$server" kestav-session-program example-library >/dev/null
# The package as an administrator gets it, beside the MSIs.
deb=$(SKIP_INSTALL=1 tools/package-deb.sh --out build/packages --arch "$arch")
if in_client dpkg-query -W -f='${Status}' kestav-client 2>/dev/null | grep -q "install ok installed"; then
  echo "real-stack: the package kestav-client is installed on this machine already"; exit 1
fi

work=$(mktemp -d /tmp/kestav-real-stack.XXXXXX)
chmod 755 "$work"
port=$((33890 + RANDOM % 1000))
user=kst$(printf '%05d' $((RANDOM % 100000)))
password="Kst-$RANDOM-$RANDOM"
own_addins=()
# The add-in folders that were not there before (the package makes them):
# taken away again at the end when nothing is left in them.
made_folders=()
for major in "${majors[@]}"; do [ -d "$(addins "$major")" ] || made_folders+=("$(addins "$major")"); done
pids=()
installed=""
mounted=()
# A stand-in Citrix Workspace app folder (its module.ini), where no client is
# installed: the package registers the ICA module there and takes it away.
citrix=/opt/Citrix/ICAClient
made_citrix=""

started() { pids+=("$1"); }
# Every process started here, and each one's descendants, by pid.
cleanup() {
  set +e
  local all=() pid child uid folder
  collect() { all+=("$1"); for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do collect "$child"; done; }
  for pid in "${pids[@]}"; do collect "$pid"; done
  id "$user" >/dev/null 2>&1 && for pid in $(pgrep -u "$user"); do collect "$pid"; done
  for pid in "${all[@]}"; do kill "$pid" 2>/dev/null; done
  sleep 1
  for pid in "${all[@]}"; do kill -9 "$pid" 2>/dev/null; done
  # The user's own folder for the log and the session's claim, where the
  # session had no XDG_RUNTIME_DIR (userdel takes only the home folder).
  if uid=$(id -u "$user" 2>/dev/null); then
    for folder in "/tmp/kestav-$uid" "/tmp/kestav-$uid".*; do
      [ "$(stat -c %u "$folder" 2>/dev/null)" = "$uid" ] && rm -rf "$folder"
    done
    userdel -r "$user" >/dev/null 2>&1
  fi
  rm -f "$sysroot"/usr/lib/kestav/drivers/Kestav/maker2.so "$sysroot"/usr/lib/kestav/drivers/Kestav/libmaker{help,base}.so
  [ -n "$installed" ] && in_client dpkg --purge kestav-client >/dev/null 2>&1
  [ -n "$made_citrix" ] && rm -rf "$made_citrix"
  for file in "${own_addins[@]}"; do rm -f "$file"; done
  for folder in "${made_folders[@]}"; do rmdir "$folder" 2>/dev/null; done
  # A FreeRDP 3 client killed outright leaves its clipboard's file system
  # mounted in its temporary folder (-clipboard keeps it from mounting one).
  grep -o -e " $work/[^ ]*" -e " $sysroot$work/[^ ]*" /proc/mounts | while read -r point; do umount -l "$point"; done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}"; done
  [ -n "$sysroot" ] && rmdir "$sysroot$work" 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] && cp -r "$work" /tmp/real-stack-kept; rm -rf "$work"
}
trap cleanup EXIT

# The client's system sees the work folder, the X server's sockets and its
# own /proc and /dev at the same places as this machine.
if [ -n "$sysroot" ]; then
  # What an earlier run that was killed left mounted there.
  { grep -o " $sysroot/[^ ]*" /proc/mounts || true; } | sort -r | while read -r point; do umount -l "$point"; done
  mkdir -p "$sysroot$work" "$sysroot/tmp/.X11-unix" /tmp/.X11-unix
  for point in "$work" /tmp/.X11-unix /dev; do
    mount --bind "$point" "$sysroot$point" && mounted+=("$sysroot$point")
  done
  mount -t proc proc "$sysroot/proc" && mounted+=("$sysroot/proc")
fi
if [ -z "$sysroot" ] && [ ! -e /opt/Citrix ]; then
  made_citrix=/opt/Citrix
  mkdir -p "$citrix/config"
  cp tests/realstack/module.ini "$citrix/config/module.ini"
fi

# The module from its package; the echo add-in beside it in each FreeRDP
# major's add-in folder.
installed=yes
cp "$deb" "$work/"
in_client dpkg -i "$work/$(basename "$deb")" >/dev/null
for major in "${majors[@]}"; do
  [ "$(readlink -f "$(addins "$major")/libkestav-client.so")" = "$sysroot/usr/lib/kestav/libkestav-client-freerdp$major.so" ] ||
    { echo "real-stack: the package did not link the add-in for FreeRDP $major"; exit 1; }
done
[ -f "$sysroot/usr/lib/kestav/drivers/Kestav/sim.so" ] || { echo "real-stack: the package did not install the simulator"; exit 1; }
for bridge in "$sysroot"/usr/lib/vmware/rdpvcbridge "$sysroot"/usr/lib/omnissa/rdpvcbridge; do
  [ "$(readlink -f "$bridge/libkestav-static.so")" = "$sysroot/usr/lib/kestav/libkestav-static.so" ] ||
    { echo "real-stack: the package did not link the static plug-in into $bridge"; exit 1; }
done
$nm -D --defined-only "$sysroot/usr/lib/kestav/libkestav-static.so" | grep -q ' T VirtualChannelEntryEx$' &&
  ! in_client ldd /usr/lib/kestav/libkestav-static.so | grep -q -e winpr -e freerdp ||
  { echo "real-stack: the static plug-in for Horizon needs FreeRDP or lacks its entry point"; exit 1; }
check=$(in_client env TMPDIR="$work" XDG_RUNTIME_DIR= kestav-check) || { echo "$check"; echo "real-stack: kestav-check found a problem"; exit 1; }
echo "$check"
grep -q "^OK driver /usr/lib/kestav/drivers/Kestav/sim.so: 64-bit, all 31 entry points" <<<"$check" ||
  { echo "real-stack: kestav-check did not check the simulator"; exit 1; }
grep -q "^OK 64-bit driver host: /usr/lib/kestav/KestavDriverHost64, where every driver runs$" <<<"$check" ||
  { echo "real-stack: kestav-check did not find the driver host"; exit 1; }
for major in "${majors[@]}"; do
  grep -q "^OK FreeRDP $major (.*): ${program[$major]} /dvc:kestav loads .*, built for FreeRDP $major$" <<<"$check" ||
    { echo "real-stack: kestav-check did not find FreeRDP $major and its add-in"; exit 1; }
done
grep -q "^OK Horizon's VC bridge (/usr/lib/omnissa/rdpvcbridge): loads /usr/lib/omnissa/rdpvcbridge/libkestav-static.so (the file /usr/lib/kestav/libkestav-static.so), the static channel plug-in$" <<<"$check" ||
  { echo "real-stack: kestav-check did not check the static plug-in in Horizon's VC bridge"; exit 1; }
if [ -n "$made_citrix" ]; then
  echo "--- the Citrix Workspace app for Linux (a stand-in folder): the ICA module registered by the package"
  [ "$(readlink "$citrix/VDKESTAV.DLL")" = /usr/lib/kestav/KestavClientDriverICA.so ] ||
    { echo "real-stack: the package did not link the ICA module into $citrix"; exit 1; }
  added=$(diff tests/realstack/module.ini "$citrix/config/module.ini" | grep '^[<>]' || true)
  [ "$added" = "$(printf '%s\n' '< VirtualDriver = Thinwire3.0, ClientDrive, ClientPrinterQueue, Clipboard, ClientAudio, Ping' \
      '> VirtualDriver = Thinwire3.0, ClientDrive, ClientPrinterQueue, Clipboard, ClientAudio, Ping, KestavClientDriver' \
      '> KestavClientDriver = On' '> ' '> [KestavClientDriver]' '> DriverName = VDKESTAV.DLL')" ] ||
    { echo "$added"; echo "real-stack: the package's module.ini entries are not exactly its own"; exit 1; }
  cp "$citrix/config/module.ini" "$work/module.ini.installed"
  /usr/lib/kestav/kestav-register add >/dev/null && cmp -s "$work/module.ini.installed" "$citrix/config/module.ini" ||
    { echo "real-stack: registering again changed module.ini"; exit 1; }
  grep -q "^OK Citrix Workspace app ($citrix): module.ini lists KestavClientDriver, On; it loads $citrix/VDKESTAV.DLL (the file /usr/lib/kestav/KestavClientDriverICA.so), a 64-bit ICA module$" <<<"$check" ||
    { echo "real-stack: kestav-check did not check the Citrix registration"; exit 1; }
  # The module as the client loads it, by its name there: drivers and driver
  # host found beside its real file.
  answers=$(cd "$work" && TMPDIR="$work" XDG_RUNTIME_DIR= "$root/$build/bin/kestav-host" --module "$citrix/VDKESTAV.DLL" \
    "Init|sim|" "Connect" "GetSerialNumber" "Disconnect") || { echo "$answers"; echo "real-stack: kestav-host failed"; exit 1; }
  grep -q "^< OK|KSIM-000417$" <<<"$answers" && grep -q "the Linux engine" <<<"$answers" ||
    { echo "$answers"; echo "real-stack: the installed ICA module did not answer through the stand-in Linux engine"; exit 1; }
  grep -q "Engine: Linux" "$work/kestav-$(id -u)/KestavClientDriver.log" &&
    grep -q "Loading driver \"sim.so\" @ \"/usr/lib/kestav/drivers/Kestav\"" "$work/kestav-$(id -u)/KestavClientDriver.log" ||
    { echo "real-stack: the installed ICA module's log does not show the Linux engine and its drivers folder"; exit 1; }
  rm -rf "$work/kestav-$(id -u)"
  echo "ok: the package linked VDKESTAV.DLL and added exactly its module.ini entries (again: unchanged); the check found them; the module answered from there"
fi
selftest=$(in_client env TMPDIR="$work" XDG_RUNTIME_DIR= kestav-check --self-test /usr/lib/kestav/drivers/Kestav/sim.so) ||
  { echo "$selftest"; echo "real-stack: the simulator's self-test failed"; exit 1; }
grep -q "^31 entry points: all ok" <<<"$selftest" || { echo "$selftest"; echo "real-stack: no self-test verdict"; exit 1; }
# The user's log stays the last session's: the check and the self-test write nothing there.
[ ! -e "$work/kestav-$(id -u)/KestavClientDriver.log" ] || { echo "real-stack: kestav-check wrote to the log"; exit 1; }
echo "ok: kestav-check --self-test: 31 entry points of the simulator, all ok, in the driver host"
# A maker's driver that needs a library of its own, both put in the drivers
# folder as the administrators' page says (the driver holds no search path):
# the check and the self-test load it as Init does, and find the library there.
cp "$build/bin/drivers/Kestav/maker2.so" "$build/bin/drivers/Kestav/libmakerhelp.so" \
  "$build/bin/drivers/Kestav/libmakerbase.so" "$sysroot/usr/lib/kestav/drivers/Kestav/"
check=$(in_client env TMPDIR="$work" XDG_RUNTIME_DIR= kestav-check) && selftest=$(in_client env TMPDIR="$work" XDG_RUNTIME_DIR= \
  kestav-check --self-test /usr/lib/kestav/drivers/Kestav/maker2.so) &&
  grep -q "^OK driver /usr/lib/kestav/drivers/Kestav/maker2.so: 64-bit, all 31 entry points, loads in the driver host$" <<<"$check" ||
  { echo "$check"; echo "${selftest:-}"; echo "real-stack: a driver's own library beside it was not found"; exit 1; }
rm "$sysroot"/usr/lib/kestav/drivers/Kestav/{maker2,libmakerhelp,libmakerbase}.so
echo "ok: kestav-check and its self-test load a driver with the library it needs beside it"
# A setting from the settings file, as an administrator changes it.
sed -i 's/^#DriverTimeoutSeconds = 60$/DriverTimeoutSeconds = 120/' "$sysroot/etc/kestav/client.conf"
grep -q "^OK 64-bit setting DriverTimeoutSeconds = 120 (settings file, /etc/kestav/client.conf)$" <<<"$(in_client env TMPDIR="$work" kestav-check)" ||
  { echo "real-stack: kestav-check does not show the settings file's value"; exit 1; }
# No environment variable reaches a setting of what ships (the test builds'
# stand-ins for the registry and the settings file's place are not in it).
echo "DriverTimeoutSeconds = 7" >"$work/other.conf"
hostile=('KST_HKLM64\SOFTWARE\Policies\Kestav\ClientDriver\IsolateDriver=dword:0'
         'KST_HKLM64\SOFTWARE\Kestav\ClientDriver\DriverTimeoutSeconds=dword:9' "KESTAV_SETTINGS_FILE=$work/other.conf")
check=$(in_client env "${hostile[@]}" TMPDIR="$work" XDG_RUNTIME_DIR= kestav-check)
grep -q "^OK 64-bit setting DriverTimeoutSeconds = 120 (settings file, /etc/kestav/client.conf)$" <<<"$check" &&
  grep -q "^OK 64-bit setting IsolateDriver = 1 (default; not set in /etc/kestav/client.conf)$" <<<"$check" ||
  { echo "$check"; echo "real-stack: the environment changed a setting of kestav-check"; exit 1; }
echo "ok: kestav-check takes its settings from /etc/kestav/client.conf alone, whatever the environment says"
hosted=yes
if [ -n "${KST_SETTINGS:-}" ]; then
  printf '%s\n' "$KST_SETTINGS" >>"$sysroot/etc/kestav/client.conf"
  grep -qi '^ *IsolateDriver *= *0' <<<"$KST_SETTINGS" && hosted=""
fi
mkdir -p "$work/client"
for major in "${majors[@]}"; do
  echo_addin=$(addins "$major")/libkestavecho-client.so
  cp "$build/bin/libkestavecho-client-freerdp$major.so" "$work/client/"
  [ -e "$echo_addin" ] && { echo "real-stack: $echo_addin is there already"; exit 1; }
  ln -s "$work/client/libkestavecho-client-freerdp$major.so" "$echo_addin"
  own_addins+=("$echo_addin")
  stream_addin=$(addins "$major")/libkestavstream-client.so
  cp "$build/bin/libkestavstream-client-freerdp$major.so" "$work/client/"
  [ -e "$stream_addin" ] && { echo "real-stack: $stream_addin is there already"; exit 1; }
  ln -s "$work/client/libkestavstream-client-freerdp$major.so" "$stream_addin"
  own_addins+=("$stream_addin")
done

# The session side: the test program with the client library, the transcript.
mkdir -p "$work/server"
cp "$server/bin/server/kestav-session-program" "$server/bin/server/example-library" "$server/bin/server/libKestavChannel.so" \
  tests/expected/session.txt "$work/server/"
chmod -R a+rX "$work/server"

useradd -m "$user"
echo "$user:$password" | chpasswd
home=$(getent passwd "$user" | cut -d: -f6)
# The session's window manager is the test program, in the mode the file
# "mode" names; the session ends with it.
cat >"$home/startwm.sh" <<SCRIPT
#!/bin/sh
mode=\$(cat "$home/mode")
cd "$work/server" || exit 1
./kestav-session-program session.txt \${KST_ROUNDS:-200} \$mode >"$home/program-\${mode:-full}.out" 2>&1
# Then the library's example program, as a server developer runs it.
[ -z "\$mode" ] && ./example-library >"$home/example.out" 2>&1
SCRIPT
chmod 755 "$home/startwm.sh" && chown "$user" "$home/startwm.sh"

# xrdp and its session manager, on loopback, with copies of their settings.
sh /usr/share/xrdp/socksetup
cp /etc/xrdp/xrdp.ini /etc/xrdp/sesman.ini "$work/"
sed -i "s#^port=3389\$#port=tcp://127.0.0.1:$port#; s#^autorun=\$#autorun=Xorg#; s#^LogFile=xrdp.log#LogFile=$work/xrdp.log#; s#^EnableSyslog=true#EnableSyslog=false#" "$work/xrdp.ini"
# The static channels as an xrdp administrator lists them (a channel not listed opens and carries nothing),
# the static echo's among them.
sed -i 's#^\[Channels\]$#[Channels]\nKstCmd1=true\nKstDta1=true\nKstEchS=true#' "$work/xrdp.ini"
grep -q '^KstDta1=true$' "$work/xrdp.ini" || { echo "real-stack: xrdp.ini has no [Channels] section"; exit 1; }
sed -i "s#^LogFile=xrdp-sesman.log#LogFile=$work/sesman.log#; s#^EnableSyslog=true#EnableSyslog=false#" "$work/sesman.ini"
xrdp-sesman -n -c "$work/sesman.ini" >"$work/sesman.out" 2>&1 & started $!
xrdp -n -c "$work/xrdp.ini" >"$work/xrdp.out" 2>&1 & started $!
display=$((90 + RANDOM % 9))
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.out" 2>&1 & started $!
sleep 1

# Starts FreeRDP $major's client with the module's add-in (dynamic, or with "static" static alone; with
# "stream" the hostile streaming add-in in its place) and the echo add-in of the same kind; its log in the
# session's runtime folder.
client() {
  local kind=/dvc:kestav echo=/dvc:kestavecho
  [ "${1:-}" = static ] && kind=/vc:kestav echo=/vc:kestavecho
  [ "${1:-}" = stream ] && kind=/dvc:kestavstream
  mkdir -p "$work/client-tmp" && mkdir -p -m 700 "$work/client-run"
  "${chroot_client[@]}" env "${hostile[@]}" DISPLAY=":$display" TMPDIR="$work/client-tmp" XDG_RUNTIME_DIR="$work/client-run" \
    "${program[$major]}" /v:127.0.0.1:$port \
    /u:"$user" /p:"$password" /cert:ignore -clipboard $kind $echo >"$work/client-$major.out" 2>&1 &
  client_pid=$!
  started $client_pid
}
echo "real-stack: xrdp on 127.0.0.1:$port, the clients on :$display, test user $user"
log=$work/client-run/KestavClientDriver.log
# Waits up to $1 half-seconds for a command to succeed.
wait_for() { local tries=$1; shift; for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.5; done; return 1; }
gone() { ! kill -0 "$1" 2>/dev/null; }
no_session() { ! pgrep -u "$user" >/dev/null; }

: >"$figures"
for major in "${majors[@]}"; do
  echo "--- FreeRDP $major (${program[$major]}): every command, the longest response, hostile inputs, the round trip"
  echo >"$home/mode"
  client
  wait_for 600 gone "$client_pid" || { echo "real-stack: the session did not end"; exit 1; }
  out=$home/program-full.out
  cat "$out" 2>/dev/null || { echo "real-stack: the session program did not run"; tail -20 "$work/sesman.log"; exit 1; }
  grep -q '^checks: [0-9]* passed, 0 failed$' "$out" || { echo "real-stack: the session program failed with FreeRDP $major"; tail -30 "$log"; exit 1; }
  grep '^round trip' "$out" | sed "s/^round trip/round trip with FreeRDP $major/" >>"$figures"
  grep -q ' Setting DriverTimeoutSeconds = 120 (settings file)$' "$log" && ! grep -q 'Setting IsolateDriver' "$log" ||
    { echo "real-stack: the module did not take its settings from /etc/kestav/client.conf alone"; exit 1; }
  [ -z "$hosted" ] || grep -q 'Driver host started (pid [0-9]*, 64-bit)$' "$log" ||
    { echo "real-stack: the simulator did not run in the driver host"; exit 1; }
  grep -q "DVC: FreeRDP $major add-in (built with FreeRDP $major\." "$log" ||
    { echo "real-stack: ${program[$major]} did not load the add-in built for FreeRDP $major"; exit 1; }
  echo "ok: ${program[$major]} loaded the add-in built for it; the module took DriverTimeoutSeconds from the settings file and ran the simulator in the driver host"
  cat "$home/example.out"
  grep -q '^over Remote Desktop, module 1\.6\.0$' "$home/example.out" && grep -q '^Measure  *OK|true$' "$home/example.out" &&
    [ "$(grep -c ' nm  ' "$home/example.out")" = 31 ] || { echo "real-stack: the example program did not measure"; exit 1; }

  echo "--- FreeRDP $major: the session ended during a slow command: the client ends, the module's thread with it"
  echo slow >"$home/mode"
  rm -f "$home/program-slow.out"
  client
  wait_for 60 grep -qs '^slow command running' "$home/program-slow.out" ||
    { echo "real-stack: no slow command"; cat "$home/program-slow.out"; exit 1; }
  grep -q 'Command Measure ()' "$log" || { echo "real-stack: the module is not measuring"; exit 1; }
  ended_at=$(date +%s%3N)
  kill "$(pgrep -u "$user" -f kestav-session-program)"
  wait_for 40 gone "$client_pid" || { echo "real-stack: the client outlived its session by 20 s"; exit 1; }
  client_gone=$(( $(date +%s%3N) - ended_at ))
  grep -q 'DVC: Terminated' "$log" || { echo "real-stack: the module was not terminated"; tail -20 "$log"; exit 1; }
  # Terminated never waits for the driver: after a second, the driver host
  # the call waits on is ended.
  grep -q 'Virtual channel - A command still ran after 1000 ms: its driver host was ended' "$log" ||
    { echo "real-stack: Terminated did not end the driver host of the running call"; tail -20 "$log"; exit 1; }
  echo "session ended during a Measure with FreeRDP $major: the client was gone ${client_gone} ms after its session's program" \
    >>"$figures"
  echo "ok: the client ended with its session while Measure ran (${client_gone} ms); Terminated ended the driver host after 1 s"

  echo "--- FreeRDP $major: the client killed during a slow command"
  rm -f "$home/program-slow.out"
  client
  wait_for 60 grep -qs '^slow command running' "$home/program-slow.out" ||
    { echo "real-stack: no slow command"; cat "$home/program-slow.out"; exit 1; }
  host=$(pgrep -P "$client_pid" -f KestavDriverHost64 | head -1 || true)
  [ -n "$host" ] || [ -z "$hosted" ] || { ps -o pid,args --ppid "$client_pid"; echo "real-stack: no driver host under the client"; exit 1; }
  kill -9 "$client_pid"
  wait_for 10 gone "$client_pid" || { echo "real-stack: the killed client is still there"; exit 1; }
  [ -z "$host" ] || wait_for 10 gone "$host" || { echo "real-stack: the driver host outlived its killed client"; exit 1; }
  echo "ok: the client killed during Measure is gone, its driver host with it; the server program is left to its session"
  # The session would wait for its client to come back: ended, so that the
  # next client starts a session of its own.
  pkill -u "$user" -f kestav-session-program || true
  wait_for 40 no_session || { echo "real-stack: the session outlived its program"; exit 1; }

  echo "--- FreeRDP $major: the client killed and started again, idle and during a Measure: one channel throughout"
  echo reconnect >"$home/mode"
  out=$home/program-reconnect.out
  rm -f "$out"
  client
  times=()
  for round in idle measuring; do
    ready="idle, waiting for the client to go"
    [ $round = measuring ] && ready="slow command running"
    wait_for 120 grep -qs "^$ready" "$out" || { echo "real-stack: the program is not ready ($round)"; cat "$out"; exit 1; }
    [ $round = measuring ] && sleep 1  # into the Measure
    kill -9 "$client_pid"
    wait_for 10 gone "$client_pid" || { echo "real-stack: the killed client is still there"; exit 1; }
    # Idle, the program's calls find the client away before the new one
    # comes; during the Measure, the new client comes while the call waits.
    if [ $round = idle ]; then
      wait_for 40 grep -qs "^idle: away" "$out" || { echo "real-stack: no call found the client away"; cat "$out"; exit 1; }
      sleep 1
    else
      sleep 3
    fi
    started_at=$(date +%s%3N)
    client  # reconnects to the same session
    wait_for 120 grep -qs "^$round: measured again at " "$out" ||
      { echo "real-stack: the program did not measure again ($round)"; cat "$out"; tail -20 "$log"; exit 1; }
    measured=$(sed -n "s/^$round: measured again at //p" "$out")
    times+=("$((measured - started_at)) ms ($round)")
    # Idle, within 5 s; during the Measure, once the program's own 10 s wait
    # for it is over (it began 4 s before the new client), and 5 s after.
    limit=5000
    [ $round = measuring ] && limit=11000
    [ $((measured - started_at)) -le $limit ] ||
      { echo "real-stack: measured again $((measured - started_at)) ms after the new client started ($round)"; exit 1; }
  done
  wait_for 60 grep -qs '^checks: ' "$out" || { echo "real-stack: the program did not end"; cat "$out"; exit 1; }
  cat "$out"
  grep -q '^checks: [0-9]* passed, 0 failed$' "$out" ||
    { echo "real-stack: one channel across the new clients failed with FreeRDP $major"; exit 1; }
  wait_for 40 gone "$client_pid" || { echo "real-stack: the client outlived its session"; exit 1; }
  echo "reconnect with FreeRDP $major: set up and measured again ${times[0]}, ${times[1]} after the new client started;" \
    "$(grep -h 'calls while the client was away' "$out" | sed 's/^[a-z]*: //' | paste -sd';')" \
    >>"$figures"
  echo "ok: one channel across two new clients: told the client changed, set up and measured again"

  echo "--- FreeRDP $major: a client that streams without end where the module would answer"
  echo stream >"$home/mode"
  out=$home/program-stream.out
  rm -f "$out"
  client stream
  wait_for 120 grep -qs '^checks: ' "$out" || { echo "real-stack: the streaming round did not end"; cat "$out"; exit 1; }
  cat "$out"
  grep -q '^checks: [0-9]* passed, 0 failed$' "$out" ||
    { echo "real-stack: calls while the client streams failed with FreeRDP $major"; exit 1; }
  grep '^streaming:' "$out" | sed "s/^streaming:/streaming with FreeRDP $major:/" >>"$figures"
  wait_for 40 gone "$client_pid" || { echo "real-stack: the streaming client outlived its session"; exit 1; }
  echo "ok: every call while the client streamed ended within its limit, none said the client was away"

  echo "--- FreeRDP $major: static channels (/vc:kestav alone): every command, the longest response, hostile inputs"
  echo static >"$home/mode"
  out=$home/program-static.out
  rm -f "$out" "$log"
  client static
  wait_for 600 gone "$client_pid" || { echo "real-stack: the static session did not end"; exit 1; }
  cat "$out" 2>/dev/null || { echo "real-stack: the session program did not run"; exit 1; }
  grep -q '^checks: [0-9]* passed, 0 failed$' "$out" ||
    { echo "real-stack: the session program failed over static channels with FreeRDP $major"; tail -30 "$log"; exit 1; }
  grep -q 'SVC: Channels "KstCmd1" and "KstDta1" registered (VirtualChannelEntryEx)$' "$log" && grep -q 'SVC: Connected$' "$log" &&
    ! grep -q 'DVC: Listening' "$log" || { echo "real-stack: the static plug-in alone did not serve the session"; tail -30 "$log"; exit 1; }
  grep '^round trip' "$out" | sed "s/^round trip/round trip over static channels with FreeRDP $major/" >>"$figures"
  echo "ok: ${program[$major]} /vc:kestav: the library found the static channels by itself and every check passed"
done

echo "--- the package removed"
rm -f "${own_addins[@]}"
# Another add-in in FreeRDP 3's folder: the folder and it stay.
other=$(addins 3)/libkestavother-client.so
own_addins=("$other")
echo other >"$other"
in_client dpkg -r kestav-client >/dev/null
[ -f "$sysroot/etc/kestav/client.conf" ] || { echo "real-stack: removing the package took the changed settings file"; exit 1; }
if [ -n "$made_citrix" ]; then
  cmp -s tests/realstack/module.ini "$citrix/config/module.ini" && [ ! -e "$citrix/VDKESTAV.DLL" ] && [ ! -L "$citrix/VDKESTAV.DLL" ] ||
    { diff tests/realstack/module.ini "$citrix/config/module.ini"; echo "real-stack: removal did not restore module.ini byte for byte or left the link"; exit 1; }
  echo "ok: removed, module.ini is byte for byte as it was and VDKESTAV.DLL is gone"
fi
in_client dpkg --purge kestav-client >/dev/null
installed=""
for path in "$sysroot"/usr/lib/kestav "$(addins 2)/libkestav-client.so" "$(addins 3)/libkestav-client.so" \
    "$sysroot"/usr/bin/kestav-check "$sysroot"/etc/kestav \
    "$sysroot"/usr/lib/{vmware,omnissa}/rdpvcbridge/libkestav-static.so; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || { echo "real-stack: $path is left after the package's removal"; exit 1; }
done
[ -f "$other" ] || { echo "real-stack: removing the package took another add-in from FreeRDP 3's folder"; exit 1; }
echo "ok: the package removed the add-ins, their links, the driver host, the simulator and kestav-check, and left another add-in in FreeRDP 3's folder; purged, the settings file"
echo "real-stack: passed ($arch client)"
