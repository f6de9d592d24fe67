#!/usr/bin/env bash
# Follow benchmark: a log of SIZE_MIB MiB (text lines) that grew by 10 KiB,
# brought up to date by a Follow refresh (REST and the new bytes) and fetched
# whole, from vsftpd on a free loopback port, each as a whole FTP session, in
# the same run. Prints the median times, the data bytes and the ratios.
#
#   bash bench/ftp/bench_follow.sh [SIZE_MIB] [RUNS]     (defaults 100, 7)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev vsftpd

size_mib=${1:-100}
runs=${2:-7}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target follow_refresh
refresh="$PWD/$build/bench/ftp/follow_refresh"

work=$(mktemp -d /tmp/wisplog-follow-bench.XXXXXX)
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/root" "$work/out"

echo "Making a ${size_mib} MiB log and its 10 KiB growth..."
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
old_size=$(stat -c %s "$work/root/app.log")
cp "$work/root/app.log" "$work/out/app.log"
head -c 10240 "$work/root/app.log" >> "$work/root/app.log"
chmod -R a+rX "$work/root"

start_vsftpd "$work/root" "$work"
"$refresh" 127.0.0.1 "$vsftpd_port" anonymous guest app.log "$work/out/app.log" "$old_size" "$runs"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
