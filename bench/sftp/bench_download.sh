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
sshd_pid=""
cleanup() {
    [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/out" "$work/home/.ssh" /run/sshd
chmod 700 "$work/home/.ssh"
ssh-keygen -q -t ed25519 -N '' -C host -f "$work/host_ed25519"
ssh-keygen -q -t ed25519 -N '' -C client -f "$work/home/.ssh/id_ed25519"
cp "$work/home/.ssh/id_ed25519.pub" "$work/authorized_keys"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/sshd_config" <<CONF
ListenAddress 127.0.0.1
HostKey $work/host_ed25519
PidFile none
UsePAM no
StrictModes no
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
Subsystem sftp internal-sftp
LogLevel ERROR
CONF
/usr/sbin/sshd -D -e -f "$work/sshd_config" -p "$port" -E "$work/sshd.log" &
sshd_pid=$!
echo "[127.0.0.1]:$port $(cat "$work/host_ed25519.pub")" > "$work/home/.ssh/known_hosts"
for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
    sleep 0.05
done

echo "Making a ${size_mib} MiB file of random bytes..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/root/big.bin"
out="$work/out/big.bin"
user=$(id -un)
echo "get $work/root/big.bin $out" > "$work/batch"

ssh_opts="-q -o BatchMode=yes -o UserKnownHostsFile=$work/home/.ssh/known_hosts -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes -i $work/home/.ssh/id_ed25519 -F /dev/null -P $port"
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
