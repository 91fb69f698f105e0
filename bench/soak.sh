#!/bin/bash
# Benchmark, not a test: an hour of play. The demo launcher plays the stand-in's
# animating game (software OpenGL on a headless X display, as the playing
# benchmark) and, every minute, the process tree's memory (PSS, and each
# process's share), the frames a second the page got, the token pushes the
# page has seen (counted in the page, reported to the stand-in with the
# frames) and the open descriptors are sampled. It prints the growth an hour
# from the fifth minute on (a least-squares slope), writes the samples to
# JSON, and ends with the line "growth: memory <x> MiB/h descriptors <n>".
# The main loop's longest stall while playing comes from the stall probe.
#
#   bench/soak.sh [BUILD_DIR] [MINUTES (default 60)] [SAMPLES_JSON]
#
# SOAK_SAMPLE_SECONDS (default 60) shortens the sampling interval for a quick look.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD=$(cd "${1:-build}" && pwd)
MINUTES=${2:-60}
OUT=${3:-$PWD/soak-samples.json}
STEP=${SOAK_SAMPLE_SECONDS:-60}
if [[ ! $MINUTES =~ ^[0-9]+$ ]] || [ "$MINUTES" -lt 1 ] || [[ ! $STEP =~ ^[0-9]+$ ]] || [ "$STEP" -lt 1 ]; then
    echo "usage: $0 [BUILD_DIR] [MINUTES] [SAMPLES_JSON]" >&2
    exit 2
fi
. scripts/lib/headless.sh
. scripts/lib/standin.sh
standin_game_copy "$BUILD" soak
# Frames and token assignments, counted in the page and reported once a second.
counter='<script>(function () { var n = 0, pushes = 0, tok = window.__vrlTok;
Object.defineProperty(window, "__vrlTok", { configurable: true, get: function () { return tok; },
  set: function (v) { tok = v; pushes++; } });
function f() { n++; requestAnimationFrame(f); } requestAnimationFrame(f);
setInterval(function () { fetch("/act_web_tiyan/frames-" + n + "-pushes-" + pushes); n = 0; }, 1000); })();</script>'
page="$work/game/act_web_tiyan/index.html"
grep -q '</body>' "$page" || die "the stand-in's game page has no </body> to add the counter before"
sed -i "s|</body>|${counter//$'\n'/ }</body>|" "$page"
standin_start "$BUILD" "$work" --game-dir "$work/game" --log "$work/requests.log" || exit 1
headless_start --no-window-manager --screen 1280x1024x24

last_report() { grep -o 'frames-[0-9]*-pushes-[0-9]*' "$work/requests.log" 2>/dev/null | tail -1; }
reported() { [ -n "$(last_report)" ]; }

mark="VORLIA_SOAK_RUN=$$"
home="$work/home"
(private_home "$home" && exec env "$mark" VORLIA_DEMO_STALL_LOG="$work/stalls" "${STANDIN_ROUTE[@]}" \
    "$BUILD/demo/Vorlia.app/vorlia") >"$work/launcher.out" 2>&1 &
top=$!
disown "$top"
at_exit stop_processes_with_setting "${mark%%=*}" "${mark#*=}"
wait_until 60 reported || die "the page reported no frames within 60 s (see $work/launcher.out)"
started=$(python3 bench/lib/stalls.py now)

echo "soak: $MINUTES min, a sample every $STEP s; $(uptime)" >&2
: >"$work/samples"
for ((i = 0; i <= MINUTES * 60 / STEP; i++)); do
    [ "$i" -eq 0 ] || sleep "$STEP"
    running "$top" || die "the launcher ended during the soak (see $work/launcher.out)"
    report=$(last_report)
    {
        echo "sample $((i * STEP)) ${report#frames-}"
        for pid in $(process_tree "$top"); do
            pss=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || true)
            fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
            [ -z "$pss" ] || echo "process $pid $(cat "/proc/$pid/comm" 2>/dev/null | tr ' ' _) $pss $fds"
        done
    } >>"$work/samples"
done
ended=$(python3 bench/lib/stalls.py now)

python3 - "$work/samples" "$OUT" "$STEP" "$top" "$work/stalls" "$started" "$ended" <<'PY'
import json, statistics, sys
sys.path.insert(0, "bench/lib")
import stalls

path, out, step, top = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
samples = []
for line in open(path):
    f = line.split()
    if f[0] == "sample":
        counts = f[2].split("-pushes-") if len(f) > 2 else ["0", "0"]
        samples.append({"second": int(f[1]), "fps": int(counts[0]), "tokenPushes": int(counts[1]),
                        "processes": []})
    else:
        samples[-1]["processes"].append({"pid": int(f[1]), "name": f[2], "pssKiB": int(f[3]), "fds": int(f[4])})
for s in samples:
    s["pssMiB"] = sum(p["pssKiB"] for p in s["processes"]) / 1024
    s["fds"] = sum(p["fds"] for p in s["processes"])
    s["launcherFds"] = next((p["fds"] for p in s["processes"] if str(p["pid"]) == top), 0)

def slope(points):  # least squares, units per hour
    if len(points) < 2:
        return 0.0
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    return sum((x - mx) * (y - my) for x, y in points) / sxx * 3600 if sxx else 0.0

settled = [s for s in samples if s["second"] >= 300] or samples
names = sorted({p["name"] for s in samples for p in s["processes"]})
per_process = {}
for name in names:
    pts = [(s["second"], sum(p["pssKiB"] for p in s["processes"] if p["name"] == name) / 1024) for s in settled]
    per_process[name] = {"first": pts[0][1], "last": pts[-1][1], "growthMiBPerHour": slope(pts)}
growth = slope([(s["second"], s["pssMiB"]) for s in settled])
fd_growth = settled[-1]["fds"] - settled[0]["fds"]
fps = [s["fps"] for s in settled]
pushes = samples[-1]["tokenPushes"]
longest = stalls.longest(sys.argv[5], int(sys.argv[6]), int(sys.argv[7]))
most_work = stalls.most_work(sys.argv[5], int(sys.argv[6]), int(sys.argv[7]))
json.dump({"samples": samples, "perProcess": per_process, "growthMiBPerHour": growth,
           "descriptorGrowth": fd_growth, "longestStallUs": longest,
           "mostWorkInOneTurnUs": most_work}, open(out, "w"), indent=1)
for name, v in per_process.items():
    print(f"{name:16s} {v['first']:7.1f} -> {v['last']:7.1f} MiB   {v['growthMiBPerHour']:+7.1f} MiB/h")
print(f"tree             {settled[0]['pssMiB']:7.1f} -> {settled[-1]['pssMiB']:7.1f} MiB (from second {settled[0]['second']})")
print(f"frames a second  min {min(fps)} median {statistics.median(fps):g} max {max(fps)}")
print(f"token pushes     {pushes} in {samples[-1]['second']} s (one every 600 s expected)")
print(f"descriptors      launcher {settled[0]['launcherFds']} -> {settled[-1]['launcherFds']}, tree {settled[0]['fds']} -> {settled[-1]['fds']}")
print(f"longest main-loop stall while playing: {longest / 1000:.1f} ms "
      f"(most work in one turn {most_work / 1000:.1f} ms)")
print(f"samples: {out}")
print(f"growth: memory {growth:.1f} MiB/h descriptors {fd_growth}")
PY
