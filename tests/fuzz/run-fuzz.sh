#!/usr/bin/env bash
# Runs every fuzz target.
#   run-fuzz.sh short BUILD        a fixed number of inputs per target with fixed seeds, then every
#                                  saved finding once: the same inputs on every run
#   run-fuzz.sh long BUILD SECONDS the whole run lasts about SECONDS, shared evenly by the targets
# Prints per target the inputs tried, the coverage where the engine reports it, and what was
# found; findings go to BUILD/fuzz-found. Exits non-zero when anything was found.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
mode="$1"; build="$(cd "$2" && pwd)"
found="$build/fuzz-found"; mkdir -p "$found"
native="$build/fuzz-native"
exe="$build/tests/dorvex_fuzz.exe"
[ -f "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
# The first Wine run makes the prefix when there is none yet.
targets=($(bash "$root/scripts/wine-run" --timeout 300 "$exe" --list | tr -d '\r'))
[ ${#targets[@]} -gt 0 ] || { echo "dorvex_fuzz lists no targets" >&2; exit 1; }
# The transfer-set targets play their floppy on a drive of their own: F: for the short run,
# G: for a long one, so that the two can run side by side, and neither touches the tests' A:.
# A long run beside the tests should have a prefix of its own (DORVEX_WINEPREFIX): one prefix
# serves one display.
letter=f; [ "$mode" = short ] || letter=g
pfx="${DORVEX_WINEPREFIX:-$root/build/wineprefix}"
mkdir -p "$build/fuzz-drive"
ln -sfn "$build/fuzz-drive" "$pfx/dosdevices/$letter:"
status=0

if [ "$mode" = short ]; then
  bash "$here/native.sh" short "$native" "$found" || status=1
  # One Wine process runs every target in turn, then replays each one's saved findings.
  bash "$root/scripts/wine-run" --timeout 600 "$exe" --short --corpus "Z:$here/corpus" --found "Z:$found" \
    --drive "$letter:" --seed 1 | tr -d '\r'
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  bash "$here/native.sh" replay "$native" || status=1
else
  total="${3:-600}"
  n=$(( ${#targets[@]} + $(bash "$here/native.sh" count) ))
  each=$(( total / n )); [ $each -ge 1 ] || each=1
  echo "fuzzing $n targets for $each s each"
  bash "$here/native.sh" run "$native" "$each" "$found" || status=1
  for t in "${targets[@]}"; do
    bash "$root/scripts/wine-run" --timeout $(( each + 120 )) "$exe" --target "$t" --corpus "Z:$here/corpus" \
      --found "Z:$found" --drive "$letter:" --seconds "$each" --keep-going --seed "${FUZZ_SEED:-1}" | tr -d '\r'
    rc=${PIPESTATUS[0]}
    if [ "$rc" -ne 0 ]; then status=1; echo "wine $t: ended with code $rc"; fi
  done
fi
exit $status
