#!/usr/bin/env bash
# Download benchmark over explicit TLS: a 1 GiB file fetched in passive mode
# from vsftpd (ssl_enable=YES with a certificate made here, TLS required on
# the control and data connections, data connections reusing the control
# connection's session) by ftp_fetch (TKZFTP, Release build, the certificate
# pinned by its fingerprint), by lftp and by curl, timed by hyperfine in one
# run. Prints wall time, throughput and CPU seconds per GiB of each, and the
# ratios against lftp.
#
#   bash bench/ftp/bench_download_tls.sh [SIZE_MIB] [RUNS]     (defaults 1024, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev vsftpd lftp curl hyperfine openssl

size_mib=${1:-1024}
runs=${2:-5}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target ftp_fetch
fetch="$PWD/$build/bench/ftp/ftp_fetch"

work=$(mktemp -d /tmp/wisplog-ftps-bench.XXXXXX)
chmod 755 "$work"
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/out"
echo "Making a ${size_mib} MiB file of random bytes..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/root/big.bin"
chmod 644 "$work/root/big.bin"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/server.key" -out "$work/server.pem" \
    -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null
fingerprint=$(openssl x509 -in "$work/server.pem" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g')

start_vsftpd "$work/root" "$work" "$work/server.pem" "$work/server.key"
port=$vsftpd_port

out="$work/out/big.bin"
wisplog_cmd="$fetch 127.0.0.1 $port anonymous guest big.bin $out --tls=$fingerprint"
lftp_cmd="lftp -c 'set xfer:clobber on; set ftp:passive-mode on; set ftp:ssl-force true; set ftp:ssl-allow-anonymous true; set ftp:ssl-protect-data true; set ssl:verify-certificate no; open -p $port 127.0.0.1; get big.bin -o $out'"
curl_cmd="curl -s -S -k --ssl-reqd -o $out ftp://127.0.0.1:$port/big.bin"

# One checked fetch of each first: the copy must equal the original.
for cmd in "$wisplog_cmd" "$lftp_cmd" "$curl_cmd"; do
    rm -f "$out"
    eval "$cmd"
    cmp "$work/root/big.bin" "$out"
done

hyperfine --warmup 1 --runs "$runs" --prepare "rm -f $out" --export-json "$work/result.json" \
    -n wisplog "$wisplog_cmd" -n lftp "$lftp_cmd" -n curl "$curl_cmd"

/usr/bin/python3 - "$work/result.json" "$size_mib" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
gib = int(sys.argv[2]) / 1024
rows = {r["command"]: r for r in results}
print()
print(f"{'':10} {'wall s':>8} {'GiB/s':>7} {'CPU s/GiB':>10} {'thr/lftp':>9} {'CPU/lftp':>9}")
lftp = rows["lftp"]
lftp_cpu = (lftp["user"] + lftp["system"]) / gib
for name, r in rows.items():
    cpu = (r["user"] + r["system"]) / gib
    print(f"{name:10} {r['mean']:8.3f} {gib / r['mean']:7.2f} {cpu:10.3f} "
          f"{lftp['mean'] / r['mean']:9.2f} {cpu / lftp_cpu:9.2f}")
PY
