#!/usr/bin/env bash
# Takes the screenshots of an exclude filter, a pattern filter and marks on a
# virtual display, with a real fetch from the demo server (on the port its
# host list names, as scripts/run.sh serves it):
#   bash scripts/log_tools_screenshots.sh [BUILD_DIR=build/release]
# Saves filter-exclude.png, filter-pattern.png and marks.png in
# BUILD_DIR/screenshots/ (copy them to docs/ after looking at them). The window's remembered geometry goes
# to a settings directory of its own, never the user's.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing xvfb xdotool imagemagick python3-pyftpdlib fonts-ipafont-gothic

build=${1:-build/release}
if [ "${2:-}" != --inside ]; then
    if [ ! -x "$build/wisplog" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_TESTS=OFF >/dev/null
        cmake --build "$build" --target wisplog nkf32
    fi
    exec xvfb-run -a -s "-screen 0 1100x520x24" bash "$0" "$build" --inside
fi
build=$(cd "$build" && pwd)
out=$build/screenshots
mkdir -p "$out" "$build/downloads"
/usr/bin/python3 scripts/demo_server.py write-ini "$build/wisplog.ini"
export XDG_CONFIG_HOME="$out/config"

demo=$out/demo
mkdir -p "$demo"
rm -f "$demo/ready"
/usr/bin/python3 scripts/demo_server.py serve --ini "$build/wisplog.ini" --dir "$demo/ftp" \
    --ready "$demo/ready" --log "$demo/ftp.log" >"$demo/server.out" 2>&1 &
server=$!
app=
trap '[ -z "$app" ] || kill "$app" 2>/dev/null || true; kill "$server" 2>/dev/null || true; wait 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s "$demo/ready" ] && break
    kill -0 "$server" 2>/dev/null || { cat "$demo/server.out" >&2; exit 1; }
    sleep 0.1
done
[ -s "$demo/ready" ] || { echo "demo server did not start" >&2; exit 1; }

(cd "$build/downloads" && exec "$build/wisplog") >"$out/run.log" 2>&1 &
app=$!
wid=$(timeout 60 xdotool search --sync --onlyvisible --name '^wisplog' | head -n 1)
xdotool windowsize "$wid" 780 440 windowmove "$wid" 0 0
xdotool windowfocus --sync "$wid"
sleep 1

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
