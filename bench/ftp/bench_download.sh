#!/usr/bin/env bash
# Download benchmark of the FTP component: a 1 GiB file fetched in passive
# mode from vsftpd (standalone, anonymous, on a free loopback port) by
# ftp_fetch (TKZFTP, Release build) without and with the window's progress
# texts, by lftp and by curl, into the same directory, timed by hyperfine in
# one run; a local `dd bs=64k` copy of the file is the ceiling. Prints wall
# time, throughput and CPU seconds per GiB of each, the ratios against lftp,
# and the throughput with progress against the one without (mean, median,
# best run, CPU).
#
#   bash bench/ftp/bench_download.sh [SIZE_MIB] [RUNS]     (defaults 1024, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev vsftpd lftp curl hyperfine

size_mib=${1:-1024}
runs=${2:-5}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target ftp_fetch
fetch="$PWD/$build/bench/ftp/ftp_fetch"

work=$(mktemp -d /tmp/wisplog-ftp-bench.XXXXXX)
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/out"
echo "Making a ${size_mib} MiB file of random bytes..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/root/big.bin"

start_vsftpd "$work/root" "$work"
port=$vsftpd_port

out="$work/out/big.bin"
wisplog_cmd="$fetch 127.0.0.1 $port anonymous guest big.bin $out"
progress_cmd="$wisplog_cmd --progress"
lftp_cmd="lftp -c 'set xfer:clobber on; set ftp:passive-mode on; open -p $port 127.0.0.1; get big.bin -o $out'"
curl_cmd="curl -s -S -o $out ftp://127.0.0.1:$port/big.bin"
dd_cmd="dd if=$work/root/big.bin of=$out bs=64k status=none"

# One checked fetch first: the copy must equal the original.
$wisplog_cmd
cmp "$work/root/big.bin" "$out"
$progress_cmd
cmp "$work/root/big.bin" "$out"

hyperfine --warmup 1 --runs "$runs" --prepare "rm -f $out" --export-json "$work/result.json" \
    -n wisplog "$wisplog_cmd" -n "wisplog+progress" "$progress_cmd" -n lftp "$lftp_cmd" -n curl "$curl_cmd" -n "dd bs=64k" "$dd_cmd"

/usr/bin/python3 - "$work/result.json" "$size_mib" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
gib = int(sys.argv[2]) / 1024
rows = {r["command"]: r for r in results}
print()
print(f"{'':16} {'wall s':>8} {'GiB/s':>7} {'CPU s/GiB':>10} {'thr/lftp':>9} {'CPU/lftp':>9}")
lftp = rows["lftp"]
lftp_cpu = (lftp["user"] + lftp["system"]) / gib
for name, r in rows.items():
    cpu = (r["user"] + r["system"]) / gib
    print(f"{name:16} {r['mean']:8.3f} {gib / r['mean']:7.2f} {cpu:10.3f} "
          f"{lftp['mean'] / r['mean']:9.2f} {cpu / lftp_cpu:9.2f}")
# On a shared machine the mean follows the neighbours' load; the median and
# the best run show the fetch's own cost.
plain, shown = rows["wisplog"], rows["wisplog+progress"]
print("\nthroughput with progress / without (goal >= 0.95):")
for label, pick in (("mean", lambda r: r["mean"]), ("median", lambda r: r["median"]),
                    ("best run", lambda r: min(r["times"]))):
    print(f"  {label:9} {pick(plain) / pick(shown):.3f}")
print(f"  CPU       {(plain['user'] + plain['system']) / (shown['user'] + shown['system']):.3f}")
EOF
