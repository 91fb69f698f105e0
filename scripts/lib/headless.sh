# shellcheck shell=bash
# A private desktop for the real-window tests and the benchmarks: Xvfb on a
# free display with its own cookie, a private D-Bus session, and openbox (full
# screen, minimum sizes and close buttons are the window manager's business).
# Sourced. headless_start exports DISPLAY, XAUTHORITY and
# DBUS_SESSION_BUS_ADDRESS to whatever the script runs next; everything it
# starts ends when the script exits. headless_wayland_start gives a headless
# Weston instead, with no X server at all.

[ -n "${VORLIA_LIB_HEADLESS:-}" ] && return 0
VORLIA_LIB_HEADLESS=1
# shellcheck source=scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

HEADLESS_DIR=""
HEADLESS_XVFB=""
HEADLESS_BUS=""
HEADLESS_WM=""
HEADLESS_WESTON=""

# headless_start [--screen WxHxDEPTH] [--no-window-manager]
headless_start() {
    local screen=1920x1080x24 wm=1
    while [ $# -gt 0 ]; do
        case $1 in
        --screen) screen=$2; shift 2 ;;
        --no-window-manager) wm=""; shift ;;
        *) die "headless_start: unknown option $1" ;;
        esac
    done
    [ -z "$HEADLESS_DIR" ] || die "headless_start: already started"
    HEADLESS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-headless.XXXXXX")
    at_exit headless_stop

    # The engine draws in software and talks to no accessibility bus; X11 even
    # when the caller runs on a Wayland desktop.
    export GDK_BACKEND=x11 LIBGL_ALWAYS_SOFTWARE=1 NO_AT_BRIDGE=1
    unset WAYLAND_DISPLAY

    # The server reads its cookie at start; the display's own entry for
    # clients is added once the server has chosen the display.
    local cookie
    cookie=$(mcookie)
    export XAUTHORITY="$HEADLESS_DIR/Xauthority"
    : >"$XAUTHORITY"
    xauth -q -f "$XAUTHORITY" add :0 . "$cookie"
    # -noreset: the server would otherwise reset when its last client leaves
    # (the readiness probe below), refusing whoever connects meanwhile.
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset -auth "$XAUTHORITY" \
        3>"$HEADLESS_DIR/display" >"$HEADLESS_DIR/xvfb.log" 2>&1 &
    HEADLESS_XVFB=$!
    wait_until 30 written_or_ended "$HEADLESS_DIR/display" "$HEADLESS_XVFB"
    if [ ! -s "$HEADLESS_DIR/display" ]; then
        cat "$HEADLESS_DIR/xvfb.log" >&2
        die "Xvfb gave no display within 30 s"
    fi
    DISPLAY=":$(head -1 "$HEADLESS_DIR/display")"
    export DISPLAY
    xauth -q -f "$XAUTHORITY" add "$DISPLAY" . "$cookie"

    # A client is let in before the window manager, which tries only once.
    wait_until 30 headless_display_settled
    if ! running "$HEADLESS_XVFB" || ! headless_display_answers; then
        cat "$HEADLESS_DIR/xvfb.log" >&2
        die "Xvfb on $DISPLAY let no client in within 30 s"
    fi

    headless_bus_start

    if [ -n "$wm" ]; then
        # Works around openbox, now and then under load, failing to open a
        # display that has just let a client in (seen in CI, cause not found):
        # it is started again, up to three times, before the run gives up.
        local attempt
        for attempt in 1 2 3; do
            openbox --sm-disable >"$HEADLESS_DIR/openbox.log" 2>&1 &
            HEADLESS_WM=$!
            wait_until 30 headless_wm_settled
            running "$HEADLESS_WM" && headless_wm_manages && return 0
            say "openbox did not manage display $DISPLAY (attempt $attempt):"
            cat "$HEADLESS_DIR/openbox.log" >&2
            stop_process "$HEADLESS_WM"
            HEADLESS_WM=""
            sleep 1
        done
        cat "$HEADLESS_DIR/xvfb.log" >&2
        die "openbox did not manage display $DISPLAY in three attempts"
    fi
}

# headless_wayland_start: a headless Weston drawing with pixman, on a socket in
# a private XDG_RUNTIME_DIR, and a private D-Bus session. DISPLAY is unset, so
# a client that cannot speak Wayland fails instead of falling back to an X
# server. Weston runs with --debug so that weston-screenshooter may take
# screenshots.
headless_wayland_start() {
    [ -z "$HEADLESS_DIR" ] || die "headless_wayland_start: already started"
    HEADLESS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-headless.XXXXXX")
    at_exit headless_stop

    export GDK_BACKEND=wayland LIBGL_ALWAYS_SOFTWARE=1 NO_AT_BRIDGE=1
    unset DISPLAY XAUTHORITY WAYLAND_SOCKET
    export XDG_RUNTIME_DIR="$HEADLESS_DIR/runtime" WAYLAND_DISPLAY=wayland-vorlia
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
    weston --backend=headless-backend.so --use-pixman --width=1920 --height=1080 --no-config \
        --idle-time=0 --debug --socket="$WAYLAND_DISPLAY" >"$HEADLESS_DIR/weston.log" 2>&1 &
    HEADLESS_WESTON=$!
    wait_until 30 headless_wayland_settled
    if ! running "$HEADLESS_WESTON" || [ ! -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ]; then
        cat "$HEADLESS_DIR/weston.log" >&2
        die "Weston gave no socket within 30 s"
    fi

    headless_bus_start
}

headless_wayland_settled() { [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] || ! running "$HEADLESS_WESTON"; }

headless_display_answers() { xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1; }
headless_display_settled() { ! running "$HEADLESS_XVFB" || headless_display_answers; }
headless_wm_manages() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; }
headless_wm_settled() { ! running "$HEADLESS_WM" || headless_wm_manages; }

# A new private D-Bus session for what runs next (the one before, if any,
# ends first), so that nothing left of an earlier run holds a bus name.
headless_bus_start() {
    [ -n "$HEADLESS_DIR" ] || die "headless_bus_start: no headless session"
    headless_bus_stop
    rm -f "$HEADLESS_DIR/bus"
    dbus-daemon --session --nofork --nopidfile --nosyslog --print-address=3 \
        3>"$HEADLESS_DIR/bus" >"$HEADLESS_DIR/dbus.log" 2>&1 &
    HEADLESS_BUS=$!
    wait_until 30 written_or_ended "$HEADLESS_DIR/bus" "$HEADLESS_BUS"
    if [ ! -s "$HEADLESS_DIR/bus" ]; then
        cat "$HEADLESS_DIR/dbus.log" >&2
        die "the private D-Bus session gave no address within 30 s"
    fi
    DBUS_SESSION_BUS_ADDRESS=$(head -1 "$HEADLESS_DIR/bus")
    export DBUS_SESSION_BUS_ADDRESS
}

headless_bus_stop() {
    [ -n "$HEADLESS_BUS" ] || return 0
    stop_process "$HEADLESS_BUS"
    HEADLESS_BUS=""
    unset DBUS_SESSION_BUS_ADDRESS
}

headless_stop() {
    [ -n "$HEADLESS_DIR" ] || return 0
    stop_process "$HEADLESS_WM"
    HEADLESS_WM=""
    headless_bus_stop
    stop_process "$HEADLESS_WESTON"
    HEADLESS_WESTON=""
    stop_process "$HEADLESS_XVFB"
    HEADLESS_XVFB=""
    rm -rf "$HEADLESS_DIR"
    HEADLESS_DIR=""
}

# Presses KEY in whatever window of the X display has the focus; false when it could not.
headless_key() { timeout 10 xdotool key --clearmodifiers "$1"; }

# True when the window with the focus is one of the launcher's dialogs: on
# screen, standing over another window and titled "Vorlia" (the game window
# stands over none; the progress window is titled otherwise).
headless_dialog_has_focus() {
    local id
    id=$(xdotool getactivewindow 2>/dev/null) || return 1
    xwininfo -id "$id" 2>/dev/null | grep -q "Map State: IsViewable" &&
        xprop -id "$id" WM_TRANSIENT_FOR 2>/dev/null | grep -q "window id" &&
        xprop -id "$id" WM_NAME 2>/dev/null | grep -qx 'WM_NAME([A-Z0-9_]*) = "Vorlia"'
}

# Presses KEY in the launcher's dialog once one has the focus (a dialog is
# told of before the window manager has given it the focus); false when
# none had it within 30 s or the key could not be pressed.
headless_key_in_dialog() {
    wait_until 30 headless_dialog_has_focus || return 1
    headless_key "$1"
}

# Activates one of the running launcher's exported actions (quit,
# check-updates, ...), as its menu does.
launcher_action() {
    gdbus call --session --timeout 20 --dest io.vorlia.Launcher --object-path /io/vorlia/Launcher \
        --method org.gtk.Actions.Activate "$1" "[]" "{}" >/dev/null
}
