#!/bin/bash
# Benchmark, not a test: a whole update with archives of about 10, 100 and
# 400 MB from the stand-in site host, through the update suites' harness
# (tests/scripts/lib/update_harness.sh). For each size it prints the time from
# pressing "Update now" to the start of the relaunch script and the
# launcher's peak resident memory, beside the same work done by curl,
# sha256sum and bsdtar on the same archive. Each size runs in a D-Bus session
# of its own, and every process it started, the relaunched launcher
# included, ends before the next size.
#
#   bench/update_benchmark.sh BUILD_DIR [SIZE_MB...]
set -uo pipefail
BUILD=$(cd "${1:-build}" && pwd)
shift || true
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tests/scripts/lib/update_harness.sh
. "$SOURCE/tests/scripts/lib/update_harness.sh"
harness_start

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10 100 400)

now() { date +%s.%N; }
kib() { sed -n "s/^$2:[[:space:]]*\([0-9]*\).*/\1/p" "/proc/$1/status" 2>/dev/null; }

run_size() {
    local mb=$1
    begin_case "${mb}_MB"
    make_app "$S/release/Vorlia.app" 2
    # Incompressible, so that the archive is about as large as the payload.
    head -c "$((mb * 1000 * 1000))" /dev/urandom >"$S/release/Vorlia.app/payload.bin"
    publish_release "$S/release/Vorlia.app"
    start_standin || { end_case; return; }
    start_launcher
    wait_for_offer || { end_case; return; }
    sleep 1

    # Resident memory just before the update, to tell what the update adds.
    local before peak=0 hwm start end="" limit=$((120 + mb))
    before=$(kib "$LAUNCHER" VmRSS)
    start=$(now)
    key_now Return
    local deadline=$(($(date +%s) + limit))
    while running "$LAUNCHER"; do
        hwm=$(kib "$LAUNCHER" VmHWM)
        [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
        if [ -z "$end" ] && compgen -G "$S/tmp/vrl-update-*/swap.sh" >/dev/null; then end=$(now); fi
        if [ "$(date +%s)" -ge "$deadline" ]; then
            fail "the launcher had not quit for the relaunch ${limit} s after \"Update now\""
            end_case
            return
        fi
        sleep 0.05
    done
    [ -n "$end" ] || end=$(now)
    local launcher_s
    launcher_s=$(echo "$end - $start" | bc)
    # The relaunched version 2 must be up before it is ended with the case.
    started_since 0 2 90 || fail "version 2 did not start after the update"

    # The same work by hand: fetch through the stand-in, hash, unpack.
    local tools_out tools_s tools_peak
    mkdir -p "$S/by-hand"
    start=$(now)
    tools_out=$({ /usr/bin/time -f '%M' curl -s --max-time "$limit" --cacert "$STANDIN_CERT" \
        --resolve "$SITE_HOST:$STANDIN_HTTPS_PORT:127.0.0.1" -o "$S/by-hand/update.zip" \
        "https://$SITE_HOST:$STANDIN_HTTPS_PORT/download/$ARCHIVE_NAME" &&
        /usr/bin/time -f '%M' timeout "$limit" sha256sum "$S/by-hand/update.zip" >/dev/null &&
        /usr/bin/time -f '%M' timeout "$limit" bsdtar -xf "$S/by-hand/update.zip" -C "$S/by-hand"; } 2>&1) ||
        fail "curl, sha256sum or bsdtar failed: $tools_out"
    end=$(now)
    tools_s=$(echo "$end - $start" | bc)
    tools_peak=$(echo "$tools_out" | sort -n | tail -1)

    if ! case_failed; then
        printf '%6s MB  launcher: %6.2f s, peak %7d KiB (%7d KiB before)   curl+sha256sum+bsdtar: %6.2f s, peak %7d KiB\n' \
            "$mb" "$launcher_s" "$peak" "$before" "$tools_s" "$tools_peak"
    fi
    end_case
}

echo "update from \"Update now\" to the relaunch script (archives of incompressible data)"
for mb in "${sizes[@]}"; do run_size "$mb"; done
if [ ${#failures[@]} -gt 0 ]; then
    echo "update benchmark: some sizes were not measured:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
