#!/bin/bash
# A Slurm array job: task N converts line N (0-based) of the file list.
#
#   sbatch --array=0-$(( $(wc -l < files.txt) - 1 ))%50 deploy/slurm/convert-array.sbatch \
#          files.txt mp4 /shared/converted
#
# Arguments: the file list, the preset, the output folder; more arguments go
# to kestroconvert as they are. "%50" caps the tasks running at once. Each
# task's JSON events land in kestro-<job>_<task>.jsonl beside where sbatch was
# run. Submit from the checkout (or set KESTRO_DEPLOY to the folder holding
# kestro-task.sh) and have kestroconvert on PATH or in KESTROCONVERT.
#SBATCH --job-name=kestro-convert
#SBATCH --cpus-per-task=1
#SBATCH --mem=2G
#SBATCH --time=02:00:00
#SBATCH --output=kestro-%A_%a.jsonl
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: sbatch --array=0-N convert-array.sbatch FILE_LIST PRESET OUTPUT_FOLDER [kestroconvert arguments...]" >&2
  exit 2
fi
list=$1 preset=$2 output=$3
shift 3
# Slurm runs a copy of this script from its spool folder: the entry script
# is found from where the job was submitted.
deploy="${KESTRO_DEPLOY:-${SLURM_SUBMIT_DIR:-.}/deploy}"
exec "$deploy/kestro-task.sh" --list "$list" -p "$preset" -o "$output" "$@"
