# shellcheck shell=bash
# Shared by the update suites and the update benchmark: real launchers of the
# test flavour in scratch application folders, the stand-in site host serving
# a release made by the release script, the real relaunch through /bin/sh, on
# a private headless desktop. Alerts are seen through the test flavour's
# VORLIA_TEST_LOG and answered with real key presses.
#
# Sourced, after setting BUILD (absolute build folder) and SOURCE (the
# repository), by a script that then calls harness_start. Each case runs
# between begin_case NAME and end_case, in a D-Bus session of its own, so that
# a launcher left from one case can never hold the single-instance name in the
# next; end_case ends every process the case's launchers started, relaunched
# ones included. fail records a broken expectation against the current case.

# shellcheck source=scripts/lib/headless.sh
. "$SOURCE/scripts/lib/headless.sh"
# shellcheck source=scripts/lib/standin.sh
. "$SOURCE/scripts/lib/standin.sh"

harness_start() {
    headless_start --screen 1280x1024x24
    at_exit end_open_case
}

# A run cut short still ends the case's processes, mounts and immutable folders.
end_open_case() {
    [ -z "$S" ] || end_case
}

SITE_HOST=$(cache_value "$BUILD" VORLIA_SITE_HOST)
BASE_URL="https://$SITE_HOST/download/"
KEY="$SOURCE/tests/fixtures/DEV-ONLY-manifest-signing.key"
ARCH=$(uname -m)
ARCHIVE_NAME="Vorlia-2-linux-$ARCH.zip"

failures=()
CASE=""
S=""
PIDS=()
IMMUTABLE=()
READ_ONLY=()
MOUNTED=()
# Extra NAME=VALUE settings for the next start_launcher.
LAUNCHER_ENV=()
# A command that runs the next start_launcher's launcher (a wrapper that execs
# its arguments), as a case sets it.
LAUNCHER_WRAP=()
# Extra options for every start_standin.
STANDIN_ARGS=()

note() { echo "    $*"; }
fail() {
    echo "    FAILED: $*"
    failures+=("$CASE: $*")
}
case_failed() {
    [ ${#failures[@]} -gt 0 ] && [ "${failures[-1]%%:*}" = "$CASE" ]
}

make_app() {
    local folder=$1 version=$2
    mkdir -p "$(dirname "$folder")"
    cp -a "$BUILD/demo/Vorlia.app" "$folder"
    printf '{\n  "CFBundleShortVersionString": "%s"\n}\n' "$version" >"$folder/Info.json"
}

# A case's scratch folder; the launcher lives in a folder whose name the
# shell would otherwise act on.
begin_case() {
    CASE=$1
    echo "=== $CASE"
    S=$(mktemp -d /tmp/vorlia-e2e.XXXXXX)
    P="$S/My Games' \"x\" \$HOME"
    B="$P/Vorlia.app"
    SITE="$S/site"
    mkdir -p "$S/tmp" "$S/home"
    make_app "$B" 1
    headless_bus_start
}

# Publishes the application folder APP as version 2 into DOWNLOAD_DIR (default:
# the case's site) with the release script.
publish_release() {
    local app=$1 download=${2:-$SITE/download}
    sh "$SOURCE/packaging/make-release.sh" --development-key "$app" "$download" 2 "$BASE_URL" "$KEY" \
        "$BUILD/tools/vorlia-publish" >/dev/null || fail "the release script failed"
}

publish_version_2() {
    make_app "$S/release/Vorlia.app" 2
    publish_release "$S/release/Vorlia.app"
}

# Publishes a hand-made archive under the release name, signed like a release.
publish_archive() {
    local zip=$1
    mkdir -p "$SITE/download"
    cp "$zip" "$SITE/download/$ARCHIVE_NAME"
    "$BUILD/tools/vorlia-publish" manifest --archive "$SITE/download/$ARCHIVE_NAME" --version 2 \
        --url "$BASE_URL$ARCHIVE_NAME" --base-url "$BASE_URL" --out "$SITE/download/version.json" >/dev/null &&
        "$BUILD/tools/vorlia-publish" sign "$KEY" "$SITE/download/version.json" \
            --out "$SITE/download/version.json.sig" >/dev/null || fail "publishing the archive failed"
}

# Starts the stand-in hosts with the given download faults ("PATH=KIND").
start_standin() {
    local args=(--site-dir "$SITE" --log "$S/requests.log" "${STANDIN_ARGS[@]}") f
    for f in "$@"; do args+=(--fault "$f"); done
    standin_start "$BUILD" "$S" "${args[@]}" || { fail "the stand-in hosts did not start"; return 1; }
}

# Starts the launcher at the application folder $1 (default: $B). What it
# starts carries VORLIA_UPDATE_CASE, by which end_case finds it.
start_launcher() {
    local app=${1:-$B}
    (
        cd "$S" || exit 1
        private_home "$S/home"
        exec "${LAUNCHER_WRAP[@]}" env TMPDIR="$S/tmp" "${STANDIN_ROUTE[@]}" VORLIA_TEST_LOG="$S/alerts.log" \
            VORLIA_UPDATE_CASE="$S" "${LAUNCHER_ENV[@]}" "$app/vorlia"
    ) >>"$S/launcher.out" 2>&1 &
    LAUNCHER=$!
    PIDS+=("$LAUNCHER")
}

# Presses a key in the alert just shown, once it has the focus.
press() {
    headless_key_in_dialog "$1" || fail "no dialog had the focus for $1"
}

# The request log's length, to look only at what comes after it.
log_mark() {
    wc -l <"$S/requests.log" 2>/dev/null || echo 0
}

start_page_loaded_since() {
    tail -n +$(($1 + 1)) "$S/requests.log" 2>/dev/null | grep -F '"path":"/act_web_tiyan/index.html"' |
        grep -qF "VRLLauncher/$2"
}

# True once the request log, after line MARK, shows the start page loaded by
# the given launcher version; false after SECONDS (default 90).
started_since() {
    wait_until "${3:-90}" start_page_loaded_since "$1" "$2"
}

offers_shown() {
    [ -f "$S/alerts.log" ] || { echo 0; return; }
    grep -cF '"alert":"New version 2 available"' "$S/alerts.log" 2>/dev/null || true
}

offered() { [ "$(offers_shown)" -ge "$1" ]; }

# Waits for the offer of version 2 (the Nth alert of that title, default 1).
wait_for_offer() {
    wait_until 90 offered "${1:-1}" || { fail "version 2 was never offered"; return 1; }
}

# Waits for the offer of version 2 (the Nth alert of that title) and accepts it.
accept_update_offer() {
    wait_for_offer "${1:-1}" || return 1
    press Return
}

expect_alert() {
    local title=$1 detail=$2
    if wait_for_text "$S/alerts.log" "\"alert\":\"$title\"" 90; then
        grep -F "\"alert\":\"$title\"" "$S/alerts.log" | grep -qF -- "$detail" ||
            fail "\"$title\" without \"$detail\": $(grep -F "\"alert\":\"$title\"" "$S/alerts.log")"
    else
        fail "no \"$title\" alert"
    fi
}

expect_version_1_in_place() {
    grep -qF '"CFBundleShortVersionString": "1"' "$B/Info.json" 2>/dev/null || fail "the launcher's folder changed"
    [ ! -e "$B.old" ] || fail "a .old copy was left"
    [ ! -e "$B.new" ] || fail "a .new copy was left"
    kill -0 "$LAUNCHER" 2>/dev/null || fail "version 1 stopped running"
}

# Stops every launcher of the case, wherever it runs from, with whatever it
# started (relaunch scripts, relaunched launchers).
stop_launchers() {
    stop_processes_with_setting VORLIA_UPDATE_CASE "$S"
}

# Ends the launchers first, then the stand-in hosts, other helpers and the
# case's D-Bus session.
end_case() {
    stop_launchers
    local i f
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_process "${PIDS[i]}"; done
    PIDS=()
    standin_stop
    LAUNCHER_ENV=()
    LAUNCHER_WRAP=()
    for f in "${IMMUTABLE[@]}"; do chattr -i "$f"; done
    IMMUTABLE=()
    for f in "${READ_ONLY[@]}"; do chmod u+w "$f"; done
    READ_ONLY=()
    for f in "${MOUNTED[@]}"; do umount "$f"; done
    MOUNTED=()
    headless_bus_stop
    if case_failed; then
        note "launcher output:"; sed 's/^/      /' "$S/launcher.out" | tail -20
        note "alerts:"; sed 's/^/      /' "$S/alerts.log" 2>/dev/null
    fi
    rm -rf "$S"
    S=""
}
