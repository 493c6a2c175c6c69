#!/bin/sh
# Stand-in for one of the recorder's own tools (mt, pg_ctl, loadtools,
# flash_tool, mmcwrite, nandwrite, nandwrite_mboot, ubiupdatevol); the name it
# is called by decides which. Every call appends its argument vector to
# /var/devsim/tools.log (name and arguments separated by tabs). A count in
# /var/devsim/faults/NAME makes that many calls fail with status 1.
# /var/devsim/faults/.power-cut-tool ("N" or "N after") cuts the power
# before (or after) the Nth stand-in call of the run.
# Files the tools "keep" land in /var/devsim/kept/.
name=${0##*/}
{
  printf '%s' "$name"
  for a in "$@"; do printf '\t%s' "$a"; done
  printf '\n'
} >>/var/devsim/tools.log
# cut_power: devsim-init (PID 1) kills everything; nothing after this runs.
cut_power() {
  kill -USR1 1
  exec sleep 1000
}
cut_at="" cut_when=""
if [ -f /var/devsim/faults/.power-cut-tool ]; then
  read -r cut_at cut_when </var/devsim/faults/.power-cut-tool
  calls=$(($(cat /var/devsim/faults/.tool-calls 2>/dev/null || echo 0) + 1))
  echo "$calls" >/var/devsim/faults/.tool-calls
  [ "$calls" != "$cut_at" ] || [ "$cut_when" = after ] || cut_power
fi
fault=/var/devsim/faults/$name
if [ -f "$fault" ]; then
  n=$(cat "$fault")
  if [ "${n:-0}" -gt 0 ]; then
    echo $((n - 1)) >"$fault"
    echo "$name: failing as asked (devsim)" >&2
    exit 1
  fi
fi
kept=/var/devsim/kept
mkdir -p "$kept"
# copy FILE OFFSET LENGTH TARGET TARGET_OFFSET
copy() {
  dd if="$1" of="$4" bs=65536 skip="$2" count="$3" seek="$5" \
    iflag=skip_bytes,count_bytes oflag=seek_bytes conv=notrunc 2>/dev/null
}
case "$name" in
  mmcwrite)
    # mmcwrite FILE FILE_OFFSET LENGTH FLASH_OFFSET PART_SIZE (numbers may be hex)
    [ $# -eq 5 ] || { echo "usage: mmcwrite FILE FOFF LEN FLASHOFF PARTSIZE" >&2; exit 2; }
    [ $(($3)) -le $(($5)) ] || { echo "mmcwrite: length above partition size" >&2; exit 1; }
    copy "$1" $(($2)) $(($3)) /dev/mmcblk0 $(($4))
    ;;
  nandwrite | nandwrite_mboot)
    # nandwrite -o|-p DEV -g OFFSET -l LENGTH -m FILE ; nandwrite_mboot -g -l -m
    dev="$kept/$name.bin" off=0 len=0 file=""
    while [ $# -gt 0 ]; do
      case "$1" in
        -o | -p) dev=$2; shift 2 ;;
        -g) off=$2; shift 2 ;;
        -l) len=$2; shift 2 ;;
        -m) file=$2; shift 2 ;;
        *) shift ;;
      esac
    done
    [ -n "$file" ] && [ -r "$file" ] || { echo "$name: no input file" >&2; exit 1; }
    [ -e "$dev" ] || : >"$dev"
    copy "$file" $((off)) $((len)) "$dev" 0
    ;;
  ubiupdatevol)
    # ubiupdatevol VOLUME --skip OFFSET -s LENGTH FILE
    vol=$1 off=0 len=0 file=""
    shift
    while [ $# -gt 0 ]; do
      case "$1" in
        --skip) off=$2; shift 2 ;;
        -s) len=$2; shift 2 ;;
        *) file=$1; shift ;;
      esac
    done
    [ -n "$file" ] && [ -r "$file" ] || { echo "ubiupdatevol: no input file" >&2; exit 1; }
    out="$kept/ubiupdatevol.${vol##*/}"
    : >"$out"
    copy "$file" $((off)) $((len)) "$out" 0
    ;;
  loadtools)
    # loadtools FILE ManuInfo|CfgInfo
    [ -r "$1" ] || { echo "loadtools: cannot read $1" >&2; exit 1; }
    case "$2" in ManuInfo | CfgInfo) ;; *) echo "loadtools: unknown kind $2" >&2; exit 1 ;; esac
    cp "$1" "$kept/loadtools.$2"
    ;;
  flash_tool)
    # flash_tool w FILE
    [ "$1" = w ] && [ -r "$2" ] || { echo "flash_tool: usage: flash_tool w FILE" >&2; exit 1; }
    cp "$2" "$kept/flash_tool.${2##*/}"
    ;;
  *) ;; # mt, pg_ctl: services that are not there stop at once
esac
[ -z "$cut_at" ] || [ "$calls" != "$cut_at" ] || cut_power
exit 0
