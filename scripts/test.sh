#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=build
EXTRA=()
for arg in "$@"; do
  case "$arg" in
    --sanitize) BUILD_DIR=build-asan; EXTRA+=(-DKESTRO_SANITIZE=ON) ;;
    *) echo "usage: scripts/test.sh [--sanitize]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${EXTRA[@]}"
cmake --build "$BUILD_DIR" -j "$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS"
