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
    end_case
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

# A manifest without a size leaves nothing to stop an endless body but the
# disk: a small in-memory temporary folder fills, and is emptied again.
case_endless_body_fills_the_temporary_folder() {
    begin_case endless_body_fills_the_temporary_folder
    if ! mount -t tmpfs -o size=8m,mode=0700 tmpfs "$S/tmp" 2>/dev/null; then
        note "not run: mounting a small temporary folder needs root"
        end_case
        return
    fi
    MOUNTED+=("$S/tmp")
    publish_version_2
    python3 - "$SITE/download/version.json" <<'PY'
import json, sys
path = sys.argv[1]
manifest = json.load(open(path))
for entry in manifest.values():
    if isinstance(entry, dict):
        entry.pop("size", None)
json.dump(manifest, open(path, "w"))
PY
    "$BUILD/tools/vorlia-publish" sign "$KEY" "$SITE/download/version.json" \
        --out "$SITE/download/version.json.sig" >/dev/null || fail "signing the manifest failed"
    start_standin "/download/$ARCHIVE_NAME=endless" || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Update failed" "The download did not finish."
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
    start_standin || { end_case; return; }
    start_launcher
    accept_update_offer || { end_case; return; }
    expect_alert "Update failed" "The update could not be unpacked."
    expect_version_1_in_place
    expect_nothing_left
    [ ! -e "$S/escaped" ] && [ ! -e "/tmp/escaped-too" ] && [ ! -e "$S/absolute-escape" ] &&
        [ ! -e "$S/tmp/escaped" ] || fail "an entry was written outside the work folder"
    end_case
}

cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
    cases=(update_and_relaunch tampered_archive "download_fault 404" "download_fault 206" "download_fault cut"
        "download_fault chunked-cut" "download_fault gzip-cut" "download_fault endless"
        endless_body_fills_the_temporary_folder endless_manifest leftovers_swept_at_start folder_not_writable "bad_archive sub_folder" "bad_archive escaping" "bad_archive absolute"
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
