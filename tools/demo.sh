#!/usr/bin/env bash
# Brisca demo: the headless gateway between the terminal simulator (on a pty) and two server
# simulators (plain and secure, on loopback), in a temporary folder with its own settings, so
# the user's own settings and autostart entry are never touched.
#   tools/demo.sh <build-dir>
# Exit status 0 only when every answer came back right.
set -euo pipefail

BUILD=${1:?usage: tools/demo.sh <build-dir>}
BUILD=$(cd "$BUILD" && pwd)
BRISCA=$BUILD/src/app/posix/brisca
TERMSIM=$BUILD/tools/sim/brisca-termsim
SERVSIM=$BUILD/tools/sim/brisca-servsim
for p in "$BRISCA" "$TERMSIM" "$SERVSIM"; do
  [ -x "$p" ] || { echo "demo: $p is missing; build first (./dev build)" >&2; exit 2; }
done

VERSION="1, 0, 0, 5"
RATE=38400
PLAIN_REQUEST='0200PLAIN REQUEST\x1c1004'
SECURE_REQUEST='0200CARD=9410123412341234\x1cAMOUNT=1004\x1cEND'
SECURE_ANSWER='\x020210APPROVED AUTH=88012345\x03zz'

DEMO=$(mktemp -d "${TMPDIR:-/tmp}/brisca-demo.XXXXXX")
export XDG_CONFIG_HOME=$DEMO/config XDG_RUNTIME_DIR=$DEMO/run HOME=$DEMO/home
mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$DEMO/work"
mkdir -m 700 "$XDG_RUNTIME_DIR"

PIDS=()
KEEP=0
GO_FD=
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$KEEP" = 1 ]; then echo "demo: files kept in $DEMO"; else rm -rf "$DEMO"; fi
}
trap cleanup EXIT

if [ -t 1 ]; then B=$'\033[1m' G=$'\033[32m' R=$'\033[31m' D=$'\033[2m' N=$'\033[0m'
else B= G= R= D= N=; fi
say() { printf '%s== %s%s\n' "$B" "$*" "$N"; }

# Starts a program with its input from $2 and its output on a FIFO; sets OUT_FD to the read
# end and LAST_PID.
start() {
  local name=$1 input=$2; shift 2
  mkfifo "$DEMO/$name.fifo"
  # The program must not inherit the terminal's go/hold FIFO, or that never reads as closed.
  ( if [ -n "${GO_FD:-}" ]; then exec {GO_FD}>&-; fi
    exec "$@" <"$input" >"$DEMO/$name.fifo" 2>&1 ) &
  LAST_PID=$!
  PIDS+=("$LAST_PID")
  exec {OUT_FD}<"$DEMO/$name.fifo"
}
# Reads lines from fd $1 into $2.log, echoing them, until one matches the pattern $3.
read_until() {
  local fd=$1 name=$2 pattern=$3 prefix=$4 line
  while IFS= read -r -t 30 -u "$fd" line; do
    printf '%s\n' "$line" >>"$DEMO/$name.log"
    printf '%s%s%s\n' "$prefix" "$line" "$N"
    [[ $line =~ $pattern ]] && return 0
  done
  return 1
}
# Copies the rest of fd $1 to the screen and $2.log in the background.
follow() {
  local fd=$1 name=$2 prefix=$3
  { exec {GO_FD}>&-
    while IFS= read -r -u "$fd" line; do
      printf '%s%s%s\n' "$prefix" "$line" "$N"
      printf '%s\n' "$line" >>"$DEMO/$name.log"
    done; } &
}

say "servers on loopback"
start plain /dev/null "$SERVSIM" --listen 127.0.0.1:0
PLAIN_FD=$OUT_FD; PLAIN_PID=$LAST_PID
read_until "$PLAIN_FD" plain '^servsim: listening ' "${D}server(plain)  | "
PLAIN_PORT=$(sed -n 's/^.*servsim: listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$DEMO/plain.log")
start secure /dev/null "$SERVSIM" --listen 127.0.0.1:0 --secure --answer "$SECURE_ANSWER"
SECURE_FD=$OUT_FD; SECURE_PID=$LAST_PID
read_until "$SECURE_FD" secure '^servsim: listening ' "${D}server(secure) | "
SECURE_PORT=$(sed -n 's/^.*servsim: listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$DEMO/secure.log")

say "terminal on a pty"
mkfifo "$DEMO/term.in"
exec {GO_FD}<>"$DEMO/term.in"  # read-write: opening it never blocks; it is the only writer
start term "$DEMO/term.in" "$TERMSIM" --pty-link "$DEMO/ttyCAT" --wait-go --hold \
  version "expect=VG01:Tevnmark:$VERSION::$RATE::E" \
  "connect=P,127.0.0.1,$PLAIN_PORT" "request=$PLAIN_REQUEST" expect-echo ack dle \
  "connect=S,127.0.0.1,$SECURE_PORT" "request=$SECURE_REQUEST" "expect=$SECURE_ANSWER" ack dle \
  pause=300
TERM_FD=$OUT_FD; TERM_PID=$LAST_PID
read_until "$TERM_FD" term '^termsim: ready' "terminal       | "

say "gateway: brisca --port $DEMO/ttyCAT --rate $RATE --log"
cd "$DEMO/work"
start gateway /dev/null "$BRISCA" --port "$DEMO/ttyCAT" --rate "$RATE" --log
GW_FD=$OUT_FD; GW_PID=$LAST_PID
if ! read_until "$GW_FD" gateway 'Open (성공|실패)!' "${B}gateway        | " ||
   ! grep -q 'Open 성공!' "$DEMO/gateway.log"; then
  echo "${R}demo: the gateway could not open the pty${N}"; KEEP=1; exit 1
fi
follow "$GW_FD" gateway "${B}gateway        | "
follow "$PLAIN_FD" plain "${D}server(plain)  | "
follow "$SECURE_FD" secure "${D}server(secure) | "

say "exchanges"
echo >&"$GO_FD"
read_until "$TERM_FD" term '^termsim: [0-9]+ of [0-9]+ expectations met' "terminal       | " || true

# Stop: SIGTERM to the gateway, then the terminal and the servers.
t0=$(date +%s%N)
kill -TERM "$GW_PID"
GW_RC=0; wait "$GW_PID" || GW_RC=$?
t1=$(date +%s%N)
exec {GO_FD}>&-
TERM_RC=0; wait "$TERM_PID" || TERM_RC=$?
kill -TERM "$PLAIN_PID" "$SECURE_PID"
wait "$PLAIN_PID" || true
SECURE_RC=0; wait "$SECURE_PID" || SECURE_RC=$?
wait  # the output followers
PIDS=()

has() { grep -qF -- "$2" "$DEMO/$1.log"; }
RESULT=0
check() {  # check LABEL DETAIL COMMAND...: prints one summary line
  local label=$1 detail=$2 word="${G}ok${N}"; shift 2
  if ! "$@"; then word="${R}FAILED${N}"; RESULT=1; fi
  printf '  %-16s %-56s %s\n' "$label" "$detail" "$word"
}
secure_ok() { has secure "<- envelope" && ! has secure FAIL && [ "$SECURE_RC" = 0 ]; }
LOG=$(ls "$DEMO/work/gate_log/"brisca*.log 2>/dev/null | head -1 || true)
echo
say "summary"
check "version query" "VVV -> VG01:Tevnmark:$VERSION::$RATE::E" \
  has term "ok   expect=VG01:Tevnmark:$VERSION::$RATE::E"
check "plain exchange" "P frame -> 127.0.0.1:$PLAIN_PORT, request echoed" has term "ok   expect-echo"
check "secure exchange" "S frame -> 127.0.0.1:$SECURE_PORT, envelope opened" secure_ok
check "" "answer decrypted and written to the terminal" has term "ok   expect=$SECURE_ANSWER"
check "terminal" "every expected answer came" [ "$TERM_RC" = 0 ]
check "gateway" "SIGTERM: status $GW_RC after $(( (t1 - t0) / 1000000 )) ms" [ "$GW_RC" = 0 ]
check "log file" "gate_log/$(basename "${LOG:-none}"), $(cat "$LOG" 2>/dev/null | wc -l) lines, code page 949" [ -s "$LOG" ]
echo
if [ "$RESULT" = 0 ]; then
  echo "${G}${B}demo: every answer came back right${N}"
  exit 0
fi
echo "${R}${B}demo: something went wrong (see above)${N}"
KEEP=1
exit 1
