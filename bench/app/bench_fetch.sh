#!/usr/bin/env bash
# F5 fetch benchmark (Release build with -DWISPLOG_BENCH=ON): one fetch of a
# 100 MB log, log-in to display, by the real window offscreen (fetch_once),
# beside lftp downloading the same file from the same vsftpd on loopback
# followed by iconv -f CHARSET -t SHIFT_JISX0213 | tail -c 10000, timed by
# hyperfine in one run, for an EUC-JP and a UTF-8 log (the view's encoding set
# to EUC and UTF8). Prints the mean times, their ratio (goal: at most 0.5),
# their CPU seconds (a steadier figure on a busy machine), the load, and the
# peak memory of one fetch (/usr/bin/time -v) on every route: EUC, JIS, UTF8,
# Unicode, SJIS and detection of a UTF-8, a UTF-16LE and a Shift_JIS log.
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
/usr/bin/python3 tools/make_japanese_log.py --bytes "$size" --encoding utf-8 --crlf -o "$work/root/log.utf-8"
for enc in euc-jp iso-2022-jp utf-16le shift_jis; do
    /usr/bin/python3 tools/make_japanese_log.py --from "$work/root/log.utf-8" --encoding "$enc" --crlf \
        -o "$work/root/log.$enc"
done

start_vsftpd "$work/root" "$work"
export QT_QPA_PLATFORM=offscreen
# Unconfined (not run as root), vsftpd's "/" is the machine's root: the
# profile then names the file relatively.
prefix=/
[ "$vsftpd_chroot" = 1 ] || prefix=

# The file fetched is always big.log: a link to the log of the encoding.
serve() { ln -sf "log.$1" "$work/root/big.log"; }

# encoding of the file, the view's encoding, iconv's charset
for entry in euc-jp:EUC:EUC-JISX0213 utf-8:UTF8:UTF-8; do
    IFS=: read -r enc view charset <<<"$entry"
    serve "$enc"
    echo "== $enc log: $(stat -L -c %s "$work/root/big.log") bytes, view encoding $view"
    wisplog_cmd="$fetch $vsftpd_port $work/app --remote ${prefix}big.log --encoding $view"
    pipeline_cmd="lftp -c 'set xfer:clobber on; set ftp:passive-mode on; open -u anonymous,guest -p $vsftpd_port 127.0.0.1; get big.log -o $work/lftp/big.log' && iconv -f $charset -t SHIFT_JISX0213 $work/lftp/big.log | tail -c 10000 > /dev/null"

    # One checked fetch first: the copy must equal the original.
    $wisplog_cmd --phases
    cmp "$work/root/log.$enc" "$work/app/big.log"

    echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
    hyperfine --warmup 1 --runs "$runs" --prepare "rm -f $work/app/big.log $work/lftp/big.log" \
        --export-json "$work/result-$enc.json" \
        -n "wisplog F5 fetch" "$wisplog_cmd" \
        -n "lftp + iconv | tail" "$pipeline_cmd"
    echo "load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"

    /usr/bin/python3 - "$work/result-$enc.json" "$enc" <<'PY'
import json, sys
rows = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
app, peer = rows["wisplog F5 fetch"], rows["lftp + iconv | tail"]
print(f"{sys.argv[2]}: wisplog {app['mean']:.3f} s ± {app['stddev']:.3f}, pipeline {peer['mean']:.3f} s ± {peer['stddev']:.3f}")
print(f"{sys.argv[2]}: ratio wisplog / pipeline = {app['mean'] / peer['mean']:.2f} (goal <= 0.5)")
cpu = lambda r: r["user"] + r["system"]
print(f"{sys.argv[2]}: CPU seconds (user + system, the FTP server not counted): wisplog {cpu(app):.3f}, "
      f"pipeline {cpu(peer):.3f}, ratio {cpu(app) / cpu(peer):.2f}")
PY
done

# Peak memory of one fetch on every route, against the size of the file.
echo "== peak memory of one F5 (goal: at most 1.3 x the file size)"
for entry in euc-jp:EUC iso-2022-jp:JIS utf-8:UTF8 utf-16le:Unicode shift_jis:SJIS utf-8:auto utf-16le:auto shift_jis:auto; do
    IFS=: read -r enc view <<<"$entry"
    serve "$enc"
    rm -f "$work/app/big.log"
    /usr/bin/time -v "$fetch" "$vsftpd_port" "$work/app" --remote "${prefix}big.log" --encoding "$view" \
        2> "$work/time.txt"
    peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    awk -v kb="$peak_kb" -v size="$(stat -L -c %s "$work/root/big.log")" -v enc="$enc" -v view="$view" 'BEGIN {
        printf "%-12s %-8s peak RSS %7.1f MB = %.2f x the file size\n", enc, view, kb * 1024 / 1e6, kb * 1024 / size }'
done
