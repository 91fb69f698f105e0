#!/bin/bash
# Builds Vorlia and runs every test suite: unit tests (also under address and
# undefined-behaviour sanitizers), the page-script tests under Node, and the
# real-window tests under Xvfb in a private D-Bus session. Exits non-zero if
# anything fails; no suite is skipped silently.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc)

bash scripts/install-deps.sh || exit 1

failed=()
run() {
    local name=$1
    shift
    echo "=== $name"
    if "$@"; then
        echo "=== $name: ok"
    else
        echo "=== $name: FAILED"
        failed+=("$name")
    fi
}

configure_and_build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    ninja -C "$dir" -j "$JOBS"
}

mkdir -p build
if ! configure_and_build build; then
    echo "build failed"
    exit 1
fi

run "format" bash scripts/check-format.sh
run "unit tests" ctest --test-dir build -L unit --output-on-failure -j "$JOBS"

mkdir -p build-asan
run "unit tests under sanitizers" bash -c "
    cmake -S '$ROOT' -B build-asan -G Ninja -DVORLIA_SANITIZE=ON >build-asan.configure.log 2>&1 &&
    ninja -C build-asan -j $JOBS vorlia_unit_tests &&
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan -L unit --output-on-failure -j $JOBS"

if compgen -G "tests/node/*.test.mjs" >/dev/null; then
    # The page-script tests run the script text as the built launcher makes it.
    export VORLIA_PRINT_BRIDGE_SCRIPT="$ROOT/build/tools/print-bridge-script"
    run "page-script tests" node --test tests/node/
fi

run "real-window tests" bash tests/run-window-tests.sh build

run "fuzzing" bash scripts/fuzz.sh

if [ -x tests/run-extra-tests.sh ]; then
    run "tool and end-to-end tests" bash tests/run-extra-tests.sh build
fi

echo
if [ ${#failed[@]} -eq 0 ]; then
    echo "All test suites passed."
    exit 0
fi
echo "Failed suites: ${failed[*]}"
exit 1
