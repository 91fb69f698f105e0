#!/bin/bash
# Benchmark, not a test: the relaunch after an update as the player sees it,
# through the update suites' harness (tests/scripts/lib/update_harness.sh):
# a small release of version 2 from the stand-in site host, "Update now"
# pressed in the offer, then the old launcher's window and process going, the
# relaunch script starting the new launcher, its window showing and its start
# page's load event (stamped by the stand-in when the page reports it). Each
# run is a case of its own; the medians come last.
#
#   bench/relaunch_benchmark.sh BUILD_DIR [RUNS]   (default 5 runs)
set -uo pipefail
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${2:-5}
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tests/scripts/lib/update_harness.sh
. "$SOURCE/tests/scripts/lib/update_harness.sh"
harness_start

# Presses Return in the offer and watches the relaunch from that moment (in
# wall-clock time, as the stand-in stamps its log): the old launcher's exit
# through a pidfd, the rest by looking every 5 ms (the windows every 10 ms).
# Prints the columns' milliseconds, or nothing after 60 s.
watch_relaunch() {
    python3 - "$@" <<'PY'
import glob, json, os, select, subprocess, sys, threading, time
old, app, work, log, mark = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
marks = {}
new = None

def shown(pid):
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], capture_output=True).returncode == 0

def new_launcher():
    for p in os.listdir("/proc"):
        if p.isdigit() and int(p) != old:
            try:
                if os.readlink(f"/proc/{p}/exe") == app + "/vorlia":
                    return int(p)
            except OSError:
                pass
    return None

def watch_exit(pidfd):
    select.select([pidfd], [], [])
    marks["gone"] = time.time()

def watch_windows():  # each look starts a program: a thread of its own keeps the others exact
    while "loaded" not in marks and time.time() < deadline:
        if "script" in marks and "hidden" not in marks and not shown(old):
            marks["hidden"] = time.time()
        if new and "shown" not in marks and shown(new):
            marks["shown"] = time.time()
        time.sleep(0.01)

deadline = time.time() + 60
pidfd = os.pidfd_open(old)
threading.Thread(target=watch_exit, args=(pidfd,), daemon=True).start()
start = time.time()
subprocess.run(["xdotool", "key", "--clearmodifiers", "Return"], check=True)
windows = threading.Thread(target=watch_windows, daemon=True)
windows.start()
while "loaded" not in marks and time.time() < deadline:
    if "script" not in marks and glob.glob(work + "/vrl-update-*/swap.sh"):
        marks["script"] = time.time()
    # Only once the old one is gone: until then the launcher's own short-lived
    # forks that start the script run from the same file. The script becomes
    # the new launcher by exec, so its start time in /proc is the script's.
    if "gone" in marks and new is None:
        new = new_launcher()
        if new:
            marks["new"] = time.time()
    if new:
        with open(log) as f:
            for line in f.readlines()[mark:]:
                entry = json.loads(line)
                if entry.get("path") == "/act_web_tiyan/loaded" and "VRLLauncher/2" in line:
                    marks["loaded"] = entry["time"]
                    break
    time.sleep(0.005)
windows.join()
if "loaded" in marks:
    marks.setdefault("hidden", marks["gone"])
    marks.setdefault("shown", marks["loaded"])
    print(" ".join(str(round((marks[c] - start) * 1000)) for c in sys.argv[6:]))
PY
}

COLUMNS=(script hidden gone new shown loaded)
declare -A SAMPLES=()

run_once() {
    local n=$1
    begin_case "relaunch_$n"
    publish_version_2
    start_standin || { end_case; return; }
    start_launcher
    wait_for_offer || { end_case; return; }
    sleep 1

    local mark figures
    mark=$(log_mark)
    figures=$(watch_relaunch "$LAUNCHER" "$B" "$S/tmp" "$S/requests.log" "$mark" "${COLUMNS[@]}")
    if [ -z "$figures" ]; then
        fail "version 2 had not loaded its page 60 s after \"Update now\""
        end_case
        return
    fi
    local c t line="" i=0
    read -ra t <<<"$figures"
    for c in "${COLUMNS[@]}"; do
        SAMPLES[$c]+="${t[i]} "
        line+=$(printf '%8s' "${t[i]}")
        i=$((i + 1))
    done
    echo "run $n (ms after \"Update now\"):$line"
    end_case
}

# The median of the numbers read, the mean of the middle two for an even count.
median() { python3 -c 'import statistics, sys; v = [float(x) for x in sys.stdin.read().split()]; print("%g" % statistics.median(v) if v else "")'; }

echo "relaunch after \"Update now\": load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "columns: swap.sh written, old window hidden, old process gone, new process running, new window shown, new page's load event"
printf '%-30s' ""
printf '%8s' "${COLUMNS[@]}"
echo
for ((i = 1; i <= RUNS; i++)); do run_once "$i"; done
printf '%-30s' "median of ${RUNS} (ms):"
for c in "${COLUMNS[@]}"; do printf '%8s' "$(median <<<"${SAMPLES[$c]:-}")"; done
echo
if [ ${#failures[@]} -gt 0 ]; then
    echo "relaunch benchmark: some runs were not measured:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
