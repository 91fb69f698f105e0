#!/bin/bash
# Builds the demo flavour of the launcher and plays it against the local
# stand-in game and site hosts: both listen on free loopback ports, the
# launcher reaches them through the stand-in's proxy and trusts the stand-in's
# certificate for their names only. Runs as an ordinary user, changes no
# system file and uses no network beyond loopback. The hosts stop when the
# launcher quits.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build vorlia_demo vorlia-standin

work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-demo.XXXXXX")
hosts_pid=""
launcher_pid=""
# shellcheck disable=SC2317 # called through the trap
cleanup() {
    if [ -n "$launcher_pid" ]; then kill "$launcher_pid" 2>/dev/null || true; fi
    if [ -n "$hosts_pid" ]; then
        kill "$hosts_pid" 2>/dev/null || true
        wait "$hosts_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A site folder, when there is one, gives the demo an update to find.
site_args=()
if [ -d tools/standin/site ]; then site_args=(--site-dir tools/standin/site); fi

./build/tools/vorlia-standin "${site_args[@]}" --log "$work/requests.log" >"$work/ports" &
hosts_pid=$!
for _ in $(seq 100); do
    [ -s "$work/ports" ] && break
    kill -0 "$hosts_pid" 2>/dev/null || { echo "demo: the stand-in hosts did not start" >&2; exit 1; }
    sleep 0.1
done
proxy_port=$(sed -n 's/.*"proxy":\([0-9][0-9]*\).*/\1/p' "$work/ports")
[ -n "$proxy_port" ] || { echo "demo: the stand-in hosts gave no proxy port" >&2; exit 1; }
echo "demo: stand-in hosts on loopback (proxy port $proxy_port); request log: $work/requests.log"

VORLIA_STANDIN_PROXY="http://127.0.0.1:$proxy_port" \
VORLIA_STANDIN_CERT="$PWD/build/standin/standin-cert.pem" \
    ./build/demo/Vorlia.app/vorlia &
launcher_pid=$!
status=0
wait "$launcher_pid" || status=$?
launcher_pid=""
exit "$status"
