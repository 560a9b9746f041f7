#!/usr/bin/env bash
# The setup program, as an administrator rolls it out: built and signed by scripts/dist, installed
# silently under Wine into a folder with spaces and Cyrillic letters, installed again over itself,
# and removed silently, in the project's prefix. Where the host runs no 32-bit code the 64-bit
# setup (same script, carrying the 64-bit build) is the one installed; the 32-bit setup is then
# built and its signatures checked. Argument: the build folder.
set -u
here="$(cd "$(dirname "$0")/../.." && pwd)"
bin="$(cd "${1:-$here/build}" && pwd)"
cd "$here"
source scripts/xvfb-lib.sh
# One display for every Wine run here, so that the uninstaller's copy outlives the run that started it.
start_xvfb || { echo "no X display"; exit 1; }

passed=0
failed=0
ok() { passed=$((passed + 1)); }
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }
# check DESCRIPTION COMMAND...: one check, passed when the command succeeds
check() {
  local what="$1"; shift
  if "$@"; then ok; else fail "$what"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

tmp="$(mktemp -d /tmp/dorvex-setup-test.XXXXXX)"
trap 'rm -rf "$tmp"; stop_xvfb' EXIT
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }
wine_run() { bash scripts/wine-run --timeout "${limit:-120}" "$@" 2>/dev/null; }
# A setup's own command line exactly as typed (cmd passes it on untouched): "/D=" must be last
# and unquoted, even with spaces in the folder.
run_cmdline() { wine_run cmd /c "$1"; }
# The uninstaller started from its folder, which has spaces in its name: a quoted program name
# would not reach cmd as typed.
run_uninstaller() { wine_run cmd /c "cd /d $wdir && uninstall.exe $1"; }

arch="$(bash scripts/host-arch)"
version="$(sed -n 's/^project(dorvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
out="$tmp/dist"
if ! DORVEX_DIST_OUT="$out" bash scripts/dist >"$tmp/dist.log" 2>&1; then
  cat "$tmp/dist.log"
  fail "scripts/dist did not build the setup programs"
  finish
fi
cert="$here/build/signing/test-cert.pem"
if [ -n "${DORVEX_SIGN_CERT:-}" ]; then cert="$DORVEX_SIGN_CERT"; fi

# --- Signatures ---------------------------------------------------------------------------------
verify() { osslsigncode verify -CAfile "$cert" -in "$1" >"$tmp/verify.log" 2>&1; }
check "the 32-bit setup's signature does not verify" verify "$out/dorvex-setup.exe"
check "the packed 32-bit dorvex.exe's signature does not verify" verify "$out/stage-x86/dorvex.exe"
check "the 32-bit setup is no 32-bit program" \
  bash -c "file -b '$out/dorvex-setup.exe' | grep -q '^PE32 .*Intel 80386'"
check "the 32-bit setup does not carry the 32-bit dorvex.exe" \
  bash -c "file -b '$out/stage-x86/dorvex.exe' | grep -q '^PE32 .*Intel 80386'"
# A signature check that fails on a changed byte: it really checks the file.
cp "$out/dorvex-setup.exe" "$tmp/tampered.exe"
size=$(stat -c %s "$tmp/tampered.exe")
printf '\x5a' | dd of="$tmp/tampered.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
cmp -s "$out/dorvex-setup.exe" "$tmp/tampered.exe" ||
  check "a changed setup still verifies" bash -c "! osslsigncode verify -CAfile '$cert' -in '$tmp/tampered.exe' >/dev/null 2>&1"

if [ "$arch" = i686 ]; then
  setup="$out/dorvex-setup.exe"; packed="$out/stage-x86/dorvex.exe"
else
  setup="$out/dorvex-setup-x64.exe"; packed="$out/stage-x64/dorvex.exe"
  check "the 64-bit setup's signature does not verify" verify "$setup"
  check "the packed 64-bit dorvex.exe's signature does not verify" verify "$packed"
  check "the 64-bit setup is no 64-bit program" bash -c "file -b '$setup' | grep -q '^PE32+ .*x86-64'"
fi
echo "setup_test: installing $(basename "$setup")"

# --- Install --------------------------------------------------------------------------------------
dir="$tmp/Программы тест/Дорвекс"
wdir="$(winpath "$dir")"
wsetup="$(winpath "$setup")"
programs="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
shortcut="$programs/Дорвекс.lnk"
taskreg="$WINEPREFIX/drive_c/windows/system32/tasks/Дорвекс"
ukey='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Dorvex'
# What an earlier interrupted run left in the prefix must not pass for this run's work.
rm -f "$shortcut" "$taskreg"
wine_run reg delete "$ukey" /f >/dev/null

# uninstall_entry FILE: the uninstall entry as UTF-8 text; fails when the key is missing
uninstall_entry() {
  rm -f "$tmp/entry.reg"
  wine_run reg export "$ukey" "$(winpath "$tmp/entry.reg")" /y >/dev/null || return 1
  iconv -f UTF-16 -t UTF-8 "$tmp/entry.reg" | tr -d '\r' >"$1"
}
has_line() { grep -qxF -- "$2" "$1"; }

# task_definition TIME: the task handed to the Task Scheduler runs dorvex.exe /auto every day at TIME
task_definition() {
  python3 - "$dir/dorvex-task.xml" "$1" "$wdir\\dorvex.exe" "$wdir" <<'EOF'
import sys, datetime, xml.etree.ElementTree as ET
path, time, command, workdir = sys.argv[1:]
raw = open(path, 'rb').read()
if not raw.startswith(b'\xff\xfe'):
    sys.exit('the task file is not UTF-16 with a byte-order mark')
ns = {'t': 'http://schemas.microsoft.com/windows/2004/02/mit/task'}
root = ET.fromstring(raw.decode('utf-16').replace('encoding="UTF-16"', ''))
def one(p):
    found = root.findall(p, ns)
    if len(found) != 1:
        sys.exit('%d elements %s' % (len(found), p))
    return (found[0].text or '').strip()
triggers = root.findall('t:Triggers/*', ns)
if len(triggers) != 1 or not triggers[0].tag.endswith('CalendarTrigger'):
    sys.exit('not one calendar trigger: %s' % [t.tag for t in triggers])
start = datetime.datetime.strptime(one('t:Triggers/t:CalendarTrigger/t:StartBoundary'), '%Y-%m-%dT%H:%M:%S')
if start.strftime('%H:%M') != time:
    sys.exit('starts at %s, not %s' % (start, time))
if one('t:Triggers/t:CalendarTrigger/t:ScheduleByDay/t:DaysInterval') != '1':
    sys.exit('not every day')
if one('t:Settings/t:StartWhenAvailable') != 'true':
    sys.exit('a run missed while the computer was off is not made up')
if one('t:Actions/t:Exec/t:Command') != command or one('t:Actions/t:Exec/t:Arguments') != '/auto':
    sys.exit('runs %r %r' % (one('t:Actions/t:Exec/t:Command'), one('t:Actions/t:Exec/t:Arguments')))
if one('t:Actions/t:Exec/t:WorkingDirectory') != workdir:
    sys.exit('works in %r' % one('t:Actions/t:Exec/t:WorkingDirectory'))
if len(root.findall('t:Actions/*', ns)) != 1:
    sys.exit('more than one action')
EOF
}

limit=180 run_cmdline "$wsetup /S /SCHEDULE=7:05 /D=$wdir"
check "the silent install did not end with exit code 0 (it ended with $?)" [ $? -eq 0 ]
check "the installed dorvex.exe is not the signed program the setup carries" cmp -s "$dir/dorvex.exe" "$packed"
check "the installed dorvex.exe's signature does not verify" verify "$dir/dorvex.exe"
check "the uninstaller is missing" [ -f "$dir/uninstall.exe" ]
check "the uninstaller's signature does not verify" verify "$dir/uninstall.exe"
check "the repository folder was not made" [ -d "$dir/Хранилище" ]
check "the settings do not name the repository in the program's folder" \
  bash -c "iconv -f CP1251 -t UTF-8 '$dir/dorvex.ini' | tr -d '\r' | grep -qxF 'UpgradeFilesDir=$wdir\\Хранилище\\'"
check "the new install's settings do not let step files come from the proxy's cache (DisableCache=0)" grep -q 'DisableCache=0' "$dir/dorvex.ini"
check "the Start-menu shortcut is missing" [ -f "$shortcut" ]
check "the shortcut does not lead to the installed dorvex.exe" python3 -c '
import sys
sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$shortcut" "$wdir\dorvex.exe"
if uninstall_entry "$tmp/entry.txt"; then
  ok
  for line in '"DisplayName"="Дорвекс"' "\"DisplayVersion\"=\"$version\"" '"Publisher"="Ворел-Софт"' \
    "\"UninstallString\"=\"\\\"${wdir//\\/\\\\}\\\\uninstall.exe\\\"\"" \
    "\"QuietUninstallString\"=\"\\\"${wdir//\\/\\\\}\\\\uninstall.exe\\\" /S\"" \
    "\"InstallLocation\"=\"${wdir//\\/\\\\}\"" '"Schedule"="07:05"'; do
    check "the uninstall entry lacks $line" has_line "$tmp/entry.txt" "$line"
  done
  kb=$(( ($(stat -c %s "$dir/dorvex.exe") + $(stat -c %s "$dir/uninstall.exe")) / 1024 ))
  size=$(sed -n 's/^"EstimatedSize"=dword:\([0-9a-f]*\)$/\1/p' "$tmp/entry.txt")
  check "the uninstall entry's size ${size:-none} is not the program's $kb KB" \
    bash -c "[ -n '$size' ] && d=\$((16#$size - $kb)) && [ \${d#-} -le 2 ]"
else
  fail "no uninstall entry after the install"
fi
check "the task handed over is not a daily 07:05 run of dorvex.exe /auto" task_definition 07:05
check "no task was registered with the Task Scheduler" [ -f "$taskreg" ]

# --- The installed program starts and shows its window --------------------------------------------
# Both in one Wine run, so that the picture is not kept waiting for a second Wine slot; the
# program runs in front and is waited for, since it writes its settings as it closes.
limit=150 wine_run cmd /c "cd /d $wdir && start $(winpath "$bin/tools/winshot.exe") DorvexMainForm $(winpath "$tmp/main.bmp") --timeout 100 --close && dorvex.exe"
check "the installed program did not end with exit code 0 after its window was closed" [ $? -eq 0 ]
check "the installed program showed no main window" [ -s "$tmp/main.bmp" ]

# --- Installing again keeps the settings and the repository -------------------------------------
printf '[Test]\r\nMarker=changed by the user\r\n' >>"$dir/dorvex.ini"
cp "$dir/dorvex.ini" "$tmp/dorvex.ini.before"
mkdir -p "$dir/Хранилище/CVBUH"
echo kept >"$dir/Хранилище/CVBUH/step.zip"
limit=180 run_cmdline "$wsetup /S /SCHEDULE=none /D=$wdir"
check "the silent install over the first one did not end with exit code 0" [ $? -eq 0 ]
check "the install over the first one changed dorvex.ini" cmp -s "$dir/dorvex.ini" "$tmp/dorvex.ini.before"
check "the install over the first one touched the repository" [ -f "$dir/Хранилище/CVBUH/step.zip" ]
check "/SCHEDULE=none left the earlier task registered" [ ! -e "$taskreg" ]
check "/SCHEDULE=none left a task definition" [ ! -e "$dir/dorvex-task.xml" ]
limit=180 run_cmdline "$wsetup /S /SCHEDULE=22:40 /D=$wdir"
check "the third silent install did not end with exit code 0" [ $? -eq 0 ]
check "the task handed over is not a daily 22:40 run of dorvex.exe /auto" task_definition 22:40
check "the daily task was not registered again" [ -f "$taskreg" ]
check "the third install changed dorvex.ini" cmp -s "$dir/dorvex.ini" "$tmp/dorvex.ini.before"

# --- What the setup refuses: exit code 2, nothing installed ----------------------------------------
other="$tmp/Другая папка"
for args in "/SCHEDULE=24:00 /D=$(winpath "$other")" "/SCHEDULE=12:60 /D=$(winpath "$other")" \
  "/SCHEDULE=ab:cd /D=$(winpath "$other")" "/D=relative\\folder" "\"/D=$(winpath "$other")\""; do
  limit=60 run_cmdline "$wsetup /S $args"
  rc=$?
  check "setup $args ended with $rc, not 2" [ $rc -eq 2 ]
done
check "a refused setup installed something" [ ! -e "$other" ]
check "a refused setup changed the installed settings" cmp -s "$dir/dorvex.ini" "$tmp/dorvex.ini.before"

# --- Silent uninstall, run in place so that its exit code is waited for ---------------------------
limit=120 run_uninstaller "/S _?=$wdir"
check "the silent uninstall did not end with exit code 0" [ $? -eq 0 ]
check "the uninstall left dorvex.exe" [ ! -e "$dir/dorvex.exe" ]
check "the uninstall left the task definition" [ ! -e "$dir/dorvex-task.xml" ]
check "the uninstall left the shortcut" [ ! -e "$shortcut" ]
check "the uninstall left the task registered" [ ! -e "$taskreg" ]
if uninstall_entry "$tmp/entry.txt"; then fail "the uninstall entry is still there"; else ok; fi
check "the uninstall removed the changed dorvex.ini" cmp -s "$dir/dorvex.ini" "$tmp/dorvex.ini.before"
check "the uninstall removed the repository" [ -f "$dir/Хранилище/CVBUH/step.zip" ]

# --- Install again and remove everything: the uninstaller's usual silent form, /KEEPDATA=0 -------
limit=180 run_cmdline "$wsetup /S /D=$wdir"
check "the install after the uninstall did not end with exit code 0" [ $? -eq 0 ]
check "the install after the uninstall did not hand over the default daily 03:00 run" task_definition 03:00
check "the install after the uninstall changed the kept dorvex.ini" cmp -s "$dir/dorvex.ini" "$tmp/dorvex.ini.before"
# A restart (Wine's boot processing stands in for it) must not take anything the new install wrote.
limit=120 wine_run wineboot -r
check "a restart after the uninstall run in place and a new install removed the new uninstaller" \
  [ -f "$dir/uninstall.exe" ]
# "uninstall.exe /S" hands the work to its copy in the temporary folder and returns: wait for it.
limit=60 run_uninstaller "/S /KEEPDATA=0"
check "uninstall.exe /S /KEEPDATA=0 did not start (exit code $?)" [ $? -eq 0 ]
for _ in $(seq 1 120); do
  [ -e "$dir" ] || break
  sleep 0.5
done
check "uninstall.exe /S /KEEPDATA=0 left the program's folder: $(ls -A "$dir" 2>/dev/null | tr '\n' ' ')" [ ! -e "$dir" ]
check "uninstall.exe /S /KEEPDATA=0 left the task registered" [ ! -e "$taskreg" ]
check "uninstall.exe /S /KEEPDATA=0 left the shortcut" [ ! -e "$shortcut" ]
if uninstall_entry "$tmp/entry.txt"; then fail "the uninstall entry is still there after /KEEPDATA=0"; else ok; fi

finish
