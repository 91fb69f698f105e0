#!/bin/bash
# Runs the real-window tests: each in its own process, one at a time, on a
# private headless desktop (scripts/lib/headless.sh).
#
#   tests/run-window-tests.sh [BUILD_DIR]      (default: build)
set -uo pipefail
BUILD=$(realpath "${1:-build}")
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=scripts/lib/headless.sh
. scripts/lib/headless.sh
headless_start --screen 1920x1080x24
ctest --test-dir "$BUILD" -L '^window$' --output-on-failure --no-tests=error
