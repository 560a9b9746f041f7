#!/usr/bin/env bash
# Runs the repository manager's tests with a repository whose step directories hold symbolic
# links back up the tree (which the manager must neither follow nor offer for deletion). The
# tree is made and removed here, outside the test program, whose own clean-up would follow them.
set -u
exe="$1"
here="$(cd "$(dirname "$0")/../.." && pwd)"
repo="$(mktemp -d)"
trap 'rm -rf "$repo"' EXIT
mkdir -p "$repo/Buh/413" "$repo/Buh/repair/412"
printf 'a' > "$repo/Buh/413/a.dat"
printf 'r' > "$repo/Buh/repair/412/r.dat"
ln -s . "$repo/Buh/414"            # a step that is the program's own directory
ln -s .. "$repo/Buh/repair/415"    # an emergency step that leads back to the program
ln -s ../.. "$repo/Buh/413/416"    # a link inside a step, to the repository's root
DORVEX_TEST_LINKED_REPO="$(winepath -w "$repo" 2>/dev/null || echo "Z:${repo//\//\\}")\\" \
  bash "$here/scripts/wine-run" --timeout 600 "$exe"
