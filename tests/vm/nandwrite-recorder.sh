#!/bin/sh
# The recorder's nandwrite in the virtual recorder: the recorder's own tool
# takes the input range as -g OFFSET -l LENGTH, mtd-utils' nandwrite as
# --input-skip and --input-size. Everything else goes through unchanged to
# mtd-utils' nandwrite, moved to /usr/sbin/nandwrite.mtd-utils.
n=$#
while [ "$n" -gt 0 ]; do
  a=$1
  shift
  n=$((n - 1))
  case $a in
    -g | -l)
      [ "$a" = -g ] && a=--input-skip=$1 || a=--input-size=$1
      shift
      n=$((n - 1))
      ;;
  esac
  set -- "$@" "$a"
done
exec /usr/sbin/nandwrite.mtd-utils "$@"
