#!/bin/bash
# Start-up time and memory of the launcher against Chromium in app mode, both
# playing the stand-in game host's start page over https on the game host's
# name, routed through the stand-in's proxy on loopback and trusting only the
# stand-in's certificate. Runs in turns, launcher then Chromium, after a
# warm-up, each run from a fresh profile, under Xvfb in a private D-Bus
# session; prints every run, the medians and the launcher/Chromium ratios.
#
#   bench/startup-memory.sh [PAIRS]      (default 5; Debian's chromium is
#                                         installed with apt-get when missing)
#
# A benchmark, not a test: run it by hand on a quiet machine. It stops by
# itself (every run is bounded) and stops every process it started.
set -euo pipefail
cd "$(dirname "$0")/.."
PAIRS=${1:-5}
BUILD=${BUILD:-build}

need=()
command -v chromium >/dev/null || need+=(chromium)
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
command -v dbus-run-session >/dev/null || need+=(dbus)
command -v openssl >/dev/null || need+=(openssl)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi

cmake -S . -B "$BUILD" -G Ninja >/dev/null
ninja -C "$BUILD" vorlia_demo vorlia-standin vorlia-startup-bench

game_host=$(sed -n 's/^VORLIA_GAME_HOST:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
cert="$PWD/$BUILD/standin/standin-cert.pem"
# Chromium trusts the stand-in's key for this run only, by its SPKI hash.
spki=$(openssl x509 -in "$cert" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -binary | openssl base64 -A)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-bench.XXXXXX")
hosts_pid=""
# shellcheck disable=SC2317 # called through the trap
cleanup() {
    if [ -n "$hosts_pid" ]; then
        kill "$hosts_pid" 2>/dev/null || true
        wait "$hosts_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"./$BUILD/tools/vorlia-standin" --log "$work/requests.log" >"$work/ports" 2>"$work/standin.err" &
hosts_pid=$!
for _ in $(seq 100); do
    [ -s "$work/ports" ] && break
    kill -0 "$hosts_pid" 2>/dev/null || { echo "bench: the stand-in hosts did not start" >&2; cat "$work/standin.err" >&2; exit 1; }
    sleep 0.1
done
proxy_port=$(sed -n 's/.*"proxy":\([0-9][0-9]*\).*/\1/p' "$work/ports")
[ -n "$proxy_port" ] || { echo "bench: the stand-in hosts gave no proxy port" >&2; exit 1; }

echo "bench: $(chromium --version 2>/dev/null | head -1); $PAIRS pairs after a warm-up"
export GDK_BACKEND=x11
status=0
dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1080x24" \
    "./$BUILD/bench/vorlia-startup-bench" \
    --requests "$work/requests.log" \
    --work "$work/runs" \
    --launcher "$PWD/$BUILD/demo/Vorlia.app/vorlia" \
    --chromium "$(command -v chromium)" \
    --proxy "http://127.0.0.1:$proxy_port" \
    --cert "$cert" \
    --spki "$spki" \
    --start-url "https://$game_host/act_web_tiyan/index.html?launcher=1" \
    --pairs "$PAIRS" \
    --json "$BUILD/bench/startup-memory.json" || status=$?
[ "$status" -eq 0 ] && echo "bench: figures saved in $BUILD/bench/startup-memory.json"
exit "$status"
