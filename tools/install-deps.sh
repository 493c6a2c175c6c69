#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run the
# simulated recorder and the virtual recorder (qemu). Safe to run again;
# needs root (or sudo).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  build-essential cmake ninja-build pkg-config git \
  clang-format clang-tidy clang libclang-rt-14-dev \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  libssl-dev libmbedtls-dev libcurl4-openssl-dev libisal-dev libmxml-dev \
  libfuse3-dev fuse3 nlohmann-json3-dev \
  busybox-static tftpd-hpa python3 python3-pyftpdlib nginx-light \
  fdisk util-linux iproute2 openssl inotify-tools ca-certificates \
  procps psmisc kmod \
  qemu-system-x86 mtd-utils cpio xz-utils e2fsprogs \
  softhsm2 libengine-pkcs11-openssl opensc
