#!/bin/bash
# Benchmark, not a test: a whole update with archives of about 10, 100 and
# 400 MB from the stand-in site host. For each size it prints the time from
# pressing "Update now" to the start of the relaunch script and the
# launcher's peak resident memory, beside the same work done by curl,
# sha256sum and bsdtar on the same archive.
#
#   bench/update_benchmark.sh BUILD_DIR [SIZE_MB...]
set -uo pipefail
BUILD=$(cd "${1:-build}" && pwd)
shift || true
SOURCE=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${VORLIA_BENCH_INSIDE:-}" ]; then
    export VORLIA_BENCH_INSIDE=1 GDK_BACKEND=x11 LIBGL_ALWAYS_SOFTWARE=1 NO_AT_BRIDGE=1
    exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$BUILD" "$@"
fi
openbox >/dev/null 2>&1 &
WM=$!
sleep 1

SITE_HOST=$(sed -n 's/^VORLIA_SITE_HOST:STRING=//p' "$BUILD/CMakeCache.txt")
BASE_URL="https://$SITE_HOST/download/"
KEY="$SOURCE/tests/fixtures/DEV-ONLY-manifest-signing.key"
CERT="$BUILD/standin/standin-cert.pem"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10 100 400)

now() { date +%s.%N; }

run_size() {
    local mb=$1 S B ARCHIVE STANDIN LAUNCHER PORT HTTPS_PORT
    S=$(mktemp -d /tmp/vorlia-bench.XXXXXX)
    B="$S/apps/Vorlia.app"
    mkdir -p "$S/apps" "$S/tmp" "$S/home"
    cp -a "$BUILD/demo/Vorlia.app" "$B"
    printf '{"CFBundleShortVersionString": "1"}\n' >"$B/Info.json"
    cp -a "$BUILD/demo/Vorlia.app" "$S/Vorlia.app"
    printf '{"CFBundleShortVersionString": "2"}\n' >"$S/Vorlia.app/Info.json"
    # Incompressible, so that the archive is about as large as the payload.
    head -c "$((mb * 1000 * 1000))" /dev/urandom >"$S/Vorlia.app/payload.bin"
    ARCHIVE=$(sh "$SOURCE/packaging/make-release.sh" "$S/Vorlia.app" "$S/site/download" 2 "$BASE_URL" "$KEY" \
        "$BUILD/tools/vorlia-publish")
    "$BUILD/tools/vorlia-standin" --site-dir "$S/site" --log /dev/null >"$S/standin.out" 2>&1 &
    STANDIN=$!
    until grep -q '"proxy"' "$S/standin.out" 2>/dev/null; do sleep 0.1; done
    PORT=$(sed -n 's/.*"proxy":\([0-9]*\).*/\1/p' "$S/standin.out")
    HTTPS_PORT=$(sed -n 's/.*"https":\([0-9]*\).*/\1/p' "$S/standin.out")

    (cd "$S" && exec env HOME="$S/home" XDG_DATA_HOME="$S/home/d" XDG_CACHE_HOME="$S/home/c" \
        XDG_STATE_HOME="$S/home/s" TMPDIR="$S/tmp" VORLIA_STANDIN_PROXY="http://127.0.0.1:$PORT" \
        VORLIA_STANDIN_CERT="$CERT" VORLIA_TEST_LOG="$S/alerts.log" "$B/vorlia") >/dev/null 2>&1 &
    LAUNCHER=$!
    until grep -q '"New version 2 available"' "$S/alerts.log" 2>/dev/null; do sleep 0.1; done
    sleep 1
    local peak=0 hwm start end before
    # Resident memory just before the update, to tell what the update adds.
    before=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$LAUNCHER/status")
    start=$(now)
    xdotool key --clearmodifiers Return
    while kill -0 "$LAUNCHER" 2>/dev/null; do
        hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$LAUNCHER/status" 2>/dev/null)
        [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
        if [ -z "${end:-}" ] && compgen -G "$S/tmp/vrl-update-*/swap.sh" >/dev/null; then end=$(now); fi
        sleep 0.05
    done
    [ -n "${end:-}" ] || end=$(now)
    local launcher_s
    launcher_s=$(echo "$end - $start" | bc)

    # The same work by hand: fetch through the stand-in, hash, unpack.
    local tools_out tools_s
    mkdir -p "$S/by-hand"
    start=$(now)
    tools_out=$( { /usr/bin/time -f '%M' curl -s --cacert "$CERT" --resolve "$SITE_HOST:$HTTPS_PORT:127.0.0.1" \
        -o "$S/by-hand/update.zip" "https://$SITE_HOST:$HTTPS_PORT/download/$(basename "$ARCHIVE")" &&
        /usr/bin/time -f '%M' sha256sum "$S/by-hand/update.zip" >/dev/null &&
        /usr/bin/time -f '%M' bsdtar -xf "$S/by-hand/update.zip" -C "$S/by-hand"; } 2>&1)
    end=$(now)
    tools_s=$(echo "$end - $start" | bc)
    local tools_peak
    tools_peak=$(echo "$tools_out" | sort -n | tail -1)

    printf '%6s MB  launcher: %6.2f s, peak %7d KiB (%7d KiB before)   curl+sha256sum+bsdtar: %6.2f s, peak %7d KiB\n' \
        "$mb" "$launcher_s" "$peak" "$before" "$tools_s" "$tools_peak"

    local pid p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$B/vorlia" ] && pid=${p#/proc/} && kill "$pid"
    done
    kill "$STANDIN" 2>/dev/null
    sleep 1
    kill -9 "$STANDIN" 2>/dev/null
    rm -rf "$S"
}

echo "update from \"Update now\" to the relaunch script (archives of incompressible data)"
for mb in "${sizes[@]}"; do run_size "$mb"; done
kill "$WM" 2>/dev/null
