#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/ of the suites that run
#                                jobs on threads (engine lifecycle, component, command line,
#                                bad input, load, the worker's sandbox), and only those tests
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=build
EXTRA=()
TARGETS=()
SELECT=()
for arg in "$@"; do
  case "$arg" in
    --sanitize) BUILD_DIR=build-asan; EXTRA+=(-DKESTRO_SANITIZE=ON) ;;
    --tsan)
      BUILD_DIR=build-tsan
      EXTRA+=(-DKESTRO_TSAN=ON -DKESTRO_BUILD_GUI=OFF)
      TARGETS=(--target make_fixtures engine_tests converter_tests library_log_tests cli_tests
               reliability_tests sandbox_tests)
      SELECT=(-R '^(make_fixtures$|EngineLifecycle\.|EngineDestruction\.|EngineCancelRace\.|InputRead\.|Run\.|Scheduling\.|JobLifetime\.|Routing\.|LibraryLog\.|Component\.|Cli\.|BadInput\.|Load\.|SandboxFolder\.|HostileHook\.|Pipeline\.|OrderedWorker\.|AudioStage\.|SegmentDecoder\.)')
      ;;
    *) echo "usage: scripts/test.sh [--sanitize | --tsan]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

# The sanitizers' settings reach every test through the environment: a list
# of variables does not survive the test discovery's properties.
case "$BUILD_DIR" in
  build-asan)
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ;;
  build-tsan)
    export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
    ;;
esac

JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${EXTRA[@]}"
cmake --build "$BUILD_DIR" -j "$JOBS" "${TARGETS[@]}"
ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 600 -j "$JOBS" "${SELECT[@]}"
