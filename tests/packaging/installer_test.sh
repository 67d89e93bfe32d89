#!/usr/bin/env bash
# The Windows installer as CPack makes it from BUILD_DIR, signed with a throwaway certificate,
# in a fresh Wine prefix: a bad flag that stops it before anything is written; a silent install
# with every flag, the registry it writes and the permissions it sets (read back through the
# API), the program it starts answering the version query on COM5 (a pty), the signatures of
# everything it installed; an upgrade while the program shows its start-up box; an uninstall
# that is waited on and leaves the settings; an install into another folder (/D=) removed with
# everything (/PURGE).
#   installer_test.sh BUILD_DIR SIM_DIR        (exit 77 = skipped)
set -uo pipefail
trap "" PIPE
export LC_ALL=C.UTF-8  # Korean arguments reach Wine programs as UTF-8

build=$(readlink -f "$1")
sim=${BRISCA_SIM_DIR:-$2}
here=$(cd "$(dirname "$0")" && pwd)
winerun="$here/../../cmake/wine-run"
termsim="$sim/brisca-termsim"
version=$(sed -n 's/^#define BRISCA_VERSION_TEXT "\(.*\)"/\1/p' "$build/generated/brisca_version.h")
settings='HKEY_LOCAL_MACHINE\Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca'
uninst='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brisca'
run='Software\Microsoft\Windows\CurrentVersion\Run'

for tool in cpack makensis osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (./dev installs it)"; exit 77; }
done
[ -x "$termsim" ] || { echo "SKIP: the terminal simulator is not built in $sim (build the linux preset)"; exit 77; }
export DISPLAY=${DISPLAY:-${BRISCA_DISPLAY:-}}
[ -n "$DISPLAY" ] || { echo "FAIL: no display: start Xvfb and set BRISCA_DISPLAY"; exit 1; }

tmp=$(mktemp -d /tmp/brisca-setup.XXXXXX)
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all
pids=()
failures=0
cleanup() {
  exec 3>&- 2>/dev/null
  wineserver -k >/dev/null 2>&1
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  if [ -n "${BRISCA_E2E_KEEP:-}" ]; then echo "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}
wait_line() {  # wait_line PATTERN SECONDS FILE...: a line matching PATTERN appears in one of the files
  local pattern=$1 seconds=$2; shift 2
  timeout "$seconds" bash -c 'p=$1; shift; grep -E -a -q -m1 -- "$p" < <(exec tail -q -n +1 -F --pid=$$ "$@" 2>/dev/null)' _ "$pattern" "$@"
}
reg_value() {  # reg_value KEY NAME: the data of one value (strings as text, numbers in decimal), or nothing
  rm -f "$tmp/q.reg"
  "$winerun" regedit /E "$(winepath -w "$tmp/q.reg")" "$1" >/dev/null 2>&1
  [ -s "$tmp/q.reg" ] && python3 "$here/reg_value.py" "$tmp/q.reg" "$2"
}
# Wine shows a program's process by its Windows path.
programs() { pgrep -f -- "^\"?${1:-C:.Program Files.Brisca.brisca\.exe}"; }
program_running() { programs "$@" >/dev/null; }
not() { ! "$@"; }
verify() { osslsigncode verify -CAfile "$tmp/cert.pem" -in "$1" >"$tmp/verify.log" 2>&1; }

# --- a signed installer -------------------------------------------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Brisca test signer" \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -passout pass:throwaway \
  -out "$tmp/cert.p12" >/dev/null 2>&1
BRISCA_SIGN_PKCS12="$tmp/cert.p12" BRISCA_SIGN_PASSWORD=throwaway \
  cpack -G NSIS64 -B "$tmp/pkg" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; echo "FAIL - cpack"; exit 1; }
setup=$(ls "$tmp"/pkg/brisca-*-setup.exe)
echo "installer: $(basename "$setup")"
check "the installer is signed" verify "$setup"

# --- a bad flag: the setup stops before it writes anything -----------------------------------
"$winerun" cmd /c exit >/dev/null 2>&1
wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/Brisca"
"$winerun" "$setup" /S /PORT=COM5 /RATE=12345 >"$tmp/setup.out" 2>&1
check "a bad flag ends the setup with exit code 3" test $? -eq 3
check "a bad flag: no program folder" test ! -e "$dir"
check "a bad flag: no settings" test -z "$(reg_value "$settings" 'COM Port')"
check "a bad flag: no apps-list entry" test -z "$(reg_value "$uninst" DisplayName)"
setup_log=$(find "$WINEPREFIX/drive_c/users" -name brisca-setup.log | head -n 1)
check "a bad flag: the setup log names it" \
  bash -c 'iconv -f utf-16le -t utf-8 "$1" | grep -q "/RATE=12345"' _ "${setup_log:-/nonexistent}"
# Values the program would refuse or misread: a prefix over 32, leading zeros (octal to some).
for flag in /ALLOWED=10.0.0.0/33 /ALLOWED=010.1.2.3 '/ALLOWED=10.1.2.3,' /LOGDAYS=010; do
  "$winerun" "$setup" /S "$flag" >>"$tmp/setup.out" 2>&1
  check "$flag ends the setup with exit code 3, nothing installed" \
    bash -c '[ "$1" -eq 3 ] && [ ! -e "$2" ]' _ $? "$dir"
done

# --- silent install with every flag; COM5 is the terminal simulator's pty -----------------
mkfifo "$tmp/go"
"$termsim" --pty-link "$tmp/ttyCAT" --wait-go --hold --timeout 15000 \
  version "expect=VG01:Tevnmark:$version::38400::E" <"$tmp/go" >"$tmp/term.out" 2>&1 &
pids+=($!)
exec 3>"$tmp/go"
wait_line '^termsim: ready' 10 "$tmp/term.out" || { echo "FAIL - terminal simulator"; exit 1; }
ln -sfn "$(readlink -f "$tmp/ttyCAT")" "$WINEPREFIX/dosdevices/com5"
logs="$WINEPREFIX/drive_c/Brisca Logs"
day=$(date +%Y%m%d)
# As a roll-out script does it, in a batch file: values with blanks quoted both ways.
printf '@start "" /wait %s /S /PORT=COM5 /RATE=38400 /LOG=1 /ALLOWED="127.0.0.0/8, 10.1.2.3" /LOGDAYS=90 /LOGLIMIT=64 "/LOGFOLDER=C:\\Brisca Logs"\r\n@exit %%ERRORLEVEL%%\r\n' \
  "$(winepath -w "$setup")" >"$WINEPREFIX/drive_c/install.cmd"
"$winerun" cmd /c 'C:\install.cmd' >"$tmp/setup.out" 2>&1
check "the installer ends with success" test $? -eq 0
check "brisca.exe installed in Program Files\\Brisca" test -f "$dir/brisca.exe"
check "installed brisca.exe is signed" verify "$dir/brisca.exe"
check "the uninstaller is signed" verify "$dir/Uninstall.exe"
check "Start-menu entry" test -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Brisca.lnk"
check "log folders made" test -d "$WINEPREFIX/drive_c/ProgramData/Brisca/gate_log" -a -d "$logs"

check "COM Port from /PORT"   test "$(reg_value "$settings" 'COM Port')" = COM5
check "COM Rate from /RATE"   test "$(reg_value "$settings" 'COM Rate')" = 38400
check "Log Flag from /LOG"    test "$(reg_value "$settings" 'Log Flag')" = 1
check "Allowed Servers from /ALLOWED" test "$(reg_value "$settings" 'Allowed Servers')" = '127.0.0.0/8, 10.1.2.3'
check "Log Days from /LOGDAYS"   test "$(reg_value "$settings" 'Log Days')" = 90
check "Log Limit from /LOGLIMIT" test "$(reg_value "$settings" 'Log Limit')" = 64
check "Log Folder from /LOGFOLDER" test "$(reg_value "$settings" 'Log Folder')" = 'C:\Brisca Logs'
runvalue=$(reg_value "HKEY_LOCAL_MACHINE\\$run" Brisca)
check "machine-wide Run value is the quoted program path" \
  test "$runvalue" = '"C:\Program Files\Brisca\brisca.exe"'
check "apps list: name"      test "$(reg_value "$uninst" DisplayName)" = Brisca
check "apps list: version"   test "$(reg_value "$uninst" DisplayVersion)" = "$(sed -n 's/^#define BRISCA_VERSION_DOTS "\(.*\)"/\1/p' "$build/generated/brisca_version.h")"
check "apps list: publisher" test "$(reg_value "$uninst" Publisher)" = '(주)Tevo네트웍스'
check "apps list: quiet uninstall" \
  test "$(reg_value "$uninst" QuietUninstallString)" = '"C:\Program Files\Brisca\Uninstall.exe" /S'
check "apps list: size" bash -c '[ $(( $1 )) -gt 0 ]' _ "$(reg_value "$uninst" EstimatedSize)"
check "Event Log source registered" \
  test "$(reg_value 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\Brisca' EventMessageFile)" = \
       'C:\Program Files\Brisca\brisca.exe'

# The access lists as the API reads them back. Wine keeps of a list only what the POSIX mode
# bits can hold (owner, SYSTEM, everyone else as WD); the lists are printed for the record.
dacl=$build/tests/packaging/brisca_dacl_text.exe
"$winerun" "$dacl" 'C:\Program Files\Brisca' 'C:\Program Files\Brisca\brisca.exe' 'C:\Brisca Logs' \
  'C:\ProgramData\Brisca\gate_log' >"$tmp/dacl.out" 2>&1
cat "$tmp/dacl.out"
check "the access lists are read back" test "$(grep -c '^D:' "$tmp/dacl.out")" -eq 4

# --- the program the installer started, in the user's session ----------------------------
check "after a fresh install the installer starts the program" wait_line 'COM5 Open' 60 "$logs/brisca$day.log"
echo >&3
check "the program answers the version query on COM5" \
  wait_line '^termsim: .*expectations met' 30 "$tmp/term.out"
check "every terminal expectation met" grep -Eq '^termsim: ([0-9]+) of \1 expectations met' "$tmp/term.out"
first=$(programs)
kill $first 2>/dev/null
for p in $first; do timeout 15 tail --pid="$p" -f /dev/null; done

# --- upgrade in place while the program shows "포트를 열 수 없습니다!" ---------------------
# The program as the Run value starts it (working folder system32), with COM5 gone.
"$winerun" reg add "${settings/HKEY_LOCAL_MACHINE/HKLM}" /v "COM Rate" /d 9600 /f >/dev/null 2>&1
ln -sfn /nonexistent "$WINEPREFIX/dosdevices/com5"
helper=$build/tests/wine/brisca_shot_helper.exe
program=${runvalue#\"}
program=${program%\"}
sys32="$WINEPREFIX/drive_c/windows/system32"
(cd "$sys32" && exec "$winerun" "$program") >"$tmp/brisca.out" 2>&1 &
pids+=($!)
check "the program started without its port shows its box" "$winerun" "$helper" box-up 'COM5 포트를 열 수 없습니다!' 
old=$(programs)
"$winerun" "$setup" /S >"$tmp/upgrade.out" 2>&1
check "the upgrade ends with success" test $? -eq 0
check "the upgrade ended the program that showed its box" \
  bash -c 'for p in $1; do timeout 15 tail --pid="$p" -f /dev/null || exit 1; done; [ -n "$1" ]' _ "$old"
ended=$(printf '설치 프로그램의 요청으로 종료합니다' | iconv -f utf-8 -t cp949)
check "the program logged that it was ended for the upgrade" grep -aq "$ended" "$logs/brisca$day.log"
check "one program runs after the upgrade" test "$(programs | wc -l)" -eq 1
check "upgrade keeps the port"  test "$(reg_value "$settings" 'COM Port')" = COM5
check "upgrade keeps a changed speed" test "$(reg_value "$settings" 'COM Rate')" = 9600

# --- uninstall, waited on: a copy run with _?= --------------------------------------------
"$winerun" reg add "HKCU\\$run" /v Brisca /d "C:\\Program Files\\Brisca\\brisca.exe" /f >/dev/null 2>&1
# As a roll-out script does it, in a batch file: _?= last and unquoted.
cp "$dir/Uninstall.exe" "$WINEPREFIX/drive_c/brisca-uninstall.exe"
printf '@start "" /wait C:\\brisca-uninstall.exe /S _?=C:\\Program Files\\Brisca\r\n@exit %%ERRORLEVEL%%\r\n' \
  >"$WINEPREFIX/drive_c/uninstall.cmd"
cat "$WINEPREFIX/drive_c/uninstall.cmd"
"$winerun" cmd /c 'C:\uninstall.cmd' >"$tmp/uninstall.out" 2>&1
check "the uninstall ends with success" test $? -eq 0
# Checked at once: the uninstall has done its work when it returns.
check "no program left running" not program_running
check "program files removed" test ! -e "$dir/brisca.exe" -a ! -e "$dir/Uninstall.exe"
check "Start-menu entry removed" test ! -e "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Brisca.lnk"
check "machine-wide Run value removed" test -z "$(reg_value "HKEY_LOCAL_MACHINE\\$run" Brisca)"
check "the user's Run value removed" test -z "$(reg_value "HKEY_CURRENT_USER\\$run" Brisca)"
check "apps-list entry removed" test -z "$(reg_value "$uninst" DisplayName)"
check "settings kept" test "$(reg_value "$settings" 'COM Port')" = COM5
check "log folder kept" test -d "$logs"
"$winerun" "$WINEPREFIX/drive_c/brisca-uninstall.exe" /S '_?=C:\NoSuchFolder' >>"$tmp/uninstall.out" 2>&1
check "an uninstall in a folder without an installation fails" test $? -ne 0

# --- a program that does not end: the setup fails and installs nothing --------------------
"$winerun" "$helper" hang 60 >"$tmp/hang.out" 2>&1 &
hang=$!
pids+=($hang)
wait_line '^hanging' 20 "$tmp/hang.out"
"$winerun" "$setup" /S >>"$tmp/setup.out" 2>&1
check "a program that does not end fails the setup with exit code 4" test $? -eq 4
check "... and nothing is installed" test ! -e "$dir/brisca.exe" -a -z "$(reg_value "$uninst" DisplayName)"
check "... and the setup log says so" \
  bash -c 'iconv -f utf-16le -t utf-8 "$1" | grep -q "did not end"' _ "${setup_log:-/nonexistent}"
kill "$hang" 2>/dev/null
timeout 15 tail --pid="$hang" -f /dev/null

# --- another folder (/D=), then the quiet uninstall string with /PURGE ---------------------
# A fresh install again: the program starts and, COM5 being gone, shows its box.
# The folder exists already and any user may change it, as a folder outside Program Files often
# is: the installer replaces what it inherits.
mkdir -p "$WINEPREFIX/drive_c/Apps/Brisca"
chmod 0777 "$WINEPREFIX/drive_c/Apps/Brisca"
"$winerun" "$dacl" 'C:\Apps\Brisca' >"$tmp/dacl-before.out" 2>&1
"$winerun" "$setup" /S '/D=C:\Apps\Brisca' >>"$tmp/setup.out" 2>&1
check "the install into another folder ends with success" test $? -eq 0
"$winerun" "$dacl" 'C:\Apps\Brisca' 'C:\Apps\Brisca\brisca.exe' >"$tmp/dacl-after.out" 2>&1
cat "$tmp/dacl-before.out" "$tmp/dacl-after.out"
# WD: everyone; 0x1301ff modify, 0x1200a9 read and execute.
check "before: any user may change the folder" grep -q '0x1301ff;;;WD)' "$tmp/dacl-before.out"
check "after: users may read and run, not change, the folder and the program" \
  bash -c '[ "$(grep -c "^D:" "$1")" -eq 2 ] && ! grep -q "0x1301ff;;;WD)\|FA;;;WD)" "$1"' _ "$tmp/dacl-after.out"
check "/D= chooses the folder" test -f "$WINEPREFIX/drive_c/Apps/Brisca/brisca.exe"
check "the Run value follows the folder" \
  test "$(reg_value "HKEY_LOCAL_MACHINE\\$run" Brisca)" = '"C:\Apps\Brisca\brisca.exe"'
check "the program in the other folder runs and shows its box" "$winerun" "$helper" box-up 'COM5 포트를 열 수 없습니다!' 
"$winerun" 'C:\Apps\Brisca\Uninstall.exe' /S /PURGE >>"$tmp/uninstall.out" 2>&1
# Uninstall.exe returns at once and runs a copy from the temporary folder: wait for every program.
check "the purging uninstall ends" timeout 60 wineserver -w
check "no program left running" not program_running 'C:.Apps.Brisca.brisca\.exe'
check "/PURGE removes the settings" test -z "$(reg_value "$settings" 'COM Port')"
check "/PURGE removes the log folder" test ! -e "$WINEPREFIX/drive_c/ProgramData/Brisca"
check "the folder is gone" test ! -e "$WINEPREFIX/drive_c/Apps/Brisca"

if [ "$failures" -ne 0 ]; then
  for f in setup term brisca upgrade uninstall; do echo "--- $f"; cat "$tmp/$f.out"; done
  cat "$tmp/verify.log"
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
