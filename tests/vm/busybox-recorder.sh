#!/bin/busybox.guest sh
# shellcheck shell=sh
# The recorder firmware's /bin/busybox in the virtual recorder: its flash
# applets (flashcp, flash_eraseall) are this program's built-in tools, every
# other applet is the guest's busybox, kept at /bin/busybox.guest. Laid over
# /bin/busybox (a bind mount) only while a step needs the firmware's tools.
applet=${0##*/}
if [ "$applet" = busybox ]; then
  applet=$1
  shift
fi
case $applet in
  flashcp | flash_eraseall) exec /usr/bin/update "$applet" "$@" ;;
esac
exec /bin/busybox.guest "$applet" "$@"
