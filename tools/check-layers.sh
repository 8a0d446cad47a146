#!/usr/bin/env bash
# The layers' include rules (docs/maintainers.md, "Rules the layers keep"), checked on every
# build's test run: each folder includes only from the folders listed for it, and the session
# core (relay/Session, InstrumentThread, Message, Result) from no transport.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [include]=""
  [platform]=""
  [diag]="platform"
  [driver]="diag platform include"
  [driverhost]="driver diag platform include"
  [commands]="relay driver diag platform include"
  [relay]="commands driver diag platform include"
  [ica]="relay diag platform"
  [dvc]="relay diag platform"
  [svc]="relay diag platform"
  [freerdp]="relay diag platform"
  [server]="relay platform"
  [packaging]="platform"
  [examples]=""
  [tools]="server packaging freerdp svc dvc ica relay commands driverhost driver diag platform include"
  [tests]="tools server packaging freerdp svc dvc ica relay commands driverhost driver diag platform include"
)
# The two arrows up a floor: VirtualChannelICA's (it lives in relay/ beside the
# core and uses ica/'s engine records) and the load hook's (it tells the log where the
# module is).
upward='^(relay/VirtualChannelICA\.(h|cpp):ica/|platform/[a-z0-9]*/Entry\.cpp:diag/ModuleFolder\.h$)'
# The session core itself: no transport's header.
core="relay/Session.h relay/Session.cpp relay/InstrumentThread.h relay/InstrumentThread.cpp relay/Message.h
      relay/Message.cpp relay/Result.h"

broken=0
# Every folder with sources has a row.
for folder in */; do
  folder=${folder%/}
  [ "$folder" = build ] && continue
  if [ -z "${allowed[$folder]+row}" ] && [ -n "$(find "$folder" -name '*.[ch]' -o -name '*.cpp' | head -1)" ]; then
    echo "$folder/ has sources but no row here: say which folders it may include from"
    broken=1
  fi
done
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file included; do
    used=${included%%/*}
    [ "$used" = "$folder" ] && continue
    [[ "$file:$included" =~ $upward ]] && continue
    if ! grep -qw -- "$used" <<<"${allowed[$folder]}"; then
      echo "$file includes $included: $folder/ may include from ${allowed[$folder]:-no other folder}${allowed[$folder]:+ only}"
      broken=1
    fi
  done < <(grep -rHo '^#include "[a-z]*/[^"]*"' "$folder" | sed 's/:#include "/:/; s/"$//')
done
for file in $core; do
  if grep -Hn '^#include "\(ica\|dvc\|svc\|freerdp\)/' "$file"; then
    echo "$file: the session core includes no transport"
    broken=1
  fi
done
[ "$broken" = 0 ] && echo "layers: every include within its layer's rules"
exit "$broken"
