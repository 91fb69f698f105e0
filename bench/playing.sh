#!/bin/bash
# Benchmark, not a test: what the game costs the machine while it plays. The
# stand-in's game page animates its scene; a counter added to a copy of that
# page reports, once a second, how many frames the page was given. For the
# launcher and for Chromium in app mode (when installed), one after another
# in windows of the same size, it prints the frames a second the page got,
# the processor time of all the contestant's processes (one core = 100%) and
# of its busiest one, and, for the launcher's own process, its page faults a
# second. Software OpenGL on a headless X display, as the start-up benchmark.
#
#   bench/playing.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD=$(cd "${1:-build}" && pwd)
SECONDS_MEASURED=${2:-10}
if [[ ! $SECONDS_MEASURED =~ ^[0-9]+$ ]] || [ "$SECONDS_MEASURED" -lt 2 ]; then
    echo "usage: $0 [BUILD_DIR] [SECONDS (at least 2)]" >&2
    exit 2
fi
. scripts/lib/headless.sh
. scripts/lib/standin.sh
[ -x "$BUILD/demo/Vorlia.app/vorlia" ] || die "$BUILD has no demo launcher; build it first"

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-playing.XXXXXX")
at_exit rm -rf "$work"
cp -a tools/standin/game "$work/game"
counter='<script>(function () { var n = 0; function f() { n++; requestAnimationFrame(f); }
requestAnimationFrame(f); setInterval(function () { fetch("/act_web_tiyan/frames-" + n); n = 0; }, 1000); })();</script>'
page="$work/game/act_web_tiyan/index.html"
grep -q '</body>' "$page" || die "the stand-in's game page has no </body> to add the counter before"
sed -i "s|</body>|${counter//$'\n'/ }</body>|" "$page"
standin_start "$BUILD" "$work" --game-dir "$work/game" --log "$work/requests.log" || exit 1
headless_start --no-window-manager --screen 1280x1024x24

game_host=$(cache_value "$BUILD" VORLIA_GAME_HOST)
cert="$BUILD/standin/standin-cert.pem"
spki=$(openssl x509 -in "$cert" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -binary | openssl base64 -A)
hz=$(getconf CLK_TCK)

# Processor ticks (user and system) of each PID, one "pid ticks" a line.
ticks() {
    local pid
    for pid in "$@"; do
        awk -v p="$pid" '{ print p, $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || true
    done
}
# PID and every process below it.
family() {
    local pid=$1 kids
    echo "$pid"
    kids=$(cat /proc/[0-9]*/stat 2>/dev/null | sed -n "s/^\([0-9]*\) (.*) . $pid .*/\1/p")
    for pid in $kids; do family "$pid"; done
}
faults() { awk '{ print $10 }' "/proc/$1/stat"; }
reports() { grep -o 'frames-[0-9]*' "$work/requests.log" 2>/dev/null | cut -d- -f2 || true; }
report_count() { reports | wc -l; }
reports_beyond() { [ "$(report_count)" -gt "$1" ]; }

# Runs NAME's command (the rest) with a fresh profile, marked by a setting all
# its processes inherit, and prints its figures.
measure() {
    local name=$1 mark="VORLIA_PLAYING_RUN=$1.$$"
    shift
    local profile="$work/profile-$name"
    mkdir -p "$profile"
    env HOME="$profile" XDG_CONFIG_HOME="$profile/config" XDG_DATA_HOME="$profile/data" \
        XDG_CACHE_HOME="$profile/cache" XDG_STATE_HOME="$profile/state" "$mark" "$@" >"$work/$name.out" 2>&1 &
    local top=$!
    disown "$top" # its end by a signal is expected, not news
    # Its page counts for two seconds first: it is loaded and drawing.
    local seen
    seen=$(report_count)
    if ! wait_until 60 reports_beyond "$((seen + 2))"; then
        stop_processes_with_setting "${mark%%=*}" "${mark#*=}"
        die "$name: its page reported no frames within 60 s (see $work/$name.out)"
    fi
    local pids before after f0 f1
    pids=$(family "$top")
    # shellcheck disable=SC2086 # one word per process
    before=$(ticks $pids)
    f0=$(faults "$top")
    seen=$(report_count)
    sleep "$SECONDS_MEASURED"
    # shellcheck disable=SC2086
    after=$(ticks $pids)
    f1=$(faults "$top")
    local frames
    frames=$(reports | tail -n +$((seen + 1)) | head -n "$((SECONDS_MEASURED - 1))" | sort -n |
        awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : 0) }')
    join <(sort <<<"$before") <(sort <<<"$after") | awk -v name="$name" -v s="$SECONDS_MEASURED" -v hz="$hz" \
        -v frames="$frames" -v fl="$(((f1 - f0) / SECONDS_MEASURED))" -v top="$top" '
        { used = ($3 - $2) * 100 / s / hz; total += used
          if (used > most) { most = used; busiest = $1 } }
        END {
            cmd = "cat /proc/" busiest "/comm 2>/dev/null"; cmd | getline comm
            printf "%-9s %6d fps   all processes %4.0f%%   busiest %4.0f%% (%s)   main process %6d faults/s\n",
                name, frames, total, most, busiest == top ? "main" : comm, fl
        }'
    stop_processes_with_setting "${mark%%=*}" "${mark#*=}"
}

echo "while the game animates, median of ${SECONDS_MEASURED} s; $(uptime)"
measure launcher env "${STANDIN_ROUTE[@]}" "$BUILD/demo/Vorlia.app/vorlia"
if command -v chromium >/dev/null; then
    root_flag=()
    [ "$(id -u)" -ne 0 ] || root_flag=(--no-sandbox)
    measure chromium chromium "${root_flag[@]}" --no-first-run --no-default-browser-check \
        --disable-background-networking --disable-component-update --disable-sync --disable-quic \
        --proxy-server="$STANDIN_PROXY" --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" \
        --ignore-certificate-errors-spki-list="$spki" --window-size=1280,800 \
        --app="https://$game_host/act_web_tiyan/index.html?launcher=1"
else
    echo "chromium is not installed: the launcher alone was measured"
fi
