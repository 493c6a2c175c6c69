#!/usr/bin/env bash
# Runs every fuzz target with its corpus and prints the executions of each.
#   tools/fuzz.sh FUZZ_BUILD UPDATE_PACK [SECONDS | --runs N] [TARGET...]
# FUZZ_BUILD is a build with -DUPDATE_FUZZ=ON; UPDATE_PACK makes the seed
# packages. Two targets run at a time. New inputs go to
# FUZZ_BUILD/fuzz/corpus/<target>; tests/fuzz/corpus/<target> holds the
# committed seeds and every input that once found a fault. Exit 1 when a
# target reported a finding (its input is left in FUZZ_BUILD/fuzz/).
# FUZZ_FLAGS adds libFuzzer options (e.g. -max_total_time=600 with --runs).
set -euo pipefail
src=$(cd "$(dirname "$0")/../tests/fuzz" && pwd)
build=$(cd "$1" && pwd); pack=$(realpath "$2"); shift 2
limit=(-max_total_time=60)
if [ "${1:-}" = --runs ]; then limit=(-runs="$2"); shift 2
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then limit=(-max_total_time="$1"); shift; fi
targets=("$@")
all=(head boards table version cmdline manuinfo devcap env aes_args pack_read)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
work=$build/fuzz; mkdir -p "$work"
# One key pair for every run, so that the inputs pack_read keeps stay signed.
key=$work/key; [ -f "$key/pub_key" ] || { mkdir -p "$key"; "$pack" keygen --dir "$key" >/dev/null; }
export FUZZ_PACK_KEY=$key/pub_key

# Seeds: tiny packages made by update-pack, cut into what each parser reads.
seeds=$work/seeds; rm -rf "$seeds"; mkdir -p "$seeds"
( cd "$seeds"
  head -c 600 /dev/urandom >img1; head -c 2000 /dev/urandom >img2; mkdir -p oem/a; echo x >oem/a/b
  mk() { "$pack" create -o "$1" --board BRD-X "${@:2}" --quiet; }
  mk plain.bin --inner QTPXV300R006B13 --pub B0523 --board BRD-K700-Q08@48-X \
    --image uimage=img1 --image program=img2 --key "$key/pri_key"
  mk enc.bin --inner QTCXV500R002B01 --pub B0142P17 --key-suffix S \
    --image uboot=img1 --image program=img2 --encrypt --key "$key/pri_key"
  mk custom.bin --inner I --pub B0102 --image program=img1 --custom oem --mdc img2 --key "$key/pri_key"
  mk legacy.bin --inner I --pub B0102 --image program=img1 --name 4=prog --key "$key/pri_key" --legacy-only
  mk unsigned.bin --inner I --pub B0102 --image program=img1 --image updater=img2 --count 40 --unsigned )
for t in "${all[@]}"; do mkdir -p "$work/corpus/$t"; done
for p in plain enc custom legacy unsigned; do cp "$seeds/$p.bin" "$work/corpus/pack_read/$p"; done
for p in plain enc; do
  f=$seeds/$p.bin
  head -c 256 "$f" >"$work/corpus/head/$p"
  { printf 'BRD-X\0'; dd if="$f" bs=1 skip=256 count=1280 status=none; } >"$work/corpus/boards/$p"
  head -c 8192 "$f" >"$work/corpus/table/$p"
  { printf 'V5.23.01\0V5.22.14\0U0057\0BRD-X\0PUB:V5.22.14\nINN:QTPXV300R006B13\nNEW:BRD-X\n\0'
    head -c 256 "$f" | tr -d '\0'; printf '\0'; dd if="$f" bs=1 skip=256 count=1280 status=none | tr -d '\0'
  } >"$work/corpus/version/$p"
done
printf 'VERSION_INFO:1\nMAC_ADDRESS:00:11\nDEVICE_SERIAL_NUMBER:X1\n\0MAC_ADDRESS:aa:bb\n' \
  >"$work/corpus/manuinfo/seed"
printf '<?xml version="1.0"?><Cap><ACustomCfg SupportLanguage="3,0,1,0"/><CurLanguage>1</CurLanguage></Cap>' \
  >"$work/corpus/devcap/seed"
printf '\x01\0' >"$work/corpus/env/seed"
words() { printf '%s\0' "$@" | head -c -1; }
words -f f -s 0 -L 4096 -S 0 -K k -p 0 >"$work/corpus/aes_args/seed"
words -f f -s 16 -L 0 -S 64 -K k -p 8 >"$work/corpus/aes_args/stride"
words -tftp 192.168.1.2 all -u admin -p x -f >"$work/corpus/cmdline/seed"
words -local /mnt/usb/Program.bin uboot -c -r >"$work/corpus/cmdline/local"

run_one() {
  local t=$1 dir=$work/$1
  mkdir -p "$dir" "$src/corpus/$t"
  ( cd "$dir" && "$build/bin/fuzz_$t" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 ${FUZZ_FLAGS:-} -artifact_prefix="$dir/" "$work/corpus/$t" "$src/corpus/$t" \
      >"$dir/log" 2>&1 ) && echo ok >"$dir/result" || echo FOUND >"$dir/result"
}
pids=()
for t in "${targets[@]}"; do
  run_one "$t" & pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
wait
status=0; total=0
printf '%-10s %12s %10s %8s %s\n' target executions exec/s seconds result
for t in "${targets[@]}"; do
  log=$work/$t/log
  n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1); n=${n:-0}
  s=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  secs=$(( ${s:-0} > 0 ? n / s : 0 ))
  r=$(cat "$work/$t/result"); [ "$r" = ok ] || { status=1; grep -m3 -E 'ERROR|SUMMARY|crash-|leak-|timeout-|oom-' "$log" || true; }
  printf '%-10s %12s %10s %8s %s\n' "$t" "$n" "${s:-0}" "$secs" "$r"
  total=$((total + n))
done
echo "total executions: $total"
exit $status
