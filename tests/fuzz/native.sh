#!/usr/bin/env bash
# Builds the fuzz targets of the plain C++ readers natively with clang's libFuzzer and the
# address and undefined-behaviour sanitizers, and runs them.
#   native.sh build OUTDIR
#   native.sh short OUTDIR FOUNDDIR       a fixed number of inputs per target, fixed seed
#   native.sh run OUTDIR SECONDS FOUNDDIR   each target for SECONDS with a fixed seed; prints
#                                           per target the runs, the coverage and what was found
#   native.sh replay OUTDIR                 every saved regression input once
set -u
here="$(cd "$(dirname "$0")" && pwd)"
src="$(cd "$here/../.." && pwd)/src"
mode="$1"; out="${2:-}"
# name  target function  reader sources
targets=(
  "ftpreply FuzzFtpReply net/ftpreply.cpp"
  "url FuzzUrl net/url.cpp"
  "initable FuzzIniTable common/initable.cpp"
)

build() {
  mkdir -p "$out"
  local t name fn srcs
  for t in "${targets[@]}"; do
    read -r name fn srcs <<<"$t"
    local files=("$here/native_main.cpp" "$here/${name}_target.cpp")
    for s in $srcs; do files+=("$src/$s"); done
    local bin="$out/fuzz_$name"
    local newer=0
    for f in "${files[@]}" "$here/fuzz_target.h"; do [ "$f" -nt "$bin" ] && newer=1; done
    [ $newer -eq 0 ] && [ -x "$bin" ] && continue
    clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
      -DDORVEX_FUZZ_TARGET="$fn" -I"$src" -I"$here" "${files[@]}" -o "$bin" || return 1
  done
}

case "$mode" in
  build) build ;;
  count) echo ${#targets[@]} ;;
  run|short)
    # run: SECONDS of fuzzing per target; short: a fixed number of inputs, the same every time.
    if [ "$mode" = short ]; then secs=0; found="$3"; limit=(-runs=30000); else secs="$3"; found="$4"; limit=(-max_total_time="$secs"); fi
    mkdir -p "$found"
    build || exit 1
    status=0
    for t in "${targets[@]}"; do
      read -r name fn srcs <<<"$t"
      work="$(mktemp -d)"
      cp "$here/corpus/$name/"* "$work/" 2>/dev/null
      log="$found/native-$name.log"
      # -seed fixes the mutation order; the corpus grows in a scratch copy.
      "$out/fuzz_$name" -seed="${FUZZ_SEED:-1}" "${limit[@]}" -print_final_stats=1 -timeout=10 -rss_limit_mb=512 \
        -dict="$here/dict/$name.dict" -artifact_prefix="$found/native-$name-" "$work" >"$log" 2>&1
      rc=$?
      runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')"
      cov="$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)"
      found_files="$(ls "$found" | grep -E "^native-$name-(crash|leak|timeout|oom|slow-unit)-" | tr '\n' ' ')"
      echo "native $name: ${runs:-0} inputs in $(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | grep -o '[0-9]* second' | grep -o '[0-9]*' || echo "$secs") s, ${cov:-cov: ?}, corpus $(ls "$work" | wc -l) files, found: ${found_files:-nothing}"
      rm -rf "$work"
      if [ $rc -ne 0 ]; then status=1; tail -30 "$log"; fi
    done
    exit $status ;;
  replay)
    build || exit 1
    status=0
    for t in "${targets[@]}"; do
      read -r name fn srcs <<<"$t"
      files=("$here/corpus/$name/"* )
      [ -d "$here/regress/$name" ] && files+=("$here/regress/$name/"*)
      if ! "$out/fuzz_$name" -runs=1 "${files[@]}" >"$out/replay-$name.log" 2>&1; then
        status=1; tail -30 "$out/replay-$name.log"
      else
        echo "native $name: ${#files[@]} saved inputs pass"
      fi
    done
    exit $status ;;
esac
