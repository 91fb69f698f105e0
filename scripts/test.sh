#!/bin/bash
# Builds Vorlia and runs every test suite: the unit and integration tests
# (also under address and undefined-behaviour sanitizers, and the unit tests
# again unprivileged under umask 0077), the page-script tests under Node, the
# real-window tests (on X11 and on Wayland) and the script suites on private
# headless desktops, and the fuzzers for a bounded time. The summary lists
# the suites that passed, did not run (each says why) and failed; the exit
# status is non-zero only when a suite failed.
#
#   scripts/test.sh      (builds into build/, build-asan/ and build-fuzz/; logs stay there)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
# shellcheck source=scripts/lib/suites.sh
. scripts/lib/suites.sh
JOBS=$(nproc)

bash scripts/install-deps.sh || exit 1
configure_build "$ROOT" build || exit 1
ninja -C build -j "$JOBS" || die "the build failed"

# Both labels of a build; unit tests always exist, integration tests may not.
unit_and_integration() {
    local build=$1 status=0
    ctest_label "$build" unit -j "$JOBS" --no-tests=error || status=1
    ctest_label "$build" integration -j "$JOBS" --no-tests=ignore || status=1
    return $status
}

sanitized_tests() {
    configure_build "$ROOT" build-asan -DVORLIA_SANITIZE=ON &&
        ninja -C build-asan -j "$JOBS" &&
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            unit_and_integration build-asan
}

suite "format" bash scripts/check-format.sh
suite "unit tests" ctest_label build unit -j "$JOBS" --no-tests=error
suite "integration tests" ctest_label build integration -j "$JOBS" --no-tests=ignore
suite "unit tests, unprivileged, umask 0077" bash tests/run-unprivileged-unit-tests.sh build
suite "unit and integration tests under sanitizers" sanitized_tests

if compgen -G "tests/node/*.test.mjs" >/dev/null; then
    # The page-script tests run the script text as the built launcher makes it.
    suite "page-script tests" env VORLIA_PRINT_BRIDGE_SCRIPT="$ROOT/build/tools/print-bridge-script" \
        node --test tests/node/
fi

suite "real-window tests" bash tests/run-window-tests.sh build
suite "real-window tests, Wayland" bash tests/run-window-tests.sh --wayland build
suite "fuzzing" bash scripts/fuzz.sh
script_suites "$ROOT" "$ROOT/build"

suites_summary
