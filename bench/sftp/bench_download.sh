#!/usr/bin/env bash
# Download benchmark of the SFTP layer: a 1 GiB file fetched from OpenSSH's
# sshd (on a free loopback port, with keys made for the run) by sftp_fetch
# (SftpSession, Release build) and by OpenSSH's own `sftp` client (`-b`
# batch `get`), with its default cipher and with the cipher sftp_fetch
# negotiates, timed by hyperfine in one run. Prints wall time, throughput
# and the ratio against `sftp`.
#
#   bash bench/sftp/bench_download.sh [SIZE_MIB] [RUNS]     (defaults 1024, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev openssh-server openssh-client hyperfine

size_mib=${1:-1024}
runs=${2:-5}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target sftp_fetch
fetch="$PWD/$build/bench/sftp/sftp_fetch"

work=$(mktemp -d /tmp/wisplog-sftp-bench.XXXXXX)
. bench/sftp/sshd_env.sh
mkdir -p "$work/root" "$work/out"

echo "Making a ${size_mib} MiB file of random bytes..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/root/big.bin"
out="$work/out/big.bin"
echo "get $work/root/big.bin $out" > "$work/batch"

wisplog_cmd="env HOME=$work/home SSH_AUTH_SOCK= $fetch 127.0.0.1 $port $user $work/root/big.bin $out"
sftp_cmd="sftp $ssh_opts -b $work/batch $user@127.0.0.1"
sftp_gcm_cmd="sftp $ssh_opts -c aes128-gcm@openssh.com -b $work/batch $user@127.0.0.1"

# One checked fetch of each first: the copy must equal the original.
$wisplog_cmd
cmp "$work/root/big.bin" "$out"
rm -f "$out"
$sftp_cmd >/dev/null
cmp "$work/root/big.bin" "$out"

hyperfine --warmup 1 --runs "$runs" --prepare "rm -f $out" --export-json "$work/result.json" \
    -n wisplog "$wisplog_cmd" -n sftp "$sftp_cmd" -n "sftp aes128-gcm" "$sftp_gcm_cmd"

/usr/bin/python3 - "$work/result.json" "$size_mib" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
gib = int(sys.argv[2]) / 1024
rows = {r["command"]: r for r in results}
sftp = rows["sftp"]
print()
print(f"{'':16} {'mean s':>8} {'median s':>9} {'GiB/s':>7} {'CPU s/GiB':>10} {'thr/sftp':>9}")
for name, r in rows.items():
    cpu = (r["user"] + r["system"]) / gib
    print(f"{name:16} {r['mean']:8.3f} {r['median']:9.3f} {gib / r['mean']:7.2f} {cpu:10.3f} "
          f"{sftp['mean'] / r['mean']:9.2f}")
PY
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
