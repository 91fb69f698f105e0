#!/bin/bash
# Runs the real-window tests: each in its own process, one at a time, on a
# private headless desktop (scripts/lib/headless.sh): Xvfb with openbox, or
# with --wayland a headless Weston. Tests that need X11's own tools skip
# themselves on Wayland and say why.
#
#   tests/run-window-tests.sh [--wayland] [BUILD_DIR]      (default: build)
set -uo pipefail
wayland=""
if [ "${1:-}" = "--wayland" ]; then
    wayland=1
    shift
fi
BUILD=$(realpath "${1:-build}")
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=scripts/lib/headless.sh
. scripts/lib/headless.sh
if [ -n "$wayland" ]; then
    headless_wayland_start
else
    headless_start --screen 1920x1080x24
fi
ctest --test-dir "$BUILD" -L '^window$' --output-on-failure --no-tests=error
