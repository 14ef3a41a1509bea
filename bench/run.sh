#!/usr/bin/env bash
# The conversion benchmark: builds an optimised tree in build-bench/, makes
# the two 60-second sources with the fixture generator and prints a table.
#
#   bench/run.sh [--runs N] [--threads-runs N] [--batch-runs N] [--batch-copies N]
#                [--quiet-wait SECONDS]
#
# Per source, the 3GPP conversion (kestroconvert -p 3gp, one job):
#   cpu s      user + system seconds of the kestroconvert process (median)
#   wall s     elapsed seconds of the same runs (median)
#   x realtime source duration / wall s
#   peak MB    largest maximum resident set of those runs (libraries included)
#   floor s    CPU seconds the libraries alone need for the same work
#              (kestro_floor_bench, median): reading and decoding every packet,
#              plus scaling + H.263 encoding and resampling + AMR-NB encoding
#              of the same pictures and samples; "dec+enc" shows the parts
#   conv/floor cpu s / floor s
# Then the H.264 source's conversion with its decoder on one thread
# ("--input-option threads=1", the default) and on as many as it wants
# (threads=0): wall and CPU seconds (medians) and their ratios.
# Then a batch of copies of the MPEG-4 source converted with -j 1 and with
# -j 2: wall seconds (median), process peak and their ratio.
#
# Each line also says how many cores other processes kept busy meanwhile
# (from /proc/stat): the batch ratio only means something when that is near
# 0, since -j 2 can only gain from a core nobody else is using. So each batch
# run first waits for a second in which the cores are idle, spending at most
# --quiet-wait seconds (default 300) on such waits in all.
#
# Runs of the conversion and of the floor alternate, and so do the two batch
# modes, so load from elsewhere on the machine hits both sides of a ratio.
# Not part of the tests: ctest never runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS=5
THREADS_RUNS=3
BATCH_RUNS=3
COPIES=8
QUIET_WAIT=300
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --threads-runs) THREADS_RUNS=$2; shift 2 ;;
    --batch-runs) BATCH_RUNS=$2; shift 2 ;;
    --batch-copies) COPIES=$2; shift 2 ;;
    --quiet-wait) QUIET_WAIT=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: bench/run.sh [--runs N] [--threads-runs N] [--batch-runs N] [--batch-copies N] [--quiet-wait SECONDS]" >&2
       exit 2 ;;
  esac
done

[ -x /usr/bin/time ] || { echo "bench/run.sh needs /usr/bin/time (scripts/install-deps.sh)" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

BUILD=build-bench
echo "Building the optimised tree in $BUILD/ ..." >&2
if ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_GUI=OFF \
         -DKESTRO_BUILD_BENCH=ON &&
       cmake --build "$BUILD" --target kestroconvert make_fixtures kestro_floor_bench; } \
     >"$WORK/build.log" 2>&1; then
  cat "$WORK/build.log" >&2
  exit 1
fi
CONVERT=$BUILD/src/cli/kestroconvert
FLOOR=$BUILD/bench/kestro_floor_bench
MAKE_FIXTURES=$BUILD/tests/fixtures/make_fixtures

# The generator is deterministic: its media are made again only when it changed.
MEDIA=$BUILD/bench-media
SOURCES=(long_mpeg4_mp3.avi long_h264_aac.mp4)
for s in "${SOURCES[@]}"; do
  if [ ! -s "$MEDIA/$s" ] || [ "$MAKE_FIXTURES" -nt "$MEDIA/$s" ]; then
    echo "Making the sources in $MEDIA/ ..." >&2
    "$MAKE_FIXTURES" --long "$MEDIA" >/dev/null
    break
  fi
done

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maximum() { sort -g | tail -n 1; }

TICKS=$(getconf CLK_TCK)
# CPU ticks the whole machine has spent busy so far.
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat; }

# Waits for a second in which other processes keep less than a fifth of a
# core busy, while the --quiet-wait budget lasts.
wait_quiet() {
  local a b
  while [ "$QUIET_WAIT" -gt 0 ]; do
    a=$(busy_ticks)
    sleep 1
    b=$(busy_ticks)
    QUIET_WAIT=$((QUIET_WAIT - 1))
    [ $(((b - a) * 5)) -lt "$TICKS" ] && return 0
  done
  return 0
}

# Runs kestroconvert with $3 jobs on the files after $3, output into $1, and
# appends "wall cpu maxrss_kb others" to the file $2; others is how many
# cores the rest of the machine kept busy meanwhile.
timed_convert() {
  local out=$1 log=$2 jobs=$3 before after
  shift 3
  rm -rf "$out"
  mkdir -p "$out"
  before=$(busy_ticks)
  if ! /usr/bin/time -f "%e %U %S %M" -o "$WORK/time" "$CONVERT" -q -p 3gp -j "$jobs" -o "$out" "$@"; then
    echo "kestroconvert failed on $*" >&2
    exit 1
  fi
  after=$(busy_ticks)
  awk -v busy=$((after - before)) -v hz="$TICKS" '{
    others = $1 > 0 ? (busy / hz - $2 - $3) / $1 : 0
    printf "%s %.3f %s %.2f\n", $1, $2 + $3, $4, (others < 0 ? 0 : others) }' "$WORK/time" >>"$log"
  rm -rf "$out"
}

# "alternate RUNS LOG_A ARGS_A LOG_B ARGS_B FILE...": RUNS timed conversions
# of the files with each of two argument lists (a job count, then options),
# taking turns and each after a quiet second, so that load from elsewhere
# hits both sides alike.
alternate() {
  local runs=$1 log_a=$2 args_a=$3 log_b=$4 args_b=$5 i
  shift 5
  : >"$log_a"
  : >"$log_b"
  for ((i = 0; i < runs; ++i)); do
    wait_quiet
    # shellcheck disable=SC2086 # the argument lists are split on purpose
    timed_convert "$WORK/out" "$log_a" $args_a "$@"
    wait_quiet
    # shellcheck disable=SC2086
    timed_convert "$WORK/out" "$log_b" $args_b "$@"
  done
}

declare -A CPU WALL PEAK FLOOR DEC ENC RATIO DURATION
for s in "${SOURCES[@]}"; do
  echo "Converting $s ($RUNS runs) ..." >&2
  : >"$WORK/conv" ; : >"$WORK/floor"
  for ((i = 0; i < RUNS; ++i)); do
    timed_convert "$WORK/out" "$WORK/conv" 1 "$MEDIA/$s"
    "$FLOOR" "$MEDIA/$s" >>"$WORK/floor"
  done
  cat "$WORK/conv" >>"$WORK/all-conv"
  WALL[$s]=$(awk '{ print $1 }' "$WORK/conv" | median)
  CPU[$s]=$(awk '{ print $2 }' "$WORK/conv" | median)
  PEAK[$s]=$(awk '{ print $3 / 1024 }' "$WORK/conv" | maximum)
  field() { sed -n "s/.*\\b$1=\\([0-9.]*\\).*/\\1/p" "$WORK/floor"; }
  DEC[$s]=$(field decode | median)
  ENC[$s]=$(field encode | median)
  FLOOR[$s]=$(paste -d' ' <(field decode) <(field encode) | awk '{ print $1 + $2 }' | median)
  DURATION[$s]=$(field duration | median)
  RATIO[$s]=$(awk -v c="${CPU[$s]}" -v f="${FLOOR[$s]}" 'BEGIN { printf "%.3f", (f > 0 ? c / f : 0) }')
done

THREADS_SOURCE=${SOURCES[1]}
echo "Converting $THREADS_SOURCE with decoder threads=1 and threads=0 ($THREADS_RUNS runs each) ..." >&2
alternate "$THREADS_RUNS" "$WORK/t1" "1 --input-option threads=1" "$WORK/t0" \
  "1 --input-option threads=0" "$MEDIA/$THREADS_SOURCE"
T1_WALL=$(awk '{ print $1 }' "$WORK/t1" | median)
T0_WALL=$(awk '{ print $1 }' "$WORK/t0" | median)
T1_CPU=$(awk '{ print $2 }' "$WORK/t1" | median)
T0_CPU=$(awk '{ print $2 }' "$WORK/t0" | median)
T0_OTHERS=$(awk '{ print $4 }' "$WORK/t0" | median)

BATCH_SOURCE=${SOURCES[0]}
echo "Batch of $COPIES copies of $BATCH_SOURCE, -j 1 and -j 2 ($BATCH_RUNS runs each) ..." >&2
mkdir -p "$WORK/batch"
COPY_FILES=()
for ((i = 1; i <= COPIES; ++i)); do
  cp "$MEDIA/$BATCH_SOURCE" "$WORK/batch/copy$i.avi"
  COPY_FILES+=("$WORK/batch/copy$i.avi")
done
alternate "$BATCH_RUNS" "$WORK/j1" 1 "$WORK/j2" 2 "${COPY_FILES[@]}"
J1=$(awk '{ print $1 }' "$WORK/j1" | median)
J2=$(awk '{ print $1 }' "$WORK/j2" | median)
J1_OTHERS=$(awk '{ print $4 }' "$WORK/j1" | median)
J2_OTHERS=$(awk '{ print $4 }' "$WORK/j2" | median)
J1_PEAK=$(awk '{ print $3 / 1024 }' "$WORK/j1" | maximum)
J2_PEAK=$(awk '{ print $3 / 1024 }' "$WORK/j2" | maximum)
BATCH_RATIO=$(awk -v a="$J2" -v b="$J1" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')

verdict() { awk -v v="$1" -v limit="$2" -v op="$3" 'BEGIN {
  ok = op == "le" ? v <= limit : v < limit; print ok ? "met" : "MISSED" }'; }

echo
echo "3GPP 176x144 conversion (H.263 120 kbit/s, AMR-NB 8000 Hz mono 10.2 kbit/s), median of $RUNS runs"
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-20s %7s %7s %10s %8s %19s %10s\n' source "cpu s" "wall s" "x realtime" "peak MB" "floor s (dec+enc)" conv/floor
for s in "${SOURCES[@]}"; do
  rt=$(awk -v d="${DURATION[$s]}" -v w="${WALL[$s]}" 'BEGIN { printf "%.1f", (w > 0 ? d / w : 0) }')
  printf '%-20s %7.2f %7.2f %10s %8.1f %7.2f (%4.2f+%4.2f) %10.3f\n' "$s" "${CPU[$s]}" "${WALL[$s]}" \
    "$rt" "${PEAK[$s]}" "${FLOOR[$s]}" "${DEC[$s]}" "${ENC[$s]}" "${RATIO[$s]}"
done
printf 'other processes kept %.2f cores busy during these runs (median)\n' \
  "$(awk '{ print $4 }' "$WORK/all-conv" | median)"
echo
printf 'decoder threads, %s, median of %d runs:\n' "$THREADS_SOURCE" "$THREADS_RUNS"
printf '  threads=1 %6.2f s wall %6.2f s cpu\n' "$T1_WALL" "$T1_CPU"
printf '  threads=0 %6.2f s wall %6.2f s cpu (other processes kept %.2f cores busy meanwhile)\n' \
  "$T0_WALL" "$T0_CPU" "$T0_OTHERS"
printf '  threads=0 / threads=1: wall %.3f, cpu %.3f\n' \
  "$(awk -v a="$T0_WALL" -v b="$T1_WALL" 'BEGIN { print (b > 0 ? a / b : 0) }')" \
  "$(awk -v a="$T0_CPU" -v b="$T1_CPU" 'BEGIN { print (b > 0 ? a / b : 0) }')"
echo
printf 'batch of %d x %s, median of %d runs:\n' "$COPIES" "$BATCH_SOURCE" "$BATCH_RUNS"
printf '  -j 1 %6.2f s wall, peak %.1f MB, other processes kept %.2f cores busy meanwhile\n' \
  "$J1" "$J1_PEAK" "$J1_OTHERS"
printf '  -j 2 %6.2f s wall, peak %.1f MB, other processes kept %.2f cores busy meanwhile\n' \
  "$J2" "$J2_PEAK" "$J2_OTHERS"
printf '  -j 2 / -j 1 = %.3f\n' "$BATCH_RATIO"
echo
echo "targets:"
for s in "${SOURCES[@]}"; do
  printf '  conversion / floor <= 1.10  %-20s %6.3f  %s\n' "$s" "${RATIO[$s]}" "$(verdict "${RATIO[$s]}" 1.10 le)"
done
busy_note=$(awk -v o="$J2_OTHERS" -v n="$(nproc)" 'BEGIN {
  if (o > 0.25) printf " (other processes kept %.2f of the %d cores busy meanwhile: -j 2 had less room)", o, n }')
printf '  batch -j 2 / -j 1 <= 0.60   %-20s %6.3f  %s%s\n' "" "$BATCH_RATIO" \
  "$(verdict "$BATCH_RATIO" 0.60 le)" "$busy_note"
for s in "${SOURCES[@]}"; do
  printf '  peak memory per job < 80 MB %-20s %6.1f  %s\n' "$s" "${PEAK[$s]}" "$(verdict "${PEAK[$s]}" 80 lt)"
done
