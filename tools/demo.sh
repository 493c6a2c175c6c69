#!/usr/bin/env bash
# The main job: builds the updater, makes a signed package with update-pack,
# serves it by TFTP to the simulated recorder and runs
#   update -tftp 127.0.0.1 all -check
# there, showing the updater's output, the progress it reported and the verdict.
# Set UPDATE_SKIP_DEPS=1 to skip the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${UPDATE_SKIP_DEPS:-0}" != 1 ]; then
  bash tools/install-deps.sh
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build --target update update-pack devsim

work=build/demo
rm -rf "$work"
mkdir -p "$work"/{keys,images,state/program,state/proc,serve}
pack=build/bin/update-pack

echo "== making a signed package"
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
  --key "$work/keys/pri_key"
"$pack" info "$work/serve/Program.bin" --pub-key "$work/keys/pub_key"

echo "== the recorder: version B0140P10, board BRD-K700-Q08@48-X, public key installed"
printf 'PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R006B20\nBUILD:2026-11-30 10:00:00\n' \
  > "$work/state/program/.version"
echo BRD-K700-Q08@48-X > "$work/state/proc/board_type"
cp "$work/keys/pub_key" "$work/state/.pub_key"

echo "== update -tftp 127.0.0.1 all -check (in the simulated recorder)"
status=0
tools/devsim/devsim run --console --state "$work/state" --serve "$work/serve" \
  --out "$work/out" -- -tftp 127.0.0.1 all -check || status=$?

echo
rates=$(tr '\n' ' ' < "$work/out/rate.log")
echo "== percentages written to /tmp/update_rate.log: ${rates:-none (a check over TFTP reports no percent)}"
echo "== reboot signals to process 1: $(grep -c SIGTERM "$work/out/reboot.log" || true)"
if [ "$status" -eq 0 ]; then
  echo "== verdict: the package is good for this recorder (exit status 0)"
else
  echo "== verdict: refused or failed (exit status $status); see $work/out/root/var/log/update.log"
fi
exit "$status"
