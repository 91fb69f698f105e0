#!/bin/bash
# Start-up time and memory of the launcher against Chromium in app mode, both
# playing the stand-in game host's start page over https on the game host's
# name, routed through the stand-in's proxy on loopback and trusting only the
# stand-in's certificate. Runs in turns, launcher then Chromium, after a
# warm-up, each run from a fresh profile, under Xvfb in a private D-Bus
# session; prints every run, the medians and the launcher/Chromium ratios.
#
#   bench/startup-memory.sh [BUILD_DIR] [PAIRS]   (default build and 5; a lone
#                                                number is the pairs; Debian's
#                                                chromium is installed with
#                                                apt-get when missing)
#
# A benchmark, not a test: run it by hand on a quiet machine. It stops by
# itself (every run is bounded) and stops every process it started.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD=build
if [ $# -gt 0 ] && [[ ! $1 =~ ^[0-9]+$ ]]; then
    BUILD=$1
    shift
fi
PAIRS=${1:-5}
# shellcheck source=scripts/lib/headless.sh
. scripts/lib/headless.sh
# shellcheck source=scripts/lib/standin.sh
. scripts/lib/standin.sh

need=()
command -v chromium >/dev/null || need+=(chromium)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi
bash scripts/install-deps.sh

configure_build . "$BUILD"
ninja -C "$BUILD" vorlia_demo vorlia-standin vorlia-startup-bench
BUILD=$(cd "$BUILD" && pwd)

game_host=$(cache_value "$BUILD" VORLIA_GAME_HOST)
cert="$BUILD/standin/standin-cert.pem"
# Chromium trusts the stand-in's key for this run only, by its SPKI hash.
spki=$(openssl x509 -in "$cert" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -binary | openssl base64 -A)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-bench.XXXXXX")
at_exit rm -rf "$work"
standin_start "$BUILD" "$work" --log "$work/requests.log" || exit 1

echo "bench: $(chromium --version 2>/dev/null | head -1); $PAIRS pairs after a warm-up"
# No window manager, as the figures in the README were taken.
headless_start --no-window-manager
status=0
"$BUILD/bench/vorlia-startup-bench" \
    --requests "$work/requests.log" \
    --work "$work/runs" \
    --launcher "$BUILD/demo/Vorlia.app/vorlia" \
    --chromium "$(command -v chromium)" \
    --proxy "$STANDIN_PROXY" \
    --cert "$cert" \
    --spki "$spki" \
    --start-url "https://$game_host/act_web_tiyan/index.html?launcher=1" \
    --pairs "$PAIRS" \
    --json "$BUILD/bench/startup-memory.json" || status=$?
[ "$status" -eq 0 ] && echo "bench: figures saved in $BUILD/bench/startup-memory.json"
exit "$status"
