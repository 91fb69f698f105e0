#!/bin/bash
# Runs the unit tests again without root's privileges and under umask 0077, so
# that neither a permission root ignores nor a file mode taken from the umask
# can pass unseen. As root (as CI runs), they run as the system account
# vorlia-test, made when missing; as anyone else, as that user.
#
#   tests/run-unprivileged-unit-tests.sh [BUILD_DIR]      (default: build)
set -uo pipefail
BUILD=$(realpath "${1:-build}")
cd "$(dirname "$0")/.." || exit 1
SOURCE=$PWD
# shellcheck source=scripts/lib/common.sh
. scripts/lib/common.sh
ACCOUNT=vorlia-test
MASK=0077

if [ "$(id -u)" -eq 0 ]; then
    if ! id -u "$ACCOUNT" >/dev/null 2>&1; then
        useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
            "$ACCOUNT" || die "cannot make the account $ACCOUNT"
    fi
    as_account=(setpriv --reuid="$ACCOUNT" --regid="$ACCOUNT" --clear-groups --)
    owner=$ACCOUNT
else
    as_account=()
    owner=$(id -un)
fi

# The tests read the build and the checkout in place.
for needed in "$BUILD/CTestTestfile.cmake" "$SOURCE/tests/CMakeLists.txt"; do
    "${as_account[@]}" test -r "$needed" ||
        die "$owner cannot read $needed: the folders above the build and the checkout must be open to others (o+rx)"
done

# A home, a temporary folder and ctest's own records, all the account's. ctest
# keeps its records beside the CTestTestfile it starts from: this one only
# points at the build's, which the account cannot write.
lane=$(mktemp -d "${TMPDIR:-/tmp}/vorlia-unprivileged.XXXXXX")
at_exit rm -rf "$lane"
chmod 0711 "$lane"
install -d -o "$owner" -m 0700 "$lane/home" "$lane/tmp" "$lane/ctest" "$lane/ctest/Testing" \
    "$lane/ctest/Testing/Temporary"
printf 'subdirs([==[%s]==])\n' "$BUILD" >"$lane/ctest/CTestTestfile.cmake"

echo "unit tests as $owner, umask $MASK"
# shellcheck disable=SC2016 # expanded by the inner shell
"${as_account[@]}" env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 USER="$owner" LOGNAME="$owner" \
    HOME="$lane/home" TMPDIR="$lane/tmp" \
    bash -c 'umask "$1" && exec ctest --test-dir "$2" -L "^unit\$" --output-on-failure --no-tests=error -j "$3"' \
    bash "$MASK" "$lane/ctest" "$(nproc)"
