#!/usr/bin/env bash
# Runs every fuzz target for a fixed time and fails when one of them finds a crash.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# BUILD_DIR is a clang build with the fuzz targets (the linux-fuzz preset); when it has not been
# configured yet, this configures it on its own. Each target (NAME_fuzz) starts from its seeds in
# fuzz/corpus/NAME and keeps what it learns in BUILD_DIR/fuzz/corpus/NAME_fuzz, so every
# run goes on where the last one stopped. A crash leaves its input in BUILD_DIR/fuzz/artifacts.
set -euo pipefail
[ $# -ge 2 ] || { sed -n '2,7p' "$0"; exit 64; }
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BUILD=$(mkdir -p "$1" && cd "$1" && pwd)
SECONDS_EACH=$2
shift 2
ALL=(connect_frame_fuzz mask_fuzz card_number_fuzz summary_fuzz settings_fuzz secure_answer_fuzz
     intake_fuzz send_all_fuzz serial_burst_fuzz day_log_fuzz)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DBRISCA_SANITIZE=address,undefined,fuzzer-no-link -DBRISCA_TESTS=OFF \
    -DCMAKE_PROJECT_INCLUDE="$HERE/attach.cmake" >/dev/null
fi
cmake --build "$BUILD" -j2 --target fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

options_for() {  # the size limit and dictionary that suit each target
  case $1 in
    connect_frame_fuzz|mask_fuzz) echo "-max_len=4096 -dict=$HERE/frames.dict" ;;
    card_number_fuzz) echo "-max_len=4096 -dict=$HERE/cards.dict" ;;
    intake_fuzz) echo "-max_len=8192 -dict=$HERE/frames.dict" ;;
    secure_answer_fuzz) echo "-max_len=12000 -dict=$HERE/frames.dict" ;;
    settings_fuzz) echo "-max_len=4200 -dict=$HERE/settings.dict" ;;
    summary_fuzz) echo "-max_len=4200" ;;
    send_all_fuzz) echo "-max_len=132" ;;
    serial_burst_fuzz) echo "-max_len=600" ;;
  esac
}

failed=()
printf '%-20s %10s %8s %8s  %s\n' target runs cov corpus result
for t in "${TARGETS[@]}"; do
  bin="$BUILD/fuzz/$t"
  [ -x "$bin" ] || { echo "no such fuzz target: $bin" >&2; exit 2; }
  corpus="$BUILD/fuzz/corpus/$t"
  artifacts="$BUILD/fuzz/artifacts"
  log="$BUILD/fuzz/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  # shellcheck disable=SC2046
  if "$bin" $(options_for "$t") -max_total_time="$SECONDS_EACH" -timeout=30 -rss_limit_mb=3072 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$corpus" "$HERE/corpus/${t%_fuzz}" \
       >"$log" 2>&1; then
    result=ok
  else
    result="CRASH (see $log)"
    failed+=("$t")
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  printf '%-20s %10s %8s %8s  %s\n' "$t" "${runs:-?}" "${cov:-?}" "$(ls "$corpus" | wc -l)" "$result"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "crashes in: ${failed[*]}; inputs in $BUILD/fuzz/artifacts (replay: BINARY INPUT)" >&2
  exit 1
fi
