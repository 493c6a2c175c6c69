#!/bin/busybox sh
# The device's /bin/sh under the fault dd-flip: a shell line that starts with
# "dd " runs as usual, then the first byte of its of= target is inverted, as
# a medium that does not keep what it was given would do. Every other line
# runs unchanged.
bb=/bin/busybox
if [ "$1" = -c ]; then
  case "$2" in
    dd\ *)
      $bb sh -c "$2"
      rc=$?
      target=""
      for w in $2; do
        case "$w" in of=*) target=${w#of=} ;; esac
      done
      if [ -n "$target" ]; then
        b=$($bb dd if="$target" bs=1 count=1 2>/dev/null | $bb od -An -tu1)
        $bb printf "\\$($bb printf %o $(((${b:-0} ^ 255) & 255)))" |
          $bb dd of="$target" bs=1 count=1 conv=notrunc 2>/dev/null
      fi
      exit $rc
      ;;
  esac
fi
exec $bb sh "$@"
