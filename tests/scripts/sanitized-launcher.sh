#!/bin/bash
# The whole launcher built with address and undefined-behaviour sanitizers:
# it starts on a private headless desktop, loads the stand-in start page, runs
# a menu update check (through the application's exported actions, as the
# menu does), and quits; no sanitizer may report anything from the launcher's
# own code.
#
#   tests/scripts/sanitized-launcher.sh BUILD_DIR      (the sanitized build goes to BUILD_DIR-asan)
set -euo pipefail
BUILD=$(realpath "${1:-build}")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/headless.sh
. "$ROOT/scripts/lib/headless.sh"
# shellcheck source=scripts/lib/standin.sh
. "$ROOT/scripts/lib/standin.sh"
ASAN_BUILD="${BUILD}-asan"
configure_build "$ROOT" "$ASAN_BUILD" -DVORLIA_SANITIZE=ON
ninja -C "$ASAN_BUILD" vorlia_demo >/dev/null
ninja -C "$BUILD" vorlia-standin >/dev/null

work=$(mktemp -d)
at_exit rm -rf "$work"
headless_start
private_home "$work/home"
standin_start "$BUILD" "$work" --log "$work/requests.log" || exit 1

export VORLIA_TEST_LOG="$work/alerts.log"
dialog_gone() { ! headless_dialog_has_focus; }
# intercept_tls_get_addr=0 works around LeakSanitizer now and then taking a
# dynamic TLS block for an older glibc's layout and scanning a range that is
# not mapped ("Tracer caught signal 11", google/sanitizers#1322); it can go
# once the sanitizer runtime asks glibc for its version. The launcher's own
# code keeps nothing in dynamic TLS.
ASAN_OPTIONS="detect_leaks=1:intercept_tls_get_addr=0:log_path=$work/asan:halt_on_error=0" \
UBSAN_OPTIONS="print_stacktrace=1:log_path=$work/ubsan" \
LSAN_OPTIONS="report_objects=0" \
    env "${STANDIN_ROUTE[@]}" "$ASAN_BUILD/demo/Vorlia.app/vorlia" &
launcher=$!
at_exit stop_process "$launcher"

wait_for_text "$work/requests.log" "/act_web_tiyan/index.html" 60 || die "the start page was never requested"

# "Check for Updates…", then answer whatever alert it shows, then quit.
launcher_action check-updates
wait_for_text "$work/requests.log" "version.json" 30 || die "the update check asked for no manifest"
wait_for_text "$VORLIA_TEST_LOG" '"alert":' 60 || die "the update check showed no alert"
headless_key_in_dialog Escape || die "could not answer the alert"
wait_until 30 dialog_gone || die "the alert stayed after Escape"
launcher_action quit
wait_for_exit "$launcher" 30 || die "the launcher did not quit"
status=0
wait "$launcher" || status=$?
# Kept after the run, so that a failure can be read later.
rm -rf "$ASAN_BUILD/sanitizer-reports"
mkdir -p "$ASAN_BUILD/sanitizer-reports"
cp "$work"/asan.* "$work"/ubsan.* "$ASAN_BUILD/sanitizer-reports/" 2>/dev/null || true
# LeakSanitizer ends the process with status 1 for any leak, the drivers'
# and libraries' own included: the reports below decide whether it is ours.
if [ "$status" -ne 0 ] && ! { [ "$status" -eq 1 ] && grep -qs "ERROR: LeakSanitizer" "$work"/asan.*; }; then
    die "the launcher exited with status $status"
fi

# Errors anywhere fail; leaks count only when the launcher's own code allocated them.
status=0
for report in "$work"/asan.* "$work"/ubsan.*; do
    [ -e "$report" ] || continue
    if grep -q "ERROR: AddressSanitizer\|runtime error:" "$report"; then
        echo "sanitizer error:"; cat "$report"; status=1
    elif awk -v root="$ROOT/src/" '
            /^(Direct|Indirect) leak/ { inleak = 1; next }
            inleak && /^$/ { inleak = 0 }
            inleak && index($0, root) { found = 1 }
            END { exit found ? 0 : 1 }' "$report"; then
        echo "leak from the launcher's own code:"; cat "$report"; status=1
    fi
done
[ $status -eq 0 ] && echo "sanitized launcher: started, loaded the start page, checked for updates, quit cleanly"
[ $status -eq 0 ] || echo "(the reports are kept in $ASAN_BUILD/sanitizer-reports)"
exit $status
