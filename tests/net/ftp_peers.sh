#!/usr/bin/env bash
# ftp_peers.sh [--timeout SECONDS] PROGRAM [ARGS...]
#
# Runs an FTP test program beside two vsftpd servers on free loopback ports, both anonymous,
# active mode (PORT) with REST, logging every command and reply (log_ftp_protocol) so a test can
# check the wire, and serving one root folder:
#   DX_FTP_PORT, DX_FTP_LOG            a server at full speed, and its log (Windows path)
#   DX_FTP_SLOW_PORT, DX_FTP_SLOW_LOG  a throttled one (anon_max_rate, DX_FTP_SLOW_RATE bytes/s)
#   DX_FTP_ROOT, DX_FTP_ROOT_UNIX      the shared root folder, Windows and Unix form
# The servers are stopped by their process ids on every way out. A missing vsftpd, or one that
# does not come up, fails the run (exit code 3): the tests never skip their servers.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
limit=600
if [ "${1:-}" = "--timeout" ]; then limit="$2"; shift 2; fi
[ $# -ge 1 ] || { echo "usage: ftp_peers.sh [--timeout S] PROGRAM [ARGS...]" >&2; exit 2; }

work="$(mktemp -d /tmp/dx-ftp.XXXXXX)"
chmod 755 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
fail() { echo "ftp_peers: $*" >&2; exit 3; }
command -v vsftpd >/dev/null || fail "vsftpd is not installed"

winpath() { local p="${1//\//\\}"; echo "Z:${p}"; }
listening() { ss -Htln "sport = :$1" 2>/dev/null | grep -q .; }
free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % 12000))
    listening "$p" || { echo "$p"; return 0; }
  done
  return 1
}

mkdir -p "$work/root" "$work/empty"
chmod 755 "$work/root"

# start_vsftpd NAME EXTRA-LINES: prints the port it listens on.
start_vsftpd() {
  local name="$1" extra="$2" port pid
  for _ in 1 2 3 4 5; do
    port=$(free_port) || fail "no free port"
    cat >"$work/$name.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
secure_chroot_dir=$work/empty
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$work/root
no_anon_password=YES
anon_world_readable_only=NO
port_enable=YES
connect_from_port_20=NO
pasv_enable=NO
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file=$work/$name.log
dirmessage_enable=NO
use_localtime=YES
$extra
CONF
    vsftpd "$work/$name.conf" >"$work/$name.out" 2>&1 &
    pid=$!
    for _ in $(seq 1 150); do
      kill -0 "$pid" 2>/dev/null || break
      if listening "$port"; then pids+=("$pid"); echo "$port"; return 0; fi
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  cat "$work/$name.out" >&2
  return 1
}

rate=${DX_FTP_SLOW_RATE:-1048576}
# Ports are taken in the parent: the servers are started here, not in a subshell, to keep their ids.
start_vsftpd fast "" >"$work/fast.port" || fail "vsftpd did not start"
start_vsftpd slow "anon_max_rate=$rate" >"$work/slow.port" || fail "the throttled vsftpd did not start"
export DX_FTP_PORT="$(cat "$work/fast.port")" DX_FTP_SLOW_PORT="$(cat "$work/slow.port")" DX_FTP_SLOW_RATE=$rate
export DX_FTP_ROOT="$(winpath "$work/root")\\" DX_FTP_ROOT_UNIX="$work/root/"
export DX_FTP_LOG="$(winpath "$work/fast.log")" DX_FTP_SLOW_LOG="$(winpath "$work/slow.log")"

case "$1" in
  *.exe) bash "$here/scripts/wine-run" --timeout "$limit" "$@" ;;
  *) timeout --kill-after=5 "$limit" "$@" ;;
esac
