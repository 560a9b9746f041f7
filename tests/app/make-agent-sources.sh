#!/usr/bin/env bash
# make-agent-sources.sh OUT NEXT_EXE BROKEN_EXE NEXT_VERSION: sources that publish the agent's own
# map beside a load-only program's (Kadry at 6, current), each in OUT/TREE, written with the
# publisher's tool and key a of the integrity tests (OUT/../keys/a.key).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="$1" next="$2" broken="$3" version="$4" key="$(dirname "$1")/keys/a.key"
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
