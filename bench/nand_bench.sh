#!/usr/bin/env bash
# NAND benchmark in the virtual recorder: an "all" update (kernel, program,
# web files) of the NAND profile build with a large program image, from a
# package on the guest's medium, against this program's flash_eraseall and
# the firmware's nandwrite of the same three images out of the same package,
# run by hand in the same guest. Prints the guest seconds of each, the ratio,
# the update's writes alone (from the rate file's 60 to its 100) against the
# tools, and where the update's own time went (from its log). Figures only:
# nothing here fails on them. Target: the update within 1.3 x the tools by
# hand. Under TCG the check (CRC and two SHA-256 passes over the package,
# emulated) costs more than the tools' whole run; the writes alone compare
# like for like.
#
#   cmake --build build --target update-pack devsim-procfs
#   cmake --build build-nand --target update
#   sudo bench/nand_bench.sh [--build DIR] [--update PATH] [--mib N]
#
# The guest runs under TCG (no KVM): the absolute seconds are the emulator's,
# the ratio is what the figure is for.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build update=$PWD/build-nand/bin/update mib=64
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --update) update=$(realpath "$2"); shift 2 ;;
    --mib) mib=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--update PATH] [--mib N]" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d /tmp/nand-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/medium" "$work/in/root/program" "$work/proc"
head -c $((300 << 10)) /dev/urandom >"$work/k.img"
head -c $((mib << 20)) /dev/urandom >"$work/p.img"
head -c $((100 << 10)) /dev/urandom >"$work/w.img"
mkdir "$work/keys"
"$build/bin/update-pack" keygen --bits 2048 --dir "$work/keys" >/dev/null
cp "$work/keys/pub_key" "$work/in/root/.pub_key"
"$build/bin/update-pack" create --quiet -o "$work/medium/Program.bin" --inner QTPXV300R006B21 \
  --pub B0140P17 --board BRD-X200-N04 --count 12 --key "$work/keys/pri_key" \
  --image "uimage=$work/k.img" --image "program=$work/p.img" --image "web=$work/w.img"
printf 'PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R006B20\nBUILD:2026-11-30 10:00:00\n' \
  >"$work/in/root/program/.version"
cp tests/vm/nandwrite-recorder.sh "$work/in/nandwrite"
echo BRD-X200-N04 >"$work/proc/board_type"
echo "console=ttyS0 root=/dev/mtdblock5 rootfstype=jffs2" >"$work/proc/cmdline"
k=$((300 << 10)) p=$((mib << 20)) w=$((100 << 10))
# The package lays its images in table order from byte 4096.
cat >"$work/in/bench.sh" <<EOF
cp -r /in/root/. /; cp /lib64/ld-linux-x86-64.so.2 /lib/; mkdir -p /var/runtime/log
mv /usr/sbin/nandwrite /usr/sbin/nandwrite.mtd-utils; cp /in/nandwrite /usr/sbin/; chmod 755 /usr/sbin/nandwrite
up() { cut -d' ' -f1 /proc/uptime; }
# The rate file's changes with the guest's uptime: 60 comes when the writes
# begin (after the check and the collectors' stop), 100 when they end.
(last=; while :; do read -r r </tmp/update_rate.log; [ "\$r" = "\$last" ] || { read -r now _ </proc/uptime; echo "\$now \$r"; }; last=\$r; usleep 50000; done >/tmp/rate-times 2>/dev/null) &
t0=\$(up); update -local /mnt/usb/ all -wait >/tmp/update.out 2>&1; rc=\$?; t1=\$(up)
kill %1
w0=\$(awk '\$2 == 60 { print \$1; exit }' /tmp/rate-times); w1=\$(awk '\$2 == 100 { print \$1; exit }' /tmp/rate-times)
for m in 4 5 6; do flash_erase -q /dev/mtd\$m 0 0; done
t2=\$(up)
pkg=/mnt/usb/Program.bin
flash_eraseall /dev/mtd4 >/dev/null && nandwrite -p /dev/mtd4 -g 4096 -l $k -m \$pkg >/dev/null &&
flash_eraseall /dev/mtd5 >/dev/null && nandwrite -p /dev/mtd5 -g $((4096 + k)) -l $p -m \$pkg >/dev/null &&
flash_eraseall /dev/mtd6 >/dev/null && nandwrite -p /dev/mtd6 -g $((4096 + k + p)) -l $w -m \$pkg >/dev/null
hand=\$?; t3=\$(up)
echo "update rc=\$rc \$t0 \$t1 hand rc=\$hand \$t2 \$t3 writes \${w0:-0} \${w1:-0}"
sed -nE 's/^[0-9-]+ ([0-9:]+)\[[^]]*\]/\1 /p' /var/log/update.log |
  grep -E 'Start update|cp lib|Read head crc|sha256 over|jffs2_gcd_mtd(0|11)\$|update (uImage|program|web)|success' || true
EOF
set +e
tools/vrec/vrec run --profile nand --program-mib $((mib + 8)) --mem 1536 --timeout 1800 \
  --build "$build" --update "$update" --in "$work/in" --medium "$work/medium" --proc "$work/proc" \
  --out "$work/out" -- sh /in/bench.sh
status=$?
set -e
[ "$status" = 0 ] || { echo "vrec: status $status" >&2; tail -n 20 "$work/out/stdout" "$work/out/stderr" >&2; exit 1; }
read -r _ urc t0 t1 _ hrc t2 t3 _ w0 w1 < <(grep '^update rc=' "$work/out/stdout")
awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v e="$w0" -v f="$w1" -v m="$mib" -v u="$urc" -v h="$hrc" 'BEGIN {
  printf "NAND \"all\" with a %d MiB program (guest seconds under TCG)\n", m
  printf "  update -local all -wait: %7.1f s (%s)\n", b - a, u
  printf "  flash_eraseall + nandwrite by hand: %7.1f s (%s)\n", d - c, h
  printf "  ratio: %.2f\n", (b - a) / (d - c)
  if (f > e) printf "  of the update, its writes (rate 60 to 100): %.1f s, %.2f x the tools by hand; before them (preparation, check, collectors): %.1f s\n", f - e, (f - e) / (d - c), e - a
}'
echo "where the update's time went (log times):"
grep -v '^update rc=' "$work/out/stdout" | sed 's/^/  /'
