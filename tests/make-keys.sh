#!/usr/bin/env bash
# Makes the key material the integrity tests check against, with openssl, into the folder
# given: two RSA key pairs, a signed sample, and a file with its sha256sum.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$1"
mkdir -p "$out"
cd "$out"
for k in a b; do
  [ -f "$k.key" ] || openssl genrsa -out "$k.key" 2048 2>/dev/null
  openssl rsa -in "$k.key" -pubout -out "$k.pub" 2>/dev/null
  openssl rsa -in "$k.key" -pubout -outform DER 2>/dev/null | base64 -w0 > "$k.der64"
done
printf '[411]\r\nDir=Buh\\411\r\nCount=1\r\nFileName1=CvBuh.exe\r\nFileSize1=10\r\n' > sample.nrm
openssl dgst -sha256 -sign a.key -out sample.nrm.a.sig sample.nrm
openssl dgst -sha256 -sign b.key -out sample.nrm.b.sig sample.nrm
head -c 3000001 /dev/urandom > big.bin
sha256sum big.bin | cut -d' ' -f1 > big.sha256

# A directory source published with the publisher's tool: Buh's steps 413 and 414, the map
# with sizes and hashes signed by key a; the same map signed by key b.
rm -rf source source-b
mkdir -p source/Buh/413 source/Buh/414
printf 'step 413' > source/Buh/413/f413.dat
printf 'step 414' > source/Buh/414/f414.dat
bash "$here/scripts/publish-map" --key a.key source Buh >/dev/null
cp -r source source-b
openssl dgst -sha256 -sign b.key -out source-b/Buh.nrm.sig source-b/Buh.nrm
