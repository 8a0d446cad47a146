#!/usr/bin/env bash
# Makes an arm64 thin client's system under build/arm64-client: Debian 12
# (debootstrap, minimal) with FreeRDP 2's xfreerdp and, from the backports
# suite, FreeRDP 3's xfreerdp3, for tools/real-stack.sh --arch arm64. Its
# programs run here under qemu-user through binfmt_misc (tools/machine.sh).
# The first set-up takes about half an hour on a loaded machine; a second run
# finds the system made and says so at once. Nothing outside build/ changes
# but binfmt_misc's registration.
# Usage: tools/arm64-client.sh   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/machine.sh
root=build/arm64-client
[ -f "$root/.made" ] && { echo "arm64-client: $root is made"; exit 0; }
[ "$(id -u)" -eq 0 ] || { echo "arm64-client: needs root (debootstrap, chroot)"; exit 1; }
[ "${SKIP_INSTALL:-}" = 1 ] || tools/install-deps.sh realstack
runs_foreign aarch64 || { echo "arm64-client: qemu-aarch64-static cannot run arm64 programs here (binfmt_misc)"; exit 1; }
archive=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
[ -n "$archive" ] || archive=http://deb.debian.org/debian

partial=$root.partial
mounted=()
# Unmounts what this script mounted, whatever happens.
unmount() { local point; for point in "${mounted[@]}"; do umount -l "$point" 2>/dev/null || true; done; }
trap unmount EXIT
# What an earlier run that was killed left mounted there first (never remove
# through a mount: /dev is one).
{ grep -o " $PWD/$partial/[^ ]*" /proc/mounts || true; } | sort -r | while read -r point; do umount -l "$point"; done
rm -rf --one-file-system "$partial"
echo "arm64-client: [1/3] debootstrap arm64 bookworm into $partial (from $archive)"
debootstrap --arch=arm64 --variant=minbase bookworm "$partial" "$archive" >"$partial.log" 2>&1 ||
  { tail -20 "$partial.log"; echo "arm64-client: debootstrap failed"; exit 1; }
mount -t proc proc "$partial/proc" && mounted+=("$partial/proc")
mount --bind /dev "$partial/dev" && mounted+=("$partial/dev")
cp /etc/resolv.conf "$partial/etc/resolv.conf"
inside() { chroot "$partial" env DEBIAN_FRONTEND=noninteractive LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
echo "arm64-client: [2/3] FreeRDP 2 (freerdp2-x11)"
inside apt-get install -y -q --no-install-recommends freerdp2-x11 >>"$partial.log" 2>&1 ||
  { tail -20 "$partial.log"; echo "arm64-client: installing freerdp2-x11 failed"; exit 1; }
echo "arm64-client: [3/3] FreeRDP 3 (freerdp3-x11 from bookworm-backports)"
printf 'deb %s bookworm-backports main\n' "$archive" >"$partial/etc/apt/sources.list.d/backports.list"
inside apt-get update -q >>"$partial.log" 2>&1 &&
  inside apt-get install -y -q --no-install-recommends -t bookworm-backports freerdp3-x11 >>"$partial.log" 2>&1 ||
  { tail -20 "$partial.log"; echo "arm64-client: installing freerdp3-x11 failed"; exit 1; }
rm "$partial/etc/apt/sources.list.d/backports.list"
inside apt-get clean
unmount && mounted=()
touch "$partial/.made"
rm -rf --one-file-system "$root" && mv "$partial" "$root" && mv "$partial.log" "$root.log"
echo "arm64-client: $root is made ($(du -sh "$root" | cut -f1))"
