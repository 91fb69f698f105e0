#!/bin/bash
# End to end: real launchers of the test flavour, the stand-in site host
# serving an archive made by the release script, the real relaunch through
# /bin/sh, under Xvfb with a window manager and a private D-Bus session.
# Alerts are seen through the test flavour's VORLIA_TEST_LOG and answered with
# real key presses.
#
#   tests/scripts/update_end_to_end.sh BUILD_DIR [CASE...]
set -uo pipefail
BUILD=$(cd "${1:-build}" && pwd)
shift || true
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)

if [ -z "${VORLIA_E2E_INSIDE:-}" ]; then
    export VORLIA_E2E_INSIDE=1 GDK_BACKEND=x11 LIBGL_ALWAYS_SOFTWARE=1 NO_AT_BRIDGE=1
    exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$BUILD" "$@"
fi

openbox >/dev/null 2>&1 &
WM=$!
sleep 1

SITE_HOST=$(sed -n 's/^VORLIA_SITE_HOST:STRING=//p' "$BUILD/CMakeCache.txt")
BASE_URL="https://$SITE_HOST/download/"
KEY="$SOURCE/tests/fixtures/DEV-ONLY-manifest-signing.key"
ARCH=$(uname -m)
ARCHIVE_NAME="Vorlia-2-linux-$ARCH.zip"

failures=()
CASE=""
PIDS=()
IMMUTABLE=()
MOUNTED=()

note() { echo "    $*"; }
fail() {
    echo "    FAILED: $*"
    failures+=("$CASE: $*")
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

start_standin() {
    local args=(--site-dir "$SITE" --log "$S/requests.log")
    for f in "$@"; do args+=(--fault "$f"); done
    "$BUILD/tools/vorlia-standin" "${args[@]}" >"$S/standin.out" 2>&1 &
    PIDS+=($!)
    wait_for_text "$S/standin.out" '"proxy"' 20 || { fail "the stand-in hosts did not start"; return 1; }
    PROXY_PORT=$(sed -n 's/.*"proxy":\([0-9]*\).*/\1/p' "$S/standin.out" | head -1)
}

start_launcher() {
    (
        cd "$S" || exit 1
        exec env HOME="$S/home" XDG_DATA_HOME="$S/home/data" XDG_CACHE_HOME="$S/home/cache" \
            XDG_STATE_HOME="$S/home/state" XDG_CONFIG_HOME="$S/home/config" TMPDIR="$S/tmp" \
            VORLIA_STANDIN_PROXY="http://127.0.0.1:$PROXY_PORT" VORLIA_STANDIN_CERT="$BUILD/standin/standin-cert.pem" \
            VORLIA_TEST_LOG="$S/alerts.log" "$B/vorlia"
    ) >"$S/launcher.out" 2>&1 &
    LAUNCHER=$!
    PIDS+=("$LAUNCHER")
}

# Presses a key in whatever window has the focus: the alert just shown.
press() {
    sleep 1
    xdotool key --clearmodifiers "$1"
}

accept_update_offer() {
    if ! wait_for_text "$S/alerts.log" '"alert":"New version 2 available"' 90; then
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
    kill -0 "$LAUNCHER" 2>/dev/null || fail "version 1 stopped running"
}

# Ends the launchers first, then the stand-in hosts; anything that does not
# end within ten seconds is killed.
stop_process() {
    local pid=$1
    kill "$pid" 2>/dev/null || return 0
    wait_for_exit "$pid" 10 || kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

end_case() {
    local pid
    if pid=$(pid_running "$B/vorlia"); then stop_process "$pid"; fi
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_process "${PIDS[i]}"; done
    PIDS=()
    for f in "${IMMUTABLE[@]}"; do chattr -i "$f"; done
    IMMUTABLE=()
    for f in "${MOUNTED[@]}"; do umount "$f"; done
    MOUNTED=()
    if [ ${#failures[@]} -gt 0 ] && [ "${failures[-1]%%:*}" = "$CASE" ]; then
        note "launcher output:"; sed 's/^/      /' "$S/launcher.out" | tail -20
        note "alerts:"; sed 's/^/      /' "$S/alerts.log" 2>/dev/null
    fi
    rm -rf "$S"
}

# --- the cases ------------------------------------------------------------------

case_update_and_relaunch() {
    begin_case update_and_relaunch
    publish_version_2
    start_standin || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    wait_for_exit "$LAUNCHER" 120 || fail "version 1 did not quit for the relaunch"
    if wait_for_text "$S/requests.log" "VRLLauncher/2" 90; then
        local pid
        pid=$(pid_running "$B/vorlia") || fail "nothing runs from the launcher's path"
        note "version 2 runs from the same path (process $pid)"
    else
        fail "version 2 never started"
    fi
    grep -qF '"CFBundleShortVersionString": "2"' "$B/Info.json" || fail "the folder at the old path is not version 2"
    [ ! -e "$B.old" ] || fail "the old folder is still there"
    [ "$(ls "$P")" = "Vorlia.app" ] || fail "unexpected entries beside the launcher: $(ls "$P")"
    grep -q '"alert":"Update failed"' "$S/alerts.log" && fail "a failure was shown"
    end_case
}

case_tampered_archive() {
    begin_case tampered_archive
    publish_version_2
    # One byte changed after signing: the digest no longer matches.
    printf 'X' | dd of="$SITE/download/$ARCHIVE_NAME" bs=1 seek=100 conv=notrunc status=none
    start_standin || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Update failed" "The downloaded file is not genuine.\\n\\nYou can download the new version from $SITE_HOST."
    expect_version_1_in_place
    compgen -G "$S/tmp/vrl-update-*/*.app" >/dev/null && fail "a tampered archive was unpacked"
    end_case
}

case_download_fault() {
    local kind=$1
    begin_case "download_fault_$kind"
    publish_version_2
    start_standin "/download/$ARCHIVE_NAME=$kind" || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Update failed" "The download did not finish."
    expect_version_1_in_place
    compgen -G "$S/tmp/vrl-update-*/*.app" >/dev/null && fail "a broken download was unpacked"
    end_case
}

case_folder_not_writable() {
    begin_case folder_not_writable
    publish_version_2
    if chattr +i "$P" 2>/dev/null; then
        IMMUTABLE+=("$P")
    elif mount --bind -o ro "$P" "$P" 2>/dev/null; then
        MOUNTED+=("$P")
    else
        fail "cannot make a folder unwritable here (neither chattr +i nor a read-only bind mount)"
        end_case
        return
    fi
    start_standin || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Almost done" "The launcher cannot replace itself in this folder. Move the new \\\"Vorlia\\\" (shown in your file manager) over the old one."
    press Return
    if wait_for_text "$S/alerts.log" '"fileManager"' 30; then
        local item
        item=$(sed -n 's/.*"fileManager":"\([^"]*\)".*/\1/p' "$S/alerts.log")
        case "$item" in
        "$S/tmp/vrl-update-"*/Vorlia.app) [ -x "$item/vorlia" ] || fail "the folder shown is not the new launcher" ;;
        *) fail "the file manager was asked to show $item" ;;
        esac
    else
        fail "the file manager was never asked to show the new folder"
    fi
    sleep 2
    expect_version_1_in_place
    end_case
}

# An archive made by hand with Python's zipfile, which writes names as given.
make_zip() {
    python3 - "$@" <<'PY'
import sys, zipfile
out, entries = sys.argv[1], sys.argv[2:]
with zipfile.ZipFile(out, "w") as z:
    for name in entries:
        info = zipfile.ZipInfo(name)
        info.external_attr = (0o40755 if name.endswith("/") else 0o100755) << 16
        z.writestr(info, b"" if name.endswith("/") else b"#!/bin/sh\n")
PY
}

case_bad_archive() {
    local kind=$1
    begin_case "bad_archive_$kind"
    case $kind in
    sub_folder) make_zip "$S/bad.zip" release/ release/Vorlia.app/ release/Vorlia.app/vorlia release/Vorlia.app/Info.json ;;
    escaping) make_zip "$S/bad.zip" Vorlia.app/ Vorlia.app/vorlia Vorlia.app/Info.json ../escaped ../../escaped-too ;;
    absolute) make_zip "$S/bad.zip" Vorlia.app/ Vorlia.app/vorlia Vorlia.app/Info.json "$S/absolute-escape" ;;
    no_executable) make_zip "$S/bad.zip" Vorlia.app/ Vorlia.app/Info.json Vorlia.app/readme ;;
    esac
    publish_archive "$S/bad.zip"
    start_standin || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Update failed" "The update could not be unpacked."
    expect_version_1_in_place
    [ ! -e "$S/escaped" ] && [ ! -e "/tmp/escaped-too" ] && [ ! -e "$S/absolute-escape" ] &&
        [ ! -e "$S/tmp/escaped" ] || fail "an entry was written outside the work folder"
    end_case
}

cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
    cases=(update_and_relaunch tampered_archive "download_fault 404" "download_fault 206" "download_fault cut"
        folder_not_writable "bad_archive sub_folder" "bad_archive escaping" "bad_archive absolute"
        "bad_archive no_executable")
fi
for c in "${cases[@]}"; do
    # shellcheck disable=SC2086
    case_$c
done

kill "$WM" 2>/dev/null
echo
if [ ${#failures[@]} -eq 0 ]; then
    echo "update end-to-end tests: all passed"
    exit 0
fi
echo "update end-to-end tests failed:"
printf '  %s\n' "${failures[@]}"
exit 1
