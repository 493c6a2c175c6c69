#!/usr/bin/env bash
# The main job: builds the updater, makes a signed, encrypted package with
# update-pack, serves it by TFTP to the simulated recorder and runs there
#   update -tftp 127.0.0.1 all -check     (the package is good for the recorder)
#   update -tftp 127.0.0.1 all            (the real update, then the reboot)
# showing the updater's output, the progress it reported, the success lines
# and a digest of each written partition beside the digest of its image.
# Set UPDATE_SKIP_DEPS=1 to skip the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${UPDATE_SKIP_DEPS:-0}" != 1 ]; then
  bash tools/install-deps.sh
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build --target update-pack devsim
# The recorder runs the self-contained build: one static `update`, no shared library.
cmake -S . -B build-static -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_STATIC=ON \
  -DUPDATE_TESTS=OFF -DUPDATE_BENCH=OFF > /dev/null
cmake --build build-static --target update
export DEVSIM_UPDATE=$PWD/build-static/bin/update

work=build/demo
rm -rf "$work"
mkdir -p "$work"/{keys,images,state/program,state/proc,serve}
pack=build/bin/update-pack

echo "== making a signed, encrypted package"
"$pack" keygen --dir "$work/keys" > /dev/null
head -c 2097152 /dev/urandom > "$work/images/uImage.bin"
head -c 6291456 /dev/urandom > "$work/images/program.img"
head -c 524288 /dev/urandom > "$work/images/web.img"
"$pack" create -o "$work/serve/Program.bin" --quiet \
  --inner QTPXV300R006B21 --pub B0140P17 \
  --board BRD-K700-Q08@48-X --board BRD-K700-Q08@96-X \
  --image uimage="$work/images/uImage.bin" \
  --image program="$work/images/program.img" \
  --image web="$work/images/web.img" \
  --key "$work/keys/pri_key" --encrypt
"$pack" info "$work/serve/Program.bin" --pub-key "$work/keys/pub_key"

echo "== the recorder: version B0140P10, board BRD-K700-Q08@48-X, public key installed"
printf 'PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R006B20\nBUILD:2026-11-30 10:00:00\n' \
  > "$work/state/program/.version"
echo BRD-K700-Q08@48-X > "$work/state/proc/board_type"
cp "$work/keys/pub_key" "$work/state/.pub_key"

echo "== update -tftp 127.0.0.1 all -check (in the simulated recorder)"
status=0
tools/devsim/devsim run --console --state "$work/state" --serve "$work/serve" \
  --out "$work/check" -- -tftp 127.0.0.1 all -check || status=$?
if [ "$status" -ne 0 ]; then
  echo "== verdict: the check refused the package (exit status $status)"
  exit "$status"
fi
echo "== verdict of the check: the package is good for this recorder"

echo
echo "== update -tftp 127.0.0.1 all (in the simulated recorder)"
tools/devsim/devsim run --console --state "$work/state" --serve "$work/serve" \
  --out "$work/out" -- -tftp 127.0.0.1 all || status=$?

echo
rates=$(tr '\n' ' ' < "$work/out/rate.log")
echo "== percentages seen in /tmp/update_rate.log: ${rates:-none}"
echo "== success lines:"
grep -E 'success' "$work/out/stdout" || echo "   (none)"
echo "== reboot: $(grep -c SIGTERM "$work/out/reboot.log" || true) SIGTERMs to process 1," \
  "'r' to /proc/rmc/test: $(grep -c 'rmc/test r' "$work/out/reboot.log" || true)"

echo "== each partition against its image (sha256 of the image's length):"
same=1
while read -r image number; do
  read -r _ name offset _ < <(awk -v n="$number" '$1 == n' "$work/out/partitions.txt")
  size=$(stat -c %s "$work/images/$image")
  want=$(sha256sum < "$work/images/$image" | cut -c1-16)
  have=$(dd if="$work/out/disk.img" bs=1M skip="$offset" count="$size" \
    iflag=skip_bytes,count_bytes status=none | sha256sum | cut -c1-16)
  mark=same; [ "$want" = "$have" ] || { mark=DIFFERENT; same=0; }
  printf '   %-12s -> partition %-2s %-8s image %s  partition %s  %s\n' \
    "$image" "$number" "$name" "$want" "$have" "$mark"
done <<'LIST'
uImage.bin 4
program.img 5
web.img 6
LIST

if [ "$status" -eq 0 ] && [ "$same" -eq 1 ]; then
  echo "== verdict: updated; every partition holds its image (exit status 0)"
else
  echo "== verdict: failed (exit status $status); see $work/out/root/var/log/update.log"
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
