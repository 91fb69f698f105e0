#!/bin/bash
# Benchmark, not a test: the demo launcher's longest main-loop stall from its
# start to the game page's first frame (the page reports its first animation
# frame to the stand-in), over RUNS fresh starts, from the stall probe.
#
#   bench/start-stalls.sh [BUILD_DIR] [RUNS (default 3)]
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${2:-3}
[[ $RUNS =~ ^[0-9]+$ ]] && [ "$RUNS" -ge 1 ] || { echo "usage: $0 [BUILD_DIR] [RUNS]" >&2; exit 2; }
. scripts/lib/headless.sh
. scripts/lib/standin.sh
standin_game_copy "$BUILD" start-stalls
page="$work/game/act_web_tiyan/index.html"
grep -q '</body>' "$page" || die "the stand-in's game page has no </body> to add the report before"
sed -i 's|</body>|<script>requestAnimationFrame(function () { fetch("/act_web_tiyan/first-frame"); });</script></body>|' "$page"
standin_start "$BUILD" "$work" --game-dir "$work/game" --log "$work/requests.log" || exit 1
headless_start --no-window-manager --screen 1280x1024x24
frames() { grep -c 'first-frame' "$work/requests.log" 2>/dev/null || true; }
frames_beyond() { [ "$(frames)" -gt "$1" ]; }

echo "start to first frame, $RUNS runs; $(uptime)"
for ((run = 1; run <= RUNS; run++)); do
    home="$work/home-$run"
    seen=$(frames)
    mark="VORLIA_START_STALLS_RUN=$$.$run"
    t0=$(python3 bench/lib/stalls.py now)
    (private_home "$home" && exec env "$mark" VORLIA_DEMO_STALL_LOG="$work/stalls-$run" "${STANDIN_ROUTE[@]}" \
        "$BUILD/demo/Vorlia.app/vorlia") >"$work/launcher-$run.out" 2>&1 &
    disown $!
    wait_until 60 frames_beyond "$seen" || die "run $run: no first frame within 60 s"
    t1=$(python3 bench/lib/stalls.py now)
    read -r longest count busy < <(python3 bench/lib/stalls.py longest "$work/stalls-$run" "$t0" "$t1")
    printf 'run %d: first frame after %5.0f ms, longest stall %5.1f ms (most work in one turn %5.1f ms), %d turns of 8 ms or more\n' \
        "$run" "$(((t1 - t0) / 1000))" "$(bc -l <<<"$longest / 1000")" "$(bc -l <<<"$busy / 1000")" "$count"
    stop_processes_with_setting "${mark%%=*}" "${mark#*=}"
done
