#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time (FUZZ_SECONDS, default 30) from its seed corpus. A crash, a
# sanitizer report or a broken property fails.
set -uo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVORLIA_BUILD_FUZZERS=ON -DBUILD_TESTING=OFF \
    >build-fuzz.configure.log 2>&1 || { cat build-fuzz.configure.log; exit 1; }
targets=$(ninja -C build-fuzz -t targets all | sed -n 's/^\(fuzz_[a-z_]*\): .*/\1/p' | sort -u)
# shellcheck disable=SC2086
ninja -C build-fuzz $targets || exit 1
status=0
for target in $targets; do
    name=${target#fuzz_}
    corpus=tests/fuzz/corpus/$name
    scratch=$(mktemp -d)
    echo "--- fuzzing $name for ${SECONDS_EACH}s"
    if ! ./build-fuzz/tests/fuzz/$target -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="build-fuzz/$name-" -print_final_stats=0 "$scratch" "$corpus" 2>build-fuzz/$name.log; then
        tail -40 "build-fuzz/$name.log"
        echo "--- $name: FAILED (artifact in build-fuzz/)"
        status=1
    else
        echo "--- $name: $(grep -o 'Done [0-9]* runs' "build-fuzz/$name.log" | tail -1)"
    fi
    rm -rf "$scratch"
done
exit $status
