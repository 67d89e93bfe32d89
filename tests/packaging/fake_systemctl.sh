#!/usr/bin/env bash
# Stands in for systemctl where systemd is not PID 1, for the package's maintainer scripts and
# deb-systemd-invoke: every call is appended to $FAKE_SYSTEMD_CALLS, and brisca@ instances are
# run the way the unit says (its ExecStart under $DPKG_ROOT, the directories systemd would give)
# so that a restart really starts the program that is installed at that moment.
#   state: $FAKE_SYSTEMD_STATE/<unit>.pid for a running instance, <unit>.enabled when enabled
set -u
echo "$*" >>"$FAKE_SYSTEMD_CALLS"
state=$FAKE_SYSTEMD_STATE
root=${DPKG_ROOT:-}

args=()
for a in "$@"; do
  case "$a" in --system|--quiet|--plain|--no-legend|--all|--|--state=*|--type=*) ;; *) args+=("$a") ;; esac
done
[ ${#args[@]} -gt 0 ] || exit 0
verb=${args[0]}
units=("${args[@]:1}")

running() { [ -f "$state/$1.pid" ] && kill -0 "$(cat "$state/$1.pid")" 2>/dev/null; }

start() {
  local unit=$1 instance file exec_start argv
  instance=${unit#brisca@}
  instance=${instance%.service}
  file=$root/lib/systemd/system/brisca@.service
  [ -f "$file" ] || { echo "Unit $unit not found." >&2; return 5; }
  exec_start=$(sed -n 's/^ExecStart=//p' "$file")
  exec_start=${exec_start//%i/$instance}
  read -r -a argv <<<"$exec_start"
  argv[0]=$root${argv[0]}
  # The folders systemd makes for the unit's ConfigurationDirectory=, LogsDirectory= and
  # RuntimeDirectory= (the last goes with the instance).
  mkdir -p "$root/etc/brisca" "$root/var/log/brisca/$instance" "$root/run/brisca/$instance"
  (cd / && exec env -i PATH=/usr/bin:/bin LANG=C.UTF-8 CONFIGURATION_DIRECTORY="$root/etc/brisca" \
     LOGS_DIRECTORY="$root/var/log/brisca/$instance" RUNTIME_DIRECTORY="$root/run/brisca/$instance" "${argv[@]}") \
    >>"$state/$instance.out" 2>&1 </dev/null &
  echo $! >"$state/$unit.pid"
}

stop() {
  local unit=$1 pid
  running "$unit" || { rm -f "$state/$unit.pid"; return 0; }
  pid=$(cat "$state/$unit.pid")
  kill -TERM "$pid"
  # As systemd: TimeoutStopSec, then SIGKILL.
  timeout 10 tail --pid="$pid" -f /dev/null || kill -KILL "$pid"
  rm -f "$state/$unit.pid"
  instance=${unit#brisca@}
  rm -rf "$root/run/brisca/${instance%.service}"
}

case "$verb" in
  daemon-reload) ;;
  list-units)
    for f in "$state"/brisca@*.service.pid; do
      [ -e "$f" ] || continue
      unit=$(basename "$f" .pid)
      if running "$unit"; then echo "$unit loaded active running Brisca"
      elif [[ " $* " == *" --all "* ]]; then echo "$unit loaded inactive dead Brisca"; fi
    done ;;
  is-enabled)
    if [ -e "$state/${units[0]}.enabled" ]; then echo enabled; else echo disabled; exit 1; fi ;;
  is-active)
    running "${units[0]}" || exit 3 ;;
  start) for u in "${units[@]}"; do running "$u" || start "$u" || exit $?; done ;;
  stop) for u in "${units[@]}"; do stop "$u"; done ;;
  restart|try-restart)
    for u in "${units[@]}"; do
      if [ "$verb" = restart ] || running "$u"; then stop "$u"; start "$u" || exit $?; fi
    done ;;
  *) echo "fake systemctl: $verb is not handled" >&2; exit 1 ;;
esac
exit 0
