#!/bin/bash
# Runs the suites that are scripts rather than test binaries: every
# tests/scripts/*.sh, with the build folder as its argument. Lists the suites
# that passed, did not run and failed; fails only when one failed.
#
#   tests/run-extra-tests.sh [BUILD_DIR]      (default: build)
set -uo pipefail
BUILD=$(realpath "${1:-build}")
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=scripts/lib/suites.sh
. scripts/lib/suites.sh
script_suites "$PWD" "$BUILD"
suites_summary
