#!/usr/bin/env bash
# The HTTPS benchmark: lighttpd on loopback serves a 256 MiB file over TLS with the tests'
# certificates; curl fetches it to disk first (its time goes to the benchmark program in
# DX_CURL_MS), then the program measures the agent; an openssl server that completes the
# handshake and then stays silent gives the stalled server.
set -u
here="$(cd "$(dirname "$0")/.." && pwd)"
exe="${1:-$here/build/bench/dorvex_https_bench.exe}"
inner="$(mktemp /tmp/dx-https-bench.XXXXXX)"
trap 'rm -f "$inner"' EXIT
cat >"$inner" <<'INNER'
set -u
head -c $((256 * 1024 * 1024)) /dev/urandom >"$DX_HTTP_ROOT_UNIX/big.bin"
out="$DX_PEERS_DIR/curl.bin"
best=""
for run in 1 2 3; do  # the best of three, as for the agent
  t0=$(date +%s%N)
  curl -s --cacert "$DX_PEERS_DIR/certs/ca.crt" -o "$out" "https://localhost:$DX_HTTPS_PORT/big.bin" || { echo "curl failed"; exit 1; }
  t1=$(date +%s%N)
  cmp -s "$out" "$DX_HTTP_ROOT_UNIX/big.bin" || { echo "curl's copy differs"; exit 1; }
  rm -f "$out"
  ms=$(( (t1 - t0) / 1000000 ))
  if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
done
# A TLS server that never answers the request: its input never comes.
stall=$((20000 + RANDOM % 12000))
mkfifo "$DX_PEERS_DIR/silence"
openssl s_server -quiet -accept "127.0.0.1:$stall" -cert "$DX_PEERS_DIR/certs/good.crt" \
  -key "$DX_PEERS_DIR/certs/good.key" <"$DX_PEERS_DIR/silence" >/dev/null 2>&1 &
spid=$!
exec 3>"$DX_PEERS_DIR/silence"
for _ in $(seq 1 50); do ss -Htln "sport = :$stall" | grep -q . && break; sleep 0.1; done
export DX_CURL_MS=$best DX_BENCH_FILE=big.bin DX_STALL_PORT=$stall
bash "$DX_HERE/scripts/wine-run" --timeout 600 "$DX_EXE"
rc=$?
exec 3>&-
kill "$spid" 2>/dev/null
wait "$spid" 2>/dev/null
exit $rc
INNER
DX_HERE="$here" DX_EXE="$exe" bash "$here/tests/peers/with-peers.sh" --peers http,https --timeout 900 bash "$inner"
