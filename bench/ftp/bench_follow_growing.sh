#!/usr/bin/env bash
# Follow benchmark on a busy log: a log of SIZE_MIB MiB (text lines) that a
# writer extends by a line of about 500 bytes every 50 ms is followed for
# SECONDS through vsftpd on a free loopback port, a refresh every 10 s as F6
# does, after a first whole fetch; a whole fetch of the final file runs
# beside it in the same run. Prints every refresh, the bytes moved against
# the growth, and the whole fetch's time and bytes; fails when a refresh
# fetched the file whole or moved more than the growth plus 16 KiB a refresh.
#
#   bash bench/ftp/bench_follow_growing.sh [SIZE_MIB] [SECONDS]   (defaults 100, 60)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev vsftpd

size_mib=${1:-100}
seconds=${2:-60}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target follow_growing
follow="$PWD/$build/bench/ftp/follow_growing"

work=$(mktemp -d /tmp/wisplog-follow-growing.XXXXXX)
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/root" "$work/out"

echo "Making a ${size_mib} MiB log..."
/usr/bin/python3 - "$work/root/app.log" "$size_mib" <<'PY'
import sys
path, mib = sys.argv[1], int(sys.argv[2])
line = "2026-12-07 12:00:00.000 INFO  worker-07 request %08d served in 12 ms\n"
with open(path, "w") as f:
    n, size = 0, 0
    while size < mib * 1024 * 1024:
        text = line % n
        f.write(text)
        size += len(text)
        n += 1
PY
chmod -R a+rX "$work/root"

start_vsftpd "$work/root" "$work"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$follow" 127.0.0.1 "$vsftpd_port" anonymous guest app.log "$work/root/app.log" "$work/out/app.log" "$seconds"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
