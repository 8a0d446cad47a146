#!/usr/bin/env bash
# The layers' include rules (docs/maintainers.md, "Rules the layers keep"), checked on every
# build's test run: each folder includes only from the folders listed for it, and the session
# core (relay/Session, InstrumentThread, Message, Result) from no transport.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [platform]="packaging diag"
  [diag]="packaging platform"
  [driver]="diag platform include"
  [driverhost]="driver diag platform"
  [commands]="relay driver diag platform"
  [relay]="commands driver diag platform ica"
  [ica]="relay diag platform"
  [dvc]="relay driver diag platform packaging"
  [svc]="dvc relay diag platform packaging"
  [freerdp]="dvc svc relay diag platform"
  [server]="relay platform packaging"
)
# The session core itself: no transport's header.
core="relay/Session.h relay/Session.cpp relay/InstrumentThread.h relay/InstrumentThread.cpp relay/Message.h
      relay/Message.cpp relay/Result.h"

broken=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file included; do
    used=${included%%/*}
    [ "$used" = "$folder" ] && continue
    if ! grep -qw -- "$used" <<<"${allowed[$folder]}"; then
      echo "$file includes $included: $folder/ may include from ${allowed[$folder]} only"
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
