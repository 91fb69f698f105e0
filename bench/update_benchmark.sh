#!/bin/bash
# Benchmark, not a test: a whole update with archives of about 10, 100 and
# 400 MB from the stand-in site host, through the update suites' harness
# (tests/scripts/lib/update_harness.sh). For each size it prints the time from
# pressing "Update now" to the start of the relaunch script, the launcher's
# peak resident memory and its longest main-loop stall (the demo flavour's
# stall probe), beside the same work done by curl,
# sha256sum and bsdtar on the same archive, through the launcher's route
# (the stand-in proxy) and straight to the site host, with the launcher's time
# as a multiple of each. Each size runs in a D-Bus session of its own, and
# every process it started, the relaunched launcher included, ends before the
# tools run and before the next size; every wait has a limit.
# With --still-page the game host serves a page that draws once and stays
# still, so that the game's animation does not share the processors with the
# update: what remains is the updater's own cost.
#
#   bench/update_benchmark.sh [--still-page] BUILD_DIR [SIZE_MB...]
set -uo pipefail
still=""
if [ "${1:-}" = --still-page ]; then
    still=1
    shift
fi
BUILD=$(cd "${1:-build}" && pwd)
shift || true
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tests/scripts/lib/update_harness.sh
. "$SOURCE/tests/scripts/lib/update_harness.sh"
harness_start
if [ -n "$still" ]; then
    still=$(mktemp -d)
    at_exit rm -rf "$still"
    mkdir -p "$still/act_web_tiyan"
    echo '<!doctype html><title>Vorlia</title><body style="background:#0c3b5e;color:#fff"><h1>Vorlia</h1>' \
        >"$still/act_web_tiyan/index.html"
    STANDIN_ARGS=(--game-dir "$still")
fi

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
    LAUNCHER_ENV=(VORLIA_DEMO_STALL_LOG="$S/stalls")
    start_launcher
    wait_for_offer || { end_case; return; }

    # Resident memory just before the update, to tell what the update adds.
    local before peak=0 hwm start stalls_from limit=$((120 + mb))
    before=$(kib "$LAUNCHER" VmRSS)
    wait_until 30 headless_dialog_has_focus || { fail "the offer never had the focus"; end_case; return; }
    start=$(now)
    stalls_from=$(python3 "$SOURCE/bench/lib/stalls.py" now)
    headless_key Return || { fail "xdotool could not press Return"; end_case; return; }
    local deadline=$(($(date +%s) + limit))
    local script="" written=""
    while running "$LAUNCHER"; do
        # Read while it stands: the relaunched launcher sweeps the work folder.
        if [ -z "$written" ]; then
            script=$(compgen -G "$S/tmp/vrl-update-*/swap.sh" | head -1)
            [ -n "$script" ] && written=$(stat -c %.9Y "$script" 2>/dev/null)
        fi
        hwm=$(kib "$LAUNCHER" VmHWM)
        [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
        if [ "$(date +%s)" -ge "$deadline" ]; then
            fail "the launcher had not quit for the relaunch ${limit} s after \"Update now\""
            end_case
            return
        fi
        sleep 0.05
    done
    # The end is when the relaunch script was written, by its own time stamp:
    # the loop above looks only every tenth of a second or so.
    local launcher_s
    if [ -z "$written" ]; then
        fail "the launcher quit without writing the relaunch script"
        end_case
        return
    fi
    launcher_s=$(echo "$written - $start" | bc)
    # The launcher's turns from the key press to the script, on the probe's
    # clock; what follows is the launcher closing for the relaunch.
    local stall busy
    read -r stall _ busy < <(python3 "$SOURCE/bench/lib/stalls.py" longest "$S/stalls" "$stalls_from" \
        "$(echo "$stalls_from + $launcher_s * 1000000" | bc | cut -d. -f1)")
    # The relaunched version 2 must be up; it is ended before the tools run,
    # so that they do not share the processors with its start.
    started_since 0 2 90 || fail "version 2 did not start within 90 s after the update"
    stop_launchers

    # The same work by hand: fetch, hash, unpack. Once through the stand-in
    # proxy, the launcher's own route to the stand-in hosts, and once straight
    # to the stand-in site host.
    local proxied direct
    proxied=$(by_hand "$limit" -x "$STANDIN_PROXY" "https://$SITE_HOST/download/$ARCHIVE_NAME") ||
        fail "curl, sha256sum or bsdtar failed through the proxy: $proxied"
    direct=$(by_hand "$limit" --resolve "$SITE_HOST:$STANDIN_HTTPS_PORT:127.0.0.1" \
        "https://$SITE_HOST:$STANDIN_HTTPS_PORT/download/$ARCHIVE_NAME") ||
        fail "curl, sha256sum or bsdtar failed on the direct route: $direct"

    if ! case_failed; then
        local proxied_s=${proxied% *} direct_s=${direct% *}
        printf '%6s MB  launcher: %6.2f s, peak %7d KiB (%7d KiB before), longest main-loop stall %5.1f ms (most work in one turn %5.1f ms)   by hand: %6.2f s via the proxy (%.2fx), %6.2f s direct (%.2fx), peak %7d KiB\n' \
            "$mb" "$launcher_s" "$peak" "$before" "$(bc -l <<<"$stall / 1000")" "$(bc -l <<<"$busy / 1000")" "$proxied_s" "$(echo "$launcher_s / $proxied_s" | bc -l)" \
            "$direct_s" "$(echo "$launcher_s / $direct_s" | bc -l)" "${proxied#* }"
    fi
    end_case
}

# curl, sha256sum and bsdtar one after another on the case's archive, with
# curl's route options ARGS...; prints the seconds taken and the largest peak
# memory (KiB) of the three, or what went wrong. Each is bounded by LIMIT s.
by_hand() {
    local limit=$1 out start end
    shift
    rm -rf "$S/by-hand"
    mkdir -p "$S/by-hand"
    start=$(now)
    out=$({ /usr/bin/time -f '%M' curl -sS --max-time "$limit" --cacert "$STANDIN_CERT" \
        -o "$S/by-hand/update.zip" "$@" &&
        /usr/bin/time -f '%M' timeout "$limit" sha256sum "$S/by-hand/update.zip" >/dev/null &&
        /usr/bin/time -f '%M' timeout "$limit" bsdtar -xf "$S/by-hand/update.zip" -C "$S/by-hand"; } 2>&1) ||
        { echo "$out"; return 1; }
    end=$(now)
    echo "$(echo "$end - $start" | bc) $(echo "$out" | sort -n | tail -1)"
}

echo "update from \"Update now\" to the relaunch script (archives of incompressible data)${still:+, the game page still}"
for mb in "${sizes[@]}"; do run_size "$mb"; done
if [ ${#failures[@]} -gt 0 ]; then
    echo "update benchmark: some sizes were not measured:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
