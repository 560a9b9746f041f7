#!/usr/bin/env bash
# Runs the settings dialogs' tests with a tree that holds a symbolic-link loop (which the
# search for installed programs must not follow); the tree is made and removed here, outside
# the test program, whose own clean-up would follow the link.
set -u
exe="$1"
here="$(cd "$(dirname "$0")/../.." && pwd)"
loop="$(mktemp -d)"
trap 'rm -rf "$loop"' EXIT
mkdir -p "$loop/inner"
printf 'MZ' > "$loop/inner/MEK.EXE"
ln -s .. "$loop/inner/loop"
DORVEX_TEST_LOOP="$(winepath -w "$loop" 2>/dev/null || echo "Z:${loop//\//\\}")\\" \
  bash "$here/scripts/wine-run" --timeout 600 "$exe"
