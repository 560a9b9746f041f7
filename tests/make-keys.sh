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
# Key a also as PKCS#1 RSAPublicKey, PEM and base64 DER.
openssl rsa -in a.key -RSAPublicKey_out -out a.rsapub 2>/dev/null
openssl rsa -in a.key -RSAPublicKey_out -outform DER 2>/dev/null | base64 -w0 > a.rsader64
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

# Sources for the attack table: the same program published twice (serials 100 and 200),
# another program, an emergency map, an expired map, and a signed map without [MapInfo].
rm -rf attacks
publish() {  # publish DIR ID [options]: steps 413 and 414 of ID (6 for Kadry), signed by key a
  local d="attacks/$1" id="$2"; shift 2
  mkdir -p "$d"
  if [ "$id" = Kadry ]; then mkdir -p "$d/Kadry/6"; printf 'step 6' > "$d/Kadry/6/f6.dat"; else
    for s in 413 414; do mkdir -p "$d/$id/$s"; printf 'step %s' "$s" > "$d/$id/$s/f$s.dat"; done; fi
  bash "$here/scripts/publish-map" --key a.key "$@" "$d" "$id" >/dev/null
}
publish v1 Buh --serial 100
publish v2 Buh --serial 200
publish kadry Kadry --serial 300
publish expired Buh --serial 400 --valid-days -1 --force
mkdir -p attacks/emr/Buh/repair/413
printf 'step 413' > attacks/emr/Buh/repair/413/f413.dat
bash "$here/scripts/publish-map" --key a.key --emergency --serial 500 attacks/emr Buh >/dev/null
# A step file of 4096 bytes, for sources that send more than that or send it too slowly.
mkdir -p attacks/big/Buh/413 attacks/big/Buh/414
printf 'step 413' > attacks/big/Buh/413/f413.dat
head -c 4096 /dev/zero | tr '\0' b > attacks/big/Buh/414/f414.dat
bash "$here/scripts/publish-map" --key a.key --serial 200 attacks/big Buh >/dev/null
publish nomapinfo Buh
tr -d '\r' < attacks/nomapinfo/Buh.nrm | sed '/^\[MapInfo\]/,/^Expires=/d' | sed 's/$/\r/' > attacks/nomapinfo/map
mv attacks/nomapinfo/map attacks/nomapinfo/Buh.nrm
openssl dgst -sha256 -sign a.key -out attacks/nomapinfo/Buh.nrm.sig attacks/nomapinfo/Buh.nrm
# Step 414 of two files, for floppy sets that carry only one of them.
mkdir -p attacks/two/Buh/413 attacks/two/Buh/414
printf 'step 413' > attacks/two/Buh/413/f413.dat
printf 'step 414' > attacks/two/Buh/414/f414.dat
printf 'more 414' > attacks/two/Buh/414/g414.dat
bash "$here/scripts/publish-map" --key a.key --serial 200 attacks/two Buh >/dev/null
