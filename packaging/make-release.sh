#!/bin/sh
# Packs an application folder into the update archive and writes the matching
# signed manifest beside it, ready to be served under the site's /download/.
#
#   make-release.sh APP_FOLDER OUT_DIR VERSION BASE_URL SIGNING_KEY PUBLISH_TOOL
#
# The archive holds the folder itself at its top level (Vorlia.app/...), with
# file modes and symbolic links kept; BASE_URL ends with "/download/".
set -eu
[ $# -eq 6 ] || { echo "usage: $0 APP_FOLDER OUT_DIR VERSION BASE_URL SIGNING_KEY PUBLISH_TOOL" >&2; exit 2; }
app=$1 out=$2 version=$3 base=$4 key=$5 publish=$6

[ -x "$app/vorlia" ] && [ -f "$app/Info.json" ] || { echo "$app is not an application folder" >&2; exit 1; }
case "$base" in */download/) ;; *) echo "the base URL must end with /download/" >&2; exit 1;; esac

name="Vorlia-$version-linux-$(uname -m).zip"
mkdir -p "$out"
app_dir=$(cd "$(dirname "$app")" && pwd)
app_name=$(basename "$app")
out_dir=$(cd "$out" && pwd)
rm -f "$out_dir/$name.tmp"
# -X leaves out extra time and owner fields; -y stores links as links.
(cd "$app_dir" && zip -q -r -X -y "$out_dir/$name.tmp" "$app_name")
mv "$out_dir/$name.tmp" "$out_dir/$name"

"$publish" manifest --archive "$out_dir/$name" --version "$version" --url "$base$name" \
    --base-url "$base" --out "$out_dir/version.json"
"$publish" sign "$key" "$out_dir/version.json" --out "$out_dir/version.json.sig"
echo "$out_dir/$name"
