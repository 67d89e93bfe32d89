#!/usr/bin/env bash
# The Windows installer as CPack makes it from BUILD_DIR, signed with a throwaway certificate,
# in a fresh Wine prefix: a silent install with the shop's port, the registry it writes, the
# installed program started as the Run value says answering the version query on COM5 (a pty),
# the signatures of everything it installed, an upgrade, a silent uninstall that leaves the
# settings, and an install into another folder (/D=) removed with everything (/PURGE).
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
program_running() { pgrep -f 'Program Files.Brisca.brisca\.exe' >/dev/null; }
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

# --- silent install into a fresh prefix ---------------------------------------------------
"$winerun" cmd /c exit >/dev/null 2>&1
wineserver -w
"$winerun" "$setup" /S /PORT=COM5 /RATE=38400 /LOG=1 >"$tmp/setup.out" 2>&1
check "the installer ends with success" test $? -eq 0
wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/Brisca"
check "brisca.exe installed in Program Files\\Brisca" test -f "$dir/brisca.exe"
check "installed brisca.exe is signed" verify "$dir/brisca.exe"
check "the uninstaller is signed" verify "$dir/Uninstall.exe"
check "Start-menu entry" test -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Brisca.lnk"
check "log folder made" test -d "$WINEPREFIX/drive_c/ProgramData/Brisca/gate_log"

check "COM Port from /PORT"   test "$(reg_value "$settings" 'COM Port')" = COM5
check "COM Rate from /RATE"   test "$(reg_value "$settings" 'COM Rate')" = 38400
check "Log Flag from /LOG"    test "$(reg_value "$settings" 'Log Flag')" = 1
check "Log Folder names the shared folder" \
  test "$(reg_value "$settings" 'Log Folder')" = 'C:\ProgramData\Brisca\gate_log'
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

# --- the program as the Run value starts it: working folder system32, COM5 a pty --------------
mkfifo "$tmp/go"
"$termsim" --pty-link "$tmp/ttyCAT" --wait-go --hold --timeout 15000 \
  version "expect=VG01:Tevnmark:$version::38400::E" <"$tmp/go" >"$tmp/term.out" 2>&1 &
pids+=($!)
exec 3>"$tmp/go"
wait_line '^termsim: ready' 10 "$tmp/term.out" || { echo "FAIL - terminal simulator"; exit 1; }
ln -sfn "$(readlink -f "$tmp/ttyCAT")" "$WINEPREFIX/dosdevices/com5"
program=${runvalue#\"}
program=${program%\"}
sys32="$WINEPREFIX/drive_c/windows/system32"
(cd "$sys32" && exec "$winerun" "$program") >"$tmp/brisca.out" 2>&1 &
running=$!
pids+=($running)
day=$(date +%Y%m%d)
check "the installed program opened COM5" wait_line 'COM5 Open' 60 \
  "$WINEPREFIX/drive_c/ProgramData/Brisca/gate_log/brisca$day.log" "$sys32/gate_log/brisca$day.log"
echo >&3
check "the installed program answers the version query on COM5" \
  wait_line '^termsim: .*expectations met' 30 "$tmp/term.out"
check "every terminal expectation met" grep -Eq '^termsim: ([0-9]+) of \1 expectations met' "$tmp/term.out"

# --- upgrade in place: settings changed since the first install stay ---------------------
"$winerun" reg add "${settings/HKEY_LOCAL_MACHINE/HKLM}" /v "COM Rate" /d 9600 /f >/dev/null 2>&1
if python3 -c 'import sys; sys.exit("Brisca.Exit".encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$dir/brisca.exe"; then
  # The installer ends the running program through its window and starts the new one.
  "$winerun" "$setup" /S >"$tmp/upgrade.out" 2>&1
  upgraded=$?
  check "the upgrade closed the running program" timeout 15 tail --pid="$running" -f /dev/null
  check "the upgrade started the program again" program_running
else
  echo "NOTE: this brisca.exe has no Brisca.Exit handler; the test ends it before upgrading"
  kill "$running" 2>/dev/null
  timeout 15 tail --pid="$running" -f /dev/null
  wineserver -w
  "$winerun" "$setup" /S >"$tmp/upgrade.out" 2>&1
  upgraded=$?
fi
check "the upgrade ends with success" test "$upgraded" -eq 0
check "upgrade keeps the port"  test "$(reg_value "$settings" 'COM Port')" = COM5
check "upgrade keeps a changed speed" test "$(reg_value "$settings" 'COM Rate')" = 9600

# --- silent uninstall ---------------------------------------------------------------------
"$winerun" reg add "HKCU\\$run" /v Brisca /d "C:\\Program Files\\Brisca\\brisca.exe" /f >/dev/null 2>&1
quiet=$(reg_value "$uninst" QuietUninstallString)
uninstaller=${quiet#\"}
uninstaller=${uninstaller%%\"*}
"$winerun" "$uninstaller" ${quiet##*\" } >"$tmp/uninstall.out" 2>&1
# The uninstaller runs from a copy in the temporary folder: wait for every program to end.
check "uninstall ends (the running program is closed)" timeout 60 wineserver -w
check "no program left running" not program_running
check "program files removed" test ! -e "$dir/brisca.exe" -a ! -e "$dir/Uninstall.exe"
check "Start-menu entry removed" test ! -e "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Brisca.lnk"
check "machine-wide Run value removed" test -z "$(reg_value "HKEY_LOCAL_MACHINE\\$run" Brisca)"
check "the user's Run value removed" test -z "$(reg_value "HKEY_CURRENT_USER\\$run" Brisca)"
check "apps-list entry removed" test -z "$(reg_value "$uninst" DisplayName)"
check "settings kept" test "$(reg_value "$settings" 'COM Port')" = COM5
check "log folder kept" test -d "$WINEPREFIX/drive_c/ProgramData/Brisca/gate_log"

# --- another folder (/D=), then an uninstall that takes settings and logs too (/PURGE) -------
"$winerun" "$setup" /S '/D=C:\Apps\Brisca' >>"$tmp/setup.out" 2>&1
wineserver -w
check "/D= chooses the folder" test -f "$WINEPREFIX/drive_c/Apps/Brisca/brisca.exe"
check "the Run value follows the folder" \
  test "$(reg_value "HKEY_LOCAL_MACHINE\\$run" Brisca)" = '"C:\Apps\Brisca\brisca.exe"'
"$winerun" 'C:\Apps\Brisca\Uninstall.exe' /S /PURGE >>"$tmp/uninstall.out" 2>&1
check "the purging uninstall ends" timeout 60 wineserver -w
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
