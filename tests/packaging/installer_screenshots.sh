#!/usr/bin/env bash
# Takes the installer's pages into docs/screenshots (setup-*.png): the installer that CPack makes
# from BUILD_DIR, run by hand under Wine in a virtual desktop on an X display, Korean text in
# NanumGothic (the pages are in Korean on a Korean Windows, in English here); Enter moves from
# page to page (xdotool).
#   installer_screenshots.sh BUILD_DIR OUT_DIR     (DISPLAY or BRISCA_DISPLAY: an Xvfb screen)
set -uo pipefail
export LC_ALL=C.UTF-8
build=$(readlink -f "$1")
out=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
winerun="$here/../../cmake/wine-run"
export DISPLAY=${DISPLAY:-${BRISCA_DISPLAY:?set BRISCA_DISPLAY to an X display}}
tmp=$(mktemp -d /tmp/brisca-setup-shots.XXXXXX)
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all
desk_w=640 desk_h=480
mkdir -p "$out"
cleanup() { wineserver -k >/dev/null 2>&1; wait 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT

shot() {  # shot NAME: the virtual desktop as OUT_DIR/NAME.png, once the page has been drawn
  timeout 2 tail -f /dev/null
  import -window root "$tmp/root.png"
  convert "$tmp/root.png" -crop "${desk_w}x${desk_h}+0+0" +repage "$out/$1.png"
  echo "wrote $out/$1.png"
}
key() { xdotool key --clearmodifiers "$@"; }

cpack -G NSIS64 -B "$tmp/pkg" --config "$build/CPackConfig.cmake" >/dev/null || exit 1
setup=$(ls "$tmp"/pkg/brisca-*-setup.exe)
"$winerun" cmd /c exit >/dev/null 2>&1
wineserver -w
cat > "$tmp/desk.utf8" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="${desk_w}x${desk_h}"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"MS Shell Dlg"="NanumGothic"
"MS Shell Dlg 2"="NanumGothic"
"Tahoma"="NanumGothic"
"굴림"="NanumGothic"

[HKEY_CURRENT_USER\\Control Panel\\International]
"Locale"="00000412"
REG
{ printf '\xff\xfe'; sed 's/$/\r/' "$tmp/desk.utf8" | iconv -f UTF-8 -t UTF-16LE; } > "$tmp/desk.reg"
"$winerun" regedit /S "$(winepath -w "$tmp/desk.reg")" >/dev/null 2>&1
wineserver -w

"$winerun" "$setup" >/dev/null 2>&1 &
# The first page: once the desktop shows more than its background (at most 60 s).
for _ in $(seq 60); do
  import -window root "$tmp/root.png"
  [ "$(convert "$tmp/root.png" -format %k info:)" -gt 2 ] && break
  timeout 1 tail -f /dev/null
done
shot setup-welcome
key Return; shot setup-folder
key Return; timeout 3 tail -f /dev/null; shot setup-finished
key Return
wait
"$winerun" "C:\\Program Files\\Brisca\\Uninstall.exe" >/dev/null 2>&1 &
shot setup-uninstall
key Escape
