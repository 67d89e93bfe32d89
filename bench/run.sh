#!/usr/bin/env bash
# Brisca benchmarks: relay latency next to socat and ser2net, CPU per exchange, idle cost, peak
# memory, heap calls per frame, SEED/RSA and the secure envelope; writes docs/benchmarks.md.
#   bench/run.sh <build-dir>      (./dev bench passes build/linux)
#   bench/run.sh <build-dir> report   only `brisca report` over a 256 MB day (BENCH_REPORT_MB),
#                                     its section of the page replaced (./dev bench report)
# BENCH_EXCHANGES (default 1000), BENCH_ROUNDS (5) and BENCH_IDLE_SEC (30) shorten a trial run;
# BENCH_MESSAGE_BYTES (64) sizes requests and answers; BENCH_BEFORE=/path/to/an/older/brisca
# (and BENCH_BASE, a second one) measures that build in the same rounds (before/after of one
# run); BENCH_DOC writes the page
# elsewhere; BENCH_KEEP=1 keeps the work files (JSON, samples, logs).
# Everything runs on this machine: a pty for the line, 127.0.0.1 for the network.
set -euo pipefail

BUILD=$(cd "${1:?usage: bench/run.sh <build-dir>}" && pwd)
ONLY=${2:-}  # "report": only the day report's run, its section of the page replaced
ROOT=$(cd "$(dirname "$0")/.." && pwd)
EXCHANGES=${BENCH_EXCHANGES:-1000}
IDLE_SEC=${BENCH_IDLE_SEC:-30}
SECURE_EXCHANGES=$(( EXCHANGES / 5 > 0 ? EXCHANGES / 5 : 1 ))
OUT_DOC=${BENCH_DOC:-$ROOT/docs/benchmarks.md}

say() { printf '\033[1m== %s\033[0m\n' "$*"; }
BRISCA=$BUILD/src/app/posix/brisca
[ -x "$BRISCA" ] || { echo "bench: $BRISCA is missing; build first" >&2; exit 2; }

# ser2net is the second relay to compare with; install it when it is missing.
if ! command -v ser2net >/dev/null; then
  say "installing ser2net"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
      --no-install-recommends ser2net >/dev/null; } || echo "bench: ser2net could not be installed"
fi
for tool in socat openssl python3; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 2; }
done

# The benchmark programs: in the project's tree when it adds bench/, else built here on their
# own against the built libraries.
if [ -x "$BUILD/bench/brisca-relay-load" ] && [ -x "$BUILD/bench/brisca-bench-crypto" ] &&
   [ -x "$BUILD/bench/brisca-silence-timer" ]; then
  BB=$BUILD/bench
else
  BB=$BUILD/bench-standalone
  say "building the benchmark programs in $BB"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$ROOT/bench" -B "$BB" -DBRISCA_BUILD_DIR="$BUILD" "${launcher[@]}" >/dev/null
  cmake --build "$BB" -j2 >/dev/null
fi
LOAD=$BB/brisca-relay-load
SHIM=$BB/libbrisca_alloc_count.so
CRYPTO=$BB/brisca-bench-crypto
TIMER=$BB/brisca-silence-timer

W=$(mktemp -d "${TMPDIR:-/tmp}/brisca-bench.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "${BENCH_KEEP:-}" ]; then echo "bench: work files kept in $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT

# Other work on the machine disturbs the tails: as root the timed programs run at nice -10
# (the same for every relay), which keeps ordinary builds from preempting them.
NICE=()
[ "$(id -u)" -eq 0 ] && NICE=(nice -n -10)

# brisca gets settings, lock and autostart entry of its own under $W/<name>.
brisca_env() {
  local d=$W/$1
  mkdir -p "$d/config" "$d/home" "$d/work"
  mkdir -p -m 700 "$d/run"
  echo env -C "$d/work" XDG_CONFIG_HOME="$d/config" XDG_RUNTIME_DIR="$d/run" HOME="$d/home"
}

machine_busy() {  # share of all CPU time that was not idle since the last call, in per cent
  read -r _ u n s i io irq sirq steal _ < /proc/stat
  local busy=$((u + n + s + irq + sirq + steal)) total=$((u + n + s + i + io + irq + sirq + steal))
  if [ -n "${LAST_TOTAL:-}" ]; then
    echo $(( 100 * (busy - LAST_BUSY) / (total - LAST_TOTAL + 1) ))
  fi
  LAST_BUSY=$busy LAST_TOTAL=$total
}

# The day report over a full day's log: time and peak memory of `brisca report`.
report_bench() {
  say "day report: brisca report over a ${BENCH_REPORT_MB:-256} MB day"
  "${NICE[@]}" python3 "$ROOT/bench/report_bench.py" "$BRISCA" "$W/report" "${BENCH_REPORT_MB:-256}" >/dev/null
  cp "$W/report/report-bench.json" "$W/report-bench.json"
  rm -rf "$W/report"
}
if [ "$ONLY" = report ]; then
  report_bench
  python3 "$ROOT/bench/report.py" "$W" "$OUT_DOC" --report-only
  exit 0
fi

START=$(date +%s)
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
machine_busy >/dev/null

# The relays take turns in rounds (the order rotating), so that changes in the machine's other
# load fall on all of them alike; the report merges the rounds. Each relay runs back to back (the
# server answers as soon as the request is in) and paced (it waits 100 ms first, so that every
# thread has gone to sleep); brisca with its log file written and without.
ROUNDS=${BENCH_ROUNDS:-5}
PER_ROUND=$(( (EXCHANGES + ROUNDS - 1) / ROUNDS ))
MSG=${BENCH_MESSAGE_BYTES:-64}
common=(--exchanges "$PER_ROUND" --warmup 10 --request-bytes "$MSG" --answer-bytes "$MSG"
        --preload "$SHIM" --time-limit 600)
relays=(brisca-log brisca-nolog socat)
command -v ser2net >/dev/null && relays+=(ser2net)
# Earlier builds of brisca measured in the same rounds, for before/after figures of one run:
# BENCH_BEFORE and BENCH_BASE (e.g. the start of a branch, to tell one change from the rest),
# with the log on; BENCH_OLDER_NOLOG=1 adds them with the log off.
BEFORE=${BENCH_BEFORE:-}
BASE=${BENCH_BASE:-}
for older in before base; do
  bin=$BEFORE; [ "$older" = base ] && bin=$BASE
  [ -n "$bin" ] || continue
  [ -x "$bin" ] || { echo "bench: $bin is not a program" >&2; exit 2; }
  relays+=("$older-log")
  [ -n "${BENCH_OLDER_NOLOG:-}" ] && relays+=("$older-nolog")
done
MODES=(b2b paced)

run_relay() {  # name mode round
  local name=$1 mode=$2 tag="$1-$2-r$3" after=0 bin=$BRISCA logflag=--log
  [ "$mode" = paced ] && after=100
  local run=("${NICE[@]}" "$LOAD" --name "$name-$mode" --out "$W/$tag.json" --samples "$W/$tag.csv"
             --log "$W/$tag.log" --answer-after-ms "$after" "${common[@]}")
  case "$name" in
    brisca-*|before-*|base-*)
      [ "${name%%-*}" = before ] && bin=$BEFORE
      [ "${name%%-*}" = base ] && bin=$BASE
      [ "${name#*-}" = nolog ] && logflag=--no-log
      "${run[@]}" --connect P --ready-text 'Open 성공' \
        -- $(brisca_env "$tag") "$bin" --port '{PTY}' --rate 38400 "$logflag" ;;
    socat)
      "${run[@]}" -- socat '{PTY},raw,echo=0,b38400' 'TCP:127.0.0.1:{PORT},nodelay' ;;
    ser2net)
      "${run[@]}" --template "$ROOT/bench/ser2net.yaml.in:$W/$tag.yaml" \
        -- ser2net -n -d -c "$W/$tag.yaml" -P "$W/$tag.pid" ;;
  esac
}

say "relays: $ROUNDS rounds of $PER_ROUND exchanges ($MSG-byte messages) for ${relays[*]}, back to back and paced"
for r in $(seq 1 "$ROUNDS"); do
  for mode in "${MODES[@]}"; do
    for k in $(seq 0 $(( ${#relays[@]} - 1 ))); do
      run_relay "${relays[$(( (k + r - 1) % ${#relays[@]} ))]}" "$mode" "$r" ||
        echo "bench: a run failed (see its JSON)"
    done
  done
done

say "brisca, secure route: $SECURE_EXCHANGES requests in the envelope"
"${NICE[@]}" "$LOAD" --name brisca-secure --out "$W/brisca-secure.json" \
  --log "$W/brisca-secure.log" --connect S --envelope --ready-text 'Open 성공' \
  --exchanges "$SECURE_EXCHANGES" --warmup 5 --request-bytes 150 --answer-bytes 1 \
  --answer-after-ms 0 --preload "$SHIM" --time-limit 120 \
  -- $(brisca_env brisca-secure) "$BRISCA" --port '{PTY}' --rate 38400 --no-log ||
  echo "bench: the secure run failed (see its JSON)"
BUSY_RELAY=$(machine_busy)

say "the 100 ms silence timer alone: poll time-out and timerfd, 200 each"
"${NICE[@]}" "$TIMER" 200 >"$W/silence-timer.json"

say "idle: ${IDLE_SEC} s without traffic, all relays side by side"
idle=(--idle-sec "$IDLE_SEC" --time-limit $((IDLE_SEC + 60)) --preload "$SHIM")
"$LOAD" --name brisca-idle --out "$W/idle-brisca.json" --log "$W/idle-brisca.log" \
  --no-connection --ready-text 'Open 성공' "${idle[@]}" \
  -- $(brisca_env idle-brisca) "$BRISCA" --port '{PTY}' --rate 38400 --no-log &
PIDS+=($!)
"$LOAD" --name brisca-idle-connected --out "$W/idle-brisca-conn.json" --log "$W/idle-brisca-conn.log" \
  --connect P --ready-text 'Open 성공' --exchanges 0 --warmup 5 --answer-after-ms 0 "${idle[@]}" \
  -- $(brisca_env idle-brisca-conn) "$BRISCA" --port '{PTY}' --rate 38400 --no-log &
PIDS+=($!)
"$LOAD" --name socat-idle --out "$W/idle-socat.json" --log "$W/idle-socat.log" \
  --exchanges 0 --warmup 5 --answer-after-ms 0 "${idle[@]}" \
  -- socat '{PTY},raw,echo=0,b38400' 'TCP:127.0.0.1:{PORT},nodelay' &
PIDS+=($!)
if command -v ser2net >/dev/null; then
  "$LOAD" --name ser2net-idle --out "$W/idle-ser2net.json" --log "$W/idle-ser2net.log" \
    --template "$ROOT/bench/ser2net.yaml.in:$W/idle-ser2net.yaml" \
    --exchanges 0 --warmup 5 --answer-after-ms 0 "${idle[@]}" \
    -- ser2net -n -d -c "$W/idle-ser2net.yaml" -P "$W/idle-ser2net.pid" &
  PIDS+=($!)
fi
idle_failed=0
for pid in "${PIDS[@]}"; do wait "$pid" || idle_failed=1; done
PIDS=()
[ "$idle_failed" = 0 ] || echo "bench: an idle run failed (see its JSON)"

say "crypto: SEED, RSA-1024 (e = 3), secure envelope (Google Benchmark)"
"${NICE[@]}" "$CRYPTO" --benchmark_min_time=0.2 --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=console \
  --benchmark_out_format=json --benchmark_out="$W/crypto.json"

say "openssl speed: SEED-CBC encrypt and decrypt, RSA-1024"
(cd "$W" && "${NICE[@]}" openssl speed -provider legacy -provider default -seconds 1 -mr \
   -evp seed-cbc >"$W/openssl-seed-enc.txt" 2>&1) || true
(cd "$W" && "${NICE[@]}" openssl speed -provider legacy -provider default -seconds 1 -mr \
   -decrypt -evp seed-cbc >"$W/openssl-seed-dec.txt" 2>&1) || true
(cd "$W" && "${NICE[@]}" openssl speed -seconds 2 -mr rsa1024 >"$W/openssl-rsa.txt" 2>&1) || true
report_bench
BUSY_ALL=$(machine_busy)

{
  echo "exchanges=$EXCHANGES"
  echo "message_bytes=$MSG"
  echo "before=$BEFORE"
  echo "before_commit=$( [ -n "$BEFORE" ] && git -C "$(dirname "$BEFORE")" rev-parse --short HEAD 2>/dev/null || echo)"
  echo "base=$BASE"
  echo "base_commit=$( [ -n "$BASE" ] && git -C "$(dirname "$BASE")" rev-parse --short HEAD 2>/dev/null || echo)"
  echo "rounds=$ROUNDS"
  echo "secure_exchanges=$SECURE_EXCHANGES"
  echo "idle_sec=$IDLE_SEC"
  echo "load_before=$LOAD_BEFORE"
  echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "busy_relay=$BUSY_RELAY"
  echo "busy_all=$BUSY_ALL"
  echo "seconds=$(( $(date +%s) - START ))"
  echo "nice=${NICE[*]:-none}"
  echo "cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "cores=$(nproc)"
  echo "kernel=$(uname -r)"
  echo "date=$(date -u +%Y-%m-%dT%H:%MZ)"
  echo "commit=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "socat=$(socat -V 2>/dev/null | sed -n 's/^socat version \([^ ]*\).*/\1/p')"
  echo "ser2net=$(ser2net -v 2>/dev/null | sed -n 's/^ser2net version //p')"
  echo "openssl=$(openssl version | cut -d' ' -f2)"
  echo "compiler=$(c++ --version | head -1)"
} >"$W/meta.txt"

say "writing $OUT_DOC"
python3 "$ROOT/bench/report.py" "$W" "$OUT_DOC"
