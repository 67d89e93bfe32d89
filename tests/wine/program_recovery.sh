#!/usr/bin/env bash
# brisca.exe under Wine with an allow-list of one loopback address, and a terminal line that is
# unplugged and plugged in again. The terminal asks for the version, names a server outside the
# list (a server listens there too: nothing may reach it), then runs a plain exchange with the
# allowed one. Then COM5 goes (its dosdevices link removed, the pty ended) and comes back as a
# new pty under the same name: the program says once that the port is lost, reopens it by
# itself, answers the version query on the new line and leaves its stored settings alone. It
# must end with exit code 0.
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
finish line1 line2 plain outside
