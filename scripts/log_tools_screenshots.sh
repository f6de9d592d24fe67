#!/usr/bin/env bash
# Takes the screenshots of an exclude filter, a pattern filter and marks on a
# virtual display, with a real fetch from the demo server (on the port its
# host list names, as scripts/run.sh serves it):
#   bash scripts/log_tools_screenshots.sh [BUILD_DIR=build/release]
# Saves filter-exclude.png, filter-pattern.png and marks.png in
# BUILD_DIR/screenshots/ (copy them to docs/ after looking at them).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/screenshot_session.sh

# The first profile (EUC-JP): F5 shows the tail.
xdotool key F5
sleep 3

# Ctrl+G, Alt+X (除外), a text, Enter: the lines without it.
xdotool key ctrl+g
sleep 0.5
xdotool key alt+x
xdotool type --delay 60 INFO
xdotool key Return
sleep 1
import -window "$wid" "$out/filter-exclude.png"

# Esc shows the whole text; Alt+X off, Alt+R (正規表現), a pattern, Enter.
xdotool key Escape
sleep 1
xdotool key alt+x alt+r ctrl+a
xdotool type --delay 60 'ERROR|WARN'
xdotool key Return
sleep 1
import -window "$wid" "$out/filter-pattern.png"

# Esc; into the view; marks on two lines with Ctrl+F2, F2 back to the first.
xdotool key Escape
sleep 1
xdotool key ctrl+g
sleep 0.5
xdotool key --delay 80 Up Up Up ctrl+F2 Up Up Up Up Up ctrl+F2 F2
sleep 1
import -window "$wid" "$out/marks.png"

xdotool key --delay 150 alt+f x
timeout 20 tail --pid="$app" -f /dev/null || echo "wisplog did not end" >&2
app=
ls "$out"/*.png
