#!/bin/bash
# Builds the demo flavour of the launcher and plays it against the local
# stand-in game and site hosts: both listen on free loopback ports, the
# launcher reaches them through the stand-in's proxy and trusts the stand-in's
# certificate for their names only. Runs as an ordinary user, changes no
# system file and uses no network beyond loopback. The hosts stop when the
# launcher quits.
#
#   scripts/demo.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD=${1:-build}
# shellcheck source=scripts/lib/standin.sh
. scripts/lib/standin.sh

bash scripts/install-deps.sh
configure_build . "$BUILD"
ninja -C "$BUILD" vorlia_demo vorlia-standin
BUILD=$(cd "$BUILD" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-demo.XXXXXX")
at_exit rm -rf "$work"

# A site folder, when there is one, gives the demo an update to find.
site_args=()
if [ -d tools/standin/site ]; then site_args=(--site-dir tools/standin/site); fi

standin_start "$BUILD" "$work" "${site_args[@]}" --log "$work/requests.log" || exit 1
echo "demo: stand-in hosts on loopback (proxy $STANDIN_PROXY); request log: $work/requests.log"

env "${STANDIN_ROUTE[@]}" "$BUILD/demo/Vorlia.app/vorlia" &
launcher=$!
at_exit stop_process "$launcher"
wait "$launcher"
