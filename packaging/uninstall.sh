#!/bin/sh
# Removes what the launcher added to your desktop menu: its desktop entry and
# its icon in your icon theme, each only when it is the launcher's own (the
# entry carries the launcher's mark, the icon is this folder's). Everything
# else in those folders is left as it is. Then says how to remove the rest.
set -u
app=$(cd "$(dirname "$0")" && pwd)
id=@VORLIA_APPLICATION_ID@
data=${XDG_DATA_HOME:-}
case $data in /*) ;; *) data=$HOME/.local/share ;; esac
entry=$data/applications/$id.desktop
icon=$data/icons/hicolor/scalable/apps/$id.svg
status=0

if [ -f "$entry" ] && grep -qx 'X-Vorlia-Written-By=launcher' "$entry"; then
    rm -f "$entry" && echo "Removed the menu entry $entry" || status=1
else
    echo "No menu entry of the launcher's at $entry"
fi
if [ -f "$icon" ] && cmp -s "$icon" "$app/$id.svg"; then
    rm -f "$icon" && echo "Removed the icon $icon" || status=1
else
    echo "No icon of the launcher's at $icon"
fi

cat <<TEXT

The launcher adds both again when it starts from this folder. To remove it
for good, quit it and delete its folder:
  $app
The player's data (sign-in, settings, window size) is kept apart; delete
these folders too to remove it:
  $data/vorlia
  ${XDG_CACHE_HOME:-$HOME/.cache}/vorlia
  ${XDG_STATE_HOME:-$HOME/.local/state}/vorlia
TEXT
exit $status
