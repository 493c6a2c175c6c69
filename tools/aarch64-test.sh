#!/usr/bin/env bash
# The aarch64 target on an x86_64 machine: cross-builds with warnings as
# errors (a static `update`, mbedTLS), runs the unit tests under qemu-user
# and the end-to-end tests with the aarch64 `update` in the aarch64 device
# root of the simulated recorder.
#   tools/aarch64-test.sh [AARCH64_BUILD [HOST_BUILD]]   (build-aarch64, build)
# HOST_BUILD is a finished native build (devsim-init, devsim-procfs, test_e2e,
# update-pack). Needs root and tools/install-deps-aarch64.sh. The qemu-aarch64
# binfmt entry is added for the run and removed again when this added it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-aarch64}
host=${2:-build}
jobs=$(nproc)

added=0
if ! bash tools/binfmt-aarch64.sh check 2>/dev/null; then
  bash tools/binfmt-aarch64.sh add
  added=1
fi
cleanup() { if [ $added = 1 ]; then bash tools/binfmt-aarch64.sh remove; fi; }
trap cleanup EXIT

# The recorder's build: one static `update` (libcurl built from
# Debian's source for aarch64, cmake/Curl.cmake) with mbedTLS, so that CI
# runs a static binary of each TLS backend (the x86_64 stage has OpenSSL);
# the unit tests link the same libraries.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON -DUPDATE_STATIC=ON -DUPDATE_CRYPTO=mbedtls
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600 -L unit

# End-to-end: the host's harness drives devsim with the aarch64 binaries.
# The slow cases (cloud-download stalls, 30 s and more each) are left out to
# keep the stage short; they wait for time-outs, not for the architecture.
# Under emulation CheckTest.SlowStallBeforeAnyDataFails also ends with 255
# instead of 4: the watcher sees the failed download before the worker
# reports its status (a race that the slower emulated run exposes).
[ -x "$host/bin/test_e2e" ] || {
  echo "aarch64: no host build at $host (bin/test_e2e): end-to-end tests not run" >&2
  exit 1
}
DEVSIM_ARCH=aarch64 DEVSIM_BUILD=$PWD/$build DEVSIM_HOST_BUILD=$PWD/$host \
  ctest --test-dir "$host" -j "$jobs" --output-on-failure --timeout 600 -L e2e -LE slow
