#!/usr/bin/env bash
# The office benchmark: ten agents behind one caching squid (tests/net/office_cache_test.sh, which
# also checks what they received); its line compares the bytes the publisher's server sent with ten
# times the upgrade's size.
set -o pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/tests/net/office_cache_test.sh" "${1:-$here/build/dorvex.exe}" | grep '^office cache:'
