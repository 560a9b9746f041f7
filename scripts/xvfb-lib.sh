# Starts and stops one Xvfb for a whole run; sourced by the scripts that need a display.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
xvfb_pid=""
start_xvfb() {
  if [ -n "${DISPLAY:-}" ]; then
    local d="${DISPLAY#*:}"; d="${d%%.*}"
    [ -S "/tmp/.X11-unix/X$d" ] && return 0
  fi
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$xvfb_pid" 2>/dev/null; then export DISPLAY=":$n"; return 0; fi
    xvfb_pid=""
  done
  echo "no X display could be started" >&2
  return 1
}
stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    # Each step may fail (no wineserver left, a server that did not end in time): under "set -e"
    # a failing step would end the script there with that status, leaving the display running.
    WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}" timeout 20 wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  fi
}
