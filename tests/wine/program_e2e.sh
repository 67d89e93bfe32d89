#!/usr/bin/env bash
# brisca.exe end to end under Wine: the settings seeded in the registry name COM5, which is a
# pty made by the terminal simulator; the terminal asks for the version, runs a plain exchange
# and a secure one against the server simulators on loopback; the log file, the autostart value
# and the refusal of a second instance are checked. The program runs from a folder with a space
# in its name, started with the system folder as working directory (as from the Run key), and
# must end with exit code 0.
#   program_e2e.sh BRISCA_EXE BUILD_DIR SIM_DIR HELPER_EXE
# Needs a display (BRISCA_DISPLAY or DISPLAY) and the Linux simulators (exit 77 = skipped).
. "$(dirname "$0")/e2e_lib.sh" "$@"
# A planted DLL beside the program must not be loaded: the secure exchange below needs the real
# bcrypt.dll. (Not version.dll: Wine's own user32 imports it and Wine looks for it beside the
# program, so under Wine a planted version.dll stops every window program, this one or not.)
head -c 4096 /dev/urandom > "$prog/bcrypt.dll"

seed_settings

# --- the servers and the terminal -------------------------------------------------------------
start_server plain 127.0.0.1
pport=$server_port
answer='\x020210APPROVED 12345678\x03zz'
start_server secure 127.0.0.1 --secure --answer "$answer"
sport=$server_port

start_terminal term version "expect=VG01:Tevnmark:$version::38400::E" \
  "connect=P,127.0.0.1,$pport" 'request=0200AMOUNT=1004\x1cEND' expect-echo ack dle \
  "connect=S,127.0.0.1,$sport" 'request=0200TRACK2DATA=9410123412341234\x1c1004\x1cEND' \
  "expect=$answer" ack expect-silence=300 \
  go version "expect=VG01:Tevnmark:$version::38400::E" \
  "connect=S,127.0.0.1,$sport" expect-silence=300

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
check "the port opened (log line beside the program)" wait_line "$logfile" 'COM5 Open' 60

# The exchanges.
echo >&"$term_go" || true
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
echo >&"$term_go" || true
check "the first instance still answers" wait_line "$tmp/term.out" 'expectations met' 30
check "every terminal expectation met" grep -Eq '^termsim: ([0-9]+) of \1 expectations met' "$tmp/term.out"
check "second secure connection open" wait_line "$logfile" "127\\.0\\.0\\.1:$sport" 20 2

# --- exit from the tray menu while that connection is open -----------------------------------
# Both earlier connections have ended (the new connect frame closes the old one): two end traces.
check "earlier workers ended" wait_log '쓰레드종료' 40 2
ended_before=$(log_count '쓰레드종료')

# The worker would wait 30 s for the server; the exit ends it at once.
exit_program "$first"
check "the worker ended (its trace logged) before the window went" \
  test "$(log_count '쓰레드종료')" -gt "$ended_before"
check "the server saw the gateway close the connection" \
  wait_line "$tmp/secure.out" 'closed by the gateway' 10
check "nothing was written into the system folder" test ! -e "$system32/gate_log"
finish term plain secure
