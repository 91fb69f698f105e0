#!/bin/bash
# Start-up time and memory of the launcher against Chromium in app mode, both
# playing the stand-in game host's start page over https on the game host's
# name, routed through the stand-in's proxy on loopback and trusting only the
# stand-in's certificate, under Xvfb (no window manager) in a private D-Bus
# session.
#
#   bench/startup-memory.sh [BUILD_DIR] [PAIRS]   (default build/ and 7 pairs;
#                                                a lone number is the pairs)
#
# Measures the build as it is: it configures and builds only when BUILD_DIR
# has no launcher yet (the benchmark's own driver is always brought up to
# date, which touches nothing the launcher is made of). Debian's chromium is
# installed with apt-get when missing.
#
# After one warm-up each, every pair starts each contestant twice on one
# profile: cold (a fresh profile) and warm (the same profile again, right
# after); who goes first alternates from pair to pair. Each run gives, from
# the process start taken by the driver on the wall clock:
#   first frame  the first moment a window of the run is mapped and shows more
#                than one colour. The driver subscribes to the X Damage
#                extension on the root window, so it is woken whenever
#                anything is drawn; it then reads the screen under each new
#                mapped top-level window (XGetImage on the root, so the
#                window's own visual does not matter) and takes the first
#                moment that area is not one flat colour. Event-driven, it
#                costs nothing between draws, and a window that is mapped but
#                still blank does not count. Both contestants' first frames
#                may hold only their own frame (the launcher's menu bar,
#                Chromium's info bar) before any of the page.
#   page painted the first moment the lower half of that window is not one
#                flat colour: neither contestant draws anything of its own
#                there, so that is the page's content on screen.
#   load event   stamped by the page itself (performance.timeOrigin +
#                performance.now() at its load event) and sent to the stand-in
#                in its report, so the report's own trip through the proxy
#                does not count.
#   memory       the PSS of every process the run started, once the page has
#                reported its checks and a further 3 s have passed. WebKit or
#                Chromium processes alive on the machine that the run did not
#                start share library pages with the run's own and lower its
#                figure; each run counts them and says "memory not exclusive:
#                N foreign processes" when there were any, and the table adds
#                the medians over the pairs in which there were none.
#
# Prints every run, the medians, the launcher/Chromium ratios pair by pair and
# the summary lines (cold load and memory, warm load and memory, first frame
# and page painted, cold and warm); the same output goes to BUILD_DIR/bench/startup-memory.txt
# and every figure, with the date, the Chromium version and the load average,
# to BUILD_DIR/bench/startup-memory.json; the screens behind the first frame
# and the page painted in the first pair are kept as pictures in
# BUILD_DIR/bench/startup-memory-frames/, to see what counted.
#
# A benchmark, not a test: run it by hand on a machine as quiet as you can
# get. It stops by itself (every wait is bounded) and stops every process it
# started.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD=build
if [ $# -gt 0 ] && [[ ! $1 =~ ^[0-9]+$ ]]; then
    BUILD=$1
    shift
fi
PAIRS=${1:-7}
if [[ ! $PAIRS =~ ^[0-9]+$ ]] || [ "$PAIRS" -lt 1 ]; then
    echo "usage: $0 [BUILD_DIR] [PAIRS]" >&2
    exit 2
fi
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

if [ ! -x "$BUILD/demo/Vorlia.app/vorlia" ]; then
    echo "bench: $BUILD has no launcher yet; building it"
    configure_build . "$BUILD"
    ninja -C "$BUILD" -j2 vorlia_demo vorlia-standin vorlia-startup-bench
else
    [ -x "$BUILD/tools/vorlia-standin" ] || ninja -C "$BUILD" -j2 vorlia-standin
    ninja -C "$BUILD" -j2 vorlia-startup-bench >/dev/null
fi
BUILD=$(cd "$BUILD" && pwd)

game_host=$(cache_value "$BUILD" VORLIA_GAME_HOST)
cert="$BUILD/standin/standin-cert.pem"
# Chromium trusts the stand-in's key for this run only, by its SPKI hash.
spki=$(openssl x509 -in "$cert" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -binary | openssl base64 -A)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-bench.XXXXXX")
at_exit rm -rf "$work"
standin_start "$BUILD" "$work" --log "$work/requests.log" || exit 1

chromium_version=$(timeout 20 chromium --version 2>/dev/null | head -1) || true
commit=$(git -C "$(dirname "$BUILD")" rev-parse --short HEAD 2>/dev/null) || commit=""
json="$BUILD/bench/startup-memory.json"
table="$BUILD/bench/startup-memory.txt"
frames="$BUILD/bench/startup-memory-frames"
mkdir -p "$BUILD/bench"
rm -rf "$frames"
echo "bench: ${chromium_version:-chromium (version unknown)}; $PAIRS pairs after a warm-up; $(uptime)" |
    tee "$table"
headless_start --no-window-manager
status=0
"$BUILD/bench/vorlia-startup-bench" \
    --requests "$work/requests.log" \
    --work "$work/runs" \
    --launcher "$BUILD/demo/Vorlia.app/vorlia" \
    --chromium "$(command -v chromium)" \
    --chromium-version "$chromium_version" \
    --commit "$commit" \
    --proxy "$STANDIN_PROXY" \
    --cert "$cert" \
    --spki "$spki" \
    --start-url "https://$game_host/act_web_tiyan/index.html?launcher=1" \
    --pairs "$PAIRS" \
    --json "$json" \
    --save-frames "$frames" | tee -i -a "$table" || status=${PIPESTATUS[0]}
if [ "$status" -eq 0 ]; then
    echo "bench: done; $(uptime)" | tee -a "$table"
else
    echo "bench: stopped with status $status; $(uptime)" | tee -a "$table"
fi
for picture in "$frames"/*.ppm; do
    [ -e "$picture" ] && convert "$picture" "${picture%.ppm}.png" && rm -f "$picture"
done
[ "$status" -eq 0 ] && echo "bench: figures saved in $json, this output in $table"
exit "$status"
