#!/bin/sh
# Runs the cluster entry script once per index of a three-line list, the way
# an array of tasks would (the index given each of the three ways), and checks
# that every source was converted exactly once; then the ways a task is
# refused.   usage: task_array_test.sh KESTROCONVERT MEDIA_FOLDER
set -u
KESTROCONVERT=$1
MEDIA=$2
TASK="$(cd "$(dirname "$0")/../.." && pwd)/deploy/kestro-task.sh"
export KESTROCONVERT
work=$(mktemp -d /tmp/kestro-deploy-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # condition text
  if ! eval "$1"; then
    echo "FAILED: $2" >&2
    failures=$((failures + 1))
  fi
}

# One absolute name, one relative to the list's folder, and a name with a blank.
mkdir -p "$work/list" "$work/out"
cp "$MEDIA/small_176x144.avi" "$work/list/small.avi"
cp "$MEDIA/song.mp3" "$work/list/my song.mp3"
printf '%s\n%s\n%s\n' "$MEDIA/clip.avi" "small.avi" "my song.mp3" > "$work/list/files.txt"
sources="$MEDIA/clip.avi|$work/list/small.avi|$work/list/my song.mp3"

(cd "$work" && timeout 120 "$TASK" --index 0 --list list/files.txt -p 3gp -o "$work/out") \
  > "$work/task0.jsonl" 2> "$work/task0.err"
echo "index 0: exit $?"
SLURM_ARRAY_TASK_ID=1 KESTRO_FILE_LIST="$work/list/files.txt" timeout 120 "$TASK" -p 3gp -o "$work/out" \
  > "$work/task1.jsonl" 2> "$work/task1.err"
echo "index 1: exit $?"
env -u SLURM_ARRAY_TASK_ID JOB_COMPLETION_INDEX=2 timeout 120 "$TASK" --list "$work/list/files.txt" -p 3gp -o "$work/out" \
  > "$work/task2.jsonl" 2> "$work/task2.err"
echo "index 2: exit $?"

for i in 0 1 2; do
  source=$(echo "$sources" | cut -d'|' -f$((i + 1)))
  results=$(grep -c '"event":"result"' "$work/task$i.jsonl")
  done=$(grep '"event":"result"' "$work/task$i.jsonl" | grep '"status":"done"' | grep -cF "\"source\":\"$source\"")
  check "[ '$results' = 1 ] && [ '$done' = 1 ]" \
    "task $i: $results results, $done done for $source: $(cat "$work/task$i.jsonl" "$work/task$i.err")"
done
for stem in clip small "my song"; do
  count=$(ls "$work/out" | grep -c "^$stem (")
  check "[ '$count' = 1 ]" "$count outputs for $stem: $(ls "$work/out")"
done
count=$(ls "$work/out" | wc -l)
check "[ '$count' = 3 ]" "$count outputs in all: $(ls "$work/out")"

# Refused tasks: exit status 2, the reason on standard error, nothing converted.
refused() { # expected-message env-and-arguments...
  message=$1
  shift
  err=$(env -u SLURM_ARRAY_TASK_ID -u JOB_COMPLETION_INDEX -u KESTRO_FILE_LIST "$@" 2>&1 >/dev/null)
  status=$?
  check "[ $status = 2 ] && echo \"\$err\" | grep -qF \"\$message\"" \
    "'$*' gave status $status and '$err', not 2 and '$message'"
}
refused "task 3 has no line in '$work/list/files.txt' (it has 3, so indexes 0 to 2)" \
  "$TASK" --index 3 --list "$work/list/files.txt" -p 3gp -o "$work/out"
refused "no task index" "$TASK" --list "$work/list/files.txt"
refused "'-1' is not a task index" SLURM_ARRAY_TASK_ID=-1 "$TASK" --list "$work/list/files.txt"
refused "no file list" "$TASK" --index 0
refused "the file list '$work/none.txt' cannot be read" "$TASK" --index 0 --list "$work/none.txt"
printf '%s\n\n' "$MEDIA/clip.avi" > "$work/gap.txt"
refused "line 1 of '$work/gap.txt' is empty" "$TASK" --index 1 --list "$work/gap.txt"
count=$(ls "$work/out" | wc -l)
check "[ '$count' = 3 ]" "a refused task wrote something: $(ls "$work/out")"

if [ "$failures" -eq 0 ]; then
  echo "task array: all checks passed"
  exit 0
fi
echo "task array: $failures checks failed"
exit 1
