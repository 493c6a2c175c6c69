#!/usr/bin/env bash
# Builds the sandbox from inside the fresh namespaces. Run by devsim-init
# (PID 1 of the run's PID namespace) before it starts the command; everything
# mounted or started here lives and dies with those namespaces.
# Environment: the DEVSIM_* values exported by tools/devsim/devsim, plus
# DEVSIM_LOOP (the loop device that devsim-init attached, e.g. loop3).
set -euo pipefail
[ -z "${DEVSIM_DEBUG:-}" ] || PS4='+ $EPOCHREALTIME '

OUT=$DEVSIM_OUT
S=$OUT/.sandbox
M=$S/merged
LOG=$OUT/servers.log

fail() {
  echo "devsim setup: $*" >&2
  exit 1
}

# Staging area, private to this mount namespace.
mount -t tmpfs -o mode=700,size=8m devsim-stage "$S"
mkdir -p "$M" "$S/realproc" "$S/run"
# A procfs of the sandbox's own PID namespace: the FUSE /proc passes through to it.
mount -t proc -o nosuid,nodev,noexec devsim-proc "$S/realproc"

# Network: lo only. in.tftpd refuses to start in a namespace whose lo has only
# 127.0.0.1, hence the second address.
ip link set lo up
ip addr add 127.0.0.2/8 dev lo

servers=" ${DEVSIM_SERVERS//,/ } "
has() { [[ "$servers" == *" $1 "* ]]; }
# Without a served directory the servers serve an empty one.
SERVE=${DEVSIM_SERVE:-$S/serve}
mkdir -p "$SERVE"
py_tftp=0
if has tftp && [ "${DEVSIM_TFTP_DIE:-0}" -gt 0 ]; then
  py_tftp=1
elif has tftp; then
  tftpd=(/usr/sbin/in.tftpd -L -a 127.0.0.1:69 -s -u root "$SERVE")
  if [ "${DEVSIM_TFTP_REFUSE:-0}" -gt 0 ]; then
    "$DEVSIM_BIN/devsim-init" --tftp-gate "$DEVSIM_TFTP_REFUSE" -- "${tftpd[@]}" >>"$LOG" 2>&1 &
  else
    "${tftpd[@]}" >>"$LOG" 2>&1 &
  fi
fi
py_http=0
if { has http || has https; } && [ "${DEVSIM_HTTP_MODE:-normal}" != normal ]; then
  py_http=1
fi
if has ftp || [ $py_http = 1 ] || [ $py_tftp = 1 ]; then
  DEVSIM_PY_HTTP=$py_http DEVSIM_HAS_HTTP=$(has http && echo 1 || echo 0) \
    DEVSIM_HAS_HTTPS=$(has https && echo 1 || echo 0) DEVSIM_HAS_FTP=$(has ftp && echo 1 || echo 0) \
    DEVSIM_SERVE=$SERVE DEVSIM_TFTP_DIE=$([ $py_tftp = 1 ] && echo "$DEVSIM_TFTP_DIE" || echo 0) \
    /usr/bin/python3 -S "$DEVSIM_SELF/servers.py" >>"$LOG" 2>&1 &
fi
if { has http || has https; } && [ $py_http = 0 ]; then
  # Only names relative to the prefix $S/run in the configuration (links to the
  # served directory and the CA), so that any path, spaces and all, works.
  ln -sfn "$SERVE" "$S/run/serve"
  ln -sfn "$DEVSIM_CA" "$S/run/ca"
  {
    echo "daemon off; master_process off; user root; worker_processes 1;"
    echo "error_log stderr warn; pid nginx.pid;"
    echo "events { worker_connections 64; }"
    echo "http { access_log off; default_type application/octet-stream; sendfile on;"
    echo " client_body_temp_path body; proxy_temp_path proxy;"
    echo " fastcgi_temp_path fastcgi; uwsgi_temp_path uwsgi; scgi_temp_path scgi;"
    echo " server { server_name _; root serve;"
    has http && echo "  listen 127.0.0.1:80;"
    has https && echo "  listen 127.0.0.1:443 ssl; ssl_certificate ca/server.crt; ssl_certificate_key ca/server.key;"
    echo " }"
    if has https; then
      for c in ip-only:4431 other-ip:4432; do
        echo " server { server_name _; root serve; listen 127.0.0.1:${c#*:} ssl;"
        echo "  ssl_certificate ca/${c%:*}.crt; ssl_certificate_key ca/server.key; }"
      done
    fi
    echo "}"
  } >"$S/run/nginx.conf"
  /usr/sbin/nginx -e "$LOG" -p "$S/run/" -c "$S/run/nginx.conf" >>"$LOG" 2>&1 &
fi

lower=$OUT/.layer:$DEVSIM_ROOT
[ -n "${DEVSIM_STATE:-}" ] && lower=$DEVSIM_STATE:$lower
mount -t overlay devsim-root -o "lowerdir=$lower,upperdir=$OUT/root,workdir=$OUT/.work" "$M" ||
  fail "overlay mount failed"

# A small /tmp (fault tmp-kib): the recorder's RAM file system, full early.
if [ "${DEVSIM_TMP_KIB:-0}" -gt 0 ]; then
  mount -t tmpfs -o "mode=1777,size=${DEVSIM_TMP_KIB}k" devsim-tmp "$M/tmp"
fi

# /dev: a tmpfs of its own with the few nodes the recorder has.
mount -t tmpfs -o mode=755,size=1m,nosuid devsim-dev "$M/dev"
# (device nodes: devsim-init makes them, a fork per node costs too much here)
# Plain files from the state's dev/ (MTD images and the like), kept in OUT/dev.
for f in "$OUT"/dev/*; do
  [ -f "$f" ] || continue
  : >"$M/dev/${f##*/}"
  mount --bind "$f" "$M/dev/${f##*/}"
done
# The stand-ins' call log, live in OUT.
mkdir -p "$M/var/devsim"
: >"$M/var/devsim/tools.log"
mount --bind "$OUT/tools.log" "$M/var/devsim/tools.log"

# FUSE /proc: real entries of the sandbox's processes plus the device's own.
mkfifo "$S/run/procfs.ready"
exec 5<>"$S/run/procfs.ready"
"$DEVSIM_BIN/devsim-procfs" "$M/proc" "$S/realproc" "$OUT/proc" "$M" "$OUT/reboot.log" \
  "$S/run/procfs.ready" >>"$OUT/procfs.log" 2>&1 &
read -r -t 5 -u 5 ready || fail "FUSE /proc did not start (see procfs.log)"
[ "$ready" = ready ] || fail "FUSE /proc failed: $ready"
exec 5>&-

# Wait until every server listens (TCP by connecting, UDP by the socket table).
want_tcp=()
has ftp && want_tcp+=(21)
has http && want_tcp+=(80)
has https && want_tcp+=(443)
# nginx's listeners for the other certificates (servers.py has 443 alone)
has https && [ $py_http = 0 ] && want_tcp+=(4431 4432)
for _ in $(seq 1 500); do
  ok=1
  for port in "${want_tcp[@]}"; do
    (: <"/dev/tcp/127.0.0.1/$port") 2>/dev/null || {
      ok=0
      break
    }
  done
  if [ $ok = 1 ] && has tftp; then
    grep -q '^ *[0-9]*: 0100007F:0045 ' "$S/realproc/net/udp" || ok=0
  fi
  [ $ok = 1 ] && exit 0
  sleep 0.01
done
fail "servers did not start (see servers.log)"
