#!/usr/bin/env bash
# The conversion benchmark: builds an optimised tree in build-bench/, makes
# the two 60-second sources with the fixture generator and prints a table
# per section.
#
#   bench/run.sh [--only SECTIONS] [--runs N] [--threads-runs N] [--batch-runs N]
#                [--batch-copies N] [--row-seconds N] [--row-runs N] [--size-runs N]
#                [--size-long] [--worker-runs N] [--clips N] [--pipeline-runs N]
#                [--quiet-wait SECONDS]
#
# --only takes a comma-separated list of sections: classic, rows, size,
# worker, pipeline (default: all five, in that order).
#
# classic: per source, the 3GPP conversion (kestroconvert -p 3gp, one job),
# --runs N runs (default 5):
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
# rows: each video row (mp4, mp4-720, hevc, webm, av1) converting the first
# --row-seconds N seconds (default 10, output option t=N) of the 1280x720
# H.264 source, --row-runs N runs each (default 3), medians:
#   fps        pictures written / wall s
#   cpu s, wall s, peak MB   as above
#   floor s    kestro_floor_bench --row: the libraries alone decoding the same
#              pictures and sound (as many pictures as the run wrote) and
#              encoding them with the row's encoders, option lines, picture
#              size, pixel format, threads and audio settings
#   conv/floor cpu s / floor s
#
# size: the 10 MB row on an N-second slice of the H.264 source (copied out by
# kestroconvert -p remux, so that its planning sees N seconds), --size-runs N
# runs (default 2), against one pass of the same settings (the mp4 row with
# the planned picture size and bit rates, read from the job's "Planned for"
# log line); with --size-long also on the whole 60 s source:
#   plan       picture size, video and audio bit rate, passes
#   sized s    wall seconds of the 10 MB row (median)
#   1-pass s   wall seconds of the one-pass encode (median)
#   ratio      sized s / 1-pass s
#   % of limit the 10 MB row's output size / 10,000,000 bytes
#
# worker: the 3GPP conversion of each source in a worker process (the
# default) against --in-process, --worker-runs N runs each (default 3),
# wall and CPU seconds (medians) and their ratios; then a batch of --clips N
# (default 50) copies of a 1-second clip (the MPEG-4 source's first second,
# copied out by kestroconvert -p remux) converted with -j 1 both ways:
# wall seconds (median) and the extra milliseconds a worker costs per job.
#
# pipeline: the 3GPP conversion of each source with the run's output side on
# a thread of its own (the default) against "-x pipeline=0" (everything on
# one thread), --pipeline-runs N runs each (default 5), wall and CPU seconds
# (medians) and their ratios; then a batch of --batch-copies N copies of the
# MPEG-4 source with -j 2 against -j 1 (both pipelined, each job given its
# share of the cores).
#
# Each line also says how many cores other processes kept busy meanwhile
# (from /proc/stat): the batch ratio only means something when that is near
# 0, since -j 2 can only gain from a core nobody else is using. So each batch
# run first waits for a second in which the cores are idle, spending at most
# --quiet-wait seconds (default 300) on such waits in all.
#
# Runs of the conversion and of the floor alternate, and so do the two sides
# of every other ratio, so load from elsewhere on the machine hits both sides.
# Not part of the tests: ctest never runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS=5
THREADS_RUNS=3
BATCH_RUNS=3
COPIES=8
QUIET_WAIT=300
ROW_SECONDS=10
ROW_RUNS=3
SIZE_RUNS=2
SIZE_LONG=0
WORKER_RUNS=3
PIPELINE_RUNS=5
CLIPS=50
ONLY=classic,rows,size,worker,pipeline
USAGE="usage: bench/run.sh [--only classic,rows,size,worker,pipeline] [--runs N] [--threads-runs N]
       [--batch-runs N] [--batch-copies N] [--row-seconds N] [--row-runs N] [--size-runs N]
       [--size-long] [--worker-runs N] [--clips N] [--pipeline-runs N] [--quiet-wait SECONDS]"
while [ $# -gt 0 ]; do
  case "$1" in
    --only) ONLY=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --threads-runs) THREADS_RUNS=$2; shift 2 ;;
    --batch-runs) BATCH_RUNS=$2; shift 2 ;;
    --batch-copies) COPIES=$2; shift 2 ;;
    --row-seconds) ROW_SECONDS=$2; shift 2 ;;
    --row-runs) ROW_RUNS=$2; shift 2 ;;
    --size-runs) SIZE_RUNS=$2; shift 2 ;;
    --size-long) SIZE_LONG=1; shift ;;
    --worker-runs) WORKER_RUNS=$2; shift 2 ;;
    --clips) CLIPS=$2; shift 2 ;;
    --pipeline-runs) PIPELINE_RUNS=$2; shift 2 ;;
    --quiet-wait) QUIET_WAIT=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "$USAGE" >&2
       exit 2 ;;
  esac
done
SECTIONS=()
IFS=, read -r -a SECTIONS <<<"$ONLY"
for section in "${SECTIONS[@]}"; do
  case "$section" in
    classic|rows|size|worker|pipeline) ;;
    *) echo "bench/run.sh: no section '$section' (classic, rows, size, worker, pipeline)" >&2; exit 2 ;;
  esac
done
[ ${#SECTIONS[@]} -gt 0 ] || { echo "$USAGE" >&2; exit 2; }

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
FLOOR_BENCH=$BUILD/bench/kestro_floor_bench
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

# Runs a command under /usr/bin/time and appends "wall cpu maxrss_kb others"
# to the file $1; others is how many cores the rest of the machine kept busy
# meanwhile. Workers are waited for, so they count in cpu and maxrss.
timed() {
  local log=$1 before after
  shift
  before=$(busy_ticks)
  if ! /usr/bin/time -f "%e %U %S %M" -o "$WORK/time" "$@"; then
    echo "failed: $*" >&2
    exit 1
  fi
  after=$(busy_ticks)
  awk -v busy=$((after - before)) -v hz="$TICKS" '{
    others = $1 > 0 ? (busy / hz - $2 - $3) / $1 : 0
    printf "%s %.3f %s %.2f\n", $1, $2 + $3, $4, (others < 0 ? 0 : others) }' "$WORK/time" >>"$log"
}

# Runs kestroconvert -p 3gp with $3 jobs on the files after $3, output into
# $1, timed into the file $2.
timed_convert() {
  local out=$1 log=$2 jobs=$3
  shift 3
  rm -rf "$out"
  mkdir -p "$out"
  timed "$log" "$CONVERT" -q -p 3gp -j "$jobs" -o "$out" "$@"
  rm -rf "$out"
}

# Column $1 of the file $2, median or maximum.
median_of() { awk -v c="$1" '{ print $c }' "$2" | median; }
peak_of() { awk '{ print $3 / 1024 }' "$1" | maximum; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }
verdict() { awk -v v="$1" -v limit="$2" -v op="$3" 'BEGIN {
  ok = op == "le" ? v <= limit : v < limit; print ok ? "met" : "MISSED" }'; }

# "target_pair LABEL SOURCE WALL_RATIO WALL_LIMIT CPU_RATIO CPU_LIMIT": one
# line of a wall and a CPU ratio against their limits.
target_pair() {
  printf '  %s  %-20s wall %6.3f  %s, cpu %6.3f  %s\n' "$1" "$2" "$3" "$(verdict "$3" "$4" le)" \
    "$5" "$(verdict "$5" "$6" le)"
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

# The 3GPP conversion against the floor, decoder threads and the -j 2 batch.
classic_section() {
  declare -A CPU WALL PEAK FLOOR DEC ENC RATIO DURATION
  for s in "${SOURCES[@]}"; do
    echo "Converting $s ($RUNS runs) ..." >&2
    : >"$WORK/conv" ; : >"$WORK/floor"
    for ((i = 0; i < RUNS; ++i)); do
      timed_convert "$WORK/out" "$WORK/conv" 1 "$MEDIA/$s"
      "$FLOOR_BENCH" "$MEDIA/$s" >>"$WORK/floor"
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
}

# The value of a field in the last JSON event of the file $2 that has it.
json_field() { sed -n "s/.*\"$1\":\"\\{0,1\\}\\([^\",}]*\\).*/\\1/p" "$2" | tail -n 1; }

ROWS=(mp4 mp4-720 hevc webm av1)
ROW_SOURCE=long_h264_aac.mp4

# Each video row on the first ROW_SECONDS of the H.264 source, against the
# libraries alone doing the same pictures with the same settings.
rows_section() {
  local src=$MEDIA/$ROW_SOURCE row i frames
  declare -A FPS CPU WALL PEAK FLOOR RATIO OTHERS
  for row in "${ROWS[@]}"; do
    echo "Row $row on ${ROW_SECONDS} s of $ROW_SOURCE ($ROW_RUNS runs) ..." >&2
    : >"$WORK/row-conv"
    : >"$WORK/row-floor"
    for ((i = 0; i < ROW_RUNS; ++i)); do
      wait_quiet
      rm -rf "$WORK/out"
      mkdir -p "$WORK/out"
      timed "$WORK/row-conv" "$CONVERT" --json -p "$row" -x "t=$ROW_SECONDS" -o "$WORK/out" \
        "$src" >"$WORK/events"
      grep -q '"status":"done"' "$WORK/events" || { cat "$WORK/events" >&2; exit 1; }
      frames=$(grep '"event":"progress"' "$WORK/events" | json_field frame /dev/stdin)
      sed -i "\$ s/\$/ $frames/" "$WORK/row-conv"
      rm -rf "$WORK/out"
      wait_quiet
      "$FLOOR_BENCH" --row "$row" --frames "$frames" "$src" >>"$WORK/row-floor"
    done
    WALL[$row]=$(median_of 1 "$WORK/row-conv")
    CPU[$row]=$(median_of 2 "$WORK/row-conv")
    PEAK[$row]=$(peak_of "$WORK/row-conv")
    OTHERS[$row]=$(median_of 4 "$WORK/row-conv")
    FPS[$row]=$(awk '{ print ($1 > 0 ? $5 / $1 : 0) }' "$WORK/row-conv" | median)
    FLOOR[$row]=$(sed -n 's/.*decode=\([0-9.]*\) encode=\([0-9.]*\).*/\1 \2/p' "$WORK/row-floor" |
      awk '{ print $1 + $2 }' | median)
    RATIO[$row]=$(ratio "${CPU[$row]}" "${FLOOR[$row]}")
  done
  echo
  echo "Video rows on the first $ROW_SECONDS s of $ROW_SOURCE (1280x720 30 fps), median of $ROW_RUNS runs"
  echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  printf '%-8s %6s %7s %7s %8s %8s %10s %7s\n' row fps "cpu s" "wall s" "peak MB" "floor s" \
    conv/floor others
  for row in "${ROWS[@]}"; do
    printf '%-8s %6.1f %7.2f %7.2f %8.1f %8.2f %10.3f %7.2f\n' "$row" "${FPS[$row]}" \
      "${CPU[$row]}" "${WALL[$row]}" "${PEAK[$row]}" "${FLOOR[$row]}" "${RATIO[$row]}" \
      "${OTHERS[$row]}"
  done
  echo "(others: cores other processes kept busy during the conversions, median)"
  echo
  echo "targets:"
  for row in "${ROWS[@]}"; do
    printf '  row / floor <= 1.05  %-8s %6.3f  %s\n' "$row" "${RATIO[$row]}" \
      "$(verdict "${RATIO[$row]}" 1.05 le)"
  done
}

# The 10 MB row against one pass of the settings it planned, on the file $1
# (label $2): appends a table line to $WORK/size-lines.
size_line() {
  local src=$1 label=$2 i plan size out
  : >"$WORK/sized"
  : >"$WORK/onepass"
  : >"$WORK/percent"
  for ((i = 0; i < SIZE_RUNS; ++i)); do
    wait_quiet
    rm -rf "$WORK/out"
    mkdir -p "$WORK/out"
    timed "$WORK/sized" "$CONVERT" --json --log-level info -p 10mb -o "$WORK/out" "$src" \
      >"$WORK/events"
    grep -q '"status":"done"' "$WORK/events" || { grep -v '"progress"' "$WORK/events" >&2; exit 1; }
    out=$(grep '"event":"result"' "$WORK/events" | json_field output /dev/stdin)
    size=$(stat -c %s "$out")
    awk -v s="$size" 'BEGIN { printf "%.1f\n", s * 100 / 10000000 }' >>"$WORK/percent"
    # "Planned for 10 MB: pictures WxH at RATE bit/s, sound RATE bit/s a track, N passes"
    plan=$(sed -n 's/.*Planned for [^:]*: pictures \([0-9]*x[0-9]*\) at \([0-9]*\) bit\/s, sound \([0-9]*\) bit\/s a track, \([0-9]\) pass.*/\1 \2 \3 \4/p' \
      "$WORK/events" | head -n 1)
    [ -n "$plan" ] || { echo "no plan in the 10 MB row's log" >&2; exit 1; }
    read -r SIZE_WH SIZE_VB SIZE_AB SIZE_PASSES <<<"$plan"
    rm -rf "$WORK/out"
    mkdir -p "$WORK/out"
    wait_quiet
    # The mp4 row's constant quality off (crf=-1), so that the bit rate rules.
    timed "$WORK/onepass" "$CONVERT" -q -p mp4 -x crf=-1 -x "vb=$SIZE_VB" -x "s=$SIZE_WH" \
      -x "ab=$SIZE_AB" -o "$WORK/out" "$src"
    rm -rf "$WORK/out"
  done
  local sized one
  sized=$(median_of 1 "$WORK/sized")
  one=$(median_of 1 "$WORK/onepass")
  printf '%-24s %9s %6d %5d %3d %8.2f %8.2f %6.3f %10s %7.2f\n' "$label" "$SIZE_WH" \
    $((SIZE_VB / 1000)) $((SIZE_AB / 1000)) "$SIZE_PASSES" "$sized" "$one" \
    "$(ratio "$sized" "$one")" "$(median <"$WORK/percent")" "$(median_of 4 "$WORK/sized")" \
    >>"$WORK/size-lines"
}

size_section() {
  local slice=$WORK/slice.mkv
  echo "Copying out the first $ROW_SECONDS s of $ROW_SOURCE ..." >&2
  rm -rf "$WORK/out"
  mkdir -p "$WORK/out"
  "$CONVERT" -q -p remux -x "t=$ROW_SECONDS" -o "$WORK/out" "$MEDIA/$ROW_SOURCE"
  mv "$WORK/out/"*.mkv "$slice"
  echo "10 MB row against one pass ($SIZE_RUNS runs) ..." >&2
  {
    echo
    echo "10 MB row against one pass of the same settings (wall seconds, median of $SIZE_RUNS runs)"
    echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    printf '%-24s %9s %6s %5s %3s %8s %8s %6s %10s %7s\n' source size kbit/s audio "#" "sized s" \
      "1-pass s" ratio "% of limit" others
  } >"$WORK/size-head"
  : >"$WORK/size-lines"
  size_line "$slice" "first ${ROW_SECONDS} s"
  [ "$SIZE_LONG" = 0 ] || size_line "$MEDIA/$ROW_SOURCE" "$ROW_SOURCE"
  cat "$WORK/size-head" "$WORK/size-lines"
  echo "(size: the picture planned; kbit/s and audio: planned rates; #: passes)"
  echo
  echo "targets:"
  awk '{
    label = $1; for (i = 2; i <= NF - 9; ++i) label = label " " $i
    printf "  10 MB row / one pass <= 2.2  %-24s %6.3f  %s\n", label, $(NF - 2), ($(NF - 2) <= 2.2 ? "met" : "MISSED") }' "$WORK/size-lines"
}

worker_section() {
  local s
  declare -A W_WALL W_CPU P_WALL P_CPU W_OTHERS
  for s in "${SOURCES[@]}"; do
    echo "Worker against --in-process on $s ($WORKER_RUNS runs each) ..." >&2
    alternate "$WORKER_RUNS" "$WORK/w" 1 "$WORK/p" "1 --in-process" "$MEDIA/$s"
    W_WALL[$s]=$(median_of 1 "$WORK/w")
    W_CPU[$s]=$(median_of 2 "$WORK/w")
    P_WALL[$s]=$(median_of 1 "$WORK/p")
    P_CPU[$s]=$(median_of 2 "$WORK/p")
    W_OTHERS[$s]=$(cat "$WORK/w" "$WORK/p" | awk '{ print $4 }' | median)
  done

  echo "Batch of $CLIPS one-second clips, -j 1, worker against --in-process ($WORKER_RUNS runs each) ..." >&2
  local clip_source=${SOURCES[0]} i
  rm -rf "$WORK/out" "$WORK/clips"
  mkdir -p "$WORK/out" "$WORK/clips"
  "$CONVERT" -q -p remux -x t=1 -o "$WORK/out" "$MEDIA/$clip_source"
  local clip
  clip=$(ls "$WORK/out/"*.mkv)
  CLIP_FILES=()
  for ((i = 1; i <= CLIPS; ++i)); do
    cp "$clip" "$WORK/clips/clip$i.mkv"
    CLIP_FILES+=("$WORK/clips/clip$i.mkv")
  done
  alternate "$WORKER_RUNS" "$WORK/cw" 1 "$WORK/cp" "1 --in-process" "${CLIP_FILES[@]}"
  local cw cin extra
  cw=$(median_of 1 "$WORK/cw")
  cin=$(median_of 1 "$WORK/cp")
  extra=$(awk -v a="$cw" -v b="$cin" -v n="$CLIPS" 'BEGIN { printf "%.1f", (a - b) * 1000 / n }')

  echo
  echo "3GPP conversion in a worker process against --in-process, median of $WORKER_RUNS runs"
  echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  printf '%-20s %8s %8s %8s %8s %7s %7s %7s\n' source "wall w" "wall in" "cpu w" "cpu in" \
    "wall x" "cpu x" others
  for s in "${SOURCES[@]}"; do
    printf '%-20s %8.2f %8.2f %8.2f %8.2f %7.3f %7.3f %7.2f\n' "$s" "${W_WALL[$s]}" \
      "${P_WALL[$s]}" "${W_CPU[$s]}" "${P_CPU[$s]}" "$(ratio "${W_WALL[$s]}" "${P_WALL[$s]}")" \
      "$(ratio "${W_CPU[$s]}" "${P_CPU[$s]}")" "${W_OTHERS[$s]}"
  done
  echo "(w: worker, in: --in-process, x: worker / in-process)"
  echo
  printf 'batch of %d one-second clips of %s, -j 1, median of %d runs:\n' "$CLIPS" "$clip_source" \
    "$WORKER_RUNS"
  printf '  worker       %7.2f s wall, other processes kept %.2f cores busy meanwhile\n' "$cw" \
    "$(median_of 4 "$WORK/cw")"
  printf '  --in-process %7.2f s wall, other processes kept %.2f cores busy meanwhile\n' "$cin" \
    "$(median_of 4 "$WORK/cp")"
  printf '  extra per job: %s ms\n' "$extra"
  echo
  echo "targets:"
  for s in "${SOURCES[@]}"; do
    target_pair "worker / in-process <= 1.03 " "$s" "$(ratio "${W_WALL[$s]}" "${P_WALL[$s]}")" 1.03 \
      "$(ratio "${W_CPU[$s]}" "${P_CPU[$s]}")" 1.03
  done
  printf '  worker cost per job <= 60 ms %-20s %6s ms  %s\n' "" "$extra" "$(verdict "$extra" 60 le)"
}

# The conversion with and without the pipeline, and the batch that shares
# the cores among its jobs.
pipeline_section() {
  declare -A P_WALL O_WALL P_CPU O_CPU P_OTHERS
  local s
  for s in "${SOURCES[@]}"; do
    echo "Converting $s with and without the pipeline ($PIPELINE_RUNS runs each) ..." >&2
    alternate "$PIPELINE_RUNS" "$WORK/po" "1 -x pipeline=0" "$WORK/pp" 1 "$MEDIA/$s"
    O_WALL[$s]=$(median_of 1 "$WORK/po")
    P_WALL[$s]=$(median_of 1 "$WORK/pp")
    O_CPU[$s]=$(median_of 2 "$WORK/po")
    P_CPU[$s]=$(median_of 2 "$WORK/pp")
    P_OTHERS[$s]=$(median_of 4 "$WORK/pp")
  done
  local batch_source=${SOURCES[0]} i
  echo "Batch of $COPIES copies of $batch_source, -j 1 and -j 2 ($BATCH_RUNS runs each) ..." >&2
  mkdir -p "$WORK/pbatch"
  local files=()
  for ((i = 1; i <= COPIES; ++i)); do
    cp "$MEDIA/$batch_source" "$WORK/pbatch/copy$i.avi"
    files+=("$WORK/pbatch/copy$i.avi")
  done
  alternate "$BATCH_RUNS" "$WORK/pj1" 1 "$WORK/pj2" 2 "${files[@]}"
  local j1 j2
  j1=$(median_of 1 "$WORK/pj1")
  j2=$(median_of 1 "$WORK/pj2")

  echo
  echo "3GPP conversion with the pipeline (p) against one thread (o), median of $PIPELINE_RUNS runs"
  echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  printf '%-20s %7s %7s %7s %7s %7s %7s %7s
' source "wall p" "wall o" "cpu p" "cpu o" \
    "wall x" "cpu x" others
  for s in "${SOURCES[@]}"; do
    printf '%-20s %7.2f %7.2f %7.2f %7.2f %7s %7s %7.2f
' "$s" "${P_WALL[$s]}" "${O_WALL[$s]}" \
      "${P_CPU[$s]}" "${O_CPU[$s]}" "$(ratio "${P_WALL[$s]}" "${O_WALL[$s]}")" \
      "$(ratio "${P_CPU[$s]}" "${O_CPU[$s]}")" "${P_OTHERS[$s]}"
  done
  echo "(x: pipeline / one thread; others: cores other processes kept busy meanwhile)"
  echo
  printf 'batch of %d x %s, median of %d runs:
' "$COPIES" "$batch_source" "$BATCH_RUNS"
  printf '  -j 1 %6.2f s wall, other processes kept %.2f cores busy meanwhile\n' "$j1" \
    "$(median_of 4 "$WORK/pj1")"
  printf '  -j 2 %6.2f s wall, other processes kept %.2f cores busy meanwhile\n' "$j2" \
    "$(median_of 4 "$WORK/pj2")"
  printf '  -j 2 / -j 1 = %s\n' "$(ratio "$j2" "$j1")"
  echo
  echo "targets:"
  for s in "${SOURCES[@]}"; do
    target_pair "pipeline / one thread wall <= 0.60, cpu <= 1.05" "$s" \
      "$(ratio "${P_WALL[$s]}" "${O_WALL[$s]}")" 0.60 "$(ratio "${P_CPU[$s]}" "${O_CPU[$s]}")" 1.05
  done
}

first=1
for section in "${SECTIONS[@]}"; do
  [ "$first" = 1 ] || echo
  first=0
  "${section}_section"
done
