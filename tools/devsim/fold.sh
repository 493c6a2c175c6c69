#!/usr/bin/env bash
# After a power cut of a run (fault power-cut): what persists on the recorder
# goes into the state directory, so that the next `devsim run` on the same
# --state boots on it. Run by devsim-init after the sandbox is torn down.
#   fold.sh OUT STATE
# Kept: the eMMC image (STATE/.devsim/disk.img and its table), the plain /dev
# files (MTD images) and every file the run created, changed or removed in the
# device root (removals as overlay whiteouts), except /tmp (RAM) and the
# harness's own /var/devsim/faults and tools.log.
set -euo pipefail
OUT=$1 STATE=$2
mkdir -p "$STATE/.devsim"
if [ -f "$OUT/disk.img" ]; then
  cp --sparse=always "$OUT/disk.img" "$STATE/.devsim/disk.img.tmp"
  mv "$STATE/.devsim/disk.img.tmp" "$STATE/.devsim/disk.img"
  cp "$OUT/partitions.txt" "$STATE/.devsim/partitions.txt"
fi
if [ -n "$(ls -A "$OUT/dev" 2>/dev/null)" ]; then
  mkdir -p "$STATE/dev"
  cp -a "$OUT/dev/." "$STATE/dev/"
fi
cd "$OUT/root"
find . -mindepth 1 \( -path ./tmp -o \( -path './var/*' ! -path ./var/runtime ! -path './var/runtime/*' \
  ! -path ./var/fs_disk ! -path './var/fs_disk/*' ! -path ./var/devsim ! -path ./var/devsim/kept \
  ! -path './var/devsim/kept/*' \) \) -prune -o -print0 | while IFS= read -r -d '' f; do
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    [ -d "$STATE/$f" ] && [ ! -L "$STATE/$f" ] || rm -rf "${STATE:?}/$f"
    mkdir -p "$STATE/$f"
  else
    rm -rf "${STATE:?}/$f"
    cp -a "$f" "$STATE/$f"
  fi
done
