# shellcheck shell=bash
# Steps shared by the scripts, the test suites and the benchmarks. Sourced.
#
# Every wait here is bounded. Whatever a script registers with at_exit runs
# when the script exits, however it exits (last registered first), so the
# processes the sourced helpers start are ended with it.

[ -n "${VORLIA_LIB_COMMON:-}" ] && return 0
VORLIA_LIB_COMMON=1

VORLIA_AT_EXIT=()

vorlia_run_at_exit() {
    local status=$? last=$BASH_COMMAND i
    # Under set -e a failing command ends the script without a word: name it.
    if [ "$status" -ne 0 ] && [[ $- == *e* ]] && [[ $last != exit* ]]; then
        say "ended with status $status at: $last"
    fi
    for ((i = ${#VORLIA_AT_EXIT[@]} - 1; i >= 0; i--)); do
        eval "${VORLIA_AT_EXIT[i]}" || true
    done
    VORLIA_AT_EXIT=()
}

# Runs COMMAND ARGS... when the script exits; an interrupt exits through it too.
at_exit() {
    if [ ${#VORLIA_AT_EXIT[@]} -eq 0 ]; then
        trap vorlia_run_at_exit EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
    fi
    VORLIA_AT_EXIT+=("$(printf '%q ' "$@")")
}

say() { echo "$(basename "$0"): $*" >&2; }
die() {
    say "$*"
    exit 1
}

# Polls COMMAND ARGS... every tenth of a second until it succeeds; false when
# it has not within SECONDS.
wait_until() {
    local seconds=$1 deadline
    shift
    deadline=$(($(date +%s) + seconds))
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# True once FILE is not empty, or once PID, which writes it, has ended.
written_or_ended() { [ -s "$1" ] || ! running "$2"; }

file_has() { grep -qF -- "$2" "$1" 2>/dev/null; }

# Waits until FILE holds TEXT; false after SECONDS (default 60).
wait_for_text() { wait_until "${3:-60}" file_has "$1" "$2"; }

# True while PID runs. A zombie has ended only once it is alone: while its
# other threads still exit, it may hold its sockets and bus names.
running() {
    awk '/^State:/ { zombie = ($2 == "Z") } /^Threads:/ { threads = $2 }
        END { exit (NR > 0 && (!zombie || threads > 1)) ? 0 : 1 }' "/proc/$1/status" 2>/dev/null
}

not_running() { ! running "$1"; }

# Waits until PID has ended; false after SECONDS (default 30).
wait_for_exit() { wait_until "${2:-30}" not_running "$1"; }

# Ends PID: SIGTERM (and SIGCONT, for a stopped one), SIGKILL after SECONDS
# (default 10); reaps it when it is this shell's child.
stop_process() {
    local pid=$1 seconds=${2:-10}
    [ -n "$pid" ] || return 0
    if running "$pid"; then
        kill "$pid" 2>/dev/null
        kill -CONT "$pid" 2>/dev/null
        wait_for_exit "$pid" "$seconds" || kill -9 "$pid" 2>/dev/null
    fi
    # Its own exit status is not this function's: under errexit it would end the caller.
    wait "$pid" 2>/dev/null || true
}

# The first process whose executable is exactly FILE.
pid_running() {
    local exe=$1 p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$exe" ] && { echo "${p#/proc/}"; return 0; }
    done
    return 1
}

# Fields N... of /proc/PID/stat as proc(5) numbers them (from 3, the state),
# on one line; false once PID has gone. The command name before them may hold
# spaces and parentheses, so they start after its last ')'.
stat_fields() {
    local pid=$1 stat="" n fields out=()
    shift
    IFS= read -r -d '' stat 2>/dev/null <"/proc/$pid/stat" || true
    [ -n "$stat" ] || return 1
    read -ra fields <<<"${stat##*) }"
    for n; do out+=("${fields[n - 3]}"); done
    echo "${out[*]}"
}

# PID and every living process below it, however deep, one a line.
process_tree() {
    local -A children=()
    local file stat parent queue=("$1") next
    for file in /proc/[0-9]*/stat; do
        stat=""
        IFS= read -r -d '' stat 2>/dev/null <"$file" || true
        [ -n "$stat" ] || continue
        read -r _ parent _ <<<"${stat##*) }"
        children[$parent]+="${stat%% *} "
    done
    while [ ${#queue[@]} -gt 0 ]; do
        next=${queue[0]}
        queue=("${queue[@]:1}")
        echo "$next"
        # shellcheck disable=SC2206 # one word per child
        queue+=(${children[$next]:-})
    done
}

# Every process that holds NAME=VALUE in the environment it started with: all
# that a process given that setting started, however deep (relaunched
# launchers, their scripts, the engine's helpers), and nothing else. The
# setting must not be exported by this shell, whose own commands would carry it.
pids_with_setting() {
    grep -lzxF -- "$1=$2" /proc/[0-9]*/environ 2>/dev/null | sed -n 's#^/proc/\([0-9]*\)/environ$#\1#p' |
        grep -vx -- "$$"
    return 0
}

# Every process whose program, or whose shell's script, lies under FOLDER (as
# its command line spells it): a launcher started from an application folder
# there, the relaunch script it leaves in a temporary folder there, and the
# launcher that script starts in its place.
pids_running_from() {
    local folder
    # shellcheck disable=SC2001 # each special character escaped in place
    folder=$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$1")
    pgrep -f -- "^([^ ]*/sh )?$folder/"
    return 0
}

# Ends the processes whose ids the command LISTER ARGS... prints, and then any
# it prints afterwards: the relaunch script may start the next launcher meanwhile.
stop_processes_found_by() {
    local round pids pid
    for round in 1 2 3 4 5; do
        pids=$("$@")
        [ -n "$pids" ] || return 0
        for pid in $pids; do kill "$pid" 2>/dev/null && kill -CONT "$pid" 2>/dev/null; done
        for pid in $pids; do wait_for_exit "$pid" 10 || kill -9 "$pid" 2>/dev/null; done
        [ "$round" -lt 5 ] || say "processes kept appearing ($*): $pids"
    done
}

stop_processes_with_setting() { stop_processes_found_by pids_with_setting "$1" "$2"; }

# A value from a build folder's CMake cache.
cache_value() {
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# HOME and the XDG folders under DIR, so that nothing touches the user's own.
private_home() {
    export HOME="$1" XDG_DATA_HOME="$1/data" XDG_CACHE_HOME="$1/cache" XDG_STATE_HOME="$1/state" \
        XDG_CONFIG_HOME="$1/config"
    mkdir -p "$HOME"
}

# Configures BUILD_DIR from SOURCE with ARGS..., its log in BUILD_DIR/configure.log
# (shown when configuring fails).
configure_build() {
    local source=$1 dir=$2
    shift 2
    mkdir -p "$dir"
    cmake -S "$source" -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 || {
        cat "$dir/configure.log" >&2
        say "configuring $dir failed"
        return 1
    }
}
