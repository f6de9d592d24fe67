#!/usr/bin/env bash
# Takes the README's screenshots of the highlighting, the line filter and the
# widened window on a virtual display, with a real fetch from the demo server
# (on the port its host list names, as scripts/run.sh serves it):
#   bash scripts/daily_use_screenshots.sh [BUILD_DIR=build/release]
# Saves highlight.png, filter.png and wide.png in BUILD_DIR/screenshots/ (copy
# them to docs/ after looking at them).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/screenshot_session.sh

# The first profile (EUC-JP): F5 shows the tail, error and warning lines coloured.
xdotool key F5
sleep 3
import -window "$wid" "$out/highlight.png"

# Ctrl+G, a filter text, Enter.
xdotool key ctrl+g
sleep 0.5
xdotool type --delay 80 ERROR
xdotool key Return
sleep 1
import -window "$wid" "$out/filter.png"

# Esc shows the whole text again; Ctrl+G hides the filter; then wider.
xdotool key Escape
sleep 1
xdotool key ctrl+g
xdotool windowsize "$wid" 1080 440
sleep 1.5
import -window "$wid" "$out/wide.png"

xdotool key --delay 150 alt+f x
timeout 20 tail --pid="$app" -f /dev/null || echo "wisplog did not end" >&2
app=
ls "$out"/*.png
