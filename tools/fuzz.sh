#!/usr/bin/env bash
# Runs the libFuzzer targets under AddressSanitizer and UBSan, and prints
# executions and crashes per target: whole receive paths (the session core,
# the exchange with a driver host that answers anything, the listener's session,
# the Remote Desktop plug-in's channels, the static plug-in's chunks and writes, the engine's write hook and poll),
# the client library's Remote Desktop receive path against a client that sends
# anything, without end if it likes), and the decoders (command text, driver host frames, PE headers, local loop
# frames, Remote Desktop chunks, responses on a stream without boundaries, the
# VirtualDriverEx list).
# Usage: tools/fuzz.sh [--runs N | --seconds S] [target...]
#   default: 60 seconds per target; targets: command engine session plugin static hosted listener receive
#   text frames pe loop chunks stream driverlist
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time=60)
targets=()
known="command engine session plugin static hosted listener receive text frames pe loop chunks stream driverlist"
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help)
      echo "usage: tools/fuzz.sh [--runs N | --seconds S] [target...]"
      echo "Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) into build/fuzz and runs each"
      echo "for 60 s (or N inputs, or S seconds), then prints executions and findings per target."
      echo "targets: $known (default: all)"
      exit 0 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    -*) echo "tools/fuzz.sh: unknown option $1 (tools/fuzz.sh --help)" >&2; exit 2 ;;
    *) [[ " $known " == *" $1 "* ]] || { echo "tools/fuzz.sh: no target $1 (targets: $known)" >&2; exit 2; }
       targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || read -r -a targets <<<"$known"
[ "${SKIP_INSTALL:-}" = 1 ] || tools/install-deps.sh test

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DKST_FUZZ=ON -DKST_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
# Quiet, unless the build fails: then its last lines say why.
ninja -C "$build" $(printf 'fuzz_%s ' "${targets[@]}") >"$build/build.log" 2>&1 ||
  { tail -40 "$build/build.log"; echo "fuzz.sh: the fuzz targets did not build"; exit 1; }

failed=0
for target in "${targets[@]}"; do
  work=$build/work/$target
  mkdir -p "$work/corpus" "$work/crashes"
  log=$work/last-run.log
  set +e
  # The receive paths take writes longer than any transport allows.
  case $target in session|plugin) max_len=2097152 ;; *) max_len=65536 ;; esac
  # Part of what these allocate for an input is freed only after it returned
  # (by a thread, or at the next input), so libFuzzer's check after each input
  # ran nearly every input twice and scanned the whole heap; LeakSanitizer
  # still checks the process at exit.
  case $target in session|plugin|static|listener|hosted) leaks=0 ;; *) leaks=1 ;; esac
  (cd "$work" && "../../bin/fuzz_$target" "${limit[@]}" -max_len=$max_len -rss_limit_mb=2048 -detect_leaks=$leaks \
     -artifact_prefix=crashes/ corpus "$PWD/../../../../tests/fuzz/corpus/$target") >"$log" 2>&1
  status=$?
  set -e
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' "$log")
  # libFuzzer also keeps "slow-unit-" files for inputs that took a second or
  # more once it has run ten seconds; on a busy machine that is no finding.
  crashes=$(find "$work/crashes" -type f ! -name 'slow-unit-*' | wc -l)
  slow=$(find "$work/crashes" -type f -name 'slow-unit-*' | wc -l)
  echo "fuzz_$target: ${runs:-no summary}, $crashes crash file(s), $slow slow input(s) kept, exit $status"
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=1
    grep -E "ERROR|SUMMARY|runtime error" "$log" | head -5 || true
  fi
done
exit $failed
