#!/usr/bin/env bash
# A 4 GiB log fetched and shown with F5 (Release build, -DWISPLOG_BENCH=ON):
# one fetch by the real window offscreen (fetch_once) from vsftpd on loopback,
# for a UTF-8 and an EUC-JP log of at least 4 GiB (copies of one realistic
# 100 MB log), timed and measured by /usr/bin/time -v (elapsed time, peak
# memory against the file size), then lftp + iconv | tail -c 10000 once on the
# same file for comparison. Needs about 3 times the log size free in /tmp.
#
#   bash bench/app/bench_fetch_4g.sh [GIB]      (default 4)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev vsftpd lftp time libc-bin

gib=${1:-4}
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target fetch_once nkf32
fetch="$PWD/$build/bench/app/fetch_once"

work=$(mktemp -d /tmp/wisplog-fetch-4g.XXXXXX)
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/app" "$work/lftp"

/usr/bin/python3 tools/make_japanese_log.py --bytes 100M --encoding utf-8 --crlf -o "$work/piece.utf-8"
/usr/bin/python3 tools/make_japanese_log.py --from "$work/piece.utf-8" --encoding euc-jp --crlf -o "$work/piece.euc-jp"
target=$((gib * 1024 * 1024 * 1024))
for enc in utf-8 euc-jp; do
    : > "$work/root/log.$enc"
    while [ "$(stat -c %s "$work/root/log.$enc")" -lt "$target" ]; do
        cat "$work/piece.$enc" >> "$work/root/log.$enc"
    done
done
rm -f "$work"/piece.*

start_vsftpd "$work/root" "$work"
export QT_QPA_PLATFORM=offscreen
prefix=/
[ "$vsftpd_chroot" = 1 ] || prefix=

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for entry in utf-8:UTF8:UTF-8 euc-jp:EUC:EUC-JISX0213; do
    IFS=: read -r enc view charset <<<"$entry"
    ln -sf "log.$enc" "$work/root/big.log"
    size=$(stat -L -c %s "$work/root/big.log")
    rm -f "$work/app/big.log"
    /usr/bin/time -v "$fetch" "$vsftpd_port" "$work/app" --remote "${prefix}big.log" --encoding "$view" --phases \
        2> "$work/time.txt"
    grep -E 'start-up' "$work/time.txt" || true
    cmp "$work/root/big.log" "$work/app/big.log"
    awk -F': ' -v size="$size" -v enc="$enc" '
        /Elapsed \(wall clock\)/ { wall = $2 }
        /User time/ { user = $2 } /System time/ { sys = $2 }
        /Maximum resident set size/ { kb = $2 }
        END { printf "%s: %.2f GiB fetched and shown (F5) in %s (user %s s, system %s s), peak RSS %.1f MB = %.3f x the file size\n",
              enc, size / 2^30, wall, user, sys, kb * 1024 / 1e6, kb * 1024 / size }' "$work/time.txt"
    rm -f "$work/app/big.log"
    start=$(date +%s.%N)
    lftp -c "set xfer:clobber on; set ftp:passive-mode on; open -u anonymous,guest -p $vsftpd_port 127.0.0.1; get big.log -o $work/lftp/big.log"
    iconv -f "$charset" -t SHIFT_JISX0213 "$work/lftp/big.log" | tail -c 10000 > /dev/null
    end=$(date +%s.%N)
    echo "$enc: lftp + iconv | tail -c 10000: $(/usr/bin/python3 -c "print(round($end - $start, 2))") s"
    rm -f "$work/lftp/big.log"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
