#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots: brisca.exe under Wine on an X display, in a Wine
# virtual desktop (so windows have their frames), Korean text in NanumGothic, traffic from the
# terminal and server simulators on COM5.
#   screenshots.sh BUILD_DIR SIM_DIR OUT_DIR        (DISPLAY or BRISCA_DISPLAY: an Xvfb screen)
# Needs imagemagick (import, convert) and fonts-nanum.
set -uo pipefail
trap "" PIPE
export LC_ALL=C.UTF-8

build=$(readlink -f "$1")
sim=$(readlink -f "$2")
out=$(readlink -f "$3")
here=$(cd "$(dirname "$0")" && pwd)
winerun="$here/../../cmake/wine-run"
exe="$build/src/app/win32/brisca.exe"
helper="$build/tests/wine/brisca_shot_helper.exe"
convert=/usr/bin/convert
export DISPLAY=${DISPLAY:-${BRISCA_DISPLAY:?set BRISCA_DISPLAY to an X display}}
export WINEPREFIX="$build/wineprefix-shots" WINEDEBUG=-all
desk_w=800 desk_h=560
tmp=$(mktemp -d /tmp/brisca-shots.XXXXXX)
work="$tmp/work"
mkdir -p "$work" "$out"
pids=()
cleanup() {
  exec 3>&- 2>/dev/null
  wineserver -k >/dev/null 2>&1
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/com5"
  rm -rf "$tmp"
}
trap cleanup EXIT

wait_line() {  # FILE PATTERN SECONDS [COUNT]
  timeout "$3" bash -c 'c=$(grep -E -m "$3" -c -- "$2" < <(exec tail -n +1 -F --pid=$$ "$1" 2>/dev/null)); [ "$c" -ge "$3" ]' \
    _ "$1" "$2" "${4:-1}"
}
reg_import() {  # reg_import FILE.utf8: a .reg text in UTF-8, imported as UTF-16 with CR LF
  { printf '\xff\xfe'; sed 's/$/\r/' "$1" | iconv -f UTF-8 -t UTF-16LE; } > "$1.reg"
  "$winerun" regedit /S "$(winepath -w "$1.reg")" >/dev/null 2>&1
  wineserver -w
}
shot() {  # shot NAME: the virtual desktop as docs/screenshots/NAME.png
  # The desktop repaints asynchronously after a command; give it a moment.
  timeout 1.5 tail -f /dev/null
  import -window root "$tmp/root.png"
  "$convert" "$tmp/root.png" -crop "${desk_w}x${desk_h}+0+0" +repage "$out/$1.png"
  echo "wrote $out/$1.png"
}
drive() { "$winerun" "$helper" "$@" >/dev/null 2>&1; }

# A virtual desktop (window frames without a window manager), Korean fonts for the dialog
# fonts and the menus, and the program's settings.
"$winerun" cmd /c exit >/dev/null 2>&1
wineserver -w
cat > "$tmp/setup.utf8" <<EOF
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="${desk_w}x${desk_h}"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"굴림"="NanumGothic"
"Gulim"="NanumGothic"
"MS Shell Dlg"="NanumGothic"
"MS Shell Dlg 2"="NanumGothic"
"Tahoma"="NanumGothic"

[HKEY_LOCAL_MACHINE\\Software\\(주)Tevo네트웍스\\(주)Tevo네트웍스 Brisca]
"COM Port"="COM5"
"COM Rate"="38400"
"Log Flag"="1"

EOF
reg_import "$tmp/setup.utf8"

# The servers and the terminal (its steps wait for "go" until the program has opened COM5).
"$sim/brisca-servsim" --listen 127.0.0.1:0 > "$tmp/plain.out" 2>&1 & pids+=($!)
answer='\x020210APPROVED 12345678\x03zz'
"$sim/brisca-servsim" --listen 127.0.0.1:0 --secure --answer "$answer" > "$tmp/secure.out" 2>&1 & pids+=($!)
wait_line "$tmp/plain.out" '^servsim: listening ' 10 && wait_line "$tmp/secure.out" '^servsim: listening ' 10 || exit 1
pport=$(grep -m1 '^servsim: listening' "$tmp/plain.out" | awk '{print $3}' | sed 's/.*://')
sport=$(grep -m1 '^servsim: listening' "$tmp/secure.out" | awk '{print $3}' | sed 's/.*://')
mkfifo "$tmp/go"
"$sim/brisca-termsim" --pty-link "$tmp/ttyCAT" --wait-go --hold \
  version "expect=VG01:Tevnmark:1, 0, 0, 5::38400::E" \
  "connect=P,127.0.0.1,$pport" 'request=0200AMOUNT=1004\x1cEND' expect-echo ack dle \
  "connect=S,127.0.0.1,$sport" 'request=0200TRACK2DATA=9410123412341234\x1c1004\x1cEND' \
  "expect=$answer" ack nak eot expect-silence=300 \
  < "$tmp/go" > "$tmp/term.out" 2>&1 & pids+=($!)
exec 3>"$tmp/go"
wait_line "$tmp/term.out" '^termsim: ready' 10 || exit 1
ln -sfn "$(readlink -f "$tmp/ttyCAT")" "$WINEPREFIX/dosdevices/com5"

(cd "$work" && exec "$winerun" "$exe") > "$tmp/brisca.out" 2>&1 & pids+=($!)
wait_line "$work/gate_log/brisca$(date +%Y%m%d).log" 'COM5 Open' 60 || { echo "the program did not open COM5"; exit 1; }
echo >&3
wait_line "$tmp/term.out" 'expectations met' 60 || { cat "$tmp/term.out"; exit 1; }

drive log;       shot debug-window;  drive close-log
drive settings;  shot main-window;   drive hide
drive about;     shot about-box;     drive ok
# The pointer just left of the icon and above the task bar: the menu opens there, no tooltip.
drive menu $((desk_w - 40)) $((desk_h - 30)); shot tray-menu; drive escape
