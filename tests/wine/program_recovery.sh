#!/usr/bin/env bash
# brisca.exe under Wine with an allow-list of one loopback address, and a terminal line that is
# unplugged and plugged in again. The terminal asks for the version, names a server outside the
# list (a server listens there too: nothing may reach it), then runs a plain exchange with the
# allowed one. Then COM5 goes (its dosdevices link removed, the pty ended) and comes back as a
# new pty under the same name: the program says once that the port is lost, reopens it by
# itself, answers the version query on the new line and leaves its stored settings alone. It
# must end with exit code 0. Then `brisca.exe /report /quiet` writes the day's page beside the log.
#   program_recovery.sh BRISCA_EXE BUILD_DIR SIM_DIR HELPER_EXE
# Needs a display (BRISCA_DISPLAY or DISPLAY) and the Linux simulators (exit 77 = skipped).
. "$(dirname "$0")/e2e_lib.sh" "$@"

seed_settings '"Allowed Servers"="127.0.0.1/32"'
start_server plain 127.0.0.1
pport=$server_port
start_server outside 127.0.0.4
oport=$server_port
outside_pid=$server_pid

start_terminal line1 version "expect=VG01:Tevnmark:$version::38400::E" \
  "connect=P,127.0.0.4,$oport" expect-silence=300 \
  "connect=P,127.0.0.1,$pport" 'request=0200AMOUNT=1004\x1cEND' expect-echo ack dle
line1_pid=$term_pid
line1_go=$term_go

(cd "$work" && exec "$winerun" "$exe") > "$tmp/brisca.out" 2>&1 &
program=$!
pids+=($program)
check "the port opened" wait_log 'COM5 Open 성공!' 60

# --- the allow-list ---------------------------------------------------------------------------
echo >&"$line1_go"
check "version answered, plain exchange relayed" wait_line "$tmp/line1.out" 'expectations met' 60
check "every expectation of the first line met" \
  grep -Eq '^termsim: ([0-9]+) of \1 expectations met' "$tmp/line1.out"
check "log: the refused connect names the rule" \
  log_has "TEVN-> ERROR : 허용되지 않은 서버 \\(127\\.0\\.0\\.4:$oport, Allowed Servers=127\\.0\\.0\\.1/32\\)"
check "server: plain request as sent" \
  grep -Eq '<- 23 bytes  <STX>0200AMOUNT=1004<FS>END<ETX>' "$tmp/plain.out"

# --- unplugged --------------------------------------------------------------------------------
# Every save writes "Version": a probe value there shows whether anything rewrites the settings.
"$winerun" reg add "HKLM\\$settings_key" /v Version /t REG_SZ /d probe /f >/dev/null 2>&1
"$winerun" reg query "HKLM\\$settings_key" > "$tmp/before.txt" 2>/dev/null
check "the probe is stored" grep -q 'Version.*REG_SZ.*probe' "$tmp/before.txt"

rm -f "$WINEPREFIX/dosdevices/com5"  # the port is gone for Windows before its line dies
kill -TERM "$line1_pid"               # the terminal goes, and its pty with it
check "the first line ended" timeout 10 tail --pid="$line1_pid" -f /dev/null
check "log: the loss" wait_log 'TEVN-> ERROR : 시리얼 포트 끊김 \(COM5\)' 30
check "log: the loss traced" wait_log '시리얼 포트 끊김!-->COM5' 10
# While the port is away the program retries; none of that touches the settings.
"$winerun" reg query "HKLM\\$settings_key" > "$tmp/away.txt" 2>/dev/null
check "the stored settings untouched while the port is away" cmp -s "$tmp/before.txt" "$tmp/away.txt"

# --- plugged in again: a new pty, the same name -----------------------------------------------
start_terminal line2 version "expect=VG01:Tevnmark:$version::38400::E"
check "log: the recovery" wait_log 'TEVN-> 시리얼 포트 복구 \(COM5\)' 30
check "log: the recovery traced" wait_log '시리얼 포트 복구!-->COM5' 10
echo >&"$term_go"
check "version answered on the new line" wait_line "$tmp/line2.out" 'expectations met' 30
check "every expectation of the second line met" \
  grep -Eq '^termsim: ([0-9]+) of \1 expectations met' "$tmp/line2.out"
check "the loss logged once" test "$(log_count 'ERROR : 시리얼 포트 끊김')" = 1
"$winerun" reg query "HKLM\\$settings_key" > "$tmp/after.txt" 2>/dev/null
check "the stored settings were not rewritten" cmp -s "$tmp/before.txt" "$tmp/after.txt"

exit_program "$program"

# Nothing ever reached the server outside the list.
kill -TERM "$outside_pid"
check "server outside the list: no connection" \
  wait_line "$tmp/outside.out" '^servsim: 0 connection\(s\)' 10
# --- the day's report (brisca.exe /report): the page beside the log, nothing else started ---------
page="$prog/gate_log/brisca$(date +%Y%m%d).html"
(cd "$work" && "$winerun" "$exe" /report /quiet) > "$tmp/report.out" 2>&1
code=$?
check "report: exit code 0 (it was $code)" test "$code" = 0
check "report: the page beside the log" test -s "$page"
check "report: the two connections, one answered" \
  grep -q '<b id="connections">2</b>.*<b id="answered">1</b>' <(tr -d '\n' < "$page")
check "report: the server outside the list" grep -q "127.0.0.4:$oport</td><td><span class=\"key\"[^>]*></span>허용되지 않은 서버" "$page"
check "report: the port lost and back, the start and the stop" \
  test "$(grep -Ec '<td>(프로그램 시작|시리얼 포트 끊김|시리얼 포트 복구|프로그램 종료) \(' "$page")" = 4
check "report: no frame's bytes on the page" bash -c "! grep -q 'AMOUNT' '$page'"
(cd "$work" && "$winerun" "$exe" /report 2001-01-01 /quiet) > "$tmp/report-missing.out" 2>&1
code=$?
check "report: a day without a log ends with 1 (it was $code)" test "$code" = 1
check "report: the tray program did not start for it (the log still ends with the stop)" \
  test "$(log_utf8 | tail -1 | grep -c 'TEVN-> 프로그램 종료')" = 1

finish line1 line2 plain outside
