#!/usr/bin/env bash
# Reads an executable's ELF with readelf and fails when a hardening measure is
# missing: position-independent (type DYN), full RELRO (a GNU_RELRO segment and
# BIND_NOW), a non-executable stack (GNU_STACK without E), the stack protector
# (__stack_chk_fail) and, with --fortify, the fortified libc calls (__*_chk).
# Works for a dynamic, a static-pie and a cross-built executable (any readelf
# reads any architecture's ELF).
#   tools/check-hardening.sh [--fortify] EXECUTABLE
set -euo pipefail
fortify=0
if [ "${1:-}" = --fortify ]; then
  fortify=1
  shift
fi
[ $# -eq 1 ] || {
  echo "usage: $0 [--fortify] EXECUTABLE" >&2
  exit 2
}
bin=$1
readelf=${READELF:-readelf}
header=$("$readelf" -hW "$bin")
segments=$("$readelf" -lW "$bin")
dynamic=$("$readelf" -dW "$bin" 2>/dev/null || true)
symbols=$("$readelf" -sW "$bin" 2>/dev/null || true)
missing=()

grep -Eq 'Type:[[:space:]]+DYN' <<<"$header" || missing+=("PIE (ELF type is not DYN)")
grep -q 'GNU_RELRO' <<<"$segments" || missing+=("RELRO (no GNU_RELRO segment)")
grep -Eq '\(BIND_NOW\)|\(FLAGS\).*NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || missing+=("full RELRO (no BIND_NOW)")
stack=$(grep -E '^[[:space:]]*GNU_STACK' <<<"$segments" || true)
if [ -z "$stack" ]; then
  missing+=("non-executable stack (no GNU_STACK segment)")
elif grep -Eq 'RWE[[:space:]]' <<<"$stack"; then
  missing+=("non-executable stack (GNU_STACK is RWE)")
fi
grep -q '__stack_chk_fail' <<<"$symbols" || missing+=("stack protector (no __stack_chk_fail)")
if [ $fortify = 1 ]; then
  grep -Eq '__[a-z_]+_chk(@|[[:space:]]|$)' <<<"$(grep -v __stack_chk <<<"$symbols")" ||
    missing+=("_FORTIFY_SOURCE (no __*_chk call)")
fi

if [ ${#missing[@]} -gt 0 ]; then
  for m in "${missing[@]}"; do echo "$bin: missing $m" >&2; done
  exit 1
fi
echo "$bin: PIE, full RELRO, non-executable stack, stack protector$([ $fortify = 1 ] && echo ', FORTIFY')"
