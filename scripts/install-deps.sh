#!/bin/sh
# Installs everything Vorlia needs to build, run its demo and run its tests on Debian 12.
# Idempotent: packages already present are left as they are.
set -eu

PACKAGES="
cmake ninja-build pkg-config g++ clang libclang-rt-14-dev clang-format
libgtkmm-4.0-dev libwebkitgtk-6.0-dev libsoup-3.0-dev glib-networking libepoxy-dev
libsodium-dev nettle-dev libexpected-dev nlohmann-json3-dev libarchive-dev libgtest-dev libbenchmark-dev
nodejs xvfb xauth dbus dbus-x11 iproute2 x11-utils libx11-dev libxdamage-dev openbox openssl curl zip unzip python3 e2fsprogs bc time
desktop-file-utils appstream imagemagick libarchive-tools xdotool fonts-dejavu-core libglib2.0-bin weston
librsvg2-common
"

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update
    # shellcheck disable=SC2086
    $SUDO apt-get install -y --no-install-recommends $missing
fi
