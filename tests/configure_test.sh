#!/usr/bin/env bash
# The registration mode, run as its own process the way an installer runs it: it must write
# the file, never open a window (a window would keep it running past the time-out), and end
# with exit code 0.
set -u
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/wine-env.sh"
exe="$here/build/dorvex.exe"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fails=0; passes=0
win() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }  # a Unix path as the prefix's drive Z: shows it, without a Wine start
run() { bash "$here/scripts/wine-run" --timeout 60 "$exe" "$@" >/dev/null 2>&1; }
ini_get() {  # ini_get FILE SECTION KEY
  python3 - "$1" "$2" "$3" <<'PY'
import sys
sec, key, cur = sys.argv[2].lower(), sys.argv[3].lower(), None
for line in open(sys.argv[1], encoding="cp1251").read().splitlines():
    s = line.strip()
    if s.startswith("[") and s.endswith("]"):
        cur = s[1:-1].lower()
    elif cur == sec and "=" in s and s.split("=", 1)[0].strip().lower() == key:
        print(s.split("=", 1)[1].strip()); break
PY
}
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passes=$((passes+1)); else fails=$((fails+1)); echo "FAILED: $1: expected '$2', got '$3'"; fi
}

ini="$work/dorvex.ini"
repo="$work/Хранилище"
# A first registration: repository without a backslash and not created; blanks trimmed; any letter case.
run /configure "/inifile:$(win "$ini")" "/upgradeRepositary: $(win "$repo") " /progid:Buh "/ProgUpgDir:C:\\Corvend\\Upg" "/PROGEXEDIR:C:\\Corvend"
check "exit code" 0 $?
check "repository" "$(win "$repo")\\" "$(ini_get "$ini" Common UpgradeFilesDir)"
check "repository not created" no "$([ -d "$repo" ] && echo yes || echo no)"
check "count" 1 "$(ini_get "$ini" General ActiveProgramCount)"
check "id" Buh "$(ini_get "$ini" Program1 ProgramID)"
check "upgrade dir" 'C:\Corvend\Upg\' "$(ini_get "$ini" Program1 UpgradeExe)"
check "exe dir" 'C:\Corvend\' "$(ini_get "$ini" Program1 ExeDir)"
check "no load-only keys" "" "$(ini_get "$ini" Program1 VirtualUpgrade)"
check "file in code page 1251" yes "$(grep -q "$(printf 'Хранилище' | iconv -f utf-8 -t cp1251)" "$ini" && echo yes || echo no)"

# The same program again, in other letter case: still one entry; the repository stays.
run /configure "/inifile:$(win "$ini")" "/UpgradeRepositary:C:\\Other" /ProgID:buh "/ProgUpgDir:c:\\corvend\\upg\\" "/ProgExeDir:c:\\corvend\\"
check "exit code again" 0 $?
check "still one" 1 "$(ini_get "$ini" General ActiveProgramCount)"
check "repository kept" "$(win "$repo")\\" "$(ini_get "$ini" Common UpgradeFilesDir)"

# A settings file saved as UTF-8 is refused with exit code 1 and left as it was.
printf '\xEF\xBB\xBF[Common]\r\nUpgradeFilesDir=C:\\Хранилище\\\r\n' > "$work/utf8.ini"; cp "$work/utf8.ini" "$work/utf8.before"
run /configure "/inifile:$(win "$work/utf8.ini")" /ProgID:Buh "/ProgUpgDir:C:\\Corvend\\Upg" "/ProgExeDir:C:\\Corvend"
check "a UTF-8 file: exit code" 1 $?
check "a UTF-8 file: untouched" yes "$(cmp -s "$work/utf8.ini" "$work/utf8.before" && echo yes || echo no)"

# An entry whose directory lacks its backslash does not match: a second entry is added.
printf '[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Mek\r\nUpgradeExe=C:\\M\\U\\\r\nExeDir=C:\\M\r\n' > "$work/b.ini"
run /configure "/inifile:$(win "$work/b.ini")" /ProgID:Mek "/ProgUpgDir:C:\\M\\U" "/ProgExeDir:C:\\M"
check "second entry" 2 "$(ini_get "$work/b.ini" General ActiveProgramCount)"
check "second exe dir" 'C:\M\' "$(ini_get "$work/b.ini" Program2 ExeDir)"

# Without the executable directory: no entry, but the repository is written, and it is created on request.
run /configure "/inifile:$(win "$work/c.ini")" "/UpgradeRepositary:$(win "$work/made/deep")" /EnableCreateDirs /ProgID:Tesk "/ProgUpgDir:C:\\T"
check "exit code partial" 0 $?
check "no entry" "" "$(ini_get "$work/c.ini" General ActiveProgramCount)"
check "created" yes "$([ -d "$work/made/deep" ] && echo yes || echo no)"

# Without /inifile: the program starts as usual with its window: it is still running at the time-out.
bash "$here/scripts/wine-run" --timeout 8 "$exe" /configure "/CONF:$(win "$work/d.ini")" >/dev/null 2>&1
check "window without /inifile:" 124 $?

echo "configure: $passes passed, $fails failed"
[ $fails -eq 0 ]
