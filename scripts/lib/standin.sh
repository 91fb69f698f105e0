# shellcheck shell=bash disable=SC2034 # the STANDIN_ settings are for the scripts that source this
# The stand-in game and site hosts (tools/standin/) on free loopback ports.
# Sourced. standin_start sets STANDIN_PROXY (the proxy's URL), STANDIN_HTTPS_PORT,
# STANDIN_CERT, and STANDIN_ROUTE: the settings that route a demo or test
# launcher to them (`env "${STANDIN_ROUTE[@]}" .../vorlia`). The hosts end with
# standin_stop or when the script exits.

[ -n "${VORLIA_LIB_STANDIN:-}" ] && return 0
VORLIA_LIB_STANDIN=1
# shellcheck source=scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

STANDIN_PID=""
STANDIN_PROXY=""
STANDIN_HTTPS_PORT=""
STANDIN_CERT=""
STANDIN_ROUTE=()
VORLIA_STANDIN_STOP_AT_EXIT=""

# standin_start BUILD_DIR WORK_DIR [STANDIN_ARGS...]: starts the hosts of the
# build (their ports and messages in WORK_DIR/standin.out and standin.err)
# and waits for their ports. False, with the reason on standard error, when
# they do not start within 30 s.
standin_start() {
    local build=$1 work=$2
    shift 2
    standin_stop
    if [ -z "$VORLIA_STANDIN_STOP_AT_EXIT" ]; then
        at_exit standin_stop
        VORLIA_STANDIN_STOP_AT_EXIT=1
    fi
    "$build/tools/vorlia-standin" "$@" >"$work/standin.out" 2>"$work/standin.err" &
    STANDIN_PID=$!
    wait_until 30 written_or_ended "$work/standin.out" "$STANDIN_PID"
    local ports
    ports=$(head -1 "$work/standin.out" 2>/dev/null)
    local proxy https
    proxy=$(sed -n 's/.*"proxy":\([0-9][0-9]*\).*/\1/p' <<<"$ports")
    https=$(sed -n 's/.*"https":\([0-9][0-9]*\).*/\1/p' <<<"$ports")
    if [ -z "$proxy" ] || [ -z "$https" ]; then
        if running "$STANDIN_PID"; then
            say "the stand-in hosts gave no ports within 30 s"
        else
            say "the stand-in hosts did not start: $(cat "$work/standin.err")"
        fi
        standin_stop
        return 1
    fi
    STANDIN_PROXY="http://127.0.0.1:$proxy"
    STANDIN_HTTPS_PORT=$https
    STANDIN_CERT="$(cd "$build" && pwd)/standin/standin-cert.pem"
    STANDIN_ROUTE=(VORLIA_STANDIN_PROXY="$STANDIN_PROXY" VORLIA_STANDIN_CERT="$STANDIN_CERT")
}

standin_stop() {
    [ -n "$STANDIN_PID" ] || return 0
    stop_process "$STANDIN_PID"
    STANDIN_PID=""
    STANDIN_PROXY=""
    STANDIN_HTTPS_PORT=""
    STANDIN_ROUTE=()
}

# For a benchmark that adds its counters to the game page: sets `work` to a
# scratch folder (removed at exit) holding a copy of the stand-in's game in
# `$work/game`, once BUILD is known to hold the demo launcher.
standin_game_copy() {
    local build=$1 name=$2
    [ -x "$build/demo/Vorlia.app/vorlia" ] || die "$build has no demo launcher; build it first"
    work=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-$name.XXXXXX")
    at_exit rm -rf "$work"
    cp -a tools/standin/game "$work/game"
}
