#!/bin/bash
# The release script with real keys made by the publisher's tool: it refuses
# to sign with the development key when told to, publishes nothing that does
# not verify with the keys the launchers trust (and keeps the release already
# there), and publishes what does. Then the build's own release-archive target,
# which refuses the development key in every build type.
#
#   tests/scripts/release-signing.sh BUILD_DIR
set -euo pipefail
BUILD=$(realpath "${1:-build}")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/common.sh
. "$ROOT/scripts/lib/common.sh"
PUBLISH="$BUILD/tools/vorlia-publish"
RELEASE="$ROOT/packaging/make-release.sh"
BASE=https://vorlia.example/download/
work=$(mktemp -d)
at_exit rm -rf "$work"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

mkdir -p "$work/app/Vorlia.app" "$work/keys"
printf '#!/bin/sh\n' >"$work/app/Vorlia.app/vorlia"
chmod +x "$work/app/Vorlia.app/vorlia"
printf '{\n  "CFBundleShortVersionString": "2"\n}\n' >"$work/app/Vorlia.app/Info.json"
for name in old new stranger; do
    "$PUBLISH" keygen "$work/keys/$name.key" "$work/keys/$name.pub" >/dev/null
done
dev_secret="$ROOT/tests/fixtures/DEV-ONLY-manifest-signing.key"
dev_key=$(grep -v '^#' "$ROOT/tests/fixtures/dev-manifest-key.pub" | head -n 1)
old=$(cat "$work/keys/old.pub") new=$(cat "$work/keys/new.pub") stranger=$(cat "$work/keys/stranger.pub")

# release NAME VERSION SIGNING_KEY [OPTIONS...]: runs the script into the
# case's folder; its output is in $work/NAME.out.
release() {
    local name=$1 version=$2 key=$3
    shift 3
    sh "$RELEASE" "$@" "$work/app/Vorlia.app" "$work/$name" "$version" "$BASE" "$key" "$PUBLISH" \
        >"$work/$name.out" 2>&1
}

# published NAME VERSION: the folder holds exactly that version's release.
published() {
    local dir="$work/$1"
    [ "$(ls -A "$dir" | tr '\n' ' ')" = "Vorlia-$2-linux-$(uname -m).zip version.json version.json.sig " ] &&
        grep -qF "\"version\": \"$2\"" "$dir/version.json"
}

# Table: name, version, signing key, options, expected status, text in the output.
while IFS='|' read -r name version key options status said; do
    # shellcheck disable=SC2086 # the options are words
    if release "$name" "$version" "$key" $options; then got=0; else got=$?; fi
    [ "$got" = "$status" ] || fail "$name: status $got, not $status"
    grep -qF -- "$said" "$work/$name.out" || fail "$name: no \"$said\" in: $(cat "$work/$name.out")"
    if [ "$status" = 0 ]; then
        published "$name" "$version" || fail "$name: not published as version $version"
        "$PUBLISH" verify "$old,$new,$dev_key" "$work/$name/version.json" "$work/$name/version.json.sig" \
            --base-url "$BASE" >/dev/null || fail "$name: what was published does not verify"
    elif [ -n "$(ls -A "$work/$name" 2>/dev/null)" ]; then
        fail "$name: a refused release left files: $(ls -A "$work/$name")"
    fi
done <<CASES
development key refused|2|$dev_secret|--trust $dev_key --refuse-key $dev_key|1|the development signing key
development key refused unless asked for|2|$dev_secret|--trust $dev_key|1|the development signing key
development key refused when also named|2|$dev_secret|--development-key --refuse-key $dev_key|1|the development signing key
development key when asked for|2|$dev_secret|--development-key --trust $dev_key|0|signed with $dev_key
another key is not refused as the development key|2|$work/keys/new.key|--refuse-key $dev_key|0|Vorlia-2-linux
signed with a key the launchers do not trust|2|$work/keys/new.key|--trust $old,$stranger|1|nothing published
signed with the second of two trusted keys|2|$work/keys/new.key|--trust $old,$new|0|signed with $new
trusted keys as key files|2|$work/keys/old.key|--trust $work/keys/stranger.pub,$work/keys/old.pub|0|signed with $old
CASES

# A refused release keeps the one already published: archive, manifest and
# signature as they were.
good="signed with the second of two trusted keys"
cp -r "$work/$good" "$work/kept"
before=$(cd "$work/kept" && sha256sum ./*)
release kept 3 "$work/keys/stranger.key" --trust "$old,$new" && fail "a release with an untrusted key was published"
[ "$(cd "$work/kept" && sha256sum ./*)" = "$before" ] || fail "a refused release changed the earlier release"
published kept 2 || fail "a refused release left files beside the earlier release: $(ls "$work/kept")"

# The build's target refuses the development key whatever the build type, and
# publishes nothing; with another key it checks the result against the keys
# the build embeds.
signing_key=$(cache_value "$BUILD" VORLIA_RELEASE_SIGNING_KEY)
if [ "$signing_key" = "$dev_secret" ]; then
    rm -rf "$BUILD/release/download"
    if ninja -C "$BUILD" release-archive >"$work/target.out" 2>&1; then
        fail "release-archive signed with the development key: $(tail -5 "$work/target.out")"
    else
        grep -qF "is the development signing key" "$work/target.out" ||
            fail "release-archive failed for another reason: $(tail -20 "$work/target.out")"
        [ -z "$(ls -A "$BUILD/release/download" 2>/dev/null)" ] ||
            fail "the refused release-archive left files: $(ls -A "$BUILD/release/download")"
    fi
else
    echo "release-archive not run: this build signs with $signing_key"
fi

[ "$failures" = 0 ] || exit 1
echo "release signing: the development key refused, untrusted signatures not published"
