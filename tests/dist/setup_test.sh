#!/usr/bin/env bash
# The setup program, as an administrator rolls it out: built and signed by scripts/dist, installed
# silently under Wine into a folder with spaces and Cyrillic letters, installed again over itself,
# and removed silently, in the project's prefix. Where the host runs no 32-bit code the 64-bit
# setup (same script, carrying the 64-bit build) is the one installed; the 32-bit setup is then
# built and its signatures checked. Last, the publisher's setup built from a profile is installed
# with the README's line and runs a signed session over HTTPS against lighttpd. Argument: the
# build folder.
set -u
here="$(cd "$(dirname "$0")/../.." && pwd)"
bin="$(cd "${1:-$here/build}" && pwd)"
cd "$here"
# (within the time-out ctest gives the test: the peers' own bound is 300 s)
if [ -z "${DX_HTTPS_PORT:-}" ]; then exec bash tests/peers/with-peers.sh --peers https --timeout 1450 bash "$0" "$bin"; fi
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
# The publisher's key for the maps goes into the settings with the requirement of signed maps.
# The publisher's key pair: the setup carries its public half, the maps below are signed with it.
openssl genrsa -out "$tmp/publisher.key" 2048 2>/dev/null
openssl rsa -in "$tmp/publisher.key" -pubout -out "$tmp/map.pub" 2>/dev/null
mapkey="$(openssl pkey -pubin -in "$tmp/map.pub" -outform DER | base64 -w0)"
if ! DORVEX_MAP_KEY="$tmp/map.pub" DORVEX_DIST_OUT="$out" bash scripts/dist >"$tmp/dist.log" 2>&1; then
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
# The data folder: settings, state, report and repository of the installed layout.
data="$WINEPREFIX/drive_c/ProgramData/Ворел-Софт/Дорвекс"
wdata='C:\ProgramData\Ворел-Софт\Дорвекс'
# What an earlier interrupted run left in the prefix must not pass for this run's work.
# The README's silent install goes into the prefix's C:\Program Files\Дорвекс.
pdir="$WINEPREFIX/drive_c/Program Files/Дорвекс"
rm -rf "$shortcut" "$taskreg" "$data" "$pdir"
find "$WINEPREFIX/drive_c/users" -name dorvex-setup.log -delete
wine_run reg delete "$ukey" /f >/dev/null
ini_text() { iconv -f CP1251 -t UTF-8 "$1" | tr -d '\r'; }
has_ini_line() { ini_text "$1" | grep -qxF -- "$2"; }
# state_serial N: the data folder's serial floor holds Kadry's map at serial N
state_serial() { ini_text "$data/dorvex.state" | grep -qxE "Kadry(\.[a-z]+)?=$1"; }
crlf() { sed 's/$/\r/' | iconv -f utf-8 -t cp1251; }
# The install folder as the setup left it: every file's digest and every folder.
install_folder() { (cd "$dir" && find . -type f -print0 | sort -z | xargs -0 sha256sum && find . -type d | sort); }

# uninstall_entry FILE: the uninstall entry as UTF-8 text; fails when the key is missing
uninstall_entry() {
  rm -f "$tmp/entry.reg"
  wine_run reg export "$ukey" "$(winpath "$tmp/entry.reg")" /y >/dev/null || return 1
  iconv -f UTF-16 -t UTF-8 "$tmp/entry.reg" | tr -d '\r' >"$1"
}
has_line() { grep -qxF -- "$2" "$1"; }

# task_definition TIME DELAY: the task handed to the Task Scheduler runs dorvex.exe /auto with the
# data folder's settings every day at TIME plus up to DELAY random minutes, as the system account
task_definition() {
  python3 - "$dir/dorvex-task.xml" "$1" "$wdir\\dorvex.exe" "$wdir" "$2" "/auto \"/CONF:$wdata\\dorvex.ini\"" <<'EOF'
import sys, datetime, xml.etree.ElementTree as ET
path, time, command, workdir, delay, arguments = sys.argv[1:]
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
delays = root.findall('t:Triggers/t:CalendarTrigger/t:RandomDelay', ns)
if [d.text for d in delays] != ([] if delay == '0' else ['PT%sM' % delay]):
    sys.exit('random delay %s, not %s minutes' % ([d.text for d in delays], delay))
if one('t:Principals/t:Principal/t:UserId') != 'S-1-5-18' or one('t:Principals/t:Principal/t:RunLevel') != 'HighestAvailable':
    sys.exit('does not run as the system account with its full rights')
if root.findall('t:Principals/t:Principal/t:LogonType', ns) and one('t:Principals/t:Principal/t:LogonType') == 'InteractiveToken':
    sys.exit('runs only while a user is logged on')
if one('t:Settings/t:MultipleInstancesPolicy') != 'IgnoreNew':
    sys.exit('a run may start beside the previous one')
if not one('t:Settings/t:ExecutionTimeLimit').startswith('PT'):
    sys.exit('no execution limit')
if one('t:Actions/t:Exec/t:Command') != command or one('t:Actions/t:Exec/t:Arguments') != arguments:
    sys.exit('runs %r %r' % (one('t:Actions/t:Exec/t:Command'), one('t:Actions/t:Exec/t:Arguments')))
if one('t:Actions/t:Exec/t:WorkingDirectory') != workdir:
    sys.exit('works in %r' % one('t:Actions/t:Exec/t:WorkingDirectory'))
if len(root.findall('t:Actions/*', ns)) != 1:
    sys.exit('more than one action')
EOF
}

# The installing user's proxy goes into the first settings (the system account has none).
# (regedit files: a quote inside "cmd /c" does not reach cmd as typed)
proxy_values() { printf 'REGEDIT4\r\n\r\n[%s]\r\n"ProxyServer"=%s\r\n"ProxyEnable"=%s\r\n' "$ikey" "$1" "$2" >"$tmp/proxy.reg"
  wine_run regedit /S "$(winpath "$tmp/proxy.reg")" >/dev/null; }
ikey='HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
proxy_values '"ftp=10.1.1.1:21;http=127.0.0.1:3128"' 'dword:00000001'
limit=180 run_cmdline "$wsetup /S /SCHEDULE=7:05 /D=$wdir"
rc=$?
proxy_values - -
check "the silent install did not end with exit code 0 (it ended with $rc)" [ $rc -eq 0 ]
check "the installed dorvex.exe is not the signed program the setup carries" cmp -s "$dir/dorvex.exe" "$packed"
check "the installed dorvex.exe's signature does not verify" verify "$dir/dorvex.exe"
check "the uninstaller is missing" [ -f "$dir/uninstall.exe" ]
check "the uninstaller's signature does not verify" verify "$dir/uninstall.exe"
check "the repository folder was not made in the data folder" [ -d "$data/Хранилище" ]
check "settings were written into the install folder" [ ! -e "$dir/dorvex.ini" ]
for line in "UpgradeFilesDir=$wdata\\Хранилище\\" "Use=1" "ProxyServerName=127.0.0.1" "ProxyServerPort=3128" "DisableCache=0"; do
  check "the data folder's settings lack $line" has_ini_line "$data/dorvex.ini" "$line"
done
check "the settings do not hold the publisher's key with the requirement of signed maps" \
  bash -c "tr -d '\r' < '$data/dorvex.ini' | grep -qxF 'MapPublicKey=$mapkey' && tr -d '\r' < '$data/dorvex.ini' | grep -qxF 'RequireSignedMaps=1'"
check "the Start-menu shortcut is missing" [ -f "$shortcut" ]
check "the shortcut does not lead to the installed dorvex.exe" python3 -c '
import sys
sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$shortcut" "$wdir\dorvex.exe"
if uninstall_entry "$tmp/entry.txt"; then
  ok
  for line in '"DisplayName"="Дорвекс"' "\"DisplayVersion\"=\"$version\"" '"Publisher"="Ворел-Софт"' \
    "\"UninstallString\"=\"\\\"${wdir//\\/\\\\}\\\\uninstall.exe\\\"\"" \
    "\"QuietUninstallString\"=\"\\\"${wdir//\\/\\\\}\\\\uninstall.exe\\\" /S\"" \
    "\"InstallLocation\"=\"${wdir//\\/\\\\}\"" '"Schedule"="07:05"' '"RandomDelay"="30"' \
    "\"DataFolder\"=\"${wdata//\\/\\\\}\""; do
    check "the uninstall entry lacks $line" has_line "$tmp/entry.txt" "$line"
  done
  kb=$(( ($(stat -c %s "$dir/dorvex.exe") + $(stat -c %s "$dir/uninstall.exe")) / 1024 ))
  size=$(sed -n 's/^"EstimatedSize"=dword:\([0-9a-f]*\)$/\1/p' "$tmp/entry.txt")
  check "the uninstall entry's size ${size:-none} is not the program's $kb KB" \
    bash -c "[ -n '$size' ] && d=\$((16#$size - $kb)) && [ \${d#-} -le 2 ]"
else
  fail "no uninstall entry after the install"
fi
check "the task handed over is not a daily 07:05 run of dorvex.exe /auto as the system" task_definition 07:05 30
check "no task was registered with the Task Scheduler" [ -f "$taskreg" ]

# --- The installed program's sessions, started as the shortcut and as the task start it ----------
# A directory source with a signed map for a load-only program; the settings the setup wrote (with
# the publisher's key) get the source and the program, as an administrator would add them.
install_folder >"$tmp/install.before"
src="$tmp/source"
publish() { # STEP SERIAL: one more step of Kadry on offer, and the map published with that serial
  mkdir -p "$src/Kadry/$1"
  printf 'kadry %s\n' "$1" >"$src/Kadry/$1/kadry.dat"
  # --force: the test publishes an older serial on purpose, as an attacker's mirror would.
  bash scripts/publish-map --force --key "$tmp/publisher.key" --serial "$2" "$src" Kadry >/dev/null
}
publish 6 100
{
  printf '[Disk]\nRootDir=%s\n[Connection]\nConnectionType=2\nAttemptCount=1\n[Service]\nEnableLogReports=1\n' "$(winpath "$src")"
  printf '[General]\nActiveProgramCount=1\n[Program1]\nProgramID=Kadry\nVirtualUpgrade=1\nVirtualVersion=5\n'
} | crlf >>"$data/dorvex.ini"
# The shortcut's target, arguments and working folder, read from the shell link itself.
python3 - "$shortcut" >"$tmp/shortcut.txt" <<'EOF' || fail "the shortcut cannot be read"
import struct, sys
b = open(sys.argv[1], 'rb').read()
flags = struct.unpack_from('<I', b, 0x14)[0]
pos = 0x4C
if flags & 1:
    pos += 2 + struct.unpack_from('<H', b, pos)[0]
target = ''
if flags & 2:
    size, header = struct.unpack_from('<II', b, pos)
    if header >= 0x24:
        off = pos + struct.unpack_from('<I', b, pos + 0x1C)[0]
        target = b[off:b.index(b'\0\0', off) + 1].decode('utf-16-le').rstrip('\0')
    else:
        off = pos + struct.unpack_from('<I', b, pos + 0x10)[0]
        target = b[off:b.index(b'\0', off)].decode('cp1251')
    pos += size
strings = {}
for bit, name in ((4, 'name'), (8, 'relative'), (0x10, 'workdir'), (0x20, 'arguments')):
    if flags & bit:
        n = struct.unpack_from('<H', b, pos)[0]
        strings[name] = b[pos + 2:pos + 2 + 2 * n].decode('utf-16-le')
        pos += 2 + 2 * n
print(target)
print(strings.get('arguments', ''))
print(strings.get('workdir', ''))
EOF
mapfile -t link <"$tmp/shortcut.txt"
check "the shortcut does not lead to the installed dorvex.exe: ${link[0]:-}" [ "${link[0]:-}" = "$wdir\\dorvex.exe" ]
# The window as the shortcut opens it, with the session started through its automatic-start message.
# (the program by its name in the working folder: a quote inside "cmd /c" does not reach cmd as typed)
limit=300 wine_run cmd /c "cd /d ${link[2]:-$wdir} && start $(winpath "$bin/tools/winshot.exe") DorvexMainForm $(winpath "$tmp/main.bmp") --post 1025 --wait-class Edit --timeout 250 --close && dorvex.exe ${link[1]:-}"
check "the program started as the shortcut starts it did not end with exit code 0" [ $? -eq 0 ]
check "the installed program showed no main window" [ -s "$tmp/main.bmp" ]
check "the session started from the shortcut delivered nothing into the data folder's repository" \
  [ -f "$data/Хранилище/Kadry/6/kadry.dat" ]
check "the session started from the shortcut left no report beside the settings" [ -s "$data/dorvex.txt" ]
check "the session started from the shortcut kept no serial in the data folder" state_serial 100
# The task's action as the Task Scheduler would start it.
mapfile -t action < <(python3 - "$dir/dorvex-task.xml" <<'EOF'
import sys, xml.etree.ElementTree as ET
ns = {'t': 'http://schemas.microsoft.com/windows/2004/02/mit/task'}
root = ET.fromstring(open(sys.argv[1], 'rb').read().decode('utf-16').replace('encoding="UTF-16"', ''))
for p in ('Command', 'Arguments', 'WorkingDirectory'):
    print(root.find('t:Actions/t:Exec/t:' + p, ns).text)
EOF
)
publish 7 200
rm -f "$data/dorvex.txt"
check "the task's action is not the installed dorvex.exe in its folder" [ "${action[0]:-}|${action[2]:-}" = "$wdir\\dorvex.exe|$wdir" ]
# The settings path has no blank: its quotes can go.
limit=300 wine_run cmd /c "cd /d ${action[2]:-} && dorvex.exe ${action[1]//\"/}"
check "the task's action did not end with exit code 0" [ $? -eq 0 ]
check "the task's session delivered nothing into the data folder's repository" [ -f "$data/Хранилище/Kadry/7/kadry.dat" ]
check "the task's session left no report beside the settings" [ -s "$data/dorvex.txt" ]
check "the task's session kept no serial in the data folder" state_serial 200
check "the task's session left no dated report in the repository" \
  bash -c "ls '$data/Хранилище/Reports/'*/*/*.txt >/dev/null 2>&1"
install_folder >"$tmp/install.after"
check "the sessions changed the install folder: $(diff "$tmp/install.before" "$tmp/install.after" | tr '\n' ' ')" \
  cmp -s "$tmp/install.before" "$tmp/install.after"

# --- Installing again keeps the settings and the repository -------------------------------------
printf '[Test]\r\nMarker=changed by the user\r\n' >>"$data/dorvex.ini"
cp "$data/dorvex.ini" "$tmp/dorvex.ini.before"
mkdir -p "$data/Хранилище/CVBUH"
echo kept >"$data/Хранилище/CVBUH/step.zip"
limit=180 run_cmdline "$wsetup /S /SCHEDULE=none /D=$wdir"
check "the silent install over the first one did not end with exit code 0" [ $? -eq 0 ]
check "the install over the first one changed dorvex.ini" cmp -s "$data/dorvex.ini" "$tmp/dorvex.ini.before"
check "the install over the first one touched the repository" [ -f "$data/Хранилище/CVBUH/step.zip" ]
check "/SCHEDULE=none left the earlier task registered" [ ! -e "$taskreg" ]
check "/SCHEDULE=none left a task definition" [ ! -e "$dir/dorvex-task.xml" ]
limit=180 run_cmdline "$wsetup /S /SCHEDULE=22:40 /RANDOMDELAY=0 /D=$wdir"
check "the third silent install did not end with exit code 0" [ $? -eq 0 ]
check "the task handed over is not a daily 22:40 run of dorvex.exe /auto without delay" task_definition 22:40 0
check "the daily task was not registered again" [ -f "$taskreg" ]
check "the third install changed dorvex.ini" cmp -s "$data/dorvex.ini" "$tmp/dorvex.ini.before"

# --- What the setup refuses: exit code 2, nothing installed ----------------------------------------
other="$tmp/Другая папка"
for args in "/SCHEDULE=24:00 /D=$(winpath "$other")" "/SCHEDULE=12:60 /D=$(winpath "$other")" \
  "/SCHEDULE=ab:cd /D=$(winpath "$other")" "/D=relative\\folder" "\"/D=$(winpath "$other")\"" \
  "/RANDOMDELAY=1441 /D=$(winpath "$other")" "/RANDOMDELAY=-5 /D=$(winpath "$other")" "/RANDOMDELAY= /D=$(winpath "$other")" \
  "/D=$(winpath "$other") /SCHEDULE=03:00" "/SERVER= /D=$(winpath "$other")"; do
  limit=60 run_cmdline "$wsetup /S $args"
  rc=$?
  check "setup $args ended with $rc, not 2" [ $rc -eq 2 ]
done
check "a refused setup installed something" [ ! -e "$other" ]
check "a refused setup changed the installed settings" cmp -s "$data/dorvex.ini" "$tmp/dorvex.ini.before"
find "$WINEPREFIX/drive_c/users" -name dorvex-setup.log -exec iconv -f UTF-16 -t UTF-8 {} + >"$tmp/setup.log"
for why in "заключён в кавычки" "Ключ /D= должен быть последним" "/SCHEDULE: «24:00»" "Ключ /SERVER= не называет сервер"; do
  check "the setup's log does not say why it refused: $why" grep -q "Установка не выполнена: .*$why" "$tmp/setup.log"
done

# --- Silent uninstall, run in place so that its exit code is waited for ---------------------------
limit=120 run_uninstaller "/S _?=$wdir"
check "the silent uninstall did not end with exit code 0" [ $? -eq 0 ]
check "the uninstall left dorvex.exe" [ ! -e "$dir/dorvex.exe" ]
check "the uninstall left the task definition" [ ! -e "$dir/dorvex-task.xml" ]
check "the uninstall left the shortcut" [ ! -e "$shortcut" ]
check "the uninstall left the task registered" [ ! -e "$taskreg" ]
if uninstall_entry "$tmp/entry.txt"; then fail "the uninstall entry is still there"; else ok; fi
check "the uninstall removed the changed dorvex.ini" cmp -s "$data/dorvex.ini" "$tmp/dorvex.ini.before"
check "the uninstall removed the repository" [ -f "$data/Хранилище/CVBUH/step.zip" ]
check "the uninstall removed the serial floor" [ -f "$data/dorvex.state" ]

# --- An install over an earlier one that kept its data beside the program ------------------------
# What the uninstall kept, laid out as earlier versions kept it: in the program's folder, the
# settings naming the repository there and the temporary folder of an interrupted session.
mkdir -p "$dir" "$tmp/session/partial"
echo half >"$tmp/session/partial/kadry.dat"
mv "$data/Хранилище" "$dir/Хранилище"
mv "$data/dorvex.state" "$dir/dorvex.state"
ini_text "$data/dorvex.ini" | while IFS= read -r l; do
  case "$l" in
    UpgradeFilesDir=*) printf '%s\n' "UpgradeFilesDir=$wdir\\Хранилище\\" ;;
    "[Session]") printf '[Session]\nTempDir=%s\\\n' "$(winpath "$tmp/session")" ;;
    TempDir=*) ;;
    *) printf '%s\n' "$l" ;;
  esac
done | crlf >"$dir/dorvex.ini"
rm -rf "$data"
has_ini_line "$dir/dorvex.ini" "TempDir=$(winpath "$tmp/session")\\" || fail "the older layout's settings were not made"

# --- Install again and remove everything: the uninstaller's usual silent form, /KEEPDATA=0 -------
limit=180 run_cmdline "$wsetup /S /D=$wdir"
check "the install after the uninstall did not end with exit code 0" [ $? -eq 0 ]
check "the install after the uninstall did not hand over the default daily 03:00 run" task_definition 03:00 30
check "the install over the older layout left data in the install folder: $(ls -A "$dir" | tr '\n' ' ')" \
  bash -c "[ ! -e '$dir/dorvex.ini' ] && [ ! -e '$dir/dorvex.state' ] && [ ! -e '$dir/Хранилище' ]"
check "the install over the older layout did not move the repository" \
  bash -c "[ -f '$data/Хранилище/CVBUH/step.zip' ] && [ -f '$data/Хранилище/Kadry/7/kadry.dat' ]"
for line in "UpgradeFilesDir=$wdata\\Хранилище\\" "TempDir=$(winpath "$tmp/session")\\" "Marker=changed by the user" "ProgramID=Kadry"; do
  check "the moved settings lack $line" has_ini_line "$data/dorvex.ini" "$line"
done
check "the install over the older layout did not move the serial floor" state_serial 200
# The next session finds the accepted serial: a source offering an older map is refused.
publish 8 150
limit=300 wine_run cmd /c "cd /d ${action[2]:-} && dorvex.exe ${action[1]//\"/}"
check "the session after the move took a map older than the one accepted before it" \
  bash -c "iconv -f CP1251 -t UTF-8 '$data/dorvex.txt' | grep -q 'старее уже принятой' && [ ! -e '$data/Хранилище/Kadry/8' ]"
# A served program's installer registers it through the installed program, naming the settings
# where earlier versions kept them: the data folder's settings take it.
limit=60 wine_run "$dir/dorvex.exe" /configure "/inifile:$wdir\\dorvex.ini" /ProgID:Buh '/ProgUpgDir:C:\Buh\Upgrade' '/ProgExeDir:C:\Buh'

check "/configure from a served program's installer wrote beside the installed program" [ ! -e "$dir/dorvex.ini" ]
check "/configure from a served program's installer did not register it in the data folder's settings" \
  has_ini_line "$data/dorvex.ini" 'ExeDir=C:\Buh\'
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
check "uninstall.exe /S /KEEPDATA=0 left the data folder: $(ls -A "$data" 2>/dev/null | tr '\n' ' ')" [ ! -e "$data" ]
check "uninstall.exe /S /KEEPDATA=0 left the publisher's empty folder" [ ! -e "$(dirname "$data")" ]
if uninstall_entry "$tmp/entry.txt"; then fail "the uninstall entry is still there after /KEEPDATA=0"; else ok; fi

# --- The publisher's setup: built from a profile, installed with the README's line ---------------
mkdir -p "$DX_HTTP_ROOT_UNIX/Dorvex/$version"
cp "$packed" "$DX_HTTP_ROOT_UNIX/Dorvex/$version/dorvex.exe"
# A served program (the demo's Корвенд-Бухгалтерия 410 and its upgrader, in a folder with a blank)
# and its step 411 on the publisher's server.
prog="$tmp/Корвенд Бух"
mkdir -p "$prog" "$DX_HTTP_ROOT_UNIX/Buh/411"
cp "$bin/demo-bin/demo_corvend_410.exe" "$prog/CvBuh.exe"
cp "$bin/demo-bin/demo_upgrade.exe" "$prog/CvUpgrade.exe"
cp "$bin/demo-bin/demo_corvend_411.exe" "$DX_HTTP_ROOT_UNIX/Buh/411/CvBuh.exe"
for id in Dorvex Buh; do
  bash scripts/publish-map --key "$tmp/publisher.key" --serial 7 "$DX_HTTP_ROOT_UNIX" $id >/dev/null
done
# Profiles that scripts/dist refuses, saying why, before it builds anything.
for bad in 'Protocol=gopher' 'Colour=blue' 'Protocol=http\nPort=0' 'Server=localhost' 'MapKey=missing.pem' \
  'Protocol=http\nRoot=/обновления代' 'ProxyUse=yes' 'Protocol=http\n[Other]\nServer=x'; do
  printf '[Profile]\n%b\n' "$bad" >"$tmp/bad.ini"
  DORVEX_DIST_OUT="$tmp/bad" bash scripts/dist --profile "$tmp/bad.ini" >"$tmp/bad.log" 2>&1
  check "scripts/dist took the profile $bad (exit code $?)" bash -c "[ $? -ne 0 ] && grep -q '^dist: ' '$tmp/bad.log' && [ ! -e '$tmp/bad/dorvex-setup.exe' ]"
done
ca="$DX_PEERS_DIR/certs/ca.crt"
# A value with a quote, a dollar and a backquote must reach the settings as written.
odd='proxy"$INSTDIR`.example'
printf '[Profile]\nMapKey=map.pub\nTrustedCertificates=%s\nProtocol=https\nServer=localhost\nPort=%s\nRoot=/\nProxyUse=0\nProxyServer=%s\nDisableCache=1\n' \
  "$ca" "$DX_HTTPS_PORT" "$odd" >"$tmp/publisher.ini"
if ! DORVEX_DIST_OUT="$tmp/pdist" bash scripts/dist --profile "$tmp/publisher.ini" >"$tmp/pdist.log" 2>&1; then
  cat "$tmp/pdist.log"
  fail "scripts/dist did not build the publisher's setup"
  finish
fi
psetup="$(basename "$setup")"
# The README's line as written (in a batch file, read in the console's code page), the setup's
# name aside on hosts that install the 64-bit one.
line="$(grep -m1 '^start "" /wait dorvex-setup.exe /S ' README.md)"
check "the README gives no silent-install line" [ -n "$line" ]
printf 'cd /d %s\r\n%s\r\nexit /b %%ERRORLEVEL%%\r\n' "$(winpath "$tmp/pdist")" "${line/dorvex-setup.exe/$psetup}" |
  iconv -f UTF-8 -t CP866 >"$tmp/readme.cmd"
limit=180 wine_run cmd /c "$(winpath "$tmp/readme.cmd")" >/dev/null
check "the README's silent install did not end with exit code 0" [ $? -eq 0 ]
check "the README's silent install did not install into C:\Program Files\Дорвекс" [ -f "$pdir/dorvex.exe" ]
trust="$(grep -v '^$' "$ca" | sed ':a;N;$!ba;s/\n/\\n/g')"
for line in "ConnectionType=1" "Server=https://localhost" "Port=$DX_HTTPS_PORT" "RootDir=/" "MapPublicKey=$mapkey" \
  "RequireSignedMaps=1" "TrustedCertificates=$trust" "Use=0" "ProxyServerName=$odd" "DisableCache=1" \
  "UpgradeFilesDir=$wdata\\Хранилище\\"; do
  check "the publisher's settings lack ${line:0:60}" has_ini_line "$data/dorvex.ini" "$line"
done
# Nothing typed by hand: the served program's installer registers it, and the installed agent
# fetches and verifies the publisher's signed maps over HTTPS and runs the upgrade.
limit=60 wine_run "$pdir/dorvex.exe" /configure "/inifile:C:\Program Files\Дорвекс\dorvex.ini" /ProgID:Buh \
  "/ProgUpgDir:$(winpath "$prog")" "/ProgExeDir:$(winpath "$prog")"
check "/configure did not register the served program" has_ini_line "$data/dorvex.ini" "ExeDir=$(winpath "$prog")\\"
limit=300 wine_run cmd /c "cd /d C:\Program Files\Дорвекс && dorvex.exe /auto"
check "the installed publisher's agent did not end its session with 0 (it ended with $?)" [ $? -eq 0 ]
ini_text "$data/dorvex.txt" >"$tmp/report.txt"
for said in "Соединение с сервером защищено (HTTPS)" "Работает последняя опубликованная версия Дорвекса ($version)" \
  "[карта обновлений подписана, подпись проверена]"; do
  check "the HTTPS session's report does not say: $said" grep -qF "$said" "$tmp/report.txt"
done
check "the session over HTTPS did not upgrade the served program to 411" \
  cmp -s "$prog/CvBuh.exe" "$bin/demo-bin/demo_corvend_411.exe"
[ $failed -eq 0 ] || cat "$tmp/report.txt"
# The administrator changes the port and drops a line; an install over it with /SERVER= keeps the
# change, adds back what is missing and takes the server.
ini_text "$data/dorvex.ini" | sed "s/^Port=$DX_HTTPS_PORT\$/Port=8443/; /^DisableCache=/d" | crlf >"$tmp/admin.ini"
cp "$tmp/admin.ini" "$data/dorvex.ini"
limit=180 run_cmdline "$(winpath "$tmp/pdist/$psetup") /S /SERVER=https://mirror.example /D=C:\Program Files\Дорвекс"
check "the install over the publisher's setup with /SERVER= did not end with 0" [ $? -eq 0 ]
for line in "Port=8443" "Server=https://mirror.example" "DisableCache=1" "MapPublicKey=$mapkey" "RequireSignedMaps=1"; do
  check "the install over the administrator's settings left no ${line:0:60}" has_ini_line "$data/dorvex.ini" "$line"
done
check "the install over the administrator's settings brought back the profile's port" bash -c "! grep -q '^Port=$DX_HTTPS_PORT' '$data/dorvex.ini'"
limit=120 wine_run cmd /c "cd /d C:\Program Files\Дорвекс && uninstall.exe /S /KEEPDATA=0 _?=C:\Program Files\Дорвекс"
check "the publisher's setup did not uninstall" [ ! -e "$pdir/dorvex.exe" ]
rm -rf "$pdir"

finish
