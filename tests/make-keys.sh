#!/usr/bin/env bash
# Makes the key material the integrity tests check against, with openssl, into the folder
# given: two RSA key pairs, a signed sample, and a file with its sha256sum.
set -euo pipefail
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
