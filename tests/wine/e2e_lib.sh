# What the scripts that run brisca.exe end to end under Wine share; sourced with their arguments:
#   . e2e_lib.sh BRISCA_EXE BUILD_DIR SIM_DIR HELPER_EXE
# Sets exe (a copy in "$prog", a folder with a space in its name), helper, termsim, servsim,
# version, tmp, work, prog, logfile, pids and failures, and a clean-up at exit. Ends the script
# with 77 (skipped) without the Linux simulators and fails it without a display. The program's
# terminal line is COM5: a pty of a terminal simulator, linked in the prefix's dosdevices.
set -uo pipefail
trap "" PIPE  # a terminal simulator that has ended must not end the script
export LC_ALL=C.UTF-8  # Korean arguments reach Wine programs as UTF-8

exe=$(readlink -f "$1")
build=$(readlink -f "$2")
sim=${BRISCA_SIM_DIR:-$3}
helper=$(readlink -f "$4")
winerun="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../cmake/wine-run"
termsim="$sim/brisca-termsim"
servsim="$sim/brisca-servsim"
version="1, 0, 0, 5"
settings_key='Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca'

if [ ! -x "$termsim" ] || [ ! -x "$servsim" ]; then
  echo "SKIP: the terminal and server simulators are not built in $sim (build the linux preset)"
  exit 77
fi
export DISPLAY=${DISPLAY:-${BRISCA_DISPLAY:-}}
if [ -z "$DISPLAY" ]; then
  echo "FAIL: no display: start Xvfb and set BRISCA_DISPLAY"
  exit 1
fi

# A prefix of its own: the running program must not meet the unit tests' windows or mutex. The
# scripts that use it run one at a time (a resource lock in CMake).
export WINEPREFIX="$build/wineprefix-e2e"
export WINEDEBUG=-all
tmp=$(mktemp -d /tmp/brisca-wine-e2e.XXXXXX)
work="$tmp/work"
prog="$tmp/Brisca Gate"  # the program's own folder, as an installer or a copy makes it
mkdir -p "$work" "$prog"
cp "$exe" "$prog/brisca.exe"
exe="$prog/brisca.exe"
logfile="$prog/gate_log/brisca$(date +%Y%m%d).log"
pids=()
failures=0

cleanup() {
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

# The same for the day's log, which is written in CP949 (the pattern's ASCII stays as it is).
wait_log() {  # wait_log PATTERN SECONDS [COUNT]
  local pattern
  pattern=$(printf '%s' "$1" | iconv -f UTF-8 -t CP949) || return 1
  LC_ALL=C wait_line "$logfile" "$pattern" "$2" "${3:-1}"
}

log_utf8() { iconv -f CP949 -t UTF-8 "$prog"/gate_log/brisca*.log 2>/dev/null; }
log_has() { log_utf8 | grep -E -q -- "$1"; }
log_count() { log_utf8 | grep -E -c -- "$1"; }

# Makes the prefix on first use, removes the program's settings and autostart value from both
# hives and stores the settings for COM5 at 38400 with the log on, plus the given value lines
# (regedit syntax, e.g. '"Log Limit"=dword:00000001') in the machine-wide key.
seed_settings() {  # seed_settings [VALUE_LINE...]
  "$winerun" cmd /c exit >/dev/null 2>&1
  wineserver -w
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    "[-HKEY_LOCAL_MACHINE\\$settings_key]" "[-HKEY_CURRENT_USER\\$settings_key]" \
    '[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run]' '"Brisca"=-' '' \
    "[HKEY_LOCAL_MACHINE\\$settings_key]" \
    '"COM Port"="COM5"' '"COM Rate"="38400"' '"Log Flag"="1"' "$@" '' > "$tmp/seed.utf8"
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$tmp/seed.utf8"; } > "$tmp/seed.reg"
  "$winerun" regedit /S "$(winepath -w "$tmp/seed.reg")" >/dev/null 2>&1
  wineserver -w
}

# Starts a server simulator on a loopback address with any free port and sets server_port and
# server_pid; its output goes to $tmp/NAME.out.
start_server() {  # start_server NAME ADDRESS [SERVSIM OPTION...]
  local name=$1 address=$2; shift 2
  "$servsim" --listen "$address:0" "$@" > "$tmp/$name.out" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  wait_line "$tmp/$name.out" '^servsim: listening ' 10 || { echo "FAIL: server $name"; cat "$tmp/$name.out"; exit 1; }
  server_port=$(grep -m1 '^servsim: listening' "$tmp/$name.out" | awk '{print $3}' | sed 's/.*://')
}

# Starts a terminal simulator on a pty pair of its own and links COM5 to it. It waits for a line
# on the fifo $tmp/NAME.go, held open here as file descriptor $term_go: each line written there
# is a "go". (Programs started meanwhile inherit that descriptor, so closing it here need not end
# the held line: a signal to term_pid ends the simulator and its pty.) Sets term_pid and
# term_go; its output goes to $tmp/NAME.out.
start_terminal() {  # start_terminal NAME STEP...
  local name=$1; shift
  mkfifo "$tmp/$name.go"
  "$termsim" --pty-link "$tmp/$name.tty" --wait-go --hold --timeout 15000 "$@" \
    < "$tmp/$name.go" > "$tmp/$name.out" 2>&1 &
  term_pid=$!
  pids+=($term_pid)
  exec {term_go}>"$tmp/$name.go"
  wait_line "$tmp/$name.out" '^termsim: ready' 10 || { echo "FAIL: terminal $name"; cat "$tmp/$name.out"; exit 1; }
  ln -sfn "$(readlink -f "$tmp/$name.tty")" "$WINEPREFIX/dosdevices/com5"
}

# Ends the program from its tray menu (the confirmation answered with OK) and checks that it
# ends and with exit code 0.
exit_program() {  # exit_program PID
  "$winerun" "$helper" exit >/dev/null 2>&1
  check "exit asks for confirmation" "$winerun" "$helper" box-ok '프로그램을 종료하시겠습니까?'
  check "the program ends after the confirmation" timeout 15 tail --pid="$1" -f /dev/null
  local code="still running"
  if ! kill -0 "$1" 2>/dev/null; then wait "$1"; code=$?; fi
  check "the program's exit code is 0 (it was $code)" test "$code" = 0
}

# The script's result; on failure with what each party printed.
finish() {  # finish OUTPUT_NAME...
  if [ "$failures" -ne 0 ]; then
    local name
    for name in "$@"; do echo "--- $name"; cat "$tmp/$name.out"; done
    echo "--- log"; log_utf8
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
