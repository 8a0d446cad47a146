#!/usr/bin/env bash
# Installs the packages under Wine as an administrator would, each scenario in
# a fresh Wine prefix with stand-in ICA clients (a folder and a registration
# for each), and checks files, both registry views and the client check.
# Called by tools/test.sh after the packages are built (tools/package.sh).
set -Eeuo pipefail
cd "$(dirname "$0")/.."
packages=${1:-build/packages}
version=$(sed -n 's/^project(KestavClientDriver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
x64=$packages/KestavClientDriver-$version-x64.msi
x86=$packages/KestavClientDriver-$version-x86.msi
older=$packages/older/KestavClientDriver-1.5.0-x64.msi
kit=$packages/KestavDeveloperKit-$version-x64.msi
work=$PWD/build/package-test
rm -rf "$work" && mkdir -p "$work"
export WINEDEBUG=-all
# A command that fails outside a check ends the script: say which.
trap 'echo "package-test: stopped at line $LINENO (status $?)"' ERR

LIST='HKLM\SOFTWARE\Citrix\ICA Client\Engine\Configuration\Advanced\Modules\ICA 3.0'
MODULE_KEY='HKLM\SOFTWARE\Citrix\ICA Client\Engine\Configuration\Advanced\Modules\KestavClientDriver'
CLIENT64='C:\Program Files\Citrix\ICA Client'
CLIENT32='C:\Program Files (x86)\Citrix\ICA Client'
passed=0 failed=0 skipped=0
# Where no 32-bit program runs (tools/machine.sh), the x64 package must still
# install, repair and uninstall; what needs 32-bit code is counted as skipped.
. tools/machine.sh
own=win64
runs_32bit && own=win32
runs32() {  # what: true where 32-bit programs run, else counted and said as skipped
  runs_32bit && return 0
  skipped=$((skipped + 1)); echo "skipped $1 (this machine cannot run 32-bit programs)"; return 1
}

prefix() {  # name: a fresh prefix, its own wineserver
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
  export WINEPREFIX=$work/$1
  # A prefix that does not start gets one more try, its status said.
  wineboot -i >/dev/null 2>&1 </dev/null || {
    echo "package-test: wineboot failed for $1 (status $?), once more"
    wineserver -k >/dev/null 2>&1 || true
    wineboot -i >/dev/null 2>&1 </dev/null
  }
  wineserver -p >/dev/null 2>&1 || true
}
w() { wine "$@" </dev/null 2>/dev/null; }
unix() { winepath -u "$1" 2>/dev/null; }
value() {  # view key name: the REG_SZ value, byte for byte, or "(absent)"
  local line
  line=$(w reg query "$2" /v "$3" /reg:$1 | tr -d '\r' | grep -E "^ +$3 +REG_SZ" || true)
  [ -n "$line" ] && sed -E "s/^ +$3 +REG_SZ {4}//" <<<"$line" || echo "(absent)"
}
clients() {  # the stand-in clients: folders, registration, the lists of other modules
  mkdir -p "$(unix "$CLIENT64")" "$(unix "$CLIENT32")"
  w reg add 'HKLM\SOFTWARE\Citrix\ICA Client' /v InstallFolder /d "$CLIENT64\\" /f /reg:64 >/dev/null
  w reg add 'HKLM\SOFTWARE\Citrix\ICA Client' /v InstallFolder /d "$CLIENT32\\" /f /reg:32 >/dev/null
  w reg add "$LIST" /v VirtualDriverEx /d 'Thinwire3.0, CtxTwi' /f /reg:64 >/dev/null
  w reg add "$LIST" /v VirtualDriverEx /d 'Alpha,Beta' /f /reg:32 >/dev/null
}
dword() {  # view key name: the REG_DWORD value as 0x..., or "(absent)"
  local line
  line=$(w reg query "$2" /v "$3" /reg:$1 | tr -d '\r' | grep -E "^ +$3 +REG_DWORD" || true)
  [ -n "$line" ] && sed -E "s/^ +$3 +REG_DWORD +//" <<<"$line" || echo "(absent)"
}
msi() { w msiexec "$@" /qn; }
check() {  # description, command...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok      $what"
  else failed=$((failed + 1)); echo "FAILED  $what"; fi
}
is() { [ "$1" = "$2" ] || { echo "        got \"$1\", wanted \"$2\""; return 1; }; }
exists() { [ -f "$(unix "$1")" ]; }
absent() { [ ! -e "$(unix "$1")" ]; }

echo "--- install, check, the installed module at work, repair, uninstall"
prefix installed
clients
check "silent install succeeds" msi /i "$x64" /l*v 'C:\install.log'
for folder in "$CLIENT64" "$CLIENT32"; do
  for file in KestavClientDriverICA.dll KestavDriverHost32.exe KestavDriverHost64.exe kestav-check.exe; do
    check "$folder\\$file installed" exists "$folder\\$file"
  done
  check "no development tools on a client PC ($folder)" absent "$folder\\kestav-host.exe"
  check "no simulator by default in $folder" absent "$folder\\drivers\\Kestav\\sim.dll"
done
check "64-bit list: ours appended" is "$(value 64 "$LIST" VirtualDriverEx)" 'Thinwire3.0, CtxTwi, KestavClientDriver'
check "32-bit list: ours appended" is "$(value 32 "$LIST" VirtualDriverEx)" 'Alpha,Beta,KestavClientDriver'
for view in 64 32; do
  for name in DriverName DriverNameWin16 DriverNameWin32; do
    check "$view-bit Modules\\KestavClientDriver $name" is "$(value $view "$MODULE_KEY" $name)" KestavClientDriverICA.dll
  done
done
# No instrument driver yet: the module cannot work, and the check says so.
out=$(w "$CLIENT64\\kestav-check.exe" --check | tr -d '\r' || true)
check "--check without any driver names it" \
  grep -qF "PROBLEM no instrument driver in $CLIENT64\\drivers\\Kestav: Init finds none" <<<"$out"
check "... and fails" bash -c "! wine '$CLIENT64\\kestav-check.exe' </dev/null >/dev/null 2>&1"
check "--check: every driver runs in the driver host, by default" \
  grep -qF "OK 64-bit driver host: $CLIENT64\\KestavDriverHost64.exe, where every driver runs" <<<"$out"
host64=$(unix "$CLIENT64\\KestavDriverHost64.exe")
mv "$host64" "$host64.away"
out=$(w "$CLIENT64\\kestav-check.exe" --check | tr -d '\r' || true)
mv "$host64.away" "$host64"
check "--check: a missing driver host is a problem" \
  grep -qF "PROBLEM 64-bit module: $CLIENT64\\KestavDriverHost64.exe is missing, and every driver runs there" <<<"$out"
check "the simulator added as a feature" msi /i "$x64" ADDLOCAL=Simulator
if runs_32bit; then
  check "kestav-check passes (64-bit)" w "$CLIENT64\\kestav-check.exe" --check
else
  # The whole PC: the 32-bit client's driver cannot load where no 32-bit program runs.
  out=$(w "$CLIENT64\\kestav-check.exe" --check | tr -d '\r' || true)
  check "kestav-check (64-bit): no problem but the 32-bit client's driver, which cannot run here" \
    is "$(grep '^PROBLEM' <<<"$out" | grep -vc 'Program Files (x86)' || true)" 0
fi
runs32 "kestav-check (32-bit)" && check "kestav-check passes (32-bit)" w "$CLIENT32\\kestav-check.exe"
# The installed module at work, driven by the stand-in engine of the build.
for folder in "$CLIENT64" "$CLIENT32"; do
  standin=build/package-win64/bin/kestav-host.exe
  if [ "$folder" = "$CLIENT32" ]; then
    runs32 "the installed 32-bit module at work" || continue
    standin=build/package-win32/bin/kestav-host.exe
  fi
  out=$(w "$standin" --module "$folder\\KestavClientDriverICA.dll" "Init|sim|" Measure | tr -d '\r')
  check "installed module in $folder answers Init|sim| and Measure" \
    is "$(grep '^<' <<<"$out" | tr '\n' ' ')" '< OK < OK|false '
done
check "repair succeeds" msi /i "$x64" REINSTALL=ALL REINSTALLMODE=omus
check "64-bit list single after repair" is "$(value 64 "$LIST" VirtualDriverEx)" 'Thinwire3.0, CtxTwi, KestavClientDriver'
check "32-bit list single after repair" is "$(value 32 "$LIST" VirtualDriverEx)" 'Alpha,Beta,KestavClientDriver'
# Another module registers after ours; uninstall takes out exactly our entry.
w reg add "$LIST" /v VirtualDriverEx /d 'Thinwire3.0, CtxTwi, KestavClientDriver, Gamma' /f /reg:64 >/dev/null
check "uninstall succeeds" msi /x "$x64"
check "64-bit list restored around the other module" is "$(value 64 "$LIST" VirtualDriverEx)" 'Thinwire3.0, CtxTwi, Gamma'
check "32-bit list restored byte for byte" is "$(value 32 "$LIST" VirtualDriverEx)" 'Alpha,Beta'
check "64-bit Modules\\KestavClientDriver gone" is "$(value 64 "$MODULE_KEY" DriverName)" '(absent)'
check "32-bit Modules\\KestavClientDriver gone" is "$(value 32 "$MODULE_KEY" DriverName)" '(absent)'
for folder in "$CLIENT64" "$CLIENT32"; do
  check "module gone from $folder" absent "$folder\\KestavClientDriverICA.dll"
  check "simulator gone from $folder" absent "$folder\\drivers\\Kestav\\sim.dll"
done
for folder in 'C:\Program Files\Kestav' 'C:\Program Files (x86)\Kestav'; do
  check "no folder $folder left" absent "$folder"
done
for view in 64 32; do
  check "no Kestav key left ($view-bit)" bash -c "! wine reg query 'HKLM\SOFTWARE\Kestav' /reg:$view </dev/null >/dev/null 2>&1"
done

echo "--- upgrade from an older package"
prefix upgraded
clients
check "older package installs" msi /i "$older"
mkdir -p "$(unix "$CLIENT64\\drivers\\Kestav")"
echo "a maker's driver" >"$(unix "$CLIENT64\\drivers\\Kestav\\maker.dll")"
check "newer package upgrades it" msi /i "$x64"
check "64-bit list single after upgrade" is "$(value 64 "$LIST" VirtualDriverEx)" 'Thinwire3.0, CtxTwi, KestavClientDriver'
check "32-bit list single after upgrade" is "$(value 32 "$LIST" VirtualDriverEx)" 'Alpha,Beta,KestavClientDriver'
check "module in place after upgrade" exists "$CLIENT64\\KestavClientDriverICA.dll"
check "the maker's driver stays" exists "$CLIENT64\\drivers\\Kestav\\maker.dll"
check "one product left, the newer" is "$(w reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 | tr -d '\r' | grep -c 'DisplayVersion.*REG_SZ')" 1

echo "--- the settings as package properties: written, kept on upgrade, removed only when ours"
SETTINGS='HKLM\SOFTWARE\Kestav\ClientDriver'
POLICY='HKLM\SOFTWARE\Policies\Kestav\ClientDriver'
prefix settings
clients
# An administrator's own value, set before any package.
w reg add "$SETTINGS" /v InstrumentThread /t REG_DWORD /d 0 /f /reg:64 >/dev/null
for bad in ISOLATEDRIVER=5 DRIVERTIMEOUTSECONDS=0 DRIVERTIMEOUTSECONDS=abc INSTRUMENTTHREAD=-1; do
  check "a bad property value fails the install ($bad)" \
    bash -c "! wine msiexec /i '$x64' /qn $bad /l*v 'C:\\refused.log' </dev/null 2>/dev/null"
  # (Windows writes the action's message into the log; Wine writes its name.)
  check "... and the MSI log names the property" grep -aq "Refuse${bad%%=*}" "$(unix 'C:\refused.log')"
done
check "... and nothing is registered" is "$(value 64 "$LIST" VirtualDriverEx)" 'Thinwire3.0, CtxTwi'
check "... nor written" is "$(dword 64 "$SETTINGS" IsolateDriver)" '(absent)'
check "older package installs with ISOLATEDRIVER=1 DRIVERTIMEOUTSECONDS=90" \
  msi /i "$older" ISOLATEDRIVER=1 DRIVERTIMEOUTSECONDS=90
for view in 64 32; do
  check "$view-bit preference IsolateDriver written" is "$(dword $view "$SETTINGS" IsolateDriver)" 0x1
  check "$view-bit preference DriverTimeoutSeconds written" is "$(dword $view "$SETTINGS" DriverTimeoutSeconds)" 0x5a
done
check "a setting not given stays as it was (64-bit)" is "$(dword 64 "$SETTINGS" InstrumentThread)" 0x0
check "a setting not given stays absent (32-bit)" is "$(dword 32 "$SETTINGS" InstrumentThread)" '(absent)'
check "newer package upgrades without properties" msi /i "$x64"
check "the upgrade keeps IsolateDriver" is "$(dword 64 "$SETTINGS" IsolateDriver)" 0x1
check "the upgrade keeps DriverTimeoutSeconds (32-bit)" is "$(dword 32 "$SETTINGS" DriverTimeoutSeconds)" 0x5a
out=$(w "$CLIENT64\\kestav-check.exe" --check | tr -d '\r' || true)
check "--check: IsolateDriver from the preference" \
  grep -qF 'OK 64-bit setting IsolateDriver = 1 (preference, HKLM\SOFTWARE\Kestav\ClientDriver)' <<<"$out"
check "--check: InstrumentThread from the preference" grep -qF 'OK 64-bit setting InstrumentThread = 0 (preference' <<<"$out"
w reg add "$POLICY" /v IsolateDriver /t REG_DWORD /d 0 /f /reg:64 >/dev/null
w reg add "$POLICY" /v DriverTimeoutSeconds /t REG_DWORD /d 0 /f /reg:32 >/dev/null
out=$(w "$CLIENT64\\kestav-check.exe" --check | tr -d '\r' || true)
check "--check: a policy wins over the preference" \
  grep -qF 'OK 64-bit setting IsolateDriver = 0 (policy, HKLM\SOFTWARE\Policies\Kestav\ClientDriver)' <<<"$out"
check "--check: a policy value out of range is a problem, not 0" \
  grep -qF 'PROBLEM 32-bit setting DriverTimeoutSeconds: the policy value 0 is outside 1 to 3600, ignored' <<<"$out"
check "--check: ... and the preference holds" grep -qF 'OK 32-bit setting DriverTimeoutSeconds = 90 (preference' <<<"$out"
w reg delete "$POLICY" /f /reg:64 >/dev/null || true
w reg delete "$POLICY" /f /reg:32 >/dev/null || true  # (one key for both views)
w reg add "$SETTINGS" /v DriverTimeoutSeconds /t REG_DWORD /d 120 /f /reg:64 >/dev/null  # changed by hand
check "uninstall succeeds" msi /x "$x64"
for view in 64 32; do
  check "$view-bit IsolateDriver, written by the package, removed" is "$(dword $view "$SETTINGS" IsolateDriver)" '(absent)'
done
check "the administrator's own InstrumentThread stays" is "$(dword 64 "$SETTINGS" InstrumentThread)" 0x0
check "a value changed by hand since stays" is "$(dword 64 "$SETTINGS" DriverTimeoutSeconds)" 0x78
check "the unchanged one goes (32-bit)" is "$(dword 32 "$SETTINGS" DriverTimeoutSeconds)" '(absent)'

echo "--- the Remote Desktop plug-in alone, on a PC without Citrix"
ADDIN='HKLM\Software\Microsoft\Terminal Server Client\Default\AddIns\KestavInstrument'
# Both plug-ins, their driver hosts and the drivers in one folder.
PLUGIN='C:\Program Files\Kestav\ClientDriver'
prefix remote
check "ADDLOCAL=RemoteDesktop,Simulator installs without a Citrix client, with settings" \
  msi /i "$x64" ADDLOCAL=RemoteDesktop,Simulator ISOLATEDRIVER=0 DRIVERTIMEOUTSECONDS=120
for view in 64 32; do
  check "$view-bit preference IsolateDriver written without a Citrix client" is "$(dword $view "$SETTINGS" IsolateDriver)" 0x0
  check "$view-bit preference DriverTimeoutSeconds written without a Citrix client" is "$(dword $view "$SETTINGS" DriverTimeoutSeconds)" 0x78
done
for file in KestavRegister.exe KestavClientDriverDVC.dll KestavClientDriverDVC32.dll KestavDriverHost32.exe \
            KestavDriverHost64.exe kestav-check.exe drivers\\Kestav\\sim.dll; do
  check "$PLUGIN\\$file installed" exists "$PLUGIN\\$file"
done
check "nothing under the 32-bit Program Files" absent 'C:\Program Files (x86)\Kestav'
check "64-bit registration names the 64-bit plug-in" is "$(value 64 "$ADDIN" Name)" "$PLUGIN\\KestavClientDriverDVC.dll"
check "32-bit registration names the 32-bit plug-in" is "$(value 32 "$ADDIN" Name)" "$PLUGIN\\KestavClientDriverDVC32.dll"
for view in 64 32; do
  check "$view-bit registration enabled for Horizon's client (View Enabled)" is "$(dword $view "$ADDIN" 'View Enabled')" 0x1
done
check "no Citrix registration" is "$(value 64 "$LIST" VirtualDriverEx)" '(absent)'
out=$(w "$PLUGIN\\kestav-check.exe" --check | tr -d '\r' || true)
check "--check reports the 64-bit plug-in and its bitness" grep -qF "OK 64-bit Remote Desktop plug-in: $PLUGIN\\KestavClientDriverDVC.dll is 64-bit" <<<"$out"
check "--check reports the 32-bit plug-in and its bitness" grep -qF "OK 32-bit Remote Desktop plug-in: $PLUGIN\\KestavClientDriverDVC32.dll is 32-bit" <<<"$out"
check "--check finds no problem" bash -c "! grep -q PROBLEM <<<'$out'"
check "--check checks the one drivers folder once" is "$(grep -c '^OK driver ' <<<"$out")" 1
for standin in build/package-win64/bin/kestav-host.exe build/package-win32/bin/kestav-host.exe; do
  plugin=KestavClientDriverDVC.dll
  if [[ $standin == *win32* ]]; then
    runs32 "the installed 32-bit plug-in at work" || continue
    plugin=KestavClientDriverDVC32.dll
  fi
  out=$(w "$standin" --dvc --module "$PLUGIN\\$plugin" "Init|sim|" Connect GetSerialNumber | tr -d '\r')
  check "the installed $plugin answers" is "$(grep '^<' <<<"$out" | tr '\n' ' ')" '< OK  (on KstDta1) < OK|true  (on KstDta1) < OK|KSIM-000417  (on KstDta1) '
done
check "uninstall succeeds" msi /x "$x64"
for view in 64 32; do
  check "$view-bit AddIns\\KestavInstrument removed" bash -c "! wine reg query '$ADDIN' /reg:$view </dev/null >/dev/null 2>&1"
  check "no Kestav key left ($view-bit)" bash -c "! wine reg query 'HKLM\SOFTWARE\Kestav' /reg:$view </dev/null >/dev/null 2>&1"
done
check "no Kestav folder left" absent 'C:\Program Files\Kestav'

echo "--- the Remote Desktop plug-in alone, the maker's driver put in its one drivers folder"
prefix remote-driver
check "ADDLOCAL=RemoteDesktop installs" msi /i "$x64" ADDLOCAL=RemoteDesktop
mkdir -p "$(unix "$PLUGIN\\drivers\\Kestav")"
cp build/package-$own/bin/drivers/Kestav/sim.dll "$(unix "$PLUGIN\\drivers\\Kestav")/maker.dll"
check "kestav-check finds no problem (exit status 0)" w "$PLUGIN\\kestav-check.exe" --check
check "uninstall succeeds" msi /x "$x64"
check "the administrator's driver stays" exists "$PLUGIN\\drivers\\Kestav\\maker.dll"
check "nothing of the package stays beside it" is "$(find "$(unix "$PLUGIN")" -type f | wc -l)" 1

echo "--- no client: the install fails and changes nothing"
prefix noclient
check "install refuses" bash -c "! wine msiexec /i '$x64' /qn /l*v 'C:\\noclient.log' </dev/null 2>/dev/null"
# (Windows writes the action's message into the log; Wine writes its name.)
check "the MSI log says why" grep -aq "NoClientFound" "$(unix 'C:\noclient.log')"
check "no files" absent 'C:\Program Files (x86)\Kestav'
check "no files (64-bit Program Files)" absent 'C:\Program Files\Kestav'
for view in 64 32; do
  check "no Citrix registration ($view-bit)" is "$(value $view "$LIST" VirtualDriverEx)" '(absent)'
  check "no Kestav key ($view-bit)" bash -c "! wine reg query 'HKLM\SOFTWARE\Kestav' /reg:$view </dev/null >/dev/null 2>&1"
done
echo "--- the 32-bit Windows package, client folder given"
if runs32 "the 32-bit Windows package (its registration is a 32-bit program)"; then
  mkdir -p "$(unix 'C:\Client32')"
  check "x86 package installs with ICACLIENTDIR" msi /i "$x86" 'ICACLIENTDIR=C:\Client32\'
  check "module in the given folder" exists 'C:\Client32\KestavClientDriverICA.dll'
  check "registered in the 32-bit view" is "$(value 32 "$LIST" VirtualDriverEx)" KestavClientDriver
  check "x86 package uninstalls" msi /x "$x86"
  check "module gone" absent 'C:\Client32\KestavClientDriverICA.dll'
fi

echo "--- another program's VirtualDriverEx of a type the tool does not edit: refused, nothing changed"
clients
w reg add "$LIST" /v VirtualDriverEx /t REG_MULTI_SZ /d 'Thinwire3.0\0Vendor9' /f /reg:64 >/dev/null
multi() { w reg query "$LIST" /v VirtualDriverEx /reg:$1 | tr -d '\r' | grep -E '^ +VirtualDriverEx +REG_'; }
# The installation's log as text (Wine writes it in UTF-16 or in the code page).
msilog() { tr -d '\0\r' <"$(unix "$1")"; }
before=$(multi 64)
check "install refuses" bash -c "! wine msiexec /i '$x64' /qn /l*v 'C:\\refused.log' </dev/null 2>/dev/null"
check "the REG_MULTI_SZ list is as it was" is "$(multi 64)" "$before"
check "the installation's log says why" grep -q 'is neither REG_SZ nor REG_EXPAND_SZ (64-bit registry view)' <<<"$(msilog 'C:\refused.log')"
said=$(wine build/package-$own/bin/KestavRegister.exe add 64 </dev/null 2>&1 >/dev/null | tr -d '\r' || true)
check "KestavRegister says why" grep -q 'is neither REG_SZ nor REG_EXPAND_SZ (64-bit registry view)' <<<"$said"
check "... and still changed nothing" is "$(multi 64)" "$before"
check "... not even the module's key" bash -c "! wine reg query '$MODULE_KEY' /reg:64 </dev/null >/dev/null 2>&1"

echo "--- another program rewrites VirtualDriverEx after the install: the uninstall is never blocked"
prefix rewritten
clients
check "the package installs" msi /i "$x64"
w reg add "$LIST" /v VirtualDriverEx /t REG_MULTI_SZ /d 'Thinwire3.0\0KestavClientDriver\0Vendor9' /f /reg:64 >/dev/null
w reg add "$LIST" /v VirtualDriverEx /t REG_BINARY /d 414243 /f /reg:32 >/dev/null
check "the uninstall succeeds" msi /x "$x64" /l*v 'C:\uninstall.log'
check "the REG_MULTI_SZ list: ours out, its type and the others' entries kept" \
  is "$(multi 64)" "    VirtualDriverEx    REG_MULTI_SZ    Thinwire3.0\0Vendor9"
check "the REG_BINARY value left as it was" is "$(multi 32)" "    VirtualDriverEx    REG_BINARY    414243"
check "the installation's log warns of the value left alone" \
  grep -q 'KestavRegister: warning: .*VirtualDriverEx is of a type this tool does not edit (32-bit registry view): left as it is' \
  <<<"$(msilog 'C:\uninstall.log')"
for folder in "$CLIENT64" "$CLIENT32"; do
  check "module removed from $folder" absent "$folder\\KestavClientDriverICA.dll"
done
check "no module key (64-bit)" bash -c "! wine reg query '$MODULE_KEY' /reg:64 </dev/null >/dev/null 2>&1"
check "no module key (32-bit)" bash -c "! wine reg query '$MODULE_KEY' /reg:32 </dev/null >/dev/null 2>&1"

echo "--- the developer kit: install, link against it, the example with WFAPI by full path, uninstall"
KIT='C:\Program Files\Kestav\DeveloperKit'
prefix devkit
check "the developer kit installs" msi /i "$kit"
for file in include\\KestavChannel.h lib\\x86\\KestavChannel.lib lib\\x86\\libKestavChannel.dll.a \
            lib\\x64\\KestavChannel.lib lib\\x64\\libKestavChannel.dll.a bin\\kestav-host.exe bin\\KestavChannel.dll \
            bin\\drivers\\Kestav\\sim.dll bin32\\KestavChannel.dll examples\\wfapi-session.cpp server-developers.md; do
  check "$file installed" exists "$KIT\\$file"
done
# (By their paths here: winepath, a 32-bit program, sees SysWOW64 as its system32.)
standin32=$WINEPREFIX/drive_c/windows/syswow64/wfapi.dll standin64=$WINEPREFIX/drive_c/windows/system32/wfapi64.dll
check "the stand-in wfapi.dll in the 32-bit system folder" test -f "$standin32"
check "the stand-in wfapi64.dll in the 64-bit system folder" test -f "$standin64"
# Programs built with the kit's header and import libraries: MSVC's format
# (clang and lld-link, as link.exe takes it) and MinGW's; each run with the
# kit's library beside it.
links=$work/links && mkdir -p "$links/x86" "$links/x64"
for arch in x86 x64; do
  target=i686 mingw=i686-w64-mingw32-gcc-posix bin=bin32
  [ $arch = x64 ] && target=x86_64 mingw=x86_64-w64-mingw32-gcc-posix bin=bin
  lib=$(unix "$KIT\\lib\\$arch") include=$(unix "$KIT\\include")
  cp "$(unix "$KIT\\$bin\\KestavChannel.dll")" "$links/$arch/"
  clang --target=$target-pc-windows-msvc -O1 -I"$include" -c tests/devkit/link-check.c -o "$links/$arch/msvc.obj"
  lld-link /nologo /entry:start /subsystem:console /nodefaultlib /machine:$arch "$links/$arch/msvc.obj" \
    "$lib/KestavChannel.lib" /out:"$links/$arch/msvc.exe" >/dev/null
  $mingw -O1 -I"$include" -nostdlib -e $([ $arch = x86 ] && echo _start@0 || echo start) tests/devkit/link-check.c \
    "$lib/libKestavChannel.dll.a" -o "$links/$arch/mingw.exe"
  [ $arch = x86 ] && ! runs32 "the x86 programs linked with the kit" && continue
  for toolchain in msvc mingw; do
    code=0; wine "$links/$arch/$toolchain.exe" </dev/null >/dev/null 2>&1 || code=$?
    check "a $arch program linked with the kit's $toolchain import library runs" is "$code" $((40 + ${#version}))
  done
done
sessions=2
runs_32bit || sessions=1  # the 64-bit example alone
(cd "$(unix "$KIT\\bin")" && exec wine kestav-host.exe --listen kit --sessions $sessions </dev/null >"$work/kit-listener.log" 2>&1) &
listener=$!
for bin in bin32 bin; do
  [ $bin = bin32 ] && ! runs32 "the kit's 32-bit example" && continue
  out=$(cd "$(unix "$KIT\\$bin")" && KESTAV_LOOP=kit timeout 120 wine example-wfapi.exe </dev/null | tr -d '\r' || true)
  check "the kit's $bin\\example-wfapi.exe (WFAPI by full path) measures" grep -q '^Measure  *OK|true$' <<<"$out"
done
wait $listener || true
check "the uninstall succeeds" msi /x "$kit"
check "the kit's folder is gone" absent "$KIT"
check "the stand-in wfapi.dll is gone" test ! -e "$standin32"
check "the stand-in wfapi64.dll is gone" test ! -e "$standin64"

echo "--- the developer kit where a real WFAPI is: never replaced, never removed"
prefix realwfapi
# A real one has a version resource, as Wine's own libraries have: one of those stands in for it
# (the 64-bit one in the 32-bit folder too where Wine has no 32-bit side: the search reads files only).
real32=$WINEPREFIX/drive_c/windows/syswow64/wfapi.dll real64=$WINEPREFIX/drive_c/windows/system32/wfapi64.dll
mkdir -p "$(dirname "$real32")"
if [ -f "$WINEPREFIX/drive_c/windows/syswow64/version.dll" ]; then
  cp "$WINEPREFIX/drive_c/windows/syswow64/version.dll" "$real32"
else
  cp "$WINEPREFIX/drive_c/windows/system32/version.dll" "$real32"
fi
cp "$WINEPREFIX/drive_c/windows/system32/version.dll" "$real64"
sum32=$(md5sum <"$real32") sum64=$(md5sum <"$real64")
check "the developer kit installs" msi /i "$kit"
check "the real wfapi.dll is as it was" is "$(md5sum <"$real32")" "$sum32"
check "the real wfapi64.dll is as it was" is "$(md5sum <"$real64")" "$sum64"
check "the uninstall succeeds" msi /x "$kit"
check "the real wfapi.dll stays" is "$(md5sum <"$real32")" "$sum32"
check "the real wfapi64.dll stays" is "$(md5sum <"$real64")" "$sum64"

wineserver -k >/dev/null 2>&1 || true
echo "packages: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
