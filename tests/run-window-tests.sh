#!/bin/bash
# Runs the real-window tests: each in its own process, under a fresh Xvfb
# display and a private D-Bus session, one at a time.
set -uo pipefail
BUILD=${1:-build}
cd "$(dirname "$0")/.."
export GDK_BACKEND=x11
export LIBGL_ALWAYS_SOFTWARE=1
export NO_AT_BRIDGE=1
exec dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1080x24" \
    ctest --test-dir "$BUILD" -L window --output-on-failure
