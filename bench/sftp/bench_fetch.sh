#!/usr/bin/env bash
# F5 and Follow benchmarks over SFTP (Release build, -DWISPLOG_BENCH=ON),
# against OpenSSH's sshd on a free loopback port with keys made for the run:
#  - F5 of a 100 MB EUC-JP log, log-in to display, by the real window
#    offscreen (fetch_once --sftp), beside OpenSSH's scp followed by
#    iconv -f EUC-JISX0213 -t SHIFT_JISX0213 | tail -c 10000, timed by
#    hyperfine in one run (goal: at most 0.5x);
#  - a Follow refresh of the log grown by 10 KB against a whole fetch
#    (sftp_follow_refresh; goal: at least 50x less time, at most 16 KB moved).
# Prints the figures and the load average.
#
#   bash bench/sftp/bench_fetch.sh [SIZE] [RUNS]      (defaults 100M, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev openssh-server openssh-client hyperfine

size=${1:-100M}
runs=${2:-5}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target fetch_once sftp_follow_refresh nkf32
fetch="$PWD/$build/bench/app/fetch_once"
refresh="$PWD/$build/bench/sftp/sftp_follow_refresh"

work=$(mktemp -d /tmp/wisplog-sftp-fetch-bench.XXXXXX)
. bench/sftp/sshd_env.sh
mkdir -p "$work/root" "$work/app" "$work/scp"

/usr/bin/python3 tools/make_japanese_log.py --bytes "$size" --encoding euc-jp --crlf -o "$work/root/big.log"
export QT_QPA_PLATFORM=offscreen
wisplog_cmd="env HOME=$work/home SSH_AUTH_SOCK= $fetch $port $work/app --remote $work/root/big.log --encoding EUC --sftp $user"
pipeline_cmd="scp $ssh_opts $user@127.0.0.1:$work/root/big.log $work/scp/big.log && iconv -f EUC-JISX0213 -t SHIFT_JISX0213 $work/scp/big.log | tail -c 10000 > /dev/null"

echo "== F5 of a $(stat -c %s "$work/root/big.log") byte EUC-JP log over SFTP"
$wisplog_cmd --phases
cmp "$work/root/big.log" "$work/app/big.log"
echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
hyperfine --warmup 1 --runs "$runs" --prepare "rm -f $work/app/big.log $work/scp/big.log" \
    --export-json "$work/result.json" \
    -n "wisplog F5 fetch (SFTP)" "$wisplog_cmd" \
    -n "scp + iconv | tail" "$pipeline_cmd"
echo "load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
/usr/bin/python3 - "$work/result.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
w, p = r[0], r[1]
print(f"wisplog {w['mean']:.3f} s (CPU {w['user'] + w['system']:.3f} s), "
      f"scp + iconv | tail {p['mean']:.3f} s (CPU {p['user'] + p['system']:.3f} s), "
      f"ratio {w['mean'] / p['mean']:.2f} (goal <= 0.5)")
PY

echo "== Follow refresh of the log grown by 10 KB"
old=$(stat -c %s "$work/root/big.log")
cp "$work/root/big.log" "$work/follow.log"
head -c 10240 "$work/root/big.log" >> "$work/root/big.log"
echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
env HOME="$work/home" SSH_AUTH_SOCK= "$refresh" "$port" "$user" "$work/root/big.log" "$work/follow.log" "$old" "$runs"
echo "load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
