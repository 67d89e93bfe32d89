#!/usr/bin/env bash
# Runs the Windows serial tests under Wine with real serial lines: socat makes pty pairs and the
# Wine prefix gets COM ports linked to them.
#   COM5 <-> COM6    one line: CCom on COM5, the terminal's end on COM6
#   COM12            the same pty as COM5, opened by its two-digit name
#   COM7             a line whose far end goes away when the test writes to $BRISCA_DROP_LINE
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
# The test drops the COM7 line by writing to a fifo (seen from Wine on drive Z:).
mkfifo "$dir/drop"
( read -r _ <"$dir/drop" || true; kill "$cd_pid" 2>/dev/null ) &
pids+=($!)
export BRISCA_DROP_LINE="Z:$dir/drop"
for _ in $(seq 100); do
  [ -e "$dir/a" ] && [ -e "$dir/b" ] && [ -e "$dir/c" ] && break
  sleep 0.05
done
link() {  # link <comN> <pty link>
  local to
  to=$(readlink -f "$2")
  ln -sfn "$to" "$WINEPREFIX/dosdevices/$1"
  links+=("$WINEPREFIX/dosdevices/$1")
}
link com5 "$dir/a"
link com6 "$dir/b"
link com12 "$dir/a"
link com7 "$dir/c"
rm -f "$WINEPREFIX/dosdevices/com9"  # the port that does not exist

export BRISCA_WINE_COM=1
"$wine_run" "$exe" "$@"
