#!/usr/bin/env bash
# Takes the README's screenshot the way a user would: runs the demo
# (scripts/run.sh) on a virtual display, chooses automatic detection
# (File > 漢字ｺｰﾄﾞ > 自動) for the first profile, then for each demo profile
# picks it in the Host drop-down (which selects the profile's encoding) and
# presses F5, and saves one screenshot per profile in
# build/release/screenshots/ (copy the best one to docs/screenshot.png). Needs
# no root.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing xvfb xdotool imagemagick

if [ "${1:-}" != --inside ]; then
    exec xvfb-run -a -s "-screen 0 800x480x24" bash "$0" --inside
fi

out=build/release/screenshots
mkdir -p "$out"
log=$out/run.log
bash scripts/run.sh >"$log" 2>&1 &
run=$!
trap 'kill "$run" 2>/dev/null || true; wait 2>/dev/null || true' EXIT

# The first run builds; give it ten minutes to show the window.
wid=$(timeout 600 xdotool search --sync --onlyvisible --name '^wisplog$' | head -n 1) || {
    echo "wisplog did not show its window; see $log" >&2
    exit 1
}
# Without a window manager the keyboard goes nowhere until the window is
# given the focus.
xdotool windowsize "$wid" 780 440 windowmove "$wid" 0 0
xdotool windowfocus --sync "$wid"
sleep 1

# File > 漢字ｺｰﾄﾞ > 自動: the menu opens on its first item, the submenu on JIS.
xdotool key --delay 150 alt+f Down Down Right Down Down Down Down Down Return
sleep 0.5

profiles=$(grep -c . build/release/wisplog.ini)
for i in $(seq 0 $((profiles - 1))); do
    if [ "$i" -gt 0 ]; then
        # Pick the next profile: choosing one fetches it at once.
        xdotool mousemove --window "$wid" 110 27 click 1
        sleep 0.5
        xdotool key --delay 150 Down Return
        sleep 2
        xdotool windowfocus --sync "$wid"
    fi
    xdotool key F5
    sleep 3
    import -window "$wid" "$out/profile-$i.png"
    echo "$out/profile-$i.png"
done

# File > E&xit ends wisplog, and with it the demo server.
xdotool key --delay 150 alt+f x
timeout 20 tail --pid="$run" -f /dev/null || echo "wisplog did not end" >&2
cat "$log"
