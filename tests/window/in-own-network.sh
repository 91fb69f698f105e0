#!/bin/bash
# Runs a window test binary in a network namespace of its own (as root or as an
# ordinary user, through a user namespace), with loopback up, a default route
# through it, and a D-Bus session of its own (the desktop's bus may listen on
# an abstract socket, which belongs to the namespace it was made in). The
# system's network monitor there is the netlink one, which sees only this
# namespace. Where the machine allows no such namespace, the binary runs as it
# is and its test skips itself with the reason.
#
#   tests/window/in-own-network.sh BINARY [ARGS...]
binary=$1
shift
if why=$(unshare -rn true 2>&1) && command -v ip >/dev/null && command -v dbus-run-session >/dev/null; then
    # shellcheck disable=SC2016 # expanded in the namespace
    exec unshare -rn bash -c 'ip link set lo up && ip route add default dev lo &&
        VORLIA_TEST_OWN_NETWORK=1 GIO_USE_NETWORK_MONITOR=netlink exec dbus-run-session -- "$@"' bash \
        "$binary" "$@"
fi
command -v ip >/dev/null || why="no ip command (iproute2)"
command -v dbus-run-session >/dev/null || why="no dbus-run-session"
VORLIA_TEST_NO_OWN_NETWORK="unshare -rn: ${why:-refused}" exec "$binary" "$@"
