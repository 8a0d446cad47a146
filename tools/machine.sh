# Sourced by the scripts: what this machine runs. A kernel without 32-bit
# support (arm64 hosts, x86-64 kernels built without IA-32 emulation, some
# container hosts) cannot start 32-bit programs at all, so Wine's 32-bit side
# and every 32-bit Windows program are out of reach there.

# Whether a 32-bit x86 program runs here: a 93-byte static i386 program that
# exits with 42 is started (asked once per script; the answer is kept).
runs_32bit() {
  if [ -z "${KST_RUNS_32BIT:-}" ]; then
    local probe status
    probe=$(mktemp)
    # ELF header, one loadable segment at 0x08048000, then
    # xor ebx,ebx; mov bl,42; xor eax,eax; inc eax; int 0x80 (exit 42).
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80' >"$probe"
    chmod +x "$probe"
    status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    KST_RUNS_32BIT=no
    [ "$status" = 42 ] && KST_RUNS_32BIT=yes
    export KST_RUNS_32BIT
  fi
  [ "$KST_RUNS_32BIT" = yes ]
}

# Whether programs for another machine (qemu's name for it: aarch64, arm)
# start here, through qemu-user and the kernel's binfmt_misc (a program the
# tests start, such as the driver host, must start as one of this machine's
# does). Mounts binfmt_misc and registers the machine's qemu from its
# package's binfmt.d file where it is not yet, when allowed (root).
runs_foreign() {
  local machine=$1 table=/proc/sys/fs/binfmt_misc
  command -v "qemu-$machine-static" >/dev/null || return 1
  [ -e "$table/register" ] || mount -t binfmt_misc binfmt_misc "$table" 2>/dev/null || return 1
  [ -e "$table/qemu-$machine" ] || cat "/usr/lib/binfmt.d/qemu-$machine.conf" >"$table/register" 2>/dev/null || return 1
  grep -qx enabled "$table/qemu-$machine"
}
