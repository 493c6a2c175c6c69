#!/usr/bin/env bash
# Sets up a fresh machine, builds and runs every test:
#   1. the default build (OpenSSL crypto, ISA-L CRC, warnings as errors):
#      unit tests and the flash tests and whole updates in the virtual
#      recorder (qemu), these with the writer driver and the updater of NOR
#      and NAND profile builds; its install components and the update-pack
#      Debian package, installed and run (tools/test-install.sh); the
#      self-contained device build (static-pie `update`, OpenSSL, libcurl
#      from Debian's source) checked for shared libraries, size and
#      hardening, and the end-to-end tests in the simulated recorder run with
#      that static `update`;
#   2. a sanitizer build (ASan + UBSan) with the other backends (mbedTLS,
#      byte-table CRC): unit tests;
#   3. the aarch64 cross build (warnings as errors; static `update` with
#      mbedTLS, so both TLS backends run end to end as static binaries): unit
#      tests under qemu-user and the end-to-end tests with the
#      aarch64 device root;
#   4. the fuzz build (clang, libFuzzer, ASan + UBSan): every target for
#      about a minute with its corpus (UPDATE_FUZZ_SECONDS).
# Set UPDATE_SKIP_DEPS=1 to skip the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

if [ "${UPDATE_SKIP_DEPS:-0}" != 1 ]; then
  bash tools/install-deps.sh
  bash tools/install-deps-aarch64.sh build-aarch64
fi

echo "== default build (openssl, isal)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON
cmake --build build -j "$jobs"
# The NOR, NAND and NAND-with-UBI profile builds for the tests in the virtual
# recorder (build-nor, build-nand: the writer driver and the updater;
# build-ubi: the updater only).
for variant in nor:3:write-flash nand:0:write-flash ubi:6:; do
  IFS=: read -r name key extra <<<"$variant"
  cmake -S . -B "build-$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPDATE_WERROR=ON -DUPDATE_BENCH=OFF -DUPDATE_PROFILE_KEY="$key"
  # shellcheck disable=SC2086 # extra is a word or none
  cmake --build "build-$name" -j "$jobs" --target update $extra
done
bash tools/test-install.sh build

echo "== static device build (openssl): one static-pie update for the end-to-end tests"
cmake -S . -B build-static -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON \
  -DUPDATE_STATIC=ON -DUPDATE_TESTS=OFF -DUPDATE_BENCH=OFF
cmake --build build-static -j "$jobs" --target update
bash tools/check-static.sh build-static/bin/update 6144
bash tools/check-hardening.sh --fortify build-static/bin/update

# The virtual recorder's kernel (Debian's current one, cached in build/vrec).
tools/vrec/vrec kernel --build build
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 600 -LE e2e
# The end-to-end tests with the static update in place of the default build's.
DEVSIM_UPDATE=$PWD/build-static/bin/update \
  ctest --test-dir build -j "$jobs" --output-on-failure --timeout 600 -L e2e

echo "== sanitizer build (mbedtls, table CRC)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATE_WERROR=ON \
  -DUPDATE_SANITIZE=ON -DUPDATE_CRYPTO=mbedtls -DUPDATE_CRC=table -DUPDATE_BENCH=OFF
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 -L unit

echo "== aarch64 cross build: unit tests under qemu-user, end-to-end tests"
bash tools/aarch64-test.sh build-aarch64 build

echo "== fuzz build (clang, libFuzzer): each target ${UPDATE_FUZZ_SECONDS:-60} s"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPDATE_WERROR=ON -DUPDATE_FUZZ=ON -DUPDATE_TESTS=OFF -DUPDATE_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target fuzz
bash tools/fuzz.sh build-fuzz build/bin/update-pack "${UPDATE_FUZZ_SECONDS:-60}"
