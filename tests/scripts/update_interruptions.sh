#!/bin/bash
# Interrupting an update on real folders with the real relaunch script: the
# launcher killed (SIGKILL) while it downloads, while it unpacks and right
# after it started the script; the script killed between its moves; the work
# folder's file system full while the archive is written and while it is
# unpacked, and the launcher's own one full while the new folder moves in; the
# launcher's folder made read-only after the check, and again after the
# script started. After every case a startable launcher must stand
# at the launcher's path or at its ".old" path, and the next start of the
# launcher must work. Prints a table of the cases and their outcomes.
#
#   tests/scripts/update_interruptions.sh BUILD_DIR [CASE...]
#
# Needs root for the small tmpfs and for chattr, as CI runs it; as anyone else
# it says so and exits with 77, the status a suite that did not run returns.
set -uo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "update interruptions: not run: needs root (small tmpfs mounts, immutable folders); CI runs it as root"
    exit 77
fi
BUILD=$(cd "${1:-build}" && pwd)
shift || true
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/scripts/lib/update_harness.sh
. "$SOURCE/tests/scripts/lib/update_harness.sh"
harness_start

CATCH="$SOURCE/tests/scripts/lib/catch.py"
ROOT=$(mktemp -d /tmp/vorlia-interrupt.XXXXXX)
at_exit rm -rf "$ROOT"
# The unpacked size of the large release; its archive stays small.
FILLER_MB=256

TABLE=()
AT=""     # what stood when the interruption came
NEXT=""   # how the next start went

# --- observations --------------------------------------------------------------

startable() {
    [ -f "$1/vorlia" ] && [ -x "$1/vorlia" ] && [ -f "$1/Info.json" ]
}

app_version() {
    sed -n 's/.*"CFBundleShortVersionString": *"\([^"]*\)".*/\1/p' "$1/Info.json" 2>/dev/null
}

describe() {
    if [ ! -e "$1" ]; then
        echo "-"
    elif startable "$1"; then
        echo "v$(app_version "$1")"
    else
        echo "broken"
    fi
}

state() {
    echo "path $(describe "$B"), .old $(describe "$B.old"), .new $(describe "$B.new")"
}

bytes() {
    du -sb --apparent-size "$1" 2>/dev/null | cut -f1
}

# Whatever the case did, one of the two paths must hold a launcher.
expect_startable_remains() {
    startable "$B" || startable "$B.old" ||
        fail "no startable launcher at the launcher's path or its .old path ($(state))"
}

expect_state() {
    local wanted=$1 actual
    actual=$(state)
    [ "$actual" = "$wanted" ] || fail "expected $wanted, found $actual"
}

# Ends the interrupted launcher with SIGKILL and checks that the kill is what
# ended it.
kill_launcher() {
    kill -9 "$LAUNCHER" 2>/dev/null
    wait "$LAUNCHER" 2>/dev/null
    local status=$?
    [ "$status" -eq 137 ] || fail "the launcher ended with status $status, not by SIGKILL"
}

# Stops every launcher, then starts the one at the launcher's path, or at its
# ".old" path when none stands there, and waits for its start page.
next_start() {
    stop_launchers
    local app=$B where=path
    startable "$B" || { app="$B.old"; where=.old; }
    if ! startable "$app"; then
        NEXT="nothing to start"
        fail "nothing startable for the next start"
        return 1
    fi
    local version mark
    version=$(app_version "$app")
    mark=$(log_mark)
    OFFERS_BEFORE=$(offers_shown)
    start_launcher "$app"
    if started_since "$mark" "$version"; then
        NEXT="v$version starts from $where"
    else
        NEXT="v$version from $where did not start"
        fail "the next start of v$version from the $where did not load the start page"
        return 1
    fi
}

# On the launcher of next_start: the update offered again goes through.
retry_update() {
    local mark
    mark=$(log_mark)
    accept_update_offer "$((OFFERS_BEFORE + 1))" || return
    wait_for_exit "$LAUNCHER" 120 || { fail "the retried update did not quit version 1"; return; }
    if started_since "$mark" 2; then
        NEXT="$NEXT; retried update runs v2"
    else
        NEXT="$NEXT; retried update failed"
        fail "the retried update did not start version 2"
    fi
    expect_state "path v2, .old -, .new -"
}

restart_standin() {
    start_standin
}

# A release whose application folder holds a large, well compressed file, so
# that unpacking it takes a while and fills a small file system.
publish_large_version_2() {
    if [ ! -f "$ROOT/large/download/$ARCHIVE_NAME" ]; then
        make_app "$ROOT/large-release/Vorlia.app" 2
        # Text, not zeros: zeros would be unpacked and copied as sparse files.
        yes "Vorlia filler line" | head -c "${FILLER_MB}M" >"$ROOT/large-release/Vorlia.app/filler.bin"
        sh "$SOURCE/packaging/make-release.sh" --development-key "$ROOT/large-release/Vorlia.app" "$ROOT/large/download" 2 \
            "$BASE_URL" "$KEY" "$BUILD/tools/vorlia-publish" >/dev/null || fail "the release script failed"
    fi
    mkdir -p "$SITE"
    cp -r "$ROOT/large/download" "$SITE/"
}

# Puts the work folders on a tmpfs of the given size.
small_work_filesystem() {
    local size=$1
    if ! mount -t tmpfs -o "size=$size,mode=0700" tmpfs "$S/tmp"; then
        fail "cannot mount a tmpfs here"
        return 1
    fi
    MOUNTED+=("$S/tmp")
}

make_read_only() {
    if chattr +i "$1"; then
        IMMUTABLE+=("$1")
    else
        fail "cannot make $1 read-only (chattr +i)"
        return 1
    fi
}

# The relaunch script runs with PATH fixed to the system's folders: a stand-in
# for mv is bind-mounted over the system's own, in a mount namespace of the
# launcher's alone (and so of the script it starts). The stand-in runs the
# real mv, copied aside, from $S/real-mv.
with_system_mv_replaced() {
    cp "$(readlink -f /usr/bin/mv)" "$S/real-mv"
    cat >"$S/with-shim" <<WRAP
#!/bin/sh
for m in /usr/bin/mv "\$(readlink -f /bin/mv)"; do mount --bind "$S/shim/mv" "\$m" || exit 1; done
exec "\$@"
WRAP
    LAUNCHER_WRAP=(unshare --mount --propagation private sh "$S/with-shim")
}

# Holds the relaunch script after its Nth move: the stand-in for mv does the
# move and then waits.
hold_script_after_move() {
    local n=$1
    mkdir -p "$S/shim" "$S/hold"
    cat >"$S/shim/mv" <<SHIM
#!/bin/sh
"$S/real-mv" "\$@"
status=\$?
count=\$((\$(cat "$S/hold/count" 2>/dev/null || echo 0) + 1))
echo "\$count" >"$S/hold/count"
if [ "\$count" -eq $n ]; then
    : >"$S/hold/held"
    sleep 600
fi
exit \$status
SHIM
    chmod +x "$S/shim/mv"
    with_system_mv_replaced
}

# The script's first move waits until the test lets it go: the test acts in
# the moment after the script started and before it touched any folder.
hold_script_before_the_moves() {
    mkdir -p "$S/shim" "$S/hold"
    cat >"$S/shim/mv" <<SHIM
#!/bin/sh
if [ ! -e "$S/hold/reached" ]; then
    : >"$S/hold/reached"
    i=0
    while [ ! -e "$S/hold/go" ] && [ \$i -lt 1200 ]; do sleep 0.1; i=\$((i + 1)); done
fi
exec "$S/real-mv" "\$@"
SHIM
    chmod +x "$S/shim/mv"
    with_system_mv_replaced
}

finish_case() {
    expect_startable_remains
    local after=$1 result=passed
    case_failed && result=FAILED
    TABLE+=("$CASE|$AT|$after|$NEXT|$result")
    end_case
    AT="" NEXT=""
}

# --- the cases ------------------------------------------------------------------

case_killed_while_downloading() {
    begin_case killed_while_downloading
    publish_version_2
    local full
    full=$(bytes "$SITE/download/$ARCHIVE_NAME")
    # The archive stops halfway; the launcher is frozen once bytes are on disk.
    start_standin "/download/$ARCHIVE_NAME=stall" || { finish_case "-"; return; }
    start_launcher
    accept_update_offer || { finish_case "$(state)"; return; }
    local zip
    if zip=$("$CATCH" --timeout 90 --file "$S/tmp/vrl-update-*/update.zip" --min-size 1 --stop "$LAUNCHER"); then
        local got
        got=$(bytes "$zip")
        AT="update.zip $got of $full bytes"
        [ "$got" -lt "$full" ] || fail "the download had already finished"
    else
        AT="not caught"
        fail "the download never started"
    fi
    kill_launcher
    local after
    after=$(state)
    expect_state "path v1, .old -, .new -"
    restart_standin && next_start && retry_update
    finish_case "$after"
}

case_killed_while_unpacking() {
    begin_case killed_while_unpacking
    publish_large_version_2
    local full
    full=$(bytes "$ROOT/large-release/Vorlia.app")
    start_standin || { finish_case "-"; return; }
    start_launcher
    # Armed before the offer is accepted, so that no delay of the key press
    # lets the unpacking run past the moment.
    "$CATCH" --timeout 120 --file "$S/tmp/vrl-update-*/Vorlia.app/filler.bin" \
        --min-size $((FILLER_MB * 1048576 / 8)) --stop "$LAUNCHER" >"$S/caught" &
    local catcher=$!
    accept_update_offer || { kill "$catcher" 2>/dev/null; finish_case "$(state)"; return; }
    local unpacked
    if wait "$catcher" && unpacked=$(cat "$S/caught"); then
        local got
        got=$(bytes "$(dirname "$unpacked")")
        AT="$((got / 1048576)) of $((full / 1048576)) MiB unpacked"
        [ "$got" -lt "$full" ] || fail "the unpacking had already finished"
        compgen -G "$S/tmp/vrl-update-*/swap.sh" >/dev/null && fail "the script was already written"
    else
        AT="not caught"
        fail "the unpacking never started"
    fi
    kill_launcher
    local after
    after=$(state)
    expect_state "path v1, .old -, .new -"
    next_start && retry_update
    finish_case "$after"
}

# The launcher ends by itself some tens of milliseconds after it started the
# script; a run that misses that moment is tried again.
case_killed_after_starting_the_script() {
    local attempt
    for attempt in 1 2 3; do
        killed_after_starting_the_script "$attempt" && return
    done
}

killed_after_starting_the_script() {
    local attempt=$1
    begin_case killed_after_starting_the_script
    publish_version_2
    start_standin || { finish_case "-"; return; }
    start_launcher
    local mark script caught catcher
    mark=$(log_mark)
    # Frozen the moment the script runs, before the launcher ends by itself;
    # armed before the offer is accepted, since the launcher leaves quickly.
    "$CATCH" --timeout 120 --process swap.sh --stop "$LAUNCHER" >"$S/caught" &
    catcher=$!
    accept_update_offer || { kill "$catcher" 2>/dev/null; finish_case "$(state)"; return; }
    wait "$catcher"
    caught=$?
    script=$(cat "$S/caught")
    if [ "$caught" -eq 0 ]; then
        AT="script running (process $script), launcher frozen"
    elif [ "$caught" -eq 2 ] && [ "$attempt" -lt 3 ]; then
        note "the launcher ended before it could be frozen; trying again"
        end_case
        return 1
    else
        AT="not caught"
        fail "the launcher had ended before the kill, or never started the script"
    fi
    kill_launcher
    if started_since "$mark" 2; then
        AT="$AT; script started v2"
    else
        fail "the script did not start version 2"
    fi
    local after
    after=$(state)
    expect_state "path v2, .old -, .new -"
    next_start
    finish_case "$after"
}

script_killed_after_move() {
    local n=$1 expected=$2
    begin_case "script_killed_after_move_$n"
    publish_version_2
    start_standin || { finish_case "-"; return; }
    hold_script_after_move "$n"
    start_launcher
    accept_update_offer || { finish_case "$(state)"; return; }
    wait_for_exit "$LAUNCHER" 120 || fail "the launcher did not quit for the relaunch"
    local script
    wait_until 60 test -e "$S/hold/held"
    if [ -e "$S/hold/held" ] && script=$("$CATCH" --timeout 10 --process swap.sh); then
        AT="after move $n: $(state)"
        # The script leads its own session: its whole process group goes.
        kill -9 -- "-$script"
        wait_for_exit "$script" 10 || fail "the script survived SIGKILL"
    else
        AT="not caught"
        fail "the script never reached its move $n"
    fi
    local after
    after=$(state)
    expect_state "$expected"
    LAUNCHER_WRAP=()
    next_start
    finish_case "$after"
}

# The new folder is moved beside the old one, the old one aside, the new one
# into place.
case_script_killed_after_first_move() { script_killed_after_move 1 "path v1, .old -, .new v2"; }
case_script_killed_after_second_move() { script_killed_after_move 2 "path -, .old v1, .new v2"; }
case_script_killed_after_third_move() { script_killed_after_move 3 "path v2, .old v1, .new -"; }

case_disk_full_while_writing_the_archive() {
    begin_case disk_full_while_writing_the_archive
    publish_version_2
    local full
    full=$(bytes "$SITE/download/$ARCHIVE_NAME")
    small_work_filesystem "$((full / 2))" || { finish_case "-"; return; }
    AT="work folder on a tmpfs of $((full / 2)) bytes, archive $full bytes"
    start_standin || { finish_case "-"; return; }
    start_launcher
    accept_update_offer || { finish_case "$(state)"; return; }
    expect_alert "Update failed" "No space left on device"
    expect_version_1_in_place
    local after
    after="$(state); \"No space left on device\""
    next_start
    finish_case "$after"
}

case_disk_full_while_unpacking() {
    begin_case disk_full_while_unpacking
    publish_large_version_2
    local zip_size
    zip_size=$(bytes "$SITE/download/$ARCHIVE_NAME")
    local size=$((zip_size + 4 * 1048576))
    small_work_filesystem "$size" || { finish_case "-"; return; }
    AT="work folder on a tmpfs of $((size / 1048576)) MiB, unpacked $FILLER_MB MiB"
    start_standin || { finish_case "-"; return; }
    start_launcher
    accept_update_offer || { finish_case "$(state)"; return; }
    expect_alert "Update failed" "The update could not be unpacked."
    expect_version_1_in_place
    local after
    after="$(state); \"The update could not be unpacked.\""
    next_start
    finish_case "$after"
}

# The launcher's folder on a small file system of its own: the new folder
# comes from the work folder on another one, so moving it in is a copy, and
# the copy runs out of room.
case_disk_full_while_moving_in() {
    begin_case disk_full_while_moving_in
    publish_large_version_2
    local size=$(($(bytes "$B") + 64 * 1048576))
    mv "$B" "$S/v1"
    # Not the tmpfs default of 1777: a folder that others may write is no
    # place for the launcher to replace itself.
    if ! mount -t tmpfs -o "size=$size,mode=0755" tmpfs "$P"; then
        fail "cannot mount a tmpfs here"
        finish_case "-"
        return
    fi
    MOUNTED+=("$P")
    mv "$S/v1" "$B"
    AT="launcher's folder on a tmpfs of $((size / 1048576)) MiB, new folder $FILLER_MB MiB"
    start_standin || { finish_case "-"; return; }
    start_launcher
    accept_update_offer || { finish_case "$(state)"; return; }
    local mark
    mark=$(log_mark)
    wait_for_exit "$LAUNCHER" 120 || fail "the launcher did not quit for the relaunch"
    if started_since "$mark" 1; then
        AT="$AT; script restarted v1"
    else
        fail "the script did not start version 1 again"
    fi
    local after
    after="$(state); nothing else in the folder"
    expect_state "path v1, .old -, .new -"
    [ "$(ls -A "$P")" = "Vorlia.app" ] || { fail "left beside the launcher: $(ls -A "$P")"; after="$(state)"; }
    next_start
    finish_case "$after"
}

case_folder_read_only_after_the_check() {
    begin_case folder_read_only_after_the_check
    publish_version_2
    start_standin || { finish_case "-"; return; }
    start_launcher
    if ! wait_for_text "$S/alerts.log" '"alert":"New version 2 available"' 90; then
        fail "version 2 was never offered"
        finish_case "$(state)"
        return
    fi
    make_read_only "$P" || { finish_case "$(state)"; return; }
    AT="folder made immutable while the offer shows"
    accept_update_offer || { finish_case "$(state)"; return; }
    expect_alert "Almost done" "The launcher cannot replace itself in this folder."
    press Return
    wait_for_text "$S/alerts.log" '"fileManager"' 30 || fail "the new folder was never shown"
    expect_version_1_in_place
    local after
    after="$(state); \"Almost done\""
    next_start
    finish_case "$after"
}

case_folder_read_only_before_the_moves() {
    begin_case folder_read_only_before_the_moves
    publish_version_2
    start_standin || { finish_case "-"; return; }
    hold_script_before_the_moves
    start_launcher
    accept_update_offer || { finish_case "$(state)"; return; }
    local mark
    mark=$(log_mark)
    # The launcher found the folder writable; it turns read-only before the
    # script acts on it.
    if wait_until 120 test -e "$S/hold/reached"; then
        make_read_only "$P"
        AT="folder made immutable while the script waits"
    else
        AT="not caught"
        fail "the script never reached its moves"
    fi
    : >"$S/hold/go"
    wait_for_exit "$LAUNCHER" 60 || fail "the launcher did not quit for the relaunch"
    if started_since "$mark" 1; then
        AT="$AT; script restarted v1"
    else
        fail "the script did not start the launcher again"
    fi
    local after
    after=$(state)
    expect_state "path v1, .old -, .new -"
    next_start
    finish_case "$after"
}

# --- the run --------------------------------------------------------------------

cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
    cases=(killed_while_downloading killed_while_unpacking killed_after_starting_the_script
        script_killed_after_first_move script_killed_after_second_move script_killed_after_third_move
        disk_full_while_writing_the_archive disk_full_while_unpacking disk_full_while_moving_in
        folder_read_only_after_the_check folder_read_only_before_the_moves)
fi
for c in "${cases[@]}"; do
    "case_$c"
done


echo
echo "Interrupted updates (path = the launcher's path, .old = its .old path):"
{
    echo "case|at the interruption|afterwards|next start|result"
    printf '%s\n' "${TABLE[@]}"
} | column -t -s '|' | sed 's/^/  /'
echo
if [ ${#failures[@]} -eq 0 ]; then
    echo "update interruption tests: all passed"
    exit 0
fi
echo "update interruption tests failed:"
printf '  %s\n' "${failures[@]}"
exit 1
