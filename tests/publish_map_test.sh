#!/usr/bin/env bash
# The publisher's tool: the map names what it is for, and entries the agent would refuse stop
# the publication with their names instead of yielding a map that the agent cannot serve.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tmp="$(mktemp -d)"; trap 'rm -rf "$tmp"' EXIT
fail=0 passed=0
check() { if eval "$2"; then passed=$((passed + 1)); else echo "FAILED: $1"; fail=$((fail + 1)); fi; }

mkdir -p "$tmp/src/Buh/413" "$tmp/src/Buh/414"
printf 'a' > "$tmp/src/Buh/413/a.dat"; printf 'bb' > "$tmp/src/Buh/414/b.dat"
bash "$here/scripts/publish-map" --serial 42 --valid-days 10 "$tmp/src" Buh >/dev/null
head4="$(tr -d '\r' < "$tmp/src/Buh.nrm" | head -5 | tr '\n' '|')"
check "[MapInfo] comes first with the serial and the date" \
  '[ "$head4" = "[MapInfo]|ProgramID=Buh|Kind=Normal|Serial=42|Expires=$(date -u -d "10 days" +%Y-%m-%d)|" ]'
mkdir -p "$tmp/src/Buh/repair/413"; printf 'r' > "$tmp/src/Buh/repair/413/r.dat"
bash "$here/scripts/publish-map" --emergency "$tmp/src" Buh >/dev/null
check "an emergency map says so" 'tr -d "\r" < "$tmp/src/Buh.emr" | grep -qx "Kind=Emergency"'
check "the default serial is the UTC time" 'tr -d "\r" < "$tmp/src/Buh.emr" | grep -qE "^Serial=20[0-9]{12}$"'

cp "$tmp/src/Buh.nrm" "$tmp/before"
while IFS='|' read -r what entry; do
  rm -rf "$tmp/src/Buh/414"/* ; printf 'bb' > "$tmp/src/Buh/414/b.dat"
  case "$entry" in
    link) ln -s /etc/hostname "$tmp/src/Buh/414/link.dat" ;;
    dir) mkdir "$tmp/src/Buh/414/inner" ;;
    *) printf 'x' > "$tmp/src/Buh/414/$entry" ;;
  esac
  out="$(bash "$here/scripts/publish-map" --serial 43 "$tmp/src" Buh 2>&1)"; rc=$?
  check "$what: refused" '[ $rc -ne 0 ]'
  check "$what: named" 'printf "%s" "$out" | grep -q "$what"'
  check "$what: the published map stays" 'cmp -s "$tmp/before" "$tmp/src/Buh.nrm"'
done <<'LIST'
a device name|NUL.txt
a device name|com1
a trailing dot or blank|name.
a trailing dot or blank|name 
characters outside code page 1251|名前.dat
characters Windows does not allow|a?b.dat
a link, not a plain file|link
a nested directory|dir
a leading blank| name.dat
quotes|'q'.dat
names that differ only in case|B.DAT
LIST

# The usage; what the agents would refuse asks for --force; files another user's web server reads.
out="$(bash "$here/scripts/publish-map" --help)"; rc=$?
check "--help prints the usage" '[ $rc -eq 0 ] && printf "%s" "$out" | grep -q "^usage: publish-map .*--force"'
rm -rf "$tmp/src/Buh/414"/*; printf 'bb' > "$tmp/src/Buh/414/b.dat"
openssl genrsa -out "$tmp/k.pem" 2048 2>/dev/null
while IFS='|' read -r what args expect; do
  cp "$tmp/src/Buh.nrm" "$tmp/before"
  out="$(bash "$here/scripts/publish-map" ${args//KEY/$tmp/k.pem} "$tmp/src" Buh 2>&1)"; rc=$?
  if [ "$expect" = refused ]; then
    check "$what: refused, asking for --force" '[ $rc -ne 0 ] && printf "%s" "$out" | grep -q -- "add --force"'
    check "$what: the published map stays" 'cmp -s "$tmp/before" "$tmp/src/Buh.nrm"'
  else
    check "$what: published" '[ $rc -eq 0 ] && ! cmp -s "$tmp/before" "$tmp/src/Buh.nrm"'
  fi
done <<'LIST'
the same serial again|--serial 42|refused
a lower serial|--serial 9|refused
zero days|--serial 50 --valid-days 0|refused
days below zero|--serial 50 --valid-days -3|refused
a lower serial with --force|--serial 9 --force|published
an expired map with --force|--serial 10 --valid-days -1 --force|published
a higher serial, signed|--serial 11 --key KEY|published
LIST
check "the serial published last is kept beside the map" '[ "$(cat "$tmp/src/Buh.nrm.serial")" = 11 ]'
check "map and signature are readable by all" \
  '[ "$(stat -c %a "$tmp/src/Buh.nrm") $(stat -c %a "$tmp/src/Buh.nrm.sig")" = "644 644" ]'
# A file changed while the tool runs (here: right after it was hashed) is published as hashed.
rm -rf "$tmp/src/Buh/414"/*; printf 'bb' > "$tmp/src/Buh/414/b.dat"; mkdir -p "$tmp/bin"
printf '#!/bin/bash\n/usr/bin/sha256sum "$@"\ncase "$1" in */b.dat) printf evil > "%s";; esac\n' \
  "$tmp/src/Buh/414/b.dat" > "$tmp/bin/sha256sum"; chmod +x "$tmp/bin/sha256sum"
out="$(PATH="$tmp/bin:$PATH" bash "$here/scripts/publish-map" --serial 44 "$tmp/src" Buh)"
mapped="$(tr -d '\r' < "$tmp/src/Buh.nrm" | sed -n '/^\[414\]/,$s/^FileHash1=//p')"
check "the published file is the one hashed" '[ "$mapped" = "$(sha256sum < "$tmp/src/Buh/414/b.dat" | cut -d" " -f1)" ]'
check "the files are listed with sizes and hashes" \
  'printf "%s" "$out" | grep -qF "Buh\\414\\b.dat  2 bytes  $(printf bb | sha256sum | cut -d" " -f1)"'
check "no staging folder is left" '[ -z "$(find "$tmp/src" -name ".publish-map*")" ]'
echo "$passed passed, $fail failed"
[ $fail -eq 0 ]
