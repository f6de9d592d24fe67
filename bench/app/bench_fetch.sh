#!/usr/bin/env bash
# F5 fetch benchmark (Release build with -DWISPLOG_BENCH=ON): one fetch of a
# 100 MB EUC-JP log, log-in to display, by the real window offscreen
# (fetch_once), beside lftp downloading the same file from the same vsftpd on
# loopback followed by iconv -f EUC-JISX0213 -t SHIFT_JISX0213 | tail -c 10000,
# timed by hyperfine in one run. Prints the mean times, their ratio (goal: at
# most 1.2), their CPU seconds (a steadier figure on a busy machine) and the
# peak memory of one fetch (/usr/bin/time -v).
#
#   bash bench/app/bench_fetch.sh [SIZE] [RUNS]      (defaults 100M, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev vsftpd lftp hyperfine time libc-bin

size=${1:-100M}
runs=${2:-5}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target fetch_once nkf32
fetch="$PWD/$build/bench/app/fetch_once"

work=$(mktemp -d /tmp/wisplog-fetch-bench.XXXXXX)
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/app" "$work/lftp"
/usr/bin/python3 tools/make_japanese_log.py --bytes "$size" --encoding euc-jp --crlf -o "$work/root/big.log"
echo "log: $(stat -c %s "$work/root/big.log") bytes of EUC-JP"

start_vsftpd "$work/root" "$work"
export QT_QPA_PLATFORM=offscreen

# Each side writes its local copy into its own directory; the copies are
# removed before every run, outside the timing.
# Unconfined (not run as root), vsftpd's "/" is the machine's root: the
# profile then names the file relatively.
remote=/big.log
[ "$vsftpd_chroot" = 1 ] || remote=big.log
wisplog_cmd="$fetch $vsftpd_port $work/app --remote $remote"
pipeline_cmd="lftp -c 'set xfer:clobber on; set ftp:passive-mode on; open -u anonymous,guest -p $vsftpd_port 127.0.0.1; get big.log -o $work/lftp/big.log' && iconv -f EUC-JISX0213 -t SHIFT_JISX0213 $work/lftp/big.log | tail -c 10000 > /dev/null"

# One checked fetch first: the copy must equal the original.
$wisplog_cmd --phases
cmp "$work/root/big.log" "$work/app/big.log"

echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
hyperfine --warmup 1 --runs "$runs" --prepare "rm -f $work/app/big.log $work/lftp/big.log" \
    --export-json "$work/result.json" \
    -n "wisplog F5 fetch" "$wisplog_cmd" \
    -n "lftp + iconv | tail" "$pipeline_cmd"
echo "load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"

/usr/bin/python3 - "$work/result.json" <<'EOF'
import json, sys
rows = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
app, peer = rows["wisplog F5 fetch"], rows["lftp + iconv | tail"]
print(f"wisplog {app['mean']:.3f} s ± {app['stddev']:.3f}, pipeline {peer['mean']:.3f} s ± {peer['stddev']:.3f}")
print(f"ratio wisplog / pipeline = {app['mean'] / peer['mean']:.2f} (goal <= 1.2)")
cpu = lambda r: r["user"] + r["system"]
print(f"CPU seconds (user + system, the FTP server not counted): wisplog {cpu(app):.3f}, "
      f"pipeline {cpu(peer):.3f}, ratio {cpu(app) / cpu(peer):.2f}")
EOF

rm -f "$work/app/big.log"
/usr/bin/time -v "$fetch" "$vsftpd_port" "$work/app" 2> "$work/time.txt"
peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
awk -v kb="$peak_kb" -v size="$(stat -c %s "$work/root/big.log")" 'BEGIN {
    printf "peak RSS of one fetch: %.1f MB = %.2f x the file size\n", kb * 1024 / 1e6, kb * 1024 / size }'
