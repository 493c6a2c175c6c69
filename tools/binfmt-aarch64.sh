#!/usr/bin/env bash
# Lets this x86_64 machine run aarch64 binaries directly (also inside a chroot
# that holds no qemu): registers qemu-aarch64-static with binfmt_misc, with the
# flags OPF (F: the interpreter is opened at registration, so it works in any
# root). Needs root.
#   tools/binfmt-aarch64.sh add      mount binfmt_misc if needed, register when absent
#   tools/binfmt-aarch64.sh remove   undo only what `add` did
#   tools/binfmt-aarch64.sh check    exit 0 when aarch64 binaries run with the F flag
# `add` records what it did in /run/update-binfmt-aarch64; `remove` reads it.
set -euo pipefail
readonly DIR=/proc/sys/fs/binfmt_misc
readonly ENTRY=$DIR/qemu-aarch64
readonly NOTE=/run/update-binfmt-aarch64
# Debian's name for qemu-aarch64-static that keeps argv[0] (the P flag).
readonly QEMU=/usr/libexec/qemu-binfmt/aarch64-binfmt-P
# ELF64, little-endian, EM_AARCH64 (183), executable or shared object.
readonly MAGIC='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
readonly MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

fail() {
  echo "binfmt-aarch64: $*" >&2
  exit 1
}

check() {
  [ -r "$ENTRY" ] || fail "qemu-aarch64 is not registered with binfmt_misc (run tools/binfmt-aarch64.sh add as root)"
  grep -qx enabled "$ENTRY" || fail "the qemu-aarch64 binfmt entry is disabled"
  grep -q '^flags:.*F' "$ENTRY" || fail "the qemu-aarch64 binfmt entry lacks the F (fix-binary) flag: emulated binaries would not start in a chroot"
}

case "${1:-}" in
  add)
    [ "$(id -u)" -eq 0 ] || fail "needs root"
    [ -x "$QEMU" ] || fail "missing $QEMU (package qemu-user-static; tools/install-deps-aarch64.sh)"
    : >"$NOTE.new"
    if [ ! -e "$DIR/register" ]; then
      mount -t binfmt_misc binfmt_misc "$DIR" || fail "cannot mount binfmt_misc on $DIR"
      echo mounted >>"$NOTE.new"
    fi
    if [ ! -e "$ENTRY" ]; then
      printf ':qemu-aarch64:M::%s:%s:%s:OPF\n' "$MAGIC" "$MASK" "$QEMU" >"$DIR/register" ||
        fail "cannot register qemu-aarch64 with binfmt_misc"
      echo registered >>"$NOTE.new"
    fi
    # Keep what an earlier `add` recorded (a second add changes nothing).
    [ -e "$NOTE" ] && cat "$NOTE" >>"$NOTE.new"
    sort -u "$NOTE.new" >"$NOTE"
    rm -f "$NOTE.new"
    check
    ;;
  remove)
    [ -e "$NOTE" ] || exit 0
    if grep -qx registered "$NOTE" && [ -e "$ENTRY" ]; then echo -1 >"$ENTRY"; fi
    if grep -qx mounted "$NOTE"; then umount "$DIR" || true; fi
    rm -f "$NOTE"
    ;;
  check) check ;;
  *) fail "usage: $0 add|remove|check" ;;
esac
