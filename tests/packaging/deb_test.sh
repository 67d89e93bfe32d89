#!/usr/bin/env bash
# The Debian package as built by CPack from BUILD_DIR: lintian finds nothing to say, its files
# are where the system expects them, systemd accepts the unit and rates its exposure 2.0 or
# lower, and the unit's ExecStart line (with the instance filled in, the environment systemd
# gives a service and, when run as root, the service's user, group, capabilities and limits)
# runs the packaged program against a pty and relays a plain exchange through the packaged
# simulators. Then dpkg installs, upgrades, removes and purges the package in a root of its own
# (its maintainer scripts run as on a system with systemd; systemctl is a stand-in that records
# each call and runs the instances as the unit says).
#   deb_test.sh BUILD_DIR          (exit 77 = skipped)
set -uo pipefail
trap "" PIPE
export LC_ALL=C.UTF-8
build=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
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
not() { ! "$@"; }
wait_count() {  # wait_count FILE PATTERN N SECONDS: N lines of FILE match PATTERN
  timeout "$4" bash -c '[ "$(grep -a -c -m "$3" -- "$2" < <(exec tail -n +1 -F --pid=$$ "$1" 2>/dev/null))" -ge "$3" ]' \
    _ "$1" "$2" "$3"
}
wait_line() {  # wait_line FILE PATTERN SECONDS
  timeout "$3" bash -c 'grep -E -q -m1 -- "$2" < <(exec tail -n +1 -F --pid=$$ "$1" 2>/dev/null)' _ "$1" "$2"
}

# --- the package ---------------------------------------------------------------------------
cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; echo "FAIL - cpack"; exit 1; }
deb=$(ls "$tmp"/pkg/brisca_*_amd64.deb)
echo "package: $(basename "$deb")"
lintian -I --tag-display-limit 0 "$deb" 2>&1 | grep -v '^running with root privileges' >"$tmp/lintian.log"
cat "$tmp/lintian.log"
check "lintian reports nothing (errors, warnings, hardening information)" test ! -s "$tmp/lintian.log"

root=$tmp/root
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/brisca@.service
for f in usr/bin/brisca usr/lib/brisca/brisca-termsim usr/lib/brisca/brisca-servsim; do
  check "$f is a program" test -x "$root/$f"
done
for f in usr/share/man/man1/brisca.1.gz usr/share/doc/brisca/copyright lib/systemd/system/brisca@.service \
         usr/share/doc/brisca/examples/settings.ini; do
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
SYSTEMD_LOG_LEVEL=warning systemd-analyze security --offline=true --no-pager \
  "$tmp/units/brisca@ttyUSB0.service" >"$tmp/security.log" 2>&1
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$tmp/security.log")
echo "systemd-analyze security: exposure ${exposure:-?}"
check "systemd-analyze security rates the unit's exposure 2.0 or lower" \
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 2.0) }'
[ -n "$exposure" ] || cat "$tmp/security.log"
# Every name the example gives is one the program knows: the example passes the check.
if "$root/usr/bin/brisca" --help 2>&1 | grep -q -- '--check-config'; then
  check "the example settings file passes --check-config" \
    "$root/usr/bin/brisca" --check-config "$root/usr/share/doc/brisca/examples/settings.ini"
fi

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
run_as=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && getent group dialout >/dev/null; then
  # As the unit has it: a user of its own (DynamicUser=), the dialout group, no capabilities,
  # no new privileges, no core files, umask 0077; the port is the group's, as udev leaves it.
  uid=61999
  chgrp dialout "$(readlink -f "$tmp/ttyCAT")" && chmod 0660 "$(readlink -f "$tmp/ttyCAT")"
  chown "$uid" "$tmp/log" "$tmp/run" && chmod 0755 "$tmp"
  run_as=(setpriv --reuid="$uid" --regid="$uid" --groups="$(getent group dialout | cut -d: -f3)"
          --no-new-privs --bounding-set=-all --inh-caps=-all --ambient-caps=-all)
else
  echo "NOTE: not root: the service's command line runs as this user, with its rights"
fi
(cd / && umask 0077 && ulimit -c 0 && exec env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
   CONFIGURATION_DIRECTORY="$tmp/etc" LOGS_DIRECTORY="$tmp/log" RUNTIME_DIRECTORY="$tmp/run" \
   "${run_as[@]}" "${argv[@]}") >"$tmp/gateway.out" 2>&1 &
gateway=$!
pids+=($gateway)
check "the service opens the port of its instance" wait_line "$tmp/gateway.out" 'Open 성공!' 15
echo go >&3
wait "$term"
check "the terminal's version query and plain exchange are answered" test $? -eq 0
check "the log is written under LOGS_DIRECTORY" bash -c 'ls "$1"/brisca*.log >/dev/null 2>&1' _ "$tmp/log"
check "the settings file is not rewritten" cmp -s "$tmp/settings.orig" "$tmp/etc/$instance.ini"
if [ ${#run_as[@]} -gt 0 ]; then
  check "the service ran as its own user without capabilities or new privileges" \
    grep -qzP '(?s)Uid:\t61999\t.*CapBnd:\t0000000000000000\n.*NoNewPrivs:\t1' "/proc/$gateway/status"
  check "its log is private to it (umask 0077)" \
    bash -c '[ "$(stat -c %a%u "$1"/brisca*.log)" = 60061999 ]' _ "$tmp/log"
fi
kill "$gateway" 2>/dev/null

# --- install, upgrade with a running instance, remove, purge ---------------------------------
# dpkg works on a root of its own and runs the maintainer scripts outside it (DPKG_ROOT names
# the root to them, as for any chrootless install); /run/systemd/system there says systemd runs.
# The earlier version is the same build under a lower version number: what matters is that
# dpkg replaces the program under a running instance.
lifecycle() {
  if ! command -v dpkg >/dev/null || ! command -v deb-systemd-invoke >/dev/null; then
    echo "SKIP: dpkg or deb-systemd-invoke (init-system-helpers) missing: no install test"
    return
  fi
  cpack -G DEB -B "$tmp/old" -D CPACK_PACKAGE_VERSION=0.9.0.1 --config "$build/CPackConfig.cmake" \
    >"$tmp/cpack-old.log" 2>&1 || { cat "$tmp/cpack-old.log"; echo "FAIL - cpack of the earlier version"; failures=$((failures + 1)); return; }
  local old new droot=$tmp/droot stub=$tmp/stub calls=$tmp/systemctl.calls
  old=$(ls "$tmp"/old/brisca_*_amd64.deb)
  new=$deb
  mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates" "$droot/run/systemd/system" \
           "$stub/bin" "$stub/state"
  touch "$droot/var/lib/dpkg/status" "$calls"
  ln -s "$here/fake_systemctl.sh" "$stub/bin/systemctl"
  export FAKE_SYSTEMD_CALLS=$calls FAKE_SYSTEMD_STATE=$stub/state
  dpkg_root() {
    PATH="$stub/bin:$PATH" dpkg --root="$droot" --force-script-chrootless --force-depends \
      --force-not-root --log="$tmp/dpkg.log" "$@" >>"$tmp/dpkg.out" 2>&1
  }
  calls_since() { tail -n +"$(( $1 + 1 ))" "$calls"; }
  ncalls() { wc -l <"$calls"; }

  # A port for the instance: a pty pair held open.
  socat -d -d pty,link="$tmp/ttyLIFE",raw,echo=0 pty,raw,echo=0 >/dev/null 2>"$tmp/socat.out" &
  pids+=($!)
  wait_line "$tmp/socat.out" 'starting data transfer loop' 10 || { echo "FAIL - socat"; failures=$((failures + 1)); return; }
  local inst unit pid1 pid2 mark
  inst=$(systemd-escape --path "$(readlink -f "$tmp/ttyLIFE")")
  inst=${inst#dev-}
  unit="brisca@$inst.service"

  dpkg_root -i "$old"
  check "install: dpkg ends with success" test $? -eq 0
  check "install: systemd is reloaded, nothing is started" \
    bash -c '[ "$(cat "$1")" = "--system daemon-reload" ]' _ "$calls"

  check "install: the settings folder is there for the administrator's first file" \
    bash -c '[ "$(stat -c %a "$1")" = 755 ]' _ "$droot/etc/brisca"

  # The administrator writes its settings, enables and starts an instance.
  printf 'COM Rate=38400\nLog Flag=1\n' >"$droot/etc/brisca/$inst.ini"
  touch "$stub/state/$unit.enabled"
  PATH="$stub/bin:$PATH" DPKG_ROOT=$droot systemctl start "$unit"
  check "the instance opens its port" wait_line "$stub/state/$inst.out" 'Open 성공!' 15
  pid1=$(cat "$stub/state/$unit.pid")

  mark=$(ncalls)
  dpkg_root -i "$new"
  check "upgrade: dpkg ends with success" test $? -eq 0
  check "upgrade: systemd is reloaded and the running instance restarted" \
    bash -c 'grep -qx -- "--system daemon-reload" <<<"$2" && grep -q -- "restart $1" <<<"$2"' _ "$unit" "$(calls_since "$mark")"
  pid2=$(cat "$stub/state/$unit.pid" 2>/dev/null)
  check "upgrade: the instance before the upgrade has ended" not kill -0 "$pid1"
  check "upgrade: the instance runs the new program" \
    test "$(readlink "/proc/$pid2/exe" 2>/dev/null)" = "$droot/usr/bin/brisca"
  check "upgrade: the new program opened the port" wait_count "$stub/state/$inst.out" 'Open 성공!' 2 15

  # What an administrator leaves: a settings file, an enabled instance's link and a drop-in, logs.
  mkdir -p "$droot/etc/systemd/system/dev-$inst.device.wants" "$droot/etc/systemd/system/$unit.d"
  ln -s /lib/systemd/system/brisca@.service "$droot/etc/systemd/system/dev-$inst.device.wants/$unit"
  printf '[Service]\nRestartSec=60s\n' >"$droot/etc/systemd/system/$unit.d/override.conf"
  echo log >"$droot/var/log/brisca/$inst/brisca20261207.log"

  mark=$(ncalls)
  dpkg_root -r brisca
  check "remove: dpkg ends with success" test $? -eq 0
  check "remove: the instance is stopped, then systemd reloaded" \
    bash -c 'c=$(cat); grep -q -- "stop $1" <<<"$c" && [ "$(tail -n 1 <<<"$c")" = "--system daemon-reload" ]' \
    _ "$unit" < <(calls_since "$mark")
  check "remove: no instance left running" not kill -0 "$pid2"
  check "remove: the program is gone" test ! -e "$droot/usr/bin/brisca"
  check "remove: settings and links stay" \
    test -f "$droot/etc/brisca/$inst.ini" -a -L "$droot/etc/systemd/system/dev-$inst.device.wants/$unit"

  dpkg_root -P brisca
  check "purge: dpkg ends with success" test $? -eq 0
  check "purge: /etc/brisca, the instance's link and drop-in are gone" \
    test ! -e "$droot/etc/brisca" -a ! -e "$droot/etc/systemd/system/dev-$inst.device.wants" \
         -a ! -e "$droot/etc/systemd/system/$unit.d"
  check "purge: the logs stay" test -f "$droot/var/log/brisca/$inst/brisca20261207.log"
  dpkg_root -i "$new" && BRISCA_PURGE_LOGS=yes dpkg_root -P brisca
  check "purge with BRISCA_PURGE_LOGS=yes also takes the logs" \
    test ! -e "$droot/var/log/brisca"
  # /run is a memory file system that systemd empties; the stand-in leaves /run/brisca there.
  check "nothing of the package is left in the root" \
    bash -c '! find "$1" \( -path "$1/var/lib/dpkg" -o -path "$1/run" \) -prune -o -name "*brisca*" -print | grep .' _ "$droot"
  echo "--- systemctl calls"; cat "$calls"
}
lifecycle

if [ "$failures" -ne 0 ]; then
  for f in term gateway server dpkg; do echo "--- $f"; cat "$tmp/$f.out" 2>/dev/null; done
  exit 1
fi
echo "all checks passed"
