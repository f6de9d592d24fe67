# Sourced by the screenshot scripts (from the repository root, with their
# arguments): builds wisplog when needed, runs the calling script again on a
# virtual display, starts the demo server and wisplog on it, and leaves
#   build  the build directory (absolute), out  BUILD/screenshots,
#   app    wisplog's process, wid  its window (780x440 at 0,0, focused),
# with wisplog and the server ended on exit. The window's remembered geometry
# goes to a settings directory of its own, never the user's.
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
