#!/usr/bin/env bash
# The install components and the host tool's Debian package, from a finished
# native build:
#   1. `cmake --install --component device` into a DESTDIR puts `update` and its
#      manual page there and nothing host-only; `--component host` puts
#      update-pack and its manual page there and no `update`;
#   2. cpack makes the update-pack Debian package; it is installed on this
#      machine, the installed copy tells its version, makes a key pair and a
#      signed package and verifies it, and the package is removed again.
#   tools/test-install.sh [BUILD]          (default build; needs root for step 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "test-install: $*" >&2
  exit 1
}

for component in device host; do
  DESTDIR=$tmp/$component cmake --install "$build" --component "$component" --prefix /usr >/dev/null
  (cd "$tmp/$component" && find . -type f | sort) >"$tmp/$component.list"
done
[ "$(cat "$tmp/device.list")" = "$(printf './usr/bin/update\n./usr/share/man/man8/update.8')" ] ||
  fail "device component holds: $(tr '\n' ' ' <"$tmp/device.list")"
[ "$(cat "$tmp/host.list")" = "$(printf './usr/bin/update-pack\n./usr/share/man/man1/update-pack.1')" ] ||
  fail "host component holds: $(tr '\n' ' ' <"$tmp/host.list")"
echo "test-install: components device and host hold what they should"

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/packages/update-pack_*.deb)
dpkg-deb -c "$deb" | grep -q './usr/bin/update$' && fail "the host package carries update"
apt-get install -y -q "$PWD/$deb" >/dev/null
trap 'dpkg -r update-pack >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
pack=/usr/bin/update-pack
[ -x $pack ] || fail "no $pack after installing $deb"
man -w update-pack >/dev/null 2>&1 || [ -e /usr/share/man/man1/update-pack.1 ] || fail "no manual page"
version=$($pack --version)
grep -q "^update-pack $(sed -n 's/^project(update VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt) " <<<"$version" ||
  fail "the installed update-pack says '$version'"
mkdir "$tmp/keys"
$pack keygen --dir "$tmp/keys" >/dev/null
head -c 65536 /dev/urandom >"$tmp/program.img"
$pack create -o "$tmp/Program.bin" --inner TEST --pub B0001P01 --board 1 \
  --image program="$tmp/program.img" --key "$tmp/keys/pri_key" --quiet
$pack verify "$tmp/Program.bin" --pub-key "$tmp/keys/pub_key" --quiet || fail "the installed update-pack refuses its own package"
echo "test-install: $(basename "$deb") installed; $version made and verified a signed package"
