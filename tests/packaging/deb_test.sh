#!/usr/bin/env bash
# The Debian package as built by CPack from BUILD_DIR: lintian finds no error, its files are
# where the system expects them, systemd accepts the unit, and the unit's ExecStart line (with
# the instance filled in and the environment systemd gives a service) runs the packaged
# program against a pty and relays a plain exchange through the packaged simulators.
#   deb_test.sh BUILD_DIR          (exit 77 = skipped)
set -uo pipefail
trap "" PIPE
export LC_ALL=C.UTF-8
build=$(readlink -f "$1")
for tool in cpack lintian systemd-analyze dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (./dev installs it)"; exit 77; }
done
tmp=$(mktemp -d /tmp/brisca-deb.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}
wait_line() {  # wait_line FILE PATTERN SECONDS
  timeout "$3" bash -c 'grep -E -q -m1 -- "$2" < <(exec tail -n +1 -F --pid=$$ "$1" 2>/dev/null)' _ "$1" "$2"
}

# --- the package ---------------------------------------------------------------------------
cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; echo "FAIL - cpack"; exit 1; }
deb=$(ls "$tmp"/pkg/brisca_*_amd64.deb)
echo "package: $(basename "$deb")"
lintian --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1
cat "$tmp/lintian.log"
check "lintian reports no error" bash -c '! grep -q "^E:" "$1"' _ "$tmp/lintian.log"

root=$tmp/root
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/brisca@.service
for f in usr/bin/brisca usr/lib/brisca/brisca-termsim usr/lib/brisca/brisca-servsim; do
  check "$f is a program" test -x "$root/$f"
done
for f in usr/share/man/man1/brisca.1.gz usr/share/doc/brisca/copyright lib/systemd/system/brisca@.service; do
  check "$f is there" test -s "$root/$f"
done

# systemd-analyze checks the unit as an instance, with the packaged program in place.
mkdir -p "$tmp/units"
cp "$unit" "$tmp/units/brisca@.service"
ln -s brisca@.service "$tmp/units/brisca@ttyUSB0.service"
sed -i "s|^ExecStart=/usr/bin/brisca|ExecStart=$root/usr/bin/brisca|" "$tmp/units/brisca@.service"
# It reports a line it cannot parse and goes on: any word from it is a failure.
SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$tmp/units/brisca@ttyUSB0.service" \
  >"$tmp/verify.log" 2>&1
check "systemd-analyze verify accepts the unit" test $? -eq 0 -a ! -s "$tmp/verify.log"
cat "$tmp/verify.log"

# --- the service's command line, run as systemd would run it -------------------------------
brisca=$root/usr/bin/brisca
if ! "$brisca" --help 2>&1 | grep -q -- '--system'; then
  echo "SKIP: the packaged brisca has no --system mode yet; the unit's ExecStart was not run"
  [ "$failures" -eq 0 ] && exit 77
  exit 1
fi
sim=$root/usr/lib/brisca
"$sim/brisca-servsim" --listen 127.0.0.1:0 >"$tmp/server.out" 2>&1 &
pids+=($!)
wait_line "$tmp/server.out" '^servsim: listening ' 10 || { echo "FAIL - server simulator"; exit 1; }
port=$(sed -n 's/^servsim: listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/server.out")

mkfifo "$tmp/go"
exec 3<>"$tmp/go"
# Every expectation of the terminal waits at most 10 s, so waiting for it is bounded.
"$sim/brisca-termsim" --pty-link "$tmp/ttyCAT" --wait-go \
  version 'expect-prefix=VG01:Tevnmark:' \
  "connect=P,127.0.0.1,$port" 'request=0200PLAIN REQUEST\x1c1004' expect-echo ack dle \
  <&3 >"$tmp/term.out" 2>&1 &
term=$!
pids+=($term)
wait_line "$tmp/term.out" '^termsim: ready' 10 || { echo "FAIL - terminal simulator"; exit 1; }

# The instance names the device the way an operator names /dev/serial/by-id/...: its escaped path.
instance=$(systemd-escape --path "$(readlink -f "$tmp/ttyCAT")")
mkdir -p "$tmp/etc" "$tmp/log" "$tmp/run"
printf 'COM Rate=38400\nLog Flag=1\n' >"$tmp/etc/$instance.ini"
cp "$tmp/etc/$instance.ini" "$tmp/settings.orig"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
exec_start=${exec_start//%i/$instance}
exec_start=${exec_start/\/usr\/bin\/brisca/$brisca}
echo "ExecStart: $exec_start"
read -r -a argv <<<"$exec_start"
(cd / && exec env -i PATH=/usr/bin:/bin LANG=C.UTF-8 CONFIGURATION_DIRECTORY="$tmp/etc" \
   LOGS_DIRECTORY="$tmp/log" RUNTIME_DIRECTORY="$tmp/run" "${argv[@]}") >"$tmp/gateway.out" 2>&1 &
pids+=($!)
check "the service opens the port of its instance" wait_line "$tmp/gateway.out" 'Open 성공!' 15
echo go >&3
wait "$term"
check "the terminal's version query and plain exchange are answered" test $? -eq 0
check "the log is written under LOGS_DIRECTORY" bash -c 'ls "$1"/brisca*.log >/dev/null 2>&1' _ "$tmp/log"
check "the settings file is not rewritten" cmp -s "$tmp/settings.orig" "$tmp/etc/$instance.ini"
if [ "$failures" -ne 0 ]; then
  for f in term gateway server; do echo "--- $f"; cat "$tmp/$f.out"; done
  exit 1
fi
echo "all checks passed"
