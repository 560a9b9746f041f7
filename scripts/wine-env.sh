# Sourced by every script that starts Wine or its tools: the project's prefix, the Russian
# locale, and, on a host whose kernel cannot run 32-bit x86 code, Wine's 64-bit loader in place
# of the default one (Debian's "wine" picks the 32-bit loader whenever it is installed).
wine_env_here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${DORVEX_WINEPREFIX:-$wine_env_here/build/wineprefix}"
export WINEARCH=win64
export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
export WINEDEBUG="${WINEDEBUG:--all}"
if [ "$(bash "$wine_env_here/scripts/host-arch")" = x86_64 ] && [ -x /usr/lib/wine/wine64 ]; then
  wine_env_bin="$wine_env_here/build/winebin"
  if [ ! -x "$wine_env_bin/wine-stable" ]; then
    mkdir -p "$wine_env_bin"
    for n in wine wine-stable; do
      printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$wine_env_bin/$n.tmp"
      chmod 755 "$wine_env_bin/$n.tmp"
      mv -f "$wine_env_bin/$n.tmp" "$wine_env_bin/$n"
    done
  fi
  case ":$PATH:" in *":$wine_env_bin:"*) ;; *) export PATH="$wine_env_bin:$PATH" ;; esac
  export WINELOADER=/usr/lib/wine/wine64
fi
