#!/bin/bash
# End to end: real launchers of the test flavour, the stand-in site host
# serving an archive made by the release script, the real relaunch through
# /bin/sh, on a private headless desktop (scripts/lib/headless.sh).
# Alerts are seen through the test flavour's VORLIA_TEST_LOG and answered with
# real key presses.
#
#   tests/scripts/update_end_to_end.sh BUILD_DIR [CASE...]
set -uo pipefail
BUILD=$(cd "${1:-build}" && pwd)
shift || true
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)

# shellcheck source=tests/scripts/lib/update_harness.sh
. "$SOURCE/tests/scripts/lib/update_harness.sh"
harness_start

# --- the cases ------------------------------------------------------------------

case_update_and_relaunch() {
    begin_case update_and_relaunch
    publish_version_2
    start_standin || { end_case; return; }
    default_handler_records_its_environment x-scheme-handler/https
    # A player's PATH that names the working folder (".", an empty entry) and
    # a folder of planted commands: the relaunch script runs none of them.
    plant_commands "$S" "$S/planted"
    LAUNCHER_ENV+=("PATH=:.:$S/planted:$PATH")
    start_launcher
    wait_for_offer || { end_case; return; }
    # The rendering settings the launcher makes for itself are not the
    # browser's, nor, below, the relaunched launcher's: each decides anew.
    launcher_action website || fail "the website action could not be activated"
    if wait_for_text "$S/handler.env" "HOME=" 30; then
        expect_none_of_the_launchers_settings "the browser" <"$S/handler.env"
    else
        fail "the website was not handed to the default browser"
    fi
    accept_update_offer || { end_case; return; }
    wait_for_exit "$LAUNCHER" 120 || fail "version 1 did not quit for the relaunch"
    if wait_for_text "$S/requests.log" "VRLLauncher/2" 90; then
        local pid
        pid=$(pid_running "$B/vorlia") || fail "nothing runs from the launcher's path"
        note "version 2 runs from the same path (process $pid)"
        [ -z "$pid" ] || tr '\0' '\n' <"/proc/$pid/environ" | expect_none_of_the_launchers_settings "version 2"
    else
        fail "version 2 never started"
    fi
    grep -qF '"CFBundleShortVersionString": "2"' "$B/Info.json" || fail "the folder at the old path is not version 2"
    [ ! -e "$B.old" ] || fail "the old folder is still there"
    [ "$(ls "$P")" = "Vorlia.app" ] || fail "unexpected entries beside the launcher: $(ls "$P")"
    grep -q '"alert":"Update failed"' "$S/alerts.log" && fail "a failure was shown"
    [ ! -e "$S/planted-ran" ] || fail "the relaunch ran planted commands: $(sort -u "$S/planted-ran" | tr '\n' ' ')"
    end_case
}

# Commands the relaunch script uses, planted in each FOLDER: each notes that
# it ran, then does the real work.
plant_commands() {
    local folder c
    for folder in "$@"; do
        mkdir -p "$folder"
        for c in mv rm chmod sleep; do
            printf '#!/bin/sh\necho %s >> %q\nexec /usr/bin/%s "$@"\n' "$c" "$S/planted-ran" "$c" >"$folder/$c"
            chmod +x "$folder/$c"
        done
    done
}

# The case's private home gets a default handler for the content type TYPE
# that only notes its environment, in $S/handler.env.
default_handler_records_its_environment() {
    mkdir -p "$S/home/data/applications" "$S/home/config"
    printf '#!/bin/sh\nenv > %q\n' "$S/handler.env" >"$S/handler.sh"
    chmod +x "$S/handler.sh"
    printf '[Desktop Entry]\nType=Application\nName=Recording handler\nExec=%s %%u\nMimeType=%s;\n' \
        "$S/handler.sh" "$1" >"$S/home/data/applications/vorlia-test-handler.desktop"
    printf '[Default Applications]\n%s=vorlia-test-handler.desktop\n' "$1" >"$S/home/config/mimeapps.list"
}

# Fails when the environment on standard input holds a setting that only the
# launcher's rendering choice makes (the harness makes neither).
expect_none_of_the_launchers_settings() {
    local found
    found=$(grep -E '^(GSK_RENDERER|WEBKIT_DMABUF_RENDERER_FORCE_SHM)=' | tr '\n' ' ')
    [ -z "$found" ] || fail "$1 inherited the launcher's own settings: $found"
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
    expect_nothing_left
    end_case
}

# No work folder, and so no byte of the download, is left once a failure shows.
expect_nothing_left() {
    local left
    left=$(find "$S/tmp" -mindepth 1 -maxdepth 1 -name 'vrl-update-*' 2>/dev/null)
    [ -z "$left" ] || fail "left in the temporary folder: $(find "$S/tmp" -path '*vrl-update-*' | head -5)"
}

# The update on offer is accepted and ends as "could not be unpacked", with
# version 1 in place and nothing left behind.
offered_update_is_not_unpacked() {
    start_standin || return 1
    start_launcher
    accept_update_offer || return 1
    expect_alert "Update failed" "The update could not be unpacked."
    expect_version_1_in_place
    expect_nothing_left
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
    expect_nothing_left
    end_case
}

# Rewrites every platform entry of the served manifest with the Python
# statement $1 (on `entry`), and signs it again.
edit_manifest() {
    python3 - "$SITE/download/version.json" "$1" <<'PY'
import json, sys
path, statement = sys.argv[1], sys.argv[2]
manifest = json.load(open(path))
for entry in manifest.values():
    if isinstance(entry, dict):
        exec(statement)
json.dump(manifest, open(path, "w"))
PY
    "$BUILD/tools/vorlia-publish" sign "$KEY" "$SITE/download/version.json" \
        --out "$SITE/download/version.json.sig" >/dev/null || fail "signing the manifest failed"
}

# `size` is an estimate: a rounded one, off the archive's length, changes nothing.
case_size_is_an_estimate() {
    begin_case size_is_an_estimate
    publish_version_2
    edit_manifest 'entry["size"] = (entry["size"] // 1000000 + 1) * 1000000'
    start_standin || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    wait_for_exit "$LAUNCHER" 120 || fail "version 1 did not quit for the relaunch"
    wait_for_text "$S/requests.log" "VRLLauncher/2" 90 || fail "version 2 never started"
    grep -qF '"CFBundleShortVersionString": "2"' "$B/Info.json" || fail "the folder at the old path is not version 2"
    grep -q '"alert":"Update failed"' "$S/alerts.log" && fail "a failure was shown"
    end_case
}

# A manifest without a size leaves nothing to stop an endless body but the
# disk: a small in-memory temporary folder fills, the player is told so in
# the system's words, and it is emptied again.
case_endless_body_fills_the_temporary_folder() {
    begin_case endless_body_fills_the_temporary_folder
    if ! mount -t tmpfs -o size=8m,mode=0700 tmpfs "$S/tmp" 2>/dev/null; then
        note "not run: mounting a small temporary folder needs root"
        end_case
        return
    fi
    MOUNTED+=("$S/tmp")
    publish_version_2
    edit_manifest 'entry.pop("size", None)'
    start_standin "/download/$ARCHIVE_NAME=endless" || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Update failed" "Could not write"
    expect_alert "Update failed" "update.zip”: No space left on device\n\nYou can download the new version from $SITE_HOST."
    expect_version_1_in_place
    expect_nothing_left
    local used
    used=$(df --output=used -k "$S/tmp" | tail -1 | tr -d ' ')
    [ "$used" -lt 1024 ] || fail "the temporary folder still holds $used KiB"
    end_case
}

# What earlier updates left is swept when the launcher starts: a failed
# update's folder goes, a newer version the player has not moved yet stays,
# and a planted link is not followed.
case_leftovers_swept_at_start() {
    begin_case leftovers_swept_at_start
    mkdir -p "$S/tmp/vrl-update-FAILED" "$S/precious"
    echo partial >"$S/tmp/vrl-update-FAILED/update.zip"
    make_app "$S/tmp/vrl-update-WAITING/Vorlia.app" 2
    echo keep >"$S/precious/save.dat"
    ln -s "$S/precious" "$S/tmp/vrl-update-LINK"
    touch -d '1 hour ago' "$S/tmp/vrl-update-FAILED" "$S/tmp/vrl-update-WAITING"
    start_standin || { end_case; return; }
    start_launcher
    if wait_until 60 eval '[ ! -e "$S/tmp/vrl-update-FAILED" ]'; then
        [ -x "$S/tmp/vrl-update-WAITING/Vorlia.app/vorlia" ] || fail "the newer version waiting to be moved was removed"
        [ -L "$S/tmp/vrl-update-LINK" ] && [ "$(cat "$S/precious/save.dat")" = keep ] ||
            fail "the planted link was followed or removed"
    else
        fail "the failed update's folder is still there"
    fi
    end_case
}

# An endless manifest: the automatic check gives up at its cap, silently, and
# the launcher plays on.
case_endless_manifest() {
    begin_case endless_manifest
    publish_version_2
    start_standin "/download/version.json=endless" || { end_case; return; }
    start_launcher
    if wait_for_text "$S/requests.log" '"path":"/download/version.json.sig"' 90; then
        sleep 1
        [ -f "$S/alerts.log" ] && grep -q '"alert"' "$S/alerts.log" && fail "an alert was shown: $(cat "$S/alerts.log")"
        kill -0 "$LAUNCHER" 2>/dev/null || fail "the launcher stopped"
        note "launcher's peak memory: $(awk '/^VmHWM/ {print $2, $3}' "/proc/$LAUNCHER/status" 2>/dev/null)"
    else
        fail "the check never came to the signature"
    fi
    end_case
}

case_folder_not_writable() {
    begin_case folder_not_writable
    publish_version_2
    if [ "$(id -u)" -ne 0 ]; then
        # An ordinary user is held back by the folder's own permissions.
        chmod a-w "$P"
        READ_ONLY+=("$P")
    elif chattr +i "$P" 2>/dev/null; then
        IMMUTABLE+=("$P")
    elif mount --bind -o ro "$P" "$P" 2>/dev/null; then
        MOUNTED+=("$P")
    else
        fail "cannot make a folder unwritable here (neither chattr +i nor a read-only bind mount)"
        end_case
        return
    fi
    start_standin || { end_case; return; }
    default_handler_records_its_environment inode/directory
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
    # No file manager answers on the case's own bus: the folder goes to its
    # handler, without the launcher's own settings.
    if wait_for_text "$S/handler.env" "HOME=" 30; then
        expect_none_of_the_launchers_settings "the folder's handler" <"$S/handler.env"
    else
        fail "the folder was not handed to its handler"
    fi
    sleep 2
    expect_version_1_in_place
    end_case
}

# A launcher in a shared sticky folder (as /tmp is): another account could
# plant its own Vorlia.app.old and Vorlia.app.new there, so the launcher
# neither swaps itself in place nor adds itself to the menu.
case_shared_folder() {
    begin_case shared_folder
    publish_version_2
    mkdir -p "$S/shared"
    chmod 1777 "$S/shared"
    mv "$B" "$S/shared/Vorlia.app"
    B="$S/shared/Vorlia.app"
    rm -f "$B/.build-tree"
    LAUNCHER_ENV+=(VORLIA_DESKTOP_MENU=1)
    local planted=""
    if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
        planted=1
        chmod 0711 "$S"
        setpriv --reuid=nobody --regid=nogroup --clear-groups \
            sh -c 'umask 0; mkdir "$1.old" "$1.new"' sh "$B" || fail "the second account could not plant its folders"
    else
        note "the second account's planted folders: not run: needs root to act as another account"
    fi
    start_standin || { end_case; return; }
    start_launcher
    wait_for_text "$S/alerts.log" '"desktopMenu":"not registered"' 60 ||
        fail "the menu entry was not refused: $(grep desktopMenu "$S/alerts.log")"
    accept_update_offer || { end_case; return; }
    expect_alert "Almost done" "The launcher cannot replace itself in this folder."
    press Return
    wait_for_text "$S/alerts.log" '"fileManager"' 30 || fail "the new folder was never shown"
    grep -qF '"CFBundleShortVersionString": "1"' "$B/Info.json" || fail "the launcher's folder changed"
    kill -0 "$LAUNCHER" 2>/dev/null || fail "version 1 stopped running"
    if [ -n "$planted" ]; then
        [ -z "$(ls -A "$B.old")$(ls -A "$B.new")" ] || fail "something was moved into the planted folders"
    fi
    [ -z "$(ls -A "$S/home/data/applications" 2>/dev/null)" ] || fail "a menu entry was written"
    end_case
}

# A launcher started from its own work folder (where "Almost done" shows the
# new one): the sweep at start removes other leftovers, never the folder it
# runs from, and no menu entry points into the temporary folder.
case_started_from_a_work_folder() {
    begin_case started_from_a_work_folder
    B="$S/tmp/vrl-update-RUNNING/Vorlia.app"
    make_app "$B" 1
    rm -f "$B/.build-tree"
    mkdir -p "$S/tmp/vrl-update-FAILED"
    echo partial >"$S/tmp/vrl-update-FAILED/update.zip"
    touch -d '1 hour ago' "$S/tmp/vrl-update-FAILED" "$S/tmp/vrl-update-RUNNING"
    LAUNCHER_ENV+=(VORLIA_DESKTOP_MENU=1)
    start_standin || { end_case; return; }
    start_launcher
    if wait_until 60 eval '[ ! -e "$S/tmp/vrl-update-FAILED" ]'; then
        [ -x "$B/vorlia" ] || fail "the folder the launcher runs from was removed"
    else
        fail "the sweep never ran"
    fi
    wait_for_text "$S/alerts.log" '"desktopMenu":"not registered"' 60 ||
        fail "the menu entry was not refused: $(grep desktopMenu "$S/alerts.log")"
    [ -z "$(ls -A "$S/home/data/applications" 2>/dev/null)" ] || fail "a menu entry was written"
    kill -0 "$LAUNCHER" 2>/dev/null || fail "the launcher stopped"
    end_case
}

# Version 2 built against a library this machine lacks: its interpreter's
# list shows it missing, the update could not be unpacked, version 1 stays.
case_missing_library() {
    begin_case missing_library
    make_app "$S/release/Vorlia.app" 2
    python3 - "$S/release/Vorlia.app/vorlia" <<'PY'
import sys
path = sys.argv[1]
data = open(path, "rb").read()
assert b"libsodium.so.23\0" in data
open(path, "wb").write(data.replace(b"libsodium.so.23\0", b"libsodiuX.so.23\0"))
PY
    publish_release "$S/release/Vorlia.app"
    offered_update_is_not_unpacked || { end_case; return; }
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
    # Every piece in place, but its `vorlia` is a script that could never start the game.
    not_a_program) make_zip "$S/bad.zip" Vorlia.app/ Vorlia.app/vorlia Vorlia.app/Info.json ;;
    esac
    publish_archive "$S/bad.zip"
    offered_update_is_not_unpacked || { end_case; return; }
    [ ! -e "$S/escaped" ] && [ ! -e "/tmp/escaped-too" ] && [ ! -e "$S/absolute-escape" ] &&
        [ ! -e "$S/tmp/escaped" ] || fail "an entry was written outside the work folder"
    end_case
}

cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
    cases=(update_and_relaunch tampered_archive "download_fault 404" "download_fault 206" "download_fault cut"
        "download_fault chunked-cut" "download_fault gzip-cut" "download_fault endless"
        size_is_an_estimate endless_body_fills_the_temporary_folder endless_manifest leftovers_swept_at_start folder_not_writable
        shared_folder started_from_a_work_folder missing_library "bad_archive sub_folder" "bad_archive escaping" "bad_archive absolute"
        "bad_archive no_executable" "bad_archive not_a_program")
fi
for c in "${cases[@]}"; do
    # shellcheck disable=SC2086
    case_$c
done

echo
if [ ${#failures[@]} -eq 0 ]; then
    echo "update end-to-end tests: all passed"
    exit 0
fi
echo "update end-to-end tests failed:"
printf '  %s\n' "${failures[@]}"
exit 1
