# Shared by the update suites: real launchers of the test flavour in scratch
# application folders, the stand-in site host serving a release made by the
# release script, the real relaunch through /bin/sh, under Xvfb with a window
# manager and a private D-Bus session. Alerts are seen through the test
# flavour's VORLIA_TEST_LOG and answered with real key presses.
#
# Sourced, after setting BUILD (absolute build folder) and SOURCE (the
# repository), by a suite that first calls `harness_enter_display "$0" "$@"`.
# Each case runs between begin_case NAME and end_case; fail records a broken
# expectation against the current case.

# Runs the calling suite again inside its own display and session bus.
harness_enter_display() {
    local suite=$1
    shift
    if [ -z "${VORLIA_E2E_INSIDE:-}" ]; then
        export VORLIA_E2E_INSIDE=1 GDK_BACKEND=x11 LIBGL_ALWAYS_SOFTWARE=1 NO_AT_BRIDGE=1
        exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" bash "$suite" "$@"
    fi
    openbox >/dev/null 2>&1 &
    WM=$!
    sleep 1
}

harness_leave_display() {
    kill "$WM" 2>/dev/null
}

SITE_HOST=$(sed -n 's/^VORLIA_SITE_HOST:STRING=//p' "$BUILD/CMakeCache.txt")
BASE_URL="https://$SITE_HOST/download/"
KEY="$SOURCE/tests/fixtures/DEV-ONLY-manifest-signing.key"
ARCH=$(uname -m)
ARCHIVE_NAME="Vorlia-2-linux-$ARCH.zip"

failures=()
CASE=""
PIDS=()
IMMUTABLE=()
READ_ONLY=()
MOUNTED=()
# Extra NAME=VALUE settings for the next start_launcher.
LAUNCHER_ENV=()

note() { echo "    $*"; }
fail() {
    echo "    FAILED: $*"
    failures+=("$CASE: $*")
}
case_failed() {
    [ ${#failures[@]} -gt 0 ] && [ "${failures[-1]%%:*}" = "$CASE" ]
}

# Waits until FILE holds TEXT; false after SECONDS.
wait_for_text() {
    local file=$1 text=$2 seconds=${3:-60}
    for _ in $(seq $((seconds * 10))); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

wait_for_exit() {
    local pid=$1 seconds=${2:-30}
    for _ in $(seq $((seconds * 10))); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# The one process whose executable is exactly this file.
pid_running() {
    local exe=$1 p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$exe" ] && { echo "${p#/proc/}"; return 0; }
    done
    return 1
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
}

publish_version_2() {
    make_app "$S/release/Vorlia.app" 2
    sh "$SOURCE/packaging/make-release.sh" "$S/release/Vorlia.app" "$SITE/download" 2 "$BASE_URL" "$KEY" \
        "$BUILD/tools/vorlia-publish" >/dev/null || fail "the release script failed"
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
    local args=(--site-dir "$SITE" --log "$S/requests.log")
    for f in "$@"; do args+=(--fault "$f"); done
    "$BUILD/tools/vorlia-standin" "${args[@]}" >"$S/standin.out" 2>&1 &
    STANDIN=$!
    PIDS+=("$STANDIN")
    wait_for_text "$S/standin.out" '"proxy"' 20 || { fail "the stand-in hosts did not start"; return 1; }
    PROXY_PORT=$(sed -n 's/.*"proxy":\([0-9]*\).*/\1/p' "$S/standin.out" | head -1)
}

# Starts the launcher at the application folder $1 (default: $B).
start_launcher() {
    local app=${1:-$B}
    (
        cd "$S" || exit 1
        exec env HOME="$S/home" XDG_DATA_HOME="$S/home/data" XDG_CACHE_HOME="$S/home/cache" \
            XDG_STATE_HOME="$S/home/state" XDG_CONFIG_HOME="$S/home/config" TMPDIR="$S/tmp" \
            VORLIA_STANDIN_PROXY="http://127.0.0.1:$PROXY_PORT" VORLIA_STANDIN_CERT="$BUILD/standin/standin-cert.pem" \
            VORLIA_TEST_LOG="$S/alerts.log" "${LAUNCHER_ENV[@]}" "$app/vorlia"
    ) >>"$S/launcher.out" 2>&1 &
    LAUNCHER=$!
    PIDS+=("$LAUNCHER")
}

# Presses a key in whatever window has the focus: the alert just shown.
press() {
    sleep 1
    xdotool key --clearmodifiers "$1"
}

offers_shown() {
    [ -f "$S/alerts.log" ] || { echo 0; return; }
    grep -cF '"alert":"New version 2 available"' "$S/alerts.log" 2>/dev/null || true
}

# Waits for the offer of version 2 (the Nth alert of that title) and accepts it.
accept_update_offer() {
    local nth=${1:-1}
    for _ in $(seq 900); do
        [ "$(offers_shown)" -ge "$nth" ] && break
        sleep 0.1
    done
    if [ "$(offers_shown)" -lt "$nth" ]; then
        fail "version 2 was never offered"
        return 1
    fi
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

# Ends a process; anything that does not end within ten seconds is killed.
stop_process() {
    local pid=$1
    kill "$pid" 2>/dev/null || return 0
    kill -CONT "$pid" 2>/dev/null
    wait_for_exit "$pid" 10 || kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

# Stops every launcher that runs from the launcher's path or its ".old" path.
stop_launchers() {
    local pid
    while pid=$(pid_running "$B/vorlia") || pid=$(pid_running "$B.old/vorlia"); do
        stop_process "$pid"
    done
}

# Ends the launchers first, then the stand-in hosts and other helpers.
end_case() {
    stop_launchers
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_process "${PIDS[i]}"; done
    PIDS=()
    LAUNCHER_ENV=()
    for f in "${IMMUTABLE[@]}"; do chattr -i "$f"; done
    IMMUTABLE=()
    for f in "${READ_ONLY[@]}"; do chmod u+w "$f"; done
    READ_ONLY=()
    for f in "${MOUNTED[@]}"; do umount "$f"; done
    MOUNTED=()
    if case_failed; then
        note "launcher output:"; sed 's/^/      /' "$S/launcher.out" | tail -20
        note "alerts:"; sed 's/^/      /' "$S/alerts.log" 2>/dev/null
    fi
    rm -rf "$S"
}
