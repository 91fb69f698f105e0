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
offer=1
if [ "${1:-}" = "--no-update" ]; then
    offer=""
    shift
fi
BUILD=${1:-build}
# shellcheck source=scripts/lib/standin.sh
. scripts/lib/standin.sh

bash scripts/install-deps.sh
configure_build . "$BUILD"
ninja -C "$BUILD" vorlia_demo vorlia-standin vorlia-publish
BUILD=$(cd "$BUILD" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-demo.XXXXXX")
at_exit rm -rf "$work"
# Whatever the demo's launchers started (a relaunch script, the relaunched
# launcher) carries this setting, and ends with the demo.
at_exit stop_processes_with_setting VORLIA_DEMO_RUN "$work"

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
    sh packaging/make-release.sh "$work/release/Vorlia.app" "$work/site/download" "$newer" \
        "https://$(cache_value "$BUILD" VORLIA_SITE_HOST)/download/" \
        tests/fixtures/DEV-ONLY-manifest-signing.key "$BUILD/tools/vorlia-publish" >/dev/null
    rm -rf "$work/release"
    echo "demo: the site offers version $newer; accept it to watch the update"
fi

standin_start "$BUILD" "$work" --site-dir "$work/site" --log "$work/requests.log" || exit 1
echo "demo: stand-in hosts on loopback (proxy $STANDIN_PROXY); request log: $work/requests.log"
echo "demo: playing from $app"

# The update's work folder stays inside the temporary place too.
env TMPDIR="$work/tmp" VORLIA_DEMO_RUN="$work" "${STANDIN_ROUTE[@]}" "$app/vorlia" || true
# A relaunch ends the first launcher and starts the new version from the
# same folder; the demo lasts as long as anything it started runs.
demo_running() { [ -n "$(pids_with_setting VORLIA_DEMO_RUN "$work")" ]; }
while demo_running; do
    sleep 0.5
done
