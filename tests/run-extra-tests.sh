#!/bin/bash
# Runs the suites that are scripts rather than test binaries: every
# tests/scripts/*.sh, with the build folder as its argument. Fails if any fails.
set -uo pipefail
BUILD=$(realpath "${1:-build}")
cd "$(dirname "$0")/.."
status=0
for suite in tests/scripts/*.sh; do
    [ -e "$suite" ] || continue
    echo "--- $suite"
    if bash "$suite" "$BUILD"; then
        echo "--- $suite: passed"
    else
        echo "--- $suite: FAILED"
        status=1
    fi
done
exit $status
