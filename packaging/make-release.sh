#!/bin/sh
# Packs an application folder into the update archive and writes the matching
# signed manifest beside it, ready to be served under the site's /download/.
#
#   make-release.sh [--trust KEYS] [--refuse-key KEY] [--development-key] APP_FOLDER OUT_DIR VERSION BASE_URL SIGNING_KEY PUBLISH_TOOL
#
# The archive holds the folder itself at its top level (Vorlia.app/...), with
# file modes and symbolic links kept; BASE_URL ends with "/download/".
#
# --trust KEYS: the public keys the released launchers trust, as
#   `vorlia-publish verify` takes them (keys or key files, separated by
#   commas). The signed manifest must verify with one of them, or nothing is
#   published: a release its launchers would ignore is a failed release.
# --refuse-key KEY: refuse to sign when SIGNING_KEY is the secret half of this
#   public key (base64).
# --development-key: sign with the development key, whose secret half is
#   public; without it that key is refused. Only the demo and tests say so.
#
# Everything is written under temporary names and moved into place only once
# checked, so a refused release leaves the folder's earlier files as they were.
set -eu
usage="usage: $0 [--trust KEYS] [--refuse-key KEY] [--development-key] APP_FOLDER OUT_DIR VERSION BASE_URL SIGNING_KEY PUBLISH_TOOL"
# The public half of tests/fixtures/DEV-ONLY-manifest-signing.key.
development_key="+N5IsPIxeFtng12+BHPAL9/DyobLz++9RzF21e72Mjc="
trust="" refuse="" allow_development=""
while [ $# -gt 0 ]; do
    case "$1" in
    --trust) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; trust=$2; shift 2 ;;
    --refuse-key) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; refuse=$2; shift 2 ;;
    --development-key) allow_development=1; shift ;;
    --) shift; break ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) break ;;
    esac
done
[ $# -eq 6 ] || { echo "$usage" >&2; exit 2; }
app=$1 out=$2 version=$3 base=$4 key=$5 publish=$6

[ -x "$app/vorlia" ] && [ -f "$app/Info.json" ] || { echo "$app is not an application folder" >&2; exit 1; }
case "$base" in */download/) ;; *) echo "the base URL must end with /download/" >&2; exit 1;; esac
signer=$("$publish" public-key "$key") || exit 1
if { [ -n "$refuse" ] && [ "$signer" = "$refuse" ]; } ||
    { [ "$signer" = "$development_key" ] && [ -z "$allow_development" ]; }; then
    echo "$key is the development signing key, whose secret half is public: a production release" \
        "must be signed with the publisher's own key (-DVORLIA_RELEASE_SIGNING_KEY=...)" >&2
    exit 1
fi

name="Vorlia-$version-linux-$(uname -m).zip"
mkdir -p "$out"
app_dir=$(cd "$(dirname "$app")" && pwd)
app_name=$(basename "$app")
out_dir=$(cd "$out" && pwd)
archive="$out_dir/$name.tmp" manifest="$out_dir/version.json.tmp" signature="$out_dir/version.json.sig.tmp"
trap 'rm -f "$archive" "$manifest" "$signature"' EXIT
rm -f "$archive"
# -X leaves out extra time and owner fields; -y stores links as links. The
# build's mark on its own folders stays out: a player's folder registers itself
# in the desktop menu.
(cd "$app_dir" && zip -q -r -X -y "$archive" "$app_name" -x "$app_name/.build-tree")

"$publish" manifest --archive "$archive" --version "$version" --url "$base$name" \
    --base-url "$base" --out "$manifest"
"$publish" sign "$key" "$manifest" --out "$signature"
if [ -n "$trust" ]; then
    "$publish" verify "$trust" "$manifest" "$signature" --base-url "$base" || {
        echo "the release does not verify with the keys its launchers trust ($trust); nothing published" >&2
        exit 1
    }
fi
mv "$archive" "$out_dir/$name"
mv "$manifest" "$out_dir/version.json"
mv "$signature" "$out_dir/version.json.sig"
echo "$out_dir/$name"
