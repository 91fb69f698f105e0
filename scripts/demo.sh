#!/bin/bash
# Builds the demo flavour of the launcher and plays it against the local
# stand-in game and site hosts: both listen on free loopback ports, the
# launcher reaches them through the stand-in's proxy and trusts the stand-in's
# certificate for their names only. Runs as an ordinary user, changes no
# system file and uses no network beyond loopback.
#
# The launcher runs from a copy of the demo application folder in a
# temporary place, and the site offers a newer version of the same build
# (signed with the development key): accept it to see the download, the
# relaunch and the new version start from that same place. The hosts stop,
# and the temporary place goes, when the last launcher quits.
#
#   scripts/demo.sh [--no-update] [BUILD_DIR]      (default: build)
#
#   --no-update   the site offers no newer version
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=scripts/lib/standin.sh
. scripts/lib/standin.sh

usage() { echo "usage: $0 [--no-update] [BUILD_DIR]"; }
offer=1
while [ $# -gt 0 ]; do
    case $1 in
    --no-update) offer=""; shift ;;
    -h | --help) usage; exit 0 ;;
    --) shift; break ;;
    -*) usage >&2; exit 2 ;;
    *) break ;;
    esac
done
[ $# -le 1 ] || { usage >&2; exit 2; }
BUILD=${1:-build}

bash scripts/install-deps.sh
configure_build . "$BUILD"
ninja -C "$BUILD" vorlia_demo vorlia-standin vorlia-publish
BUILD=$(cd "$BUILD" && pwd)

# Resolved, so that the paths the launcher derives from its own executable
# spell the place as this script does.
work=$(cd -P "$(mktemp -d "${TMPDIR:-/tmp}/vorlia-demo.XXXXXX")" && pwd)
at_exit rm -rf "$work"
if findmnt -no OPTIONS --target "$work" 2>/dev/null | grep -qw noexec; then
    die "$work lies on a file system that runs no programs (noexec): set TMPDIR to another folder"
fi
# Whatever runs from the temporary place (the launcher, its relaunch script,
# the relaunched launcher) ends with the demo.
at_exit stop_processes_found_by pids_running_from "$work"

app="$work/Vorlia.app"
cp -a "$BUILD/demo/Vorlia.app" "$app"
mkdir -p "$work/site" "$work/tmp"
# A site folder of the project's own, when there is one, comes along.
if [ -d tools/standin/site ]; then cp -a tools/standin/site/. "$work/site/"; fi

if [ -n "$offer" ]; then
    version=$(sed -n 's/.*"CFBundleShortVersionString": *"\([^"]*\)".*/\1/p' "$app/Info.json")
    newer="${version:-1.0}.1"
    mkdir -p "$work/release"
    cp -a "$app" "$work/release/Vorlia.app"
    printf '{\n  "CFBundleShortVersionString": "%s"\n}\n' "$newer" >"$work/release/Vorlia.app/Info.json"
    sh packaging/make-release.sh --development-key "$work/release/Vorlia.app" "$work/site/download" "$newer" \
        "https://$(cache_value "$BUILD" VORLIA_SITE_HOST)/download/" \
        tests/fixtures/DEV-ONLY-manifest-signing.key "$BUILD/tools/vorlia-publish" >/dev/null
    rm -rf "$work/release"
    echo "demo: the site offers version $newer; accept it to watch the update"
fi

standin_start "$BUILD" "$work" --site-dir "$work/site" --log "$work/requests.log" || exit 1
echo "demo: stand-in hosts on loopback (proxy $STANDIN_PROXY); request log: $work/requests.log"
echo "demo: playing from $app"

# The update's work folder stays inside the temporary place too, beside the
# copy, so that the swap is a rename.
env TMPDIR="$work/tmp" "${STANDIN_ROUTE[@]}" "$app/vorlia" &
launcher=$!
status=0
wait "$launcher" || status=$?
# A relaunch ends the first launcher; its script, in a session of its own,
# starts the new version from the same folder. The demo lasts while anything
# runs from the temporary place; a setting in the launchers' environment would
# not do, since a browser the game opens inherits it.
while [ -n "$(pids_running_from "$work")" ]; do
    sleep 0.5
done
exit "$status"
