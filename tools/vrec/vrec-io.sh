#!/bin/sh
# vrec-io mtdN fail|pass (inside the guest): the NOR partition mtdN, given to
# vrec as --fault io-fail=mtdN, lies on a device-mapper device over its loop
# device. "fail" makes every read and write of it fail with EIO, "pass" puts
# the partition's bytes back under it. block2mtd reads each page it erases
# or writes, so erases and writes of mtdN fail while it fails.
usage() {
  echo "usage: vrec-io mtdN fail|pass" >&2
  exit 2
}
case $1 in mtd[0-9] | mtd[0-9][0-9]) ;; *) usage ;; esac
n=${1#mtd}
dev=/dev/mapper/vrec-mtd$n
[ -b "$dev" ] || {
  echo "vrec-io: $1 was not given as --fault io-fail=$1" >&2
  exit 2
}
sectors=$(blockdev --getsz "/dev/loop$n") || exit 1
case $2 in
  fail) table="0 $sectors error" ;;
  pass) table="0 $sectors linear /dev/loop$n 0" ;;
  *) usage ;;
esac
# Written pages reach the loop file first, and no cached page answers a
# later read in place of the device.
blockdev --flushbufs "$dev" &&
  dmsetup suspend "vrec-mtd$n" &&
  dmsetup load "vrec-mtd$n" --table "$table" &&
  dmsetup resume "vrec-mtd$n"
