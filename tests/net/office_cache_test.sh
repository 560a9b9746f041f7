#!/usr/bin/env bash
# office_cache_test.sh DORVEX_EXE: ten agents, each with its own settings and repository and
# DisableCache=0, run dorvex.exe /auto one after another behind one caching squid (default refresh
# rules) in front of lighttpd, whose files were published ten days ago. The origin's log must show
# each step file sent whole once and every map request reaching it; a step published after the
# fifth agent is delivered to the sixth at once; every repository is whole. Prints the bytes the
# origin sent against ten times the upgrade's size (the benchmark's line).
set -u
here="$(cd "$(dirname "$0")/../.." && pwd)"
exe="${1:-$here/build/dorvex.exe}"
inner="$(mktemp /tmp/dx-office.XXXXXX)"
trap 'rm -f "$inner"' EXIT
cat >"$inner" <<'INNER'
set -u
fail() { echo "office_cache_test: $*" >&2; exit 1; }
root="$DX_HTTP_ROOT_UNIX"
crlf() { sed 's/$/\r/'; }
# A Unix path as the prefix's drive Z: shows it, without starting a Wine program for each.
wp() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }
step() {  # step VERSION NAME SIZE: a step file and its map section
  mkdir -p "$root/Kadry/$1"
  head -c "$3" /dev/urandom >"$root/Kadry/$1/$2"
  printf '[%s]\nDir=/Kadry/%s/\nCount=1\nFileName1=%s\nFileSize1=%s\nFileHash1=%s\n' "$1" "$1" "$2" "$3" \
    "$(sha256sum "$root/Kadry/$1/$2" | cut -d' ' -f1)" >>"$DX_PEERS_DIR/map"
}
publish() { crlf <"$DX_PEERS_DIR/map" >"$root/Kadry.nrm"; }
: >"$DX_PEERS_DIR/map"
step 6 a.dat 300000
step 7 b.dat 120000
publish
# Published ten days ago: a cache's heuristic would keep them fresh for two days.
find "$root" -exec touch -d '10 days ago' {} +
agents="$DX_PEERS_DIR/agents"
exe_w="$(wp "$DX_EXE")"
printf '@echo off\r\n' | tee "$DX_PEERS_DIR/half1.bat" >"$DX_PEERS_DIR/half2.bat"
for i in $(seq 1 10); do
  a="$agents/$i"
  mkdir -p "$a/repo" "$a/tmp"
  {
    printf '[Common]\nUpgradeFilesDir=%s\n' "$(wp "$a/repo")\\"
    printf '[Session]\nTempDir=%s\n' "$(wp "$a/tmp")\\"
    printf '[Http]\nServer=127.0.0.1\nPort=%s\nRootDir=/\n' "$DX_HTTP_PORT"
    printf '[Connection]\nConnectionType=1\nAttemptCount=1\nAttemptPause=1\n[Service]\nEnableLogReports=1\n'
    printf '[Proxy]\nUse=1\nProxyServerName=127.0.0.1\nProxyServerPort=%s\nProxyAuthType=0\nDisableCache=0\n' \
      "$DX_CACHE_PROXY_PORT"
    printf '[General]\nActiveProgramCount=1\n[Program1]\nProgramID=Kadry\nVirtualUpgrade=1\nVirtualVersion=5\n'
  } | crlf >"$a/dorvex.ini"
  # One after another in one Wine start per half (the machine's Wine slots are shared), each
  # agent's exit code in the half's log; started by cmd itself, which waits for a program in a
  # batch file (no start.exe between).
  printf '"%s" /auto "/CONF:%s"\r\necho agent %s ended with code %%ERRORLEVEL%%\r\n' "$exe_w" \
    "$(wp "$a/dorvex.ini")" "$i" >>"$DX_PEERS_DIR/half$(( i <= 5 ? 1 : 2 )).bat"
done
half() {  # half N: the half's agents in one Wine start, Wine's errors in its log
  WINEDEBUG=err+all,fixme-all bash "$DX_HERE/scripts/wine-run" --timeout 600 cmd /c "$(wp "$DX_PEERS_DIR/half$1.bat")" \
    >"$DX_PEERS_DIR/half$1.log" 2>&1 || echo "office_cache_test: half$1 ended with $?: $(cat "$DX_PEERS_DIR/half$1.log")" >&2
}
check() {  # check AGENT LAST: the agent delivered (code 0), steps 6..LAST whole and nothing later
  local v f why="" log="$DX_PEERS_DIR/half$(( $1 <= 5 ? 1 : 2 )).log"
  grep -q "^agent $1 ended with code 0"$'\r'"\?$" "$log" || why="agent $1 did not end with code 0"
  for v in $(seq 6 "$2"); do
    f=$(ls "$root/Kadry/$v")
    [ -n "$why" ] || cmp -s "$root/Kadry/$v/$f" "$agents/$1/repo/Kadry/$v/$f" || why="agent $1: step $v's $f is not whole in its repository"
  done
  if [ -n "$why" ]; then
    # Its reports, and the half's log: every agent's exit code, and what Wine said went wrong.
    find "$agents/$1/repo/Reports" -type f -exec iconv -f CP1251 -t UTF-8 {} \; >&2 2>/dev/null
    iconv -f CP866 -t UTF-8 "$log" >&2
    fail "$why"
  fi
  [ -e "$agents/$1/repo/Kadry/$(( $2 + 1 ))" ] && fail "agent $1 has a step that was not yet published"
  return 0
}
half 1
for i in 1 2 3 4 5; do check "$i" 7; done
step 8 c.dat 80000  # the publisher adds a step between two agents' runs
publish
half 2
for i in 6 7 8 9 10; do check "$i" 8; done
log="$DX_PEERS_DIR/http-access.log"
for _ in $(seq 1 100); do [ "$(grep -c '^GET /Kadry.nrm ' "$log")" -ge 10 ] && break; sleep 0.1; done
for f in 6/a.dat 7/b.dat 8/c.dat; do
  n=$(grep -c "^GET /Kadry/$f 200 " "$log")
  [ "$n" = 1 ] || fail "the origin sent $f whole $n times"
done
grep -q "^GET /Kadry/[0-9]*/[a-z.]* 206 " "$log" && fail "a step file was continued"
maps=$(grep -c '^GET /Kadry.nrm ' "$log")
[ "$maps" = 10 ] || fail "the map reached the origin $maps times, not once for each of the ten agents"
# The benchmark's line: what the origin sent whole (200) against ten deliveries of the upgrade.
origin=0
while read -r _ path status _; do
  [ "$status" = 200 ] && [ -f "$root${path#/}" ] && origin=$((origin + $(stat -c %s "$root${path#/}")))
done <"$log"
upgrade=$(( $(stat -c %s "$root/Kadry/6/a.dat") + $(stat -c %s "$root/Kadry/7/b.dat") + $(stat -c %s "$root/Kadry/8/c.dat") ))
LC_ALL=C awk -v o="$origin" -v u="$upgrade" 'BEGIN { printf "office cache: ten agents behind one squid fetched %d bytes from the origin; ten times the upgrade is %d bytes; ratio %.3f\n", o, 10 * u, o / (10 * u) }'
INNER
DX_HERE="$here" DX_EXE="$exe" bash "$here/tests/peers/with-peers.sh" --peers http,cacheproxy --timeout 900 bash "$inner"
