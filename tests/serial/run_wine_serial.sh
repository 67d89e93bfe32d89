#!/usr/bin/env bash
# Runs the Windows serial tests under Wine with real serial lines: socat makes pty pairs and the
# Wine prefix gets COM ports linked to them.
#   COM5 <-> COM6    one line: CCom on COM5, the terminal's end on COM6
#   COM12            the same pty as COM5, opened by its two-digit name
#   COM7             a line that the test unplugs and plugs in again by writing lines to
#                    $BRISCA_LINE_CONTROL: the first removes the COM7 link, then ends the pty's
#                    far side; the second makes a new pty pair, COM8 its terminal end, COM7 the other
# Usage: run_wine_serial.sh <test.exe> <build dir> [gtest arguments...]
set -euo pipefail
exe=$1
build=$(cd "$2" && pwd)
shift 2
root=$(cd "$(dirname "$0")/../.." && pwd)
wine_run=$root/cmake/wine-run
export BRISCA_WINE_BUILD_DIR=$build
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}

dir=$(mktemp -d /tmp/brisca-serial.XXXXXX)
pids=()
links=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$dir/ef.pid" ] && kill "$(cat "$dir/ef.pid")" 2>/dev/null || true
  for l in "${links[@]}"; do rm -f "$l"; done
  rm -rf "$dir"
}
trap cleanup EXIT

# Windows message boxes need a display: use the one given, or a private Xvfb.
if [ -z "${DISPLAY:-}" ] && [ -z "${BRISCA_DISPLAY:-}" ]; then
  n=120
  while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
  export BRISCA_DISPLAY=":$n"
fi

# The prefix first: dosdevices exists only after it has been made.
if [ ! -f "$WINEPREFIX/.brisca-ready" ]; then
  "$wine_run" "$exe" cmd /c exit >/dev/null 2>&1 || true
fi
mkdir -p "$WINEPREFIX/dosdevices"

socat -d -d pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" 2>"$dir/socat-ab.log" &
pids+=($!)
socat -d -d pty,raw,echo=0,link="$dir/c" pty,raw,echo=0,link="$dir/d" 2>"$dir/socat-cd.log" &
cd_pid=$!
pids+=($cd_pid)
link() {  # link <comN> <pty link>
  local to
  to=$(readlink -f "$2")
  ln -sfn "$to" "$WINEPREFIX/dosdevices/$1"
  links+=("$WINEPREFIX/dosdevices/$1")
}
wait_for() {
  for _ in $(seq 100); do
    local all=1
    for f in "$@"; do [ -e "$f" ] || all=0; done
    [ $all = 1 ] && return 0
    sleep 0.05
  done
}
# The test unplugs and replugs COM7 through a fifo (seen from Wine on drive Z:). Held open for
# reading and writing here, so that the test's writes never wait for a reader.
mkfifo "$dir/line"
links+=("$WINEPREFIX/dosdevices/com8")
(
  exec 3<>"$dir/line"
  read -r _ <&3 || exit 0
  rm -f "$WINEPREFIX/dosdevices/com7"  # the port is gone for Windows before its line dies
  kill "$cd_pid" 2>/dev/null
  read -r _ <&3 || exit 0
  socat -d -d pty,raw,echo=0,link="$dir/e" pty,raw,echo=0,link="$dir/f" 2>"$dir/socat-ef.log" &
  echo $! >"$dir/ef.pid"
  wait_for "$dir/e" "$dir/f"
  link com8 "$dir/f"
  link com7 "$dir/e"
  wait
) &
pids+=($!)
export BRISCA_LINE_CONTROL="Z:$dir/line"
wait_for "$dir/a" "$dir/b" "$dir/c"
link com5 "$dir/a"
link com6 "$dir/b"
link com12 "$dir/a"
link com7 "$dir/c"
rm -f "$WINEPREFIX/dosdevices/com9" "$WINEPREFIX/dosdevices/com8"  # not there yet / never

export BRISCA_WINE_COM=1
"$wine_run" "$exe" "$@"
