#!/bin/bash
# Benchmark, not a test: what the game costs the machine while it plays. The
# stand-in's game page animates its scene, drawn with the 2D canvas or, with
# "scene=webgl" in its address, with WebGL; a counter added to a copy of that
# page reports, once a second, the frames the page was given and the
# intervals between them. For the launcher and for Chromium in app mode (when
# installed), one after another in windows of the same size, in each scene, it
# prints the frames a second the page got, the spread of frame intervals
# (median, 95th and 99th percentile, longest), the processor time of all the
# contestant's processes (one core = 100%) and of its busiest one, for the
# launcher its main process's page faults a second and its longest main-loop
# stall (the demo's stall probe), then the launcher/Chromium ratios, a line
# "median: frames <x> cpu <y>" (the ratios' median over the scenes) and the
# figures as JSON (also written to BUILD_DIR/playing.json). Software OpenGL on
# a headless X display, as the start-up benchmark.
#
#   bench/playing.sh [BUILD_DIR] [SECONDS]
#
# PLAYING_VARIANT="NAME=VALUE ..." adds, side by side, the launcher started
# with those settings too (an attempt to compare with the launcher as it is).
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
standin_game_copy "$BUILD" playing
counter='<script>(function () { var n = 0, last = 0, iv = []; function f(t) { if (last) iv.push(Math.round((t - last) * 10) / 10);
last = t; n++; requestAnimationFrame(f); } requestAnimationFrame(f); setInterval(function () {
fetch("/act_web_tiyan/frames?r=" + encodeURIComponent(JSON.stringify({ n: n, iv: iv }))); n = 0; iv = []; }, 1000); })();</script>'
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
    local pid t
    for pid in "$@"; do
        t=$(stat_fields "$pid" 14 15) && echo "$pid $((${t% *} + ${t#* }))"
    done
    return 0
}
faults() { stat_fields "$1" 10; }
# The page's reports, one JSON object a line.
reports() {
    python3 -c 'import json, sys, urllib.parse
for line in open(sys.argv[1]):
    try:
        entry = json.loads(line)
    except ValueError:
        continue
    if entry.get("path", "").endswith("/act_web_tiyan/frames") and entry.get("query", "").startswith("r="):
        print(urllib.parse.unquote(entry["query"][2:]))' "$work/requests.log" 2>/dev/null || true
}
report_count() { reports | wc -l; }
reports_beyond() { [ "$(report_count)" -gt "$1" ]; }

stalls="$work/stalls.log"
results="$work/results.jsonl"

# Runs NAME's command (the rest) in SCENE with a fresh profile, marked by a
# setting all its processes inherit, and prints its figures (and adds them,
# as JSON, to $results).
measure() {
    local name=$1 scene=$2 mark="VORLIA_PLAYING_RUN=$1.$2.$$"
    shift 2
    local profile="$work/profile-$name-$scene"
    (private_home "$profile" && exec env "$mark" "$@") >"$work/$name-$scene.out" 2>&1 &
    local top=$!
    disown "$top" # its end by a signal is expected, not news
    # Its page counts for two seconds first: it is loaded and drawing.
    local seen
    seen=$(report_count)
    if ! wait_until 60 reports_beyond "$((seen + 2))"; then
        stop_processes_with_setting "${mark%%=*}" "${mark#*=}"
        die "$name: its page reported no frames within 60 s (see $work/$name-$scene.out)"
    fi
    local pids before after f0 f1 t0 t1
    pids=$(process_tree "$top")
    # shellcheck disable=SC2086 # one word per process
    before=$(ticks $pids)
    f0=$(faults "$top")
    seen=$(report_count)
    t0=$(python3 bench/lib/stalls.py now)
    sleep "$SECONDS_MEASURED"
    t1=$(python3 bench/lib/stalls.py now)
    # shellcheck disable=SC2086
    after=$(ticks $pids)
    f1=$(faults "$top")
    local stall=null
    [[ $name != launcher* ]] || stall=$(python3 bench/lib/stalls.py longest "$stalls" "$t0" "$t1" | cut -d' ' -f1)
    local cpu
    cpu=$(join <(sort <<<"$before") <(sort <<<"$after") | awk -v s="$SECONDS_MEASURED" -v hz="$hz" -v top="$top" '
        { used = ($3 - $2) * 100 / s / hz; total += used
          if (used > most) { most = used; busiest = $1 } }
        END {
            cmd = "cat /proc/" busiest "/comm 2>/dev/null"; cmd | getline comm
            printf "%.1f %.1f %s\n", total, most, busiest == top ? "main" : comm
        }')
    local measured
    # The reader's end of the pipe closes early on purpose.
    measured=$(reports | tail -n +$((seen + 1)) | head -n "$((SECONDS_MEASURED - 1))") || true
    # shellcheck disable=SC2086 # $cpu is three words
    python3 -c '
import json, statistics, sys
name, scene, cpu, busiest, comm, faults, stall = sys.argv[1:8]
reports = [json.loads(line) for line in sys.stdin]
frames = [r["n"] for r in reports]
intervals = sorted(i for r in reports for i in r["iv"])
def pct(p):
    return intervals[min(len(intervals) - 1, int(p / 100 * len(intervals)))] if intervals else 0
row = {"contestant": name, "scene": scene, "fps": statistics.median(frames) if frames else 0,
       "interval_ms": {"median": statistics.median(intervals) if intervals else 0, "p95": pct(95), "p99": pct(99),
                       "max": intervals[-1] if intervals else 0},
       "cpu_percent": float(cpu), "busiest_percent": float(busiest), "busiest": comm,
       "main_faults_per_s": int(faults),
       "longest_stall_ms": None if stall == "null" else int(stall) / 1000}
print(json.dumps(row))
i = row["interval_ms"]
print("%-9s %-7s %4g fps  intervals ms: median %5.1f p95 %5.1f p99 %5.1f max %6.1f  all processes %4.0f%%  busiest %4.0f%% (%s)  main %6d faults/s  longest stall %s"
      % (name, scene, row["fps"], i["median"], i["p95"], i["p99"], i["max"], row["cpu_percent"], row["busiest_percent"],
         comm, row["main_faults_per_s"], "-" if stall == "null" else "%.0f ms" % (int(stall) / 1000)), file=sys.stderr)
 ' "$name" "$scene" $cpu "$(((f1 - f0) / SECONDS_MEASURED))" "$stall" <<<"$measured" >>"$results"
    stop_processes_with_setting "${mark%%=*}" "${mark#*=}"
}

echo "while the game animates, median of ${SECONDS_MEASURED} s; $(uptime)"
root_flag=()
[ "$(id -u)" -ne 0 ] || root_flag=(--no-sandbox)
for scene in canvas webgl; do
    query="launcher=1"
    [ "$scene" = canvas ] || query="launcher=1&scene=$scene"
    measure launcher "$scene" env "${STANDIN_ROUTE[@]}" VORLIA_DEMO_STALL_LOG="$stalls" \
        VORLIA_DEMO_START_QUERY="${query#launcher=1&}" "$BUILD/demo/Vorlia.app/vorlia" 2>&1
    if [ -n "${PLAYING_VARIANT:-}" ]; then
        # shellcheck disable=SC2086 # one word per setting
        measure launcher-variant "$scene" env "${STANDIN_ROUTE[@]}" VORLIA_DEMO_STALL_LOG="$stalls" \
            VORLIA_DEMO_START_QUERY="${query#launcher=1&}" $PLAYING_VARIANT "$BUILD/demo/Vorlia.app/vorlia" 2>&1
    fi
    if command -v chromium >/dev/null; then
        measure chromium "$scene" chromium "${root_flag[@]}" --no-first-run --no-default-browser-check \
            --disable-background-networking --disable-component-update --disable-sync --disable-quic \
            --enable-unsafe-swiftshader \
            --proxy-server="$STANDIN_PROXY" --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" \
            --ignore-certificate-errors-spki-list="$spki" --window-size=1280,800 \
            --app="https://$game_host/act_web_tiyan/index.html?$query" 2>&1
    fi
done
command -v chromium >/dev/null || echo "chromium is not installed: the launcher alone was measured"
python3 - "$results" "$BUILD/playing.json" "$(uptime)" <<'PY'
import json, statistics, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
figures = {"load": sys.argv[3].strip(), "runs": rows, "ratios": {}}
by = {(r["contestant"], r["scene"]): r for r in rows}
frames, cpu = [], []
for scene in ("canvas", "webgl"):
    l, c = by.get(("launcher", scene)), by.get(("chromium", scene))
    if l and c and c["fps"] and c["cpu_percent"]:
        ratio = {"frames": round(l["fps"] / c["fps"], 2), "cpu": round(l["cpu_percent"] / c["cpu_percent"], 2)}
        figures["ratios"][scene] = ratio
        frames.append(ratio["frames"]); cpu.append(ratio["cpu"])
        print("%s: launcher/chromium frames %.2fx cpu %.2fx" % (scene, ratio["frames"], ratio["cpu"]))
if frames:
    figures["ratios"]["median"] = {"frames": statistics.median(frames), "cpu": statistics.median(cpu)}
    print("median: frames %.2fx cpu %.2fx" % (statistics.median(frames), statistics.median(cpu)))
json.dump(figures, open(sys.argv[2], "w"), indent=1)
print(json.dumps(figures))
PY
