#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time (FUZZ_SECONDS, default 30) from its seed corpus. A crash, a
# sanitizer report or a broken property fails; the logs and any artifact stay
# in build-fuzz/.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=scripts/lib/common.sh
. scripts/lib/common.sh
SECONDS_EACH=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ configure_build . build-fuzz -DVORLIA_BUILD_FUZZERS=ON -DBUILD_TESTING=OFF || exit 1
mapfile -t targets < <(ninja -C build-fuzz -t targets all | sed -n 's/^\(fuzz_[a-z_]*\): .*/\1/p' | sort -u)
[ ${#targets[@]} -gt 0 ] || die "no fuzz targets in build-fuzz"
ninja -C build-fuzz "${targets[@]}" || exit 1
scratch=$(mktemp -d)
at_exit rm -rf "$scratch"
status=0
for target in "${targets[@]}"; do
    name=${target#fuzz_}
    mkdir "$scratch/$name"
    program=$(find build-fuzz -type f -name "$target" -perm -u+x | head -1)
    [ -n "$program" ] || die "ninja built no program $target"
    echo "--- fuzzing $name for ${SECONDS_EACH}s"
    # libFuzzer ends without exit handlers: a fuzzer's scratch files go in
    # this run's own temporary folder, removed at the end.
    if ! TMPDIR="$scratch" "./$program" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="build-fuzz/$name-" -print_final_stats=0 "$scratch/$name" "tests/fuzz/corpus/$name" \
        2>"build-fuzz/$name.log"; then
        tail -40 "build-fuzz/$name.log"
        echo "--- $name: FAILED (artifact in build-fuzz/)"
        status=1
    else
        echo "--- $name: $(grep -o 'Done [0-9]* runs' "build-fuzz/$name.log" | tail -1)"
    fi
done
exit $status
