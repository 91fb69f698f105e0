#!/bin/bash
# The README's run command on a private headless desktop: the demo launcher
# plays the stand-in start page with every gated check passing, and when the
# launcher quits (as its menu quits it) the command ends and takes the
# stand-in hosts and its temporary folder with it.
#
#   tests/scripts/demo-run.sh BUILD_DIR
set -euo pipefail
BUILD=$(realpath "${1:-build}")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/headless.sh
. "$ROOT/scripts/lib/headless.sh"
work=$(mktemp -d)
at_exit rm -rf "$work"
headless_start
private_home "$work/home"
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"

bash "$ROOT/scripts/demo.sh" "$BUILD" >"$work/demo.out" 2>&1 &
demo=$!
at_exit stop_process "$demo"
show_demo() { sed 's/^/    /' "$work/demo.out"; }

# The demo builds first, when anything changed.
wait_for_text "$work/demo.out" "request log:" 600 || { show_demo; die "the demo never started its hosts"; }
log=$(sed -n "s/.*request log: //p" "$work/demo.out")
report_path=/act_web_tiyan/report
wait_for_text "$log" "$report_path" 60 || { cat "$log"; die "the start page never reported its checks"; }
report=$(grep -F "$report_path" "$log")
for check in xhr fetch websocket; do
    grep -qF "\\\"$check\\\":{\\\"passed\\\":true" <<<"$report" || die "the $check check did not pass: $report"
done

launcher_action quit
wait_for_exit "$demo" 30 || die "the run command did not end with the launcher"
status=0
wait "$demo" || status=$?
[ "$status" -eq 0 ] || { show_demo; die "the run command exited with status $status"; }
if pgrep -f -- "--log $log" >/dev/null; then die "the stand-in hosts outlived the launcher"; fi
if [ -e "$(dirname "$log")" ]; then die "the run command left $(dirname "$log") behind"; fi
echo "run command: the demo played the stand-in start page and stopped its hosts with the launcher"
