# Sourced by the scripts that run Windows programs: one persistent wineserver
# for the whole run, stopped when the script ends. A Wine prefix of the
# build's own unless WINEPREFIX names one: the settings made here (no
# graphics, no crash dialog) never reach the user's ~/.wine.
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wine}"
mkdir -p "$WINEPREFIX"
wine_start_log=$WINEPREFIX/../wine-start.log
# Starts Wine in the prefix; fails, with its words in wine_start_said, when it
# cannot run a program there.
wine_start() {
  # Started with its output on /dev/null: wine's helper processes inherit it
  # and would otherwise hold a pipe of ours open.
  wineserver -p >/dev/null 2>&1 || true  # one may be running already
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  WINEDEBUG=err+all wine cmd /c exit 0 >"$wine_start_log" 2>&1 </dev/null || return 1
  # Windows without a display: drivers under test create windows, and Wine's
  # null graphics driver gives them a desktop that works headless. With a
  # desktop, a crashing program would wait on Wine's crash dialog: none.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null || true
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null || true
}
wine_start_said() { tail -5 "$wine_start_log" 2>/dev/null; }
