#!/usr/bin/env bash
# Installs what the aarch64 build and its emulated tests need, beside the
# packages of tools/install-deps.sh: the cross compiler, the arm64
# development packages (Multi-Arch, installed beside the amd64 ones),
# and qemu-user-static. ISA-L and busybox-static are not Multi-Arch (their
# arm64 packages would remove the amd64 ones): they are fetched with
# `apt-get download` and unpacked into BUILD/sysroot instead (busybox for the
# aarch64 device root of the simulated recorder).
#   tools/install-deps-aarch64.sh [BUILD_DIR]     (default build-aarch64)
# Safe to run again; needs root (or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-aarch64}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  g++-aarch64-linux-gnu gcc-aarch64-linux-gnu binutils-aarch64-linux-gnu \
  qemu-user-static \
  libssl-dev:arm64 libmbedtls-dev:arm64 libcurl4-openssl-dev:arm64 \
  libmxml-dev:arm64 libc-ares-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 \
  libbenchmark-dev:arm64 libc6:arm64 libstdc++6:arm64

# ISA-L and busybox for arm64, unpacked into the build tree's sysroot.
sysroot=$build/sysroot
if [ ! -e "$sysroot/usr/include/isa-l.h" ] || [ ! -e "$sysroot/bin/busybox" ]; then
  mkdir -p "$sysroot"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && apt-get download -q libisal-dev:arm64 libisal2:arm64 busybox-static:arm64)
  for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$sysroot"; done
fi
