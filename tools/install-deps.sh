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
  libc-ares-dev dpkg-dev \
  libfuse3-dev fuse3 nlohmann-json3-dev \
  busybox-static tftpd-hpa python3 python3-pyftpdlib nginx-light \
  fdisk util-linux iproute2 openssl inotify-tools ca-certificates \
  procps psmisc kmod \
  qemu-system-x86 mtd-utils cpio xz-utils e2fsprogs dmsetup \
  softhsm2 libengine-pkcs11-openssl opensc

# Debian's curl source, for the static device build (-DUPDATE_STATIC=ON,
# cmake/Curl.cmake): fetched with `apt-get source` into CURL_SRC. The deb-src
# entries are derived from the machine's own Debian entries (so whichever
# mirror this machine uses), in a file of their own.
CURL_SRC=/usr/local/src/update/curl
if [ ! -e "$CURL_SRC/CMakeLists.txt" ]; then
  if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d; then
    {
      for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:[^\n]*deb([ \t\n]|$)/ && /(^|\n)URIs:[^\n]*debian/ {
               sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
      done
      for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$f" ] || continue
        awk '$1 == "deb" && /debian/ { sub(/^deb/, "deb-src"); print }' "$f"
      done
    } | $SUDO tee /etc/apt/sources.list.d/update-deb-src.sources >/dev/null
    $SUDO apt-get update -q
  fi
  tmp=$(mktemp -d)
  chmod 755 "$tmp" # apt fetches as its own user
  (cd "$tmp" && apt-get source -q curl)
  $SUDO mkdir -p "$(dirname "$CURL_SRC")"
  $SUDO rm -rf "$CURL_SRC"
  $SUDO mv "$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -1)" "$CURL_SRC"
  rm -rf "$tmp"
fi
