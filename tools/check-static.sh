#!/usr/bin/env bash
# Checks the self-contained device build's executable: no program interpreter
# and no shared library in its ELF, ldd agrees where it can run it, and the
# stripped size stays within a limit.
#   tools/check-static.sh EXECUTABLE MAX_KIB [STRIP]     (STRIP: default strip)
set -euo pipefail
[ $# -ge 2 ] || {
  echo "usage: $0 EXECUTABLE MAX_KIB [STRIP]" >&2
  exit 2
}
bin=$1 max_kib=$2 strip=${3:-strip}
readelf=${READELF:-readelf}
fail=0

if "$readelf" -lW "$bin" | grep -q 'INTERP'; then
  echo "$bin: has a program interpreter (dynamically linked)" >&2
  fail=1
fi
needed=$("$readelf" -dW "$bin" 2>/dev/null | grep '(NEEDED)' || true)
if [ -n "$needed" ]; then
  echo "$bin: needs shared libraries:" >&2
  echo "$needed" >&2
  fail=1
fi
# ldd of a static executable: "not a dynamic executable" (static) or
# "statically linked" (static-pie). It runs only native binaries.
machine=$("$readelf" -hW "$bin" | sed -n 's/^ *Machine: *//p')
case "$(uname -m):$machine" in
  x86_64:*X86-64* | aarch64:*AArch64*) native=1 ;;
  *) native=0 ;;
esac
if [ $native = 1 ]; then
  out=$(ldd "$bin" 2>&1 || true)
  if ! grep -Eq 'not a dynamic executable|statically linked' <<<"$out"; then
    echo "$bin: ldd lists libraries:" >&2
    echo "$out" >&2
    fail=1
  fi
fi

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
"$strip" -o "$tmp" "$bin"
size=$(stat -c %s "$tmp")
echo "$bin: stripped $size bytes ($((size / 1024)) KiB, limit $max_kib KiB)"
if [ "$size" -gt $((max_kib * 1024)) ]; then
  echo "$bin: stripped size $size bytes is over $max_kib KiB" >&2
  fail=1
fi
exit $fail
