#!/usr/bin/env bash
# make-agent-sources.sh OUT NEXT_EXE BROKEN_EXE NEXT_VERSION OLD_EXE: sources that publish the agent's own
# map beside a load-only program's (Kadry at 6, current), each in OUT/TREE, written with the
# publisher's tool and key a of the integrity tests (OUT/../keys/a.key); OLD_EXE (the running
# agent) and NEXT_EXE Authenticode-signed by test code-signing certificates made here.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="$1" next="$2" broken="$3" version="$4" old="$5" key="$(dirname "$1")/keys/a.key"
rm -rf "$out"
tree() {  # tree NAME [ID STEP FILE]: Kadry's map, and the agent's file published as ID under STEP
  local d="$out/$1"
  mkdir -p "$d/Kadry/6"
  printf 'step 6' > "$d/Kadry/6/f6.dat"
  bash "$here/scripts/publish-map" --key "$key" "$d" Kadry >/dev/null
  [ $# -gt 1 ] || return 0
  mkdir -p "$d/$2/$3"
  cp "$4" "$d/$2/$3/dorvex.exe"
  bash "$here/scripts/publish-map" --key "$key" "$d" "$2" >/dev/null
}
tree good Dorvex "$version" "$next"
tree missing
tree unsigned Dorvex "$version" "$next"
rm "$out/unsigned/Dorvex.nrm.sig"
tree otherid Buh "$version" "$next"
mv "$out/otherid/Buh.nrm" "$out/otherid/Dorvex.nrm"
mv "$out/otherid/Buh.nrm.sig" "$out/otherid/Dorvex.nrm.sig"
tree lower Dorvex 0.9.0 "$next"
tree badhash Dorvex "$version" "$next"
printf 'X' | dd of="$out/badhash/Dorvex/$version/dorvex.exe" bs=1 seek=100 conv=notrunc 2>/dev/null
tree wrongversion Dorvex "${version%.*}.$(( ${version##*.} + 1 ))" "$next"
tree broken Dorvex 3.0.0 "$broken"
# Two self-signed code-signing certificates: the publisher's (a) and another one (b).
mkdir -p "$out/certs"
for c in a b; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Dorvex test publisher $c" \
    -addext extendedKeyUsage=codeSigning -keyout "$out/certs/$c.key" -out "$out/certs/$c.crt" 2>/dev/null
done
sign() {  # sign CERT IN OUT
  osslsigncode sign -h sha256 -certs "$out/certs/$1.crt" -key "$out/certs/$1.key" -in "$2" -out "$3" >/dev/null
}
sign a "$old" "$out/old-signed.exe"
sign a "$next" "$out/next-a.exe"
sign b "$next" "$out/next-b.exe"
# Signed, then one letter of the DOS stub's text changed: the map's checksum is the changed file's,
# so that only the signature can tell.
cp "$out/next-a.exe" "$out/next-tampered.exe"
at=$(grep -boa 'This program cannot' "$out/next-tampered.exe" | head -1 | cut -d: -f1)
printf 'X' | dd of="$out/next-tampered.exe" bs=1 seek="$at" conv=notrunc 2>/dev/null
tree signed Dorvex "$version" "$out/next-a.exe"
tree othercert Dorvex "$version" "$out/next-b.exe"
tree tampered Dorvex "$version" "$out/next-tampered.exe"
