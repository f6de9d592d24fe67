#!/usr/bin/env bash
# Builds wisplog (Release) and starts it on the demo: a local FTP server
# (127.0.0.1, a free port above 1023, user demo, password demo) serving the
# same Japanese log in five encodings, and a wisplog.ini beside the executable
# with one profile per sample, naming that port. A wisplog.ini that is already
# there is used as it is (a demo one keeps its port). No root is needed. The
# demo server stops when wisplog exits.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# Only what is needed: recommended packages would pull in far more (xdg-utils
# alone would bring a terminal emulator and make it the desktop's default).
install_missing --no-install-recommends "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_TESTS=OFF >/dev/null
cmake --build "$build" --target wisplog nkf32
build=$(cd "$build" && pwd)

/usr/bin/python3 scripts/demo_server.py write-ini "$build/wisplog.ini"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: run this in a desktop session (or over ssh -X), or try it on a virtual one: xvfb-run -a bash scripts/run.sh" >&2
    exit 1
fi

# The demo server: its samples, its FTP log and its ready line live in the
# build directory; the run waits at most 10 s for it to listen or give up.
demo="$build/demo"
mkdir -p "$demo" "$build/downloads"
rm -f "$demo/ready"
/usr/bin/python3 scripts/demo_server.py serve --ini "$build/wisplog.ini" --dir "$demo/ftp" \
    --ready "$demo/ready" --log "$demo/ftp.log" >"$demo/server.out" 2>&1 &
server=$!
app=
stop_all() {
    [ -z "$app" ] || kill "$app" 2>/dev/null || true
    kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM HUP
for _ in $(seq 100); do
    [ -s "$demo/ready" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
if [ -s "$demo/ready" ]; then
    cat "$demo/ready"
elif kill -0 "$server" 2>/dev/null; then
    echo "The demo FTP server did not start within 10 s; its log: $demo/ftp.log" >&2
else
    # Its one line says why (the demo host list's port taken).
    cat "$demo/server.out" >&2
fi

# wisplog saves each fetched file in its current directory.
echo "Fetched logs are saved in $build/downloads/"
# It runs in the background so that a signal to this script is handled at
# once (the trap stops wisplog and the server) instead of after wisplog ends.
cd "$build/downloads"
"$build/wisplog" &
app=$!
status=0
wait "$app" || status=$?
app=
exit "$status"
