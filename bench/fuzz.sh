#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build-fuzz/) and runs each one for the
# given time on a corpus seeded from the generated test media, then prints
# executions per second and coverage per target.
#   bench/fuzz.sh [SECONDS] [TARGET...]     (default 60 seconds, every target)
# A crash, leak, sanitizer report or broken invariant fails the script; the
# input that caused it is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
TARGETS=("$@")
[ "${#TARGETS[@]}" -gt 0 ] || TARGETS=(fuzz_option_text fuzz_hook_ranges fuzz_filter_checks fuzz_probe fuzz_media_input
                                   fuzz_media_transcode fuzz_segment_decode)
BUILD=build-fuzz

scripts/install-deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKESTRO_FUZZ=ON -DKESTRO_BUILD_GUI=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target fuzzers make_fixtures
[ -f "$BUILD/media/clip.avi" ] || "$BUILD/tests/fixtures/make_fixtures" "$BUILD/media" >/dev/null 2>&1
bench/fuzz-corpus.sh "$BUILD/media" "$BUILD"
mkdir -p "$BUILD/artifacts" "$BUILD/logs"

export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
rows=()
for target in "${TARGETS[@]}"; do
  args=(-max_total_time="$SECONDS_EACH" -print_final_stats=1 -timeout=10
        -artifact_prefix="$BUILD/artifacts/$target-")
  [ -f "$BUILD/$target.dict" ] && args+=(-dict="$BUILD/$target.dict")
  asan=""
  case "$target" in
    fuzz_probe | fuzz_media_input | fuzz_media_transcode | fuzz_segment_decode) args+=(-max_len=65536) ;;
    # The leak suppressions name library functions, and the libraries keep
    # no frame pointers: only the slower full unwinding sees those names.
    fuzz_filter_checks) asan="fast_unwind_on_malloc=0" ;;
  esac
  log="$BUILD/logs/$target.log"
  echo "== $target: ${SECONDS_EACH}s"
  if ! ASAN_OPTIONS="$asan" "$BUILD/fuzz/$target" "${args[@]}" "$BUILD/corpus/$target" >"$log" 2>&1; then
    failed+=("$target")
    grep -E "ERROR|SUMMARY|invariant broken|runtime error" "$log" | head -5 || true
  fi
  done_line=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
  corp=$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$done_line")
  rows+=("$(printf '%-20s %10s %8s %6s %6s %6s' "$target" "${runs:--}" "${rate:--}" "${cov:--}" "${ft:--}" "${corp:--}")")
done

echo
printf '%-20s %10s %8s %6s %6s %6s\n' target executions exec/s cov ft corpus
printf '%s\n' "${rows[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $BUILD/artifacts/, logs in $BUILD/logs/)" >&2
  exit 1
fi
