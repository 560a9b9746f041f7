#!/usr/bin/env bash
# with-peers.sh [--peers LIST] [--timeout SECONDS] [--] PROGRAM [ARGS...]
#
# Starts the real network peers a test names, on free loopback ports (127.0.0.1 only), each in
# the foreground with a configuration generated into a temporary folder; runs the test program;
# stops every peer by its process id on every way out and removes the folder. A PROGRAM ending
# in ".exe" runs through scripts/wine-run (bounded by --timeout, default 300 s); anything else
# (a shell, curl) runs as it is. Exits with the program's exit code. A peer whose server is not
# installed, or that does not come up, fails the run (exit code 3): tests never skip a peer.
#
# LIST is a comma-separated list of peer names:
#   http   lighttpd serving a document root, its stat cache off (a file rewritten within one
#          second would otherwise be served with its old length); documents under /slow/ come
#          at 64 KB/s
#   https  the same lighttpd also over TLS on further ports, with certificates made here: an
#          authority of the tests and, each on a port of its own, a certificate of that authority
#          for "localhost" and 127.0.0.1, one for another name, an expired one, one for client
#          authentication only, a self-signed one, and one of another authority; and the scripted
#          TLS peer (tests/peers/tls-peer.py) with the behaviours and certificates it names
#   ftp    vsftpd, anonymous, active mode (PORT) with REST, serving a root folder
#   proxy  squid with Basic authentication (answers 407 without credentials), no cache, relaying
#          http:// and ftp:// URLs (FTP in passive mode towards the server)
#   digestproxy  another squid like it that asks for Digest only (digest_file_auth checks the password)
#   cacheproxy   squid caching in memory with its default refresh rules, without authentication
#   ntlmproxy    another squid asking for NTLM or Negotiate, checked by Samba's ntlm_auth against a
#          local account of a stand-alone winbindd (which must be the only one on the machine); the
#          user running the tests is logged on there (winbindd keeps its password, as Windows keeps a
#          logon's), so that NTLM without a login answers as that user
#
# Variables handed to the program (Unix environment variables reach Windows programs under Wine):
#   DX_PEERS_DIR          the temporary folder (Unix path)
#   DX_HTTP_PORT          lighttpd's port
#   DX_HTTP_ROOT          its document root, Windows form ("Z:\tmp\...\http\"), and
#   DX_HTTP_ROOT_UNIX     the same folder as a Unix path
#   DX_HTTP_LOG           lighttpd's access log (Windows form): "METHOD PATH STATUS range=... if-range=..."
#   DX_HTTPS_PORT         the TLS port with the good certificate; DX_HTTPS_OTHERNAME_PORT,
#                         DX_HTTPS_EXPIRED_PORT, DX_HTTPS_USAGE_PORT, DX_HTTPS_SELF_PORT,
#                         DX_HTTPS_OTHERCA_PORT the others
#   DX_HTTPS_<NAME>_PORT  each name of the scripted TLS peer, upper case (DX_HTTPS_TRUNCATE_PORT ...)
#   DX_TLSPEER_LOG        its log (Windows form)
#   DX_CERTS              the certificates' folder (Windows form): ca.crt, self.crt, otherca.crt
#   DX_FTP_PORT           vsftpd's port
#   DX_FTP_ROOT, DX_FTP_ROOT_UNIX   the FTP root folder (anonymous root), as above
#   DX_PROXY_PORT         squid's port
#   DX_PROXY_USER, DX_PROXY_PASSWORD   the credentials squid accepts (all the proxies take the same)
#   DX_DIGEST_PROXY_PORT, DX_DIGEST_PROXY_PASSWORD  the Digest squid's port and password (user dorvex)
#   DX_CACHE_PROXY_PORT   the caching squid's port
#   DX_NTLM_PROXY_PORT    the NTLM squid's port; DX_NTLM_PROXY_USER, DX_NTLM_PROXY_DOMAIN,
#                         DX_NTLM_PROXY_PASSWORD the account it accepts
#   DX_FULL_FILE          a file whose every write fails as on a full disk (a link to /dev/full),
#                         Windows form
# The folders are empty and writable; the test puts its documents there itself.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
peers=""
limit=300
while [ $# -gt 0 ]; do
  case "$1" in
    --peers) peers="$2"; shift 2 ;;
    --timeout) limit="$2"; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: with-peers.sh [--peers http,ftp,proxy] [--timeout S] [--] PROGRAM [ARGS...]" >&2; exit 2; }

work="$(mktemp -d /tmp/dx-peers.XXXXXX)"
chmod 755 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

fail() { echo "with-peers: $*" >&2; exit 3; }

winpath() { local p="${1//\//\\}"; echo "Z:${p}\\"; }

listening() { ss -Htln "sport = :$1" 2>/dev/null | grep -q .; }

# A port that nothing listens on now, from a range away from the system's ephemeral ports.
free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % 12000))
    listening "$p" || { echo "$p"; return 0; }
  done
  return 1
}

# start_peer NAME PORT COMMAND...: starts the command in the foreground of a background job
# and waits until it listens on PORT; false when it died or did not come up within 15 s.
start_peer() {
  local name="$1" port="$2"
  shift 2
  "$@" >"$work/$name.out" 2>&1 &
  local pid=$!
  for _ in $(seq 1 150); do
    if ! kill -0 "$pid" 2>/dev/null; then return 1; fi
    if listening "$port"; then pids+=("$pid"); return 0; fi
    sleep 0.1
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 1
}

# The tests' certificates: an authority, server certificates of it and of another one.
make_certs() {
  command -v openssl >/dev/null || fail "openssl is not installed"
  local c="$work/certs"
  mkdir -p "$c/newcerts"
  (
    set -e
    cd "$c"
    q() { "$@" >/dev/null 2>&1; }
    q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 3650 -subj "/CN=Dorvex Test CA"
    q openssl req -x509 -newkey rsa:2048 -nodes -keyout otherca.key -out otherca.crt -days 3650 -subj "/CN=Dorvex Other CA"
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >good.ext
    printf 'subjectAltName=DNS:other.example\nextendedKeyUsage=serverAuth\n' >other.ext
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=clientAuth\n' >usage.ext
    for n in good othername expired usage othersrv; do
      q openssl req -newkey rsa:2048 -nodes -keyout $n.key -out $n.csr -subj "/CN=localhost"
    done
    q openssl x509 -req -in good.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out good.crt -days 825 -extfile good.ext
    q openssl x509 -req -in othername.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out othername.crt -days 825 \
      -extfile other.ext
    q openssl x509 -req -in usage.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out usage.crt -days 825 -extfile usage.ext
    q openssl x509 -req -in othersrv.csr -CA otherca.crt -CAkey otherca.key -CAcreateserial -out otherca.srv -days 825 \
      -extfile good.ext
    : >index.txt
    echo 1000 >serial
    printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=newcerts\nserial=serial\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' >ca.cnf
    q openssl ca -batch -config ca.cnf -cert ca.crt -keyfile ca.key -in expired.csr -out expired.crt -notext \
      -startdate 20200101000000Z -enddate 20210101000000Z -extfile good.ext
    q openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.crt -days 825 -subj "/CN=localhost" \
      -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext "extendedKeyUsage=serverAuth"
    for n in good othername expired usage self; do cat $n.crt $n.key >$n.pem; done
    cat otherca.srv othersrv.key >otherca.pem
  ) || fail "the test certificates could not be made"
  chmod -R a+rX "$c"
}

start_http() {
  command -v lighttpd >/dev/null || fail "lighttpd is not installed"
  mkdir -p "$work/http"
  local port tls names=(GOOD OTHERNAME EXPIRED USAGE SELF OTHERCA) files=(good othername expired usage self otherca)
  local -a tlsports=()
  local i p ok
  if [ "$with_https" = 1 ]; then
    make_certs
    [ -f /usr/lib/lighttpd/mod_openssl.so ] || fail "lighttpd-mod-openssl is not installed"
  fi
  for _ in 1 2 3 4 5; do
    port=$(free_port) || fail "no free port"
    tls=""
    tlsports=()
    redirects='"^/tohttp/(.*)$" => "http://127.0.0.1:'$port'/$1"'
    if [ "$with_https" = 1 ]; then
      tls='server.modules += ( "mod_openssl" )'$'\n'
      for i in "${!files[@]}"; do
        p=$(free_port) || fail "no free port"
        tlsports+=("$p")
        tls+="\$SERVER[\"socket\"] == \"127.0.0.1:$p\" { ssl.engine = \"enable\" ssl.pemfile = \"$work/certs/${files[$i]}.pem\" }"$'\n'
      done
      redirects+=', "^/tohttps/(.*)$" => "https://localhost:'${tlsports[0]}'/$1"'
    fi
    cat >"$work/lighttpd.conf" <<EOF
server.modules = ( "mod_accesslog", "mod_redirect" )
server.document-root = "$work/http"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.err"
server.max-request-size = 64
server.stat-cache-engine = "disable"
mimetype.assign = ( "" => "application/octet-stream" )
accesslog.filename = "$work/http-access.log"
accesslog.format = "%m %U %>s range=\"%{Range}i\" if-range=\"%{If-Range}i\""
\$HTTP["url"] =~ "^/slow/" { connection.kbytes-per-second = 64 }
url.redirect = ( $redirects )
$tls
EOF
    if start_peer http "$port" lighttpd -D -f "$work/lighttpd.conf"; then
      ok=1
      for p in "${tlsports[@]}"; do listening "$p" || ok=0; done
      if [ $ok = 1 ]; then
        export DX_HTTP_PORT=$port DX_HTTP_ROOT_UNIX="$work/http/" DX_HTTP_ROOT="$(winpath "$work/http")"
        DX_HTTP_LOG="$(winpath "$work/http-access.log")"
        export DX_HTTP_LOG="${DX_HTTP_LOG%\\}"
        for i in "${!tlsports[@]}"; do
          if [ "${names[$i]}" = GOOD ]; then export DX_HTTPS_PORT="${tlsports[$i]}"
          else export "DX_HTTPS_${names[$i]}_PORT=${tlsports[$i]}"; fi
        done
        if [ "$with_https" = 1 ]; then export DX_CERTS="$(winpath "$work/certs")"; fi
        return 0
      fi
      kill "${pids[-1]}" 2>/dev/null
      wait "${pids[-1]}" 2>/dev/null
      unset 'pids[-1]'
    fi
  done
  cat "$work/http.out" "$work/lighttpd.err" >&2 2>/dev/null
  fail "lighttpd did not start"
}

# The certificates only the scripted TLS peer serves: chains through intermediates of the tests'
# authority (sent, left out with a download address pointing at the "aia" port, restricted in
# their usage), names that must never match, weak keys and signatures, a chain far too long.
make_tlspeer_certs() {
  local aia="$1"
  (
    set -e
    cd "$work/certs"
    q() { "$@" >/dev/null 2>&1; }
    printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n' >inter.ext
    printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,digitalSignature\n' >interku.ext
    printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\nextendedKeyUsage=clientAuth\n' >intereku.ext
    for n in inter interku intereku; do
      q openssl req -newkey rsa:2048 -nodes -keyout $n.key -out $n.csr -subj "/CN=Dorvex Test $n"
      q openssl x509 -req -in $n.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out $n.crt -days 825 -extfile $n.ext
    done
    printf 'authorityInfoAccess=caIssuers;URI:http://127.0.0.1:%s/inter.crt\n' "$aia" | cat good.ext - >aia.ext
    printf 'subjectAltName=otherName:1.3.6.1.4.1.311.20.2.3;UTF8:admin@example\nextendedKeyUsage=serverAuth\n' >badsan.ext
    printf 'extendedKeyUsage=serverAuth\n' >nosan.ext
    # leaf NAME ISSUER EXTFILE SUBJECT [options]: NAME.pem with the certificate, the chain sent, the key
    leaf() {
      local n="$1" ca="$2" ext="$3" subj="$4"
      shift 4
      q openssl req -newkey "rsa:${bits:-2048}" -nodes -keyout $n.key -out $n.csr -utf8 -subj "$subj"
      q openssl x509 -req -in $n.csr -CA $ca.crt -CAkey $ca.key -CAcreateserial -out $n.crt -days 825 -extfile $ext "$@"
      cat $n.crt ${chain:-} $n.key >$n.pem
    }
    chain=inter.crt leaf sentinter inter good.ext /CN=localhost
    leaf noaia inter aia.ext /CN=localhost
    chain=interku.crt leaf nokcs interku good.ext /CN=localhost
    chain=intereku.crt leaf clienteku intereku good.ext /CN=localhost
    leaf badsan ca badsan.ext /CN=localhost
    leaf accentcn ca nosan.ext "/CN=locàlhost"
    bits=1024 leaf weakkey ca good.ext /CN=localhost
    leaf sha1 ca good.ext /CN=localhost -sha1
    chain="$(printf 'ca.crt %.0s' $(seq 1 120))" leaf hugechain ca good.ext /CN=localhost
    # "localhost", a NUL, ".evil.example": made with a stand-in byte, put in and signed again.
    leaf nulcn ca nosan.ext /CN=localhostX.evil.example
    openssl x509 -in nulcn.crt -outform DER -out nulcn.der
    python3 - <<'PY'
import subprocess
der = bytearray(open("nulcn.der", "rb").read())
def span(at):  # the header's length and the content's length of the element at "at"
    n = der[at + 1]
    if n < 0x80:
        return 2, n
    k = n & 0x7F
    return 2 + k, int.from_bytes(der[at + 2:at + 2 + k], "big")
h, _ = span(0)
th, tl = span(h)
tbs = bytes(der[h:h + th + tl]).replace(b"localhostX.evil", b"localhost\x00.evil")
der[h:h + th + tl] = tbs
sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", "ca.key"], input=tbs, capture_output=True, check=True).stdout
der[-len(sig):] = sig
open("nulcn.der", "wb").write(der)
PY
    openssl x509 -inform DER -in nulcn.der -out nulcn.crt
    cat nulcn.crt nulcn.key >nulcn.pem
  ) || fail "the scripted TLS peer's certificates could not be made"
  chmod -R a+rX "$work/certs"
}

start_tlspeer() {
  command -v python3 >/dev/null || fail "python3 is not installed"
  local names=(sentinter noaia nokcs clienteku badsan nulcn accentcn weakkey sha1 hugechain tls13 oldtls flood truncate
    truncatehead reset notify aia)
  local -a args=()
  local n p ok
  : >"$work/tls-peer.log"
  export DX_TLSPEER_LOG="$(winpath "$work/tls-peer.log")"
  export DX_TLSPEER_LOG="${DX_TLSPEER_LOG%\\}"
  # A port found free may be taken by another program before the peer binds it: then again with others.
  for _ in 1 2 3 4 5; do
    args=()
    for n in "${names[@]}"; do
      p=$(free_port) || fail "no free port"
      # Nothing listens on them before the peer starts: each must differ from those taken already.
      while [[ " ${args[*]} " == *":$p "* ]]; do p=$(free_port) || fail "no free port"; done
      args+=("$n:$p")
      export "DX_HTTPS_${n^^}_PORT=$p"
    done
    make_tlspeer_certs "$DX_HTTPS_AIA_PORT"
    start_peer tlspeer "$DX_HTTPS_AIA_PORT" python3 "$here/tests/peers/tls-peer.py" "$work/http" "$work/certs" \
      "$work/tls-peer.log" "${args[@]}" || continue
    ok=1
    for n in "${args[@]}"; do
      for _ in $(seq 1 50); do listening "${n#*:}" && break; sleep 0.1; done
      listening "${n#*:}" || ok=0
    done
    [ $ok = 1 ] && return 0
    kill "${pids[-1]}" 2>/dev/null
    wait "${pids[-1]}" 2>/dev/null
    unset 'pids[-1]'
  done
  cat "$work/tlspeer.out" >&2
  fail "the scripted TLS peer did not start"
}

start_ftp() {
  command -v vsftpd >/dev/null || fail "vsftpd is not installed"
  mkdir -p "$work/ftp" "$work/ftp-empty"
  chmod 755 "$work/ftp"
  local port
  for _ in 1 2 3 4 5; do
    port=$(free_port) || fail "no free port"
    cat >"$work/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
secure_chroot_dir=$work/ftp-empty
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$work/ftp
no_anon_password=YES
port_enable=YES
connect_from_port_20=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$((port + 1))
pasv_max_port=$((port + 40))
xferlog_enable=NO
dirmessage_enable=NO
use_localtime=YES
EOF
    if start_peer ftp "$port" vsftpd "$work/vsftpd.conf"; then
      export DX_FTP_PORT=$port DX_FTP_ROOT_UNIX="$work/ftp/" DX_FTP_ROOT="$(winpath "$work/ftp")"
      return 0
    fi
  done
  cat "$work/ftp.out" >&2 2>/dev/null
  fail "vsftpd did not start"
}

# start_squid PEER DIR LINES...: a squid in the foreground on a free loopback port, for loopback
# clients only, its configuration, pid file and logs in DIR (owned by squid's user "proxy"), with
# the given lines added (caching, authentication). With an auth_param among them every request must
# carry credentials the helper accepted. Sets squid_port; fails the run when it does not come up.
start_squid() {
  local peer="$1" dir="$2" lines allow="http_access allow localnet" port
  shift 2
  lines="$(printf '%s\n' "$@")"
  [[ "$lines" == *auth_param* ]] && lines+=$'\nacl authed proxy_auth REQUIRED' && allow+=" authed"
  mkdir -p "$dir"
  chown -R proxy:proxy "$dir" 2>/dev/null
  for _ in 1 2 3 4 5; do
    port=$(free_port) || fail "no free port"
    cat >"$dir/squid.conf" <<EOF
http_port 127.0.0.1:$port
pid_filename $dir/squid.pid
access_log $dir/access.log
cache_log $dir/cache.log
cache_store_log none
coredump_dir $dir
$lines
acl localnet src 127.0.0.0/8
$allow
http_access deny all
ftp_passive on
ftp_epsv off
shutdown_lifetime 0 seconds
dns_nameservers 127.0.0.1
EOF
    chown proxy:proxy "$dir/squid.conf"
    if start_peer "$peer" "$port" squid -N -n "dx$port" -f "$dir/squid.conf"; then
      squid_port=$port
      return 0
    fi
  done
  cat "$work/$peer.out" "$dir/cache.log" >&2 2>/dev/null
  fail "squid ($peer) did not start"
}

start_proxy() {
  command -v squid >/dev/null || fail "squid is not installed"
  command -v htpasswd >/dev/null || fail "htpasswd (apache2-utils) is not installed"
  [ -x /usr/lib/squid/basic_ncsa_auth ] || fail "squid's basic_ncsa_auth is not installed"
  mkdir -p "$work/squid"
  local user=dorvex password="secret:42"
  htpasswd -b -c "$work/squid/passwd" "$user" "$password" >/dev/null 2>&1 || fail "htpasswd failed"
  chmod 644 "$work/squid/passwd"
  start_squid proxy "$work/squid" "cache deny all" "cache_mem 8 MB" \
    "auth_param basic program /usr/lib/squid/basic_ncsa_auth $work/squid/passwd" "auth_param basic realm dorvex"
  export DX_PROXY_PORT=$squid_port DX_PROXY_USER="$user" DX_PROXY_PASSWORD="$password"
}

start_digest_proxy() {
  command -v squid >/dev/null || fail "squid is not installed"
  [ -x /usr/lib/squid/digest_file_auth ] || fail "squid's digest_file_auth is not installed"
  mkdir -p "$work/dsquid"
  # The helper's file is user:password; a colon in the password would read as a realm.
  printf '%s:%s\n' dorvex secret42 >"$work/dsquid/passwd"
  chmod 644 "$work/dsquid/passwd"
  start_squid digestproxy "$work/dsquid" "cache deny all" "cache_mem 8 MB" \
    "auth_param digest program /usr/lib/squid/digest_file_auth $work/dsquid/passwd" \
    "auth_param digest realm dorvex" "auth_param digest children 2"
  export DX_DIGEST_PROXY_PORT=$squid_port DX_DIGEST_PROXY_PASSWORD=secret42
}

# A caching squid with its default refresh rules (heuristic freshness from Last-Modified), in
# memory, without authentication: the office's proxy.
start_cache_proxy() {
  command -v squid >/dev/null || fail "squid is not installed"
  start_squid cacheproxy "$work/csquid" "cache_mem 32 MB" "maximum_object_size_in_memory 4 MB"
  export DX_CACHE_PROXY_PORT=$squid_port
}

# winbindd stand-alone over a local account in a passdb of its own, and squid asking for NTLM and
# Negotiate through Samba's ntlm_auth, which has winbindd check the answer against the password.
# The Samba client library finds winbindd only at its built-in socket folder.
start_ntlm_proxy() {
  command -v winbindd >/dev/null && command -v ntlm_auth >/dev/null || fail "winbind (winbindd, ntlm_auth) is not installed"
  local s="$work/samba" d me name
  # The machine's name as Windows (and Wine) gives it: the local accounts' domain.
  name="$(hostname -s | tr '[:lower:]' '[:upper:]' | cut -c1-15)"
  me="$(id -un)"
  mkdir -p "$s" /run/samba/winbindd
  for d in private lock state cache pid ncalrpc; do mkdir -p "$s/$d"; done
  cat >"$s/smb.conf" <<EOF
[global]
workgroup = $name
netbios name = $name
server role = standalone server
passdb backend = tdbsam:$s/private/passdb.tdb
private dir = $s/private
lock directory = $s/lock
state directory = $s/state
cache directory = $s/cache
pid directory = $s/pid
ncalrpc dir = $s/ncalrpc
log file = $s/log.%m
EOF
  # The local account is squid's own user "proxy", which exists wherever squid is installed.
  printf 'secret42\nsecret42\n' | smbpasswd -c "$s/smb.conf" -a -s proxy >/dev/null 2>&1 || fail "smbpasswd failed"
  # The user running the tests is an account too, logged on: winbindd keeps its password as a
  # Windows logon session does, and Wine's NTLM answers with it when a program gives no login.
  printf 'logon42\nlogon42\n' | smbpasswd -c "$s/smb.conf" -a -s "$me" >/dev/null 2>&1 || fail "smbpasswd failed for $me"
  wbinfo -p >/dev/null 2>&1 && fail "another winbindd answers at /run/samba/winbindd"
  winbindd -F --no-process-group -s "$s/smb.conf" >"$work/winbindd.out" 2>&1 &
  pids+=("$!")
  for _ in $(seq 1 150); do wbinfo -p >/dev/null 2>&1 && break; sleep 0.1; done
  wbinfo -p >/dev/null 2>&1 || { cat "$work/winbindd.out" >&2; fail "winbindd did not start"; }
  wbinfo --ccache-save="$name\\$me%logon42" >/dev/null 2>&1 || fail "winbindd did not keep the logon of $me"
  # ntlm_auth runs as squid's user and reaches winbindd's privileged socket through its folder.
  chgrp proxy "$s/state/winbindd_privileged" && chmod 750 "$s/state/winbindd_privileged"
  chmod 755 "$s"
  command -v squid >/dev/null || fail "squid is not installed"
  start_squid ntlmproxy "$work/nsquid" "cache deny all" "cache_mem 8 MB" \
    "auth_param ntlm program /usr/bin/ntlm_auth --configfile=$s/smb.conf --helper-protocol=squid-2.5-ntlmssp" \
    "auth_param ntlm children 2" \
    "auth_param negotiate program /usr/bin/ntlm_auth --configfile=$s/smb.conf --helper-protocol=gss-spnego" \
    "auth_param negotiate children 2"
  export DX_NTLM_PROXY_PORT=$squid_port DX_NTLM_PROXY_USER=proxy DX_NTLM_PROXY_DOMAIN="$name" DX_NTLM_PROXY_PASSWORD=secret42
}

export DX_PEERS_DIR="$work"
ln -s /dev/full "$work/full"
DX_FULL_FILE="$(winpath "$work/full")"
export DX_FULL_FILE="${DX_FULL_FILE%\\}"
IFS=',' read -r -a wanted <<<"$peers"
with_https=0
for p in "${wanted[@]}"; do [ "$p" = https ] && with_https=1; done
for p in "${wanted[@]}"; do
  case "$p" in
    http) start_http ;;
    https)
      [[ ",$peers," == *,http,* ]] || start_http
      start_tlspeer ;;
    ftp) start_ftp ;;
    proxy) start_proxy ;;
    digestproxy) start_digest_proxy ;;
    ntlmproxy) start_ntlm_proxy ;;
    cacheproxy) start_cache_proxy ;;
    "") ;;
    *) fail "unknown peer $p" ;;
  esac
done

case "$1" in
  *.exe) bash "$here/scripts/wine-run" --timeout "$limit" "$@" ;;
  *) timeout --kill-after=5 "$limit" "$@" ;;
esac
exit $?
