#!/bin/sh
# Converts one file of a list: the one at this task's index. Meant to be run
# once per index by a cluster's array of tasks, so that every file of the list
# is converted by exactly one task.
#
#   kestro-task.sh [--index N] [--list FILE] [--] [kestroconvert arguments...]
#
# The index (0-based line number of the list) is --index, else
# $SLURM_ARRAY_TASK_ID, else $JOB_COMPLETION_INDEX. The list is --list, else
# $KESTRO_FILE_LIST: one source a line; a relative name is taken from the
# list's own folder, since tasks start in folders of their own. The other
# arguments go to kestroconvert (preset, output folder, ...), which is
# $KESTROCONVERT or the one on PATH, and prints its events as JSON lines.
set -eu

fail() {
  echo "kestro-task: $*" >&2
  exit 2
}

index=""
list="${KESTRO_FILE_LIST:-}"
while [ $# -gt 0 ]; do
  case "$1" in
    --index) [ $# -ge 2 ] || fail "--index needs a number"; index="$2"; shift 2 ;;
    --list) [ $# -ge 2 ] || fail "--list needs a file"; list="$2"; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ -n "$index" ] || index="${SLURM_ARRAY_TASK_ID:-${JOB_COMPLETION_INDEX:-}}"

[ -n "$index" ] || fail "no task index: give --index N, or run as a Slurm array task or a Kubernetes Indexed Job"
case "$index" in
  *[!0-9]*) fail "'$index' is not a task index (0, 1, 2, ...)" ;;
esac
[ -n "$list" ] || fail "no file list: give --list FILE or set KESTRO_FILE_LIST"
[ -f "$list" ] && [ -r "$list" ] || fail "the file list '$list' cannot be read"

# awk counts lines from 1; a Windows line end is dropped.
lines=$(awk 'END { print NR }' "$list")
[ "$index" -lt "$lines" ] || fail "task $index has no line in '$list' (it has $lines, so indexes 0 to $((lines - 1)))"
source=$(awk -v want="$((index + 1))" 'NR == want { sub(/\r$/, ""); print; exit }' "$list")
[ -n "$source" ] || fail "line $index of '$list' is empty"
case "$source" in
  /*) ;;
  *) source="$(cd "$(dirname "$list")" && pwd)/$source" ;;
esac

exec "${KESTROCONVERT:-kestroconvert}" --json "$@" -- "$source"
