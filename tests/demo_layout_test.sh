#!/usr/bin/env bash
# The README's commands in any order: deleting the demo's data (its advice for starting afresh)
# and laying the demo out again must never take anything from the build, so that a later build
# and test run still work. Argument: the build folder.
set -u
here="$(cd "$(dirname "$0")/.." && pwd)"
bin="${1:-$here/build}"
cd "$here"
fails=0
fail() { echo "FAILED: $*"; fails=$((fails + 1)); }
# Ninja's dry run names every input that is missing with no rule to make it.
build_is_whole() {
  local out
  out="$(cmake --build "$bin" -- -n 2>&1)" || { echo "$out" | tail -5; return 1; }
}

# The user's own demo (its data and where its programs stand) is set aside and put back at the
# end, so that running the tests never starts the demo afresh.
saved=""
if [ -e "$here/build/demo" ]; then
  saved="$here/build/demo.saved.$$"
  mv "$here/build/demo" "$saved"
fi
restore() {
  rm -rf "$here/build/demo"
  if [ -n "$saved" ]; then mv "$saved" "$here/build/demo"; fi
}
trap restore EXIT

rm -rf "$here/build/demo"
build_is_whole || fail "the build is broken after rm -rf build/demo"
cmake --build "$bin" --target demo_corvend_410 demo_upgrade demo_program >/dev/null 2>&1 ||
  fail "the demo's programs cannot be built after rm -rf build/demo"

bash scripts/demo --layout-only >/dev/null 2>&1 || fail "the demo could not be laid out"
[ -f "$here/build/demo/dorvex.ini" ] || fail "the demo's settings file is missing after the layout"
[ -f "$here/build/demo/programs/Corvend/CvBuh.exe" ] || fail "the demo's programs were not laid out"
grep -q 'RootDir=.\+' "$here/build/demo/dorvex.ini" || fail "the demo's settings name no source folder"
build_is_whole || fail "the build is broken after the demo was laid out"

# Deleting the data again and building once more: still whole.
rm -rf "$here/build/demo"
build_is_whole || fail "the build is broken after the demo's data was deleted a second time"
bash scripts/demo --layout-only >/dev/null 2>&1 || fail "the demo could not be laid out again"

if [ $fails -ne 0 ]; then echo "$fails failed"; exit 1; fi
echo "demo layout and build stay apart: passed"
