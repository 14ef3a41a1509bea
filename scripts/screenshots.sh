#!/usr/bin/env bash
# Saves the window at three moments of a batch into docs/ (files added,
# converting, done with a failed row's log), under a virtual X server.
# Needs a build in build/ (scripts/test.sh makes one) and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -j 2 --target gui_tests make_fixtures
[ -d build/media ] || build/tests/fixtures/make_fixtures build/media
KESTRO_TEST_MEDIA="$PWD/build/media" KESTRO_SCREENSHOT_DIR="$PWD/docs" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1100x660x24" \
  build/tests/gui/gui_tests --gtest_filter='QueueWindow.ScreenshotsOfABatch'
ls -l docs/window-files-added.png docs/window-converting.png docs/window-done.png
