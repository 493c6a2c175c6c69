#!/bin/busybox sh
# shellcheck shell=bash # busybox ash: read -t and ${var//x/y} are there
# PID 1 of the virtual recorder (runs inside the guest, under busybox sh).
# Loads the kernel's MTD drivers for the profile in /vrec/conf, lays out the
# recorder's device and tool paths, runs /vrec/cmd.sh, and leaves the status,
# the output, a dump of every MTD device and the kernel log in the OUT share
# (9p, tag "out", mounted on /out). Never returns: it powers the guest off.
/bin/busybox mkdir -p /bin /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
export PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin
export DM_DISABLE_UDEV=1 # no udev here: dmsetup makes its /dev/mapper nodes itself
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp /run /var/log /out
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run
. /vrec/conf

say() { echo "vrec-guest: $*" >/dev/console; }
halt_now() {
  sync
  umount /out 2>/dev/null
  poweroff -f
  sleep 60
}
# Loads the modules of a list in order (each line: a file name, then parameters).
load_list() { # list name
  local f p
  while read -r f p; do
    [ -n "$f" ] || continue
    [ -d "/sys/module/$(basename "$f" .ko | tr - _)" ] && continue
    # shellcheck disable=SC2086 # the parameters are words
    insmod "/lib/vrec-modules/$f" $p || return 1
  done <"/lib/vrec-modules/$1.list"
}
# A failure before the command ran: the host reads it as a set-up failure.
setup_failed() {
  say "setup failed: $*"
  [ -d /out/mtd ] && echo "$*" >/out/setup-error
  dmesg >/out/guest.log 2>/dev/null
  halt_now
}

load_list share || setup_failed "cannot load the virtio and 9p modules"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=none out /out ||
  setup_failed "cannot mount the OUT share"
mkdir -p /out/mtd
echo "boot $(cut -d' ' -f1 /proc/uptime)" >/out/times

# ---------------------------------------------------------------- flash
case "$VREC_PROFILE" in
  nand)
    load_list nand || setup_failed "cannot load the NAND modules"
    # shellcheck disable=SC2086
    insmod /lib/vrec-modules/nandsim.ko $VREC_NANDSIM || setup_failed "nandsim refused: $VREC_NANDSIM"
    ;;
  nor)
    # One loop device per partition.
    insmod /lib/vrec-modules/loop.ko max_loop=16 || setup_failed "cannot load loop"
    load_list nor || setup_failed "cannot load the NOR modules"
    i=0
    for _ in $VREC_SIZES_KIB; do
      # /vrec/nor/N: the erased partition (0xFF), made on the host.
      [ -f "/vrec/nor/$i" ] || setup_failed "no erased image for mtd$i"
      losetup "/dev/loop$i" "/vrec/nor/$i" || setup_failed "losetup /dev/loop$i"
      dev=/dev/loop$i
      # --fault io-fail=mtdN: a device-mapper device between (vrec-io).
      case " $VREC_IO_FAIL " in
        *" $i "*)
          load_list dm || setup_failed "cannot load dm-mod"
          dmsetup create "vrec-mtd$i" --table "0 $(blockdev --getsz "$dev") linear $dev 0" ||
            setup_failed "dmsetup refused vrec-mtd$i"
          dev=/dev/mapper/vrec-mtd$i
          ;;
      esac
      echo "$dev,$VREC_NOR_ERASE,$(echo "$VREC_NAMES" | cut -d' ' -f$((i + 1)))" \
        >/sys/module/block2mtd/parameters/block2mtd || setup_failed "block2mtd refused $dev"
      i=$((i + 1))
    done
    ;;
esac
# The flash of an earlier run (NAND: its raw dumps with OOB; NOR images
# were laid as the loop files by the host).
if [ "$VREC_PROFILE" = nand ] && [ -d /vrec/flash ]; then
  for f in /vrec/flash/mtd*.oob; do
    [ -f "$f" ] || continue
    dev=${f##*/}
    nandwrite -q -n -o -N -k "/dev/${dev%.oob}" "$f" || setup_failed "cannot restore ${dev%.oob}"
  done
fi
load_list common || setup_failed "cannot load ubi/mtdblock"
n=0
for _ in $VREC_SIZES_KIB; do
  [ -c "/dev/mtd$n" ] || setup_failed "/dev/mtd$n is missing"
  n=$((n + 1))
done
# ---------------------------------------------------------------- device paths
mkdir -p /var/runtime /var/log /program /mnt
# The operator's medium (--medium): an ext2 file system on a loop device.
if [ -f /vrec/medium.img ]; then
  load_list medium || setup_failed "cannot load loop and ext4"
  mkdir -p /mnt/usb
  dev=$(losetup -f) && losetup "$dev" /vrec/medium.img && mount -t ext2 "$dev" /mnt/usb ||
    setup_failed "cannot mount the medium"
fi
# The recorder's /proc: the files of /vrec/proc (board_type, uboot_rev, env,
# cmdline ...) laid over the kernel's own by devsim's FUSE proc, which passes
# everything else through (processes, mtd, mounts).
if [ -n "$(ls /vrec/proc)" ]; then
  load_list proc || setup_failed "cannot load fuse"
  mkdir -p /run/kproc
  mount -t proc proc /run/kproc
  mkfifo /run/procfs.ready
  exec 5<>/run/procfs.ready
  DEVSIM_PROCFS_SHOW=cmdline,mounts,mtd,partitions,kmsg,sysrq-trigger \
    devsim-procfs /proc /run/kproc /vrec/proc "" /out/reboot.log /run/procfs.ready \
    >/out/procfs.log 2>&1 &
  read -r -t 10 -u 5 ready
  [ "$ready" = ready ] || setup_failed "FUSE /proc did not start (see procfs.log)"
  exec 5>&-
fi
# The recorder's nvram driver (--nvram): each stored item goes to /out/nvram.log.
if [ "$VREC_NVRAM" = 1 ]; then
  load_list nvram || setup_failed "cannot load cuse"
  devsim-nvram /out/nvram.log -f -s >/out/nvram.err 2>&1 &
  t=0
  while [ ! -c /dev/hal_nvram ] && [ $t -lt 100 ]; do
    usleep 100000
    t=$((t + 1))
  done
  [ -c /dev/hal_nvram ] || setup_failed "/dev/hal_nvram did not appear (see nvram.err)"
fi
# The updater's tools: the program itself as /tmp/busybox, the device's
# NAND and UBI tools at their paths (Debian's mtd-utils).
[ -x /usr/bin/update ] && cp /usr/bin/update /tmp/busybox
ln -sf /usr/sbin/nandwrite /usr/sbin/nandwrite_mboot
echo "ready $(cut -d' ' -f1 /proc/uptime)" >>/out/times

# ---------------------------------------------------------------- command
if [ "$VREC_MODE" = shell ]; then
  say "shell: the flash is /dev/mtd0../dev/mtd$((n - 1)); exit to power off"
  setsid cttyhack sh -l
  status=$?
else
  cd /
  cd /in 2>/dev/null || cd /
  if [ -z "$VREC_CUT" ]; then
    sh /vrec/cmd.sh </dev/null >/out/stdout 2>/out/stderr
    status=$?
  else
    # Power cut: the command's whole process group is killed at once when
    # the time has come or the file exists; the flash keeps what it holds.
    setsid sh /vrec/cmd.sh </dev/null >/out/stdout 2>/out/stderr &
    pid=$!
    read -r start _ </proc/uptime
    while kill -0 "$pid" 2>/dev/null; do
      case "$VREC_CUT" in
        file=*) [ -e "${VREC_CUT#file=}" ] ;;
        after=*) read -r now _ </proc/uptime && awk -v n="$now" -v s="$start" -v a="${VREC_CUT#after=}" 'BEGIN { exit !(n - s >= a) }' ;;
      esac && {
        kill -9 -"$pid"
        echo "cut $(cut -d' ' -f1 /proc/uptime)" >>/out/times
        break
      }
      usleep 20000
    done
    wait "$pid"
    status=$?
  fi
  cd /
fi
echo "command $(cut -d' ' -f1 /proc/uptime)" >>/out/times
sync

# ---------------------------------------------------------------- results
# A partition the command left failing (vrec-io) reads again for the dump.
for i in $VREC_IO_FAIL; do vrec-io "mtd$i" pass || echo "mtd$i: vrec-io pass failed" >>/out/mtd/errors; done
# Data only (no OOB); bad blocks read as what the chip holds there.
for i in $(seq 0 $((n - 1))); do
  dd if="/dev/mtd$i" of="/out/mtd/mtd$i.img" bs=128k 2>/dev/null ||
    echo "mtd$i: dump failed" >>/out/mtd/errors
  # Raw pages with OOB (bad blocks as 0xFF) of each written NAND device, for
  # a later boot on the same flash (slow: some seconds per MiB written).
  if [ "$VREC_SAVE" = 1 ] && [ "$VREC_PROFILE" = nand ] && ! cmp -s "/dev/mtd$i" "/vrec/nor/$i"; then
    nanddump -q -n -o --bb=padbad -f "/out/mtd/mtd$i.oob" "/dev/mtd$i" ||
      echo "mtd$i: raw dump failed" >>/out/mtd/errors
  fi
  s=/sys/class/mtd/mtd$i
  read -r type <$s/type
  read -r size <$s/size
  read -r erasesize <$s/erasesize
  read -r writesize <$s/writesize
  read -r bad <$s/bad_blocks || bad=0
  read -r name <$s/name
  echo "mtd$i $type $size $erasesize $writesize $bad ${name// /_}" >>/out/mtd/info
done
cat /proc/mtd >/out/mtd/proc-mtd
dmesg >/out/guest.log
echo "dump $(cut -d' ' -f1 /proc/uptime)" >>/out/times
[ "$VREC_SAVE" != 1 ] || echo "$VREC_PROFILE" >/out/mtd/saved
echo "$status" >/out/status
halt_now
