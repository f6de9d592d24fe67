#!/usr/bin/env bash
# Builds wisplog (Release) and starts it beside a wisplog.ini.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_TESTS=OFF >/dev/null
cmake --build "$build" --target wisplog nkf32

ini="$build/wisplog.ini"
if [ ! -e "$ini" ]; then
    printf '%s\r\n' "sample:127.0.0.1:demo:demo:1:/logs/app.log" > "$ini"
    echo "Wrote a sample host list: $ini"
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: run this from a desktop session, or under Xvfb (xvfb-run -a bash scripts/run.sh)." >&2
    exit 1
fi
exec "$build/wisplog"
