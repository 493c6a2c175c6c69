#!/usr/bin/env bash
# Makes a plain and an encrypted signed package of 1 MiB (four whole
# 262144-byte chunks) with update-pack, each with the legacy signature only
# and with both signatures, and sweeps them (the legacy-only ones show the
# XOR-fold weakness; the full-signed ones must refuse every change):
#   tools/sweep/run.sh UPDATE_PACK UPDATE_SWEEP [VARIANTS] [SWEEP OPTIONS...]
# The key has 2048 bits, so the signature block's last 256 bytes are unread.
set -euo pipefail
pack=$(realpath "$1"); sweep=$(realpath "$2"); variants=${3:-10000}; shift 3 || shift $#
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
"$pack" keygen --bits 2048 --dir . >/dev/null
head -c 4000 /dev/zero | tr '\0' 'u' >uboot.bin
head -c 30000 /dev/urandom >uImage.bin
head -c $((1048576 - 4096 - 4000 - 30000)) /dev/urandom >program.img
for kind in plain encrypted; do
  for sig in legacy full; do
    extra=(); [ $kind = encrypted ] && extra+=(--encrypt); [ $sig = legacy ] && extra+=(--legacy-only)
    "$pack" create -o $kind-$sig.bin --inner QTPXV300R006B13 --pub B0142P17 \
      --board BRD-K700-Q08@48-X --board BRD-SWEEP --image uboot=uboot.bin \
      --image uimage=uImage.bin --image program=program.img --key pri_key --quiet "${extra[@]}"
  done
done
"$sweep" --pub-key pub_key --board BRD-SWEEP --local-pub B0140P10 --variants "$variants" \
  --expect-fold "$@" plain-legacy.bin encrypted-legacy.bin
"$sweep" --pub-key pub_key --board BRD-SWEEP --local-pub B0140P10 --variants "$variants" \
  "$@" plain-full.bin encrypted-full.bin
