#!/bin/busybox sh
# The device's /bin/sh under the fault power-cut=block:N: a shell line that
# starts with "dd " copies block by block (of its bs=), counting every block
# written in the run; before the Nth it asks devsim-init (PID 1) to cut the
# power. Every other line runs unchanged.
bb=/bin/busybox
count=/var/devsim/faults/.blocks
limit=$($bb cat /var/devsim/faults/.power-cut-block)
size() { # 1M, 64k, 512 -> bytes
  case "$1" in
    *M) echo $((${1%M} << 20)) ;;
    *[kK]) echo $((${1%?} << 10)) ;;
    *) echo $(($1)) ;;
  esac
}
dd() {
  src="" dst="" bs=512 n="" skip=0 seek=0 iflag="" oflag=""
  for a; do
    case "$a" in
      if=*) src=${a#if=} ;;
      of=*) dst=${a#of=} ;;
      bs=*) bs=$(size "${a#bs=}") ;;
      count=*) n=${a#count=} ;;
      skip=*) skip=${a#skip=} ;;
      seek=*) seek=${a#seek=} ;;
      iflag=*) iflag=${a#iflag=} ;;
      oflag=*) oflag=${a#oflag=} ;;
    esac
  done
  case "$iflag" in *skip_bytes*) ;; *) skip=$((skip * bs)) ;; esac
  case "$oflag" in *seek_bytes*) ;; *) seek=$((seek * bs)) ;; esac
  if [ -z "$n" ]; then
    n=$(($($bb stat -L -c %s "$src") - skip))
  else
    case "$iflag" in *count_bytes*) ;; *) n=$((n * bs)) ;; esac
  fi
  done_=0
  while [ "$done_" -lt "$n" ]; do
    blocks=$(($($bb cat "$count" 2>/dev/null || echo 0) + 1))
    echo "$blocks" >"$count"
    if [ "$blocks" = "$limit" ]; then
      $bb kill -USR1 1
      exec $bb sleep 1000
    fi
    step=$bs
    [ $((n - done_)) -ge "$step" ] || step=$((n - done_))
    $bb dd if="$src" of="$dst" bs="$step" count=1 skip=$((skip + done_)) seek=$((seek + done_)) \
      iflag=skip_bytes oflag=seek_bytes conv=notrunc 2>/dev/null || return 1
    done_=$((done_ + step))
  done
}
if [ "$1" = -c ]; then
  case "$2" in
    dd\ *)
      eval "$2"
      exit $?
      ;;
  esac
fi
exec $bb sh "$@"
