#!/usr/bin/env bash
# brisca.exe end to end under Wine: the settings seeded in the registry name COM5, which is a
# pty made by the terminal simulator; the terminal asks for the version, runs a plain exchange
# and a secure one against the server simulators on loopback; the log file, the autostart value
# and the refusal of a second instance are checked. The program runs from a folder with a space
# in its name, started with the system folder as working directory (as from the Run key), and
# must end with exit code 0.
#   program_e2e.sh BRISCA_EXE BUILD_DIR SIM_DIR HELPER_EXE
# Needs a display (BRISCA_DISPLAY or DISPLAY) and the Linux simulators (exit 77 = skipped).
set -uo pipefail
trap "" PIPE  # a terminal simulator that has ended must not end this script
export LC_ALL=C.UTF-8  # Korean arguments reach Wine programs as UTF-8

exe=$(readlink -f "$1")
build=$(readlink -f "$2")
sim=${BRISCA_SIM_DIR:-$3}
helper=$(readlink -f "$4")
here=$(cd "$(dirname "$0")" && pwd)
winerun="$here/../../cmake/wine-run"
termsim="$sim/brisca-termsim"
servsim="$sim/brisca-servsim"
version="1, 0, 0, 5"

if [ ! -x "$termsim" ] || [ ! -x "$servsim" ]; then
  echo "SKIP: the terminal and server simulators are not built in $sim (build the linux preset)"
  exit 77
fi
export DISPLAY=${DISPLAY:-${BRISCA_DISPLAY:-}}
if [ -z "$DISPLAY" ]; then
  echo "FAIL: no display: start Xvfb and set BRISCA_DISPLAY"
  exit 1
fi

# A prefix of its own: the running program must not meet the unit tests' windows or mutex.
export WINEPREFIX="$build/wineprefix-e2e"
export WINEDEBUG=-all
tmp=$(mktemp -d /tmp/brisca-wine-e2e.XXXXXX)
work="$tmp/work"
prog="$tmp/Brisca Gate"  # the program's own folder, as an installer or a copy makes it
mkdir -p "$work" "$prog"
cp "$exe" "$prog/brisca.exe"
exe="$prog/brisca.exe"
# A planted DLL beside the program must not be loaded: the secure exchange below needs the real
# bcrypt.dll. (Not version.dll: Wine's own user32 imports it and Wine looks for it beside the
# program, so under Wine a planted version.dll stops every window program, this one or not.)
head -c 4096 /dev/urandom > "$prog/bcrypt.dll"
pids=()
failures=0

cleanup() {
  exec 3>&- 2>/dev/null
  wineserver -k >/dev/null 2>&1
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/com5"
  if [ -n "${BRISCA_E2E_KEEP:-}" ]; then echo "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}

# Waits until FILE has COUNT lines matching the extended regex PATTERN (tail -F wakes on new data
# and follows a file that does not exist yet); tail ends with the waiting shell.
wait_line() {  # wait_line FILE PATTERN SECONDS [COUNT]
  timeout "$3" bash -c 'c=$(grep -E -m "$3" -c -- "$2" < <(exec tail -n +1 -F --pid=$$ "$1" 2>/dev/null)); [ "$c" -ge "$3" ]' \
    _ "$1" "$2" "${4:-1}"
}

log_utf8() { iconv -f CP949 -t UTF-8 "$prog"/gate_log/brisca*.log 2>/dev/null; }
log_has() { log_utf8 | grep -E -q -- "$1"; }
log_count() { log_utf8 | grep -E -c -- "$1"; }

# --- the prefix, a clean registry state and the settings -------------------------------------
"$winerun" cmd /c exit >/dev/null 2>&1   # makes the prefix on first use
wineserver -w
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
  '[-HKEY_LOCAL_MACHINE\Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca]' \
  '[-HKEY_CURRENT_USER\Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca]' \
  '[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run]' '"Brisca"=-' '' \
  '[HKEY_LOCAL_MACHINE\Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca]' \
  '"COM Port"="COM5"' '"COM Rate"="38400"' '"Log Flag"="1"' '' > "$tmp/seed.utf8"
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$tmp/seed.utf8"; } > "$tmp/seed.reg"
"$winerun" regedit /S "$(winepath -w "$tmp/seed.reg")" >/dev/null 2>&1
wineserver -w

# --- the servers and the terminal -------------------------------------------------------------
"$servsim" --listen 127.0.0.1:0 > "$tmp/plain.out" 2>&1 & pids+=($!)
answer='\x020210APPROVED 12345678\x03zz'
"$servsim" --listen 127.0.0.1:0 --secure --answer "$answer" > "$tmp/secure.out" 2>&1 & pids+=($!)
wait_line "$tmp/plain.out" '^servsim: listening ' 10 || { echo "FAIL: plain server"; exit 1; }
wait_line "$tmp/secure.out" '^servsim: listening ' 10 || { echo "FAIL: secure server"; exit 1; }
pport=$(grep -m1 '^servsim: listening' "$tmp/plain.out" | awk '{print $3}' | sed 's/.*://')
sport=$(grep -m1 '^servsim: listening' "$tmp/secure.out" | awk '{print $3}' | sed 's/.*://')

mkfifo "$tmp/go"
"$termsim" --pty-link "$tmp/ttyCAT" --wait-go --hold --timeout 15000 \
  version "expect=VG01:Tevnmark:$version::38400::E" \
  "connect=P,127.0.0.1,$pport" 'request=0200AMOUNT=1004\x1cEND' expect-echo ack dle \
  "connect=S,127.0.0.1,$sport" 'request=0200TRACK2DATA=9410123412341234\x1c1004\x1cEND' \
  "expect=$answer" ack expect-silence=300 \
  go version "expect=VG01:Tevnmark:$version::38400::E" \
  "connect=S,127.0.0.1,$sport" expect-silence=300 \
  < "$tmp/go" > "$tmp/term.out" 2>&1 & pids+=($!)
exec 3>"$tmp/go"
wait_line "$tmp/term.out" '^termsim: ready' 10 || { echo "FAIL: terminal simulator"; cat "$tmp/term.out"; exit 1; }
ln -sfn "$(readlink -f "$tmp/ttyCAT")" "$WINEPREFIX/dosdevices/com5"

# --- the program --------------------------------------------------------------------------------
# Only DLLs that Windows always takes from System32 are imported.
check "imports neither version.dll nor bcrypt.dll" \
  bash -c '! x86_64-w64-mingw32-objdump -p "$1" | grep -iE "DLL Name: (version|bcrypt)\.dll"' _ "$exe"

# Started as from the Run key: the working directory is the system folder.
system32="$WINEPREFIX/drive_c/windows/system32"
rm -rf "$system32/gate_log"
(cd "$system32" && exec "$winerun" "$exe") > "$tmp/brisca.out" 2>&1 &
first=$!
pids+=($first)
logfile="$prog/gate_log/brisca$(date +%Y%m%d).log"
check "the port opened (log line beside the program)" wait_line "$logfile" 'COM5 Open' 60

# The exchanges.
echo >&3 || true
check "version query, plain and secure exchange answered" \
  wait_line "$tmp/term.out" '^termsim: ready' 90 2
grep -q FAIL "$tmp/term.out" && { echo "FAIL - terminal expectations:"; cat "$tmp/term.out"; failures=$((failures + 1)); }

check "log: port opened"               log_has '▷ COM5 Open 성공!'
check "log: version query traced"      log_has '\[CAT->VAN\] \[003\] \[Unknown : 56\]'
check "log: version reply traced"      log_has '\[CAT<-VAN\] \[034\] \[전문수신\]'
check "log: plain route mark"          log_has '\[CAT<-TMS\] \[000\] \[전문수신\]'
check "log: secure connection"         log_has "서버접속-->127\\.0\\.0\\.1:$sport"
check "log: secure request logged"     log_has 'TEVN-> \[요청전문\]'
check "log: answer written back"       log_has '\[CAT<-VAN\] \[025\] \[전문수신\]'
check "log: card number masked"        log_has "TEVN-> \\[요청전문\\]\\[[0-9]+\\]\\[.?0200TRACK2\\*+=\\*+"
check "log: card number never logged" bash -c '! iconv -f CP949 -t UTF-8 "$1"/gate_log/brisca*.log | grep -q 9410123412341234' _ "$prog"
check "server: envelope opened"        grep -Eq '<- envelope .*session key [0-9]{16}' "$tmp/secure.out"
check "server: plain request as sent"  grep -Eq '<- 23 bytes  <STX>0200AMOUNT=1004<FS>END<ETX>' "$tmp/plain.out"

# The autostart value names the program file, in double quotes (its folder has a space).
"$winerun" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Brisca > "$tmp/run.txt" 2>/dev/null
check "autostart value holds the program's path in quotes" \
  grep -qiF "REG_SZ    \"$(winepath -w "$exe")\"" "$tmp/run.txt"

# --- a second start --------------------------------------------------------------------------
(cd "$work" && exec "$winerun" "$exe") > "$tmp/second.out" 2>&1 &
second=$!
pids+=($second)
# The refusal box ("프로그램이 실행중입니다!" under the program's caption), answered with OK.
check "second start shows its refusal box" "$winerun" "$helper" box-ok '프로그램이 실행중입니다!'
check "second start ends after the box" timeout 30 tail --pid="$second" -f /dev/null
check "only one gateway opened the port" test "$(log_count 'COM5 Open')" = 1

# The first instance still serves the terminal; the last step leaves a secure connection open.
echo >&3 || true
check "the first instance still answers" wait_line "$tmp/term.out" 'expectations met' 30
check "every terminal expectation met" grep -Eq '^termsim: ([0-9]+) of \1 expectations met' "$tmp/term.out"
check "second secure connection open" wait_line "$logfile" "127\\.0\\.0\\.1:$sport" 20 2

# --- exit from the tray menu while that connection is open -----------------------------------
# Both earlier connections have ended (the new connect frame closes the old one): two end traces.
ended=$(printf '%s' '쓰레드종료' | iconv -f UTF-8 -t CP949)
check "earlier workers ended" env LC_ALL=C bash -c "$(declare -f wait_line); wait_line \"\$1\" \"\$2\" 40 2" _ "$logfile" "$ended"
ended_before=$(log_count '쓰레드종료')

"$winerun" "$helper" exit >/dev/null 2>&1
check "exit asks for confirmation" "$winerun" "$helper" box-ok '프로그램을 종료하시겠습니까?'
# The worker would wait 30 s for the server; the exit ends it at once.
check "the program ends well before the connection's 30 s silence" timeout 15 tail --pid="$first" -f /dev/null
check "the worker ended (its trace logged) before the window went" \
  test "$(log_count '쓰레드종료')" -gt "$ended_before"
check "the server saw the gateway close the connection" \
  wait_line "$tmp/secure.out" 'closed by the gateway' 10
code="still running"
if ! kill -0 "$first" 2>/dev/null; then wait "$first"; code=$?; fi
check "the program's exit code is 0 (it was $code)" test "$code" = 0
check "nothing was written into the system folder" test ! -e "$system32/gate_log"

if [ "$failures" -ne 0 ]; then
  echo "--- terminal"; cat "$tmp/term.out"
  echo "--- log"; log_utf8
  echo "--- plain server"; cat "$tmp/plain.out"
  echo "--- secure server"; cat "$tmp/secure.out"
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
