#!/usr/bin/env bash
# Big-log benchmark (Release build with -DWISPLOG_BENCH=ON): Ctrl+F5 ("Get
# all") of a log served by vsftpd on loopback, through the real window
# offscreen (get_all_once), from the key to the end shown, with its peak
# memory; beside it lnav -n -c ':goto 100%' on the same file, both under
# /usr/bin/time -v. Then, on the view the fetch left, a find upward from the
# end of a word that only the first line holds, and the line filter on a text
# that every 50th line holds, beside grep -c of each on the converted file.
# For an EUC-JP and a UTF-8 log of each size.
#
#   bash bench/app/bench_get_all.sh [SIZE...]        (default 300M 1G)
#
# REPEAT=N runs each pair N times (default 1), a row each: on a shared
# machine one run says little.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" vsftpd lnav time grep

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(300M 1G)
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target get_all_once nkf32 >/dev/null
run="$PWD/$build/bench/app/get_all_once"

work=$(mktemp -d /tmp/wisplog-getall-bench.XXXXXX)
. bench/vsftpd_env.sh
cleanup() {
    stop_vsftpd
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/app" "$work/shots"
chmod 755 "$work" "$work/root"
start_vsftpd "$work/root" "$work"
export QT_QPA_PLATFORM=offscreen

# wall seconds and peak MB of a /usr/bin/time -v report
wall() { awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$1"; }
# wall seconds of a command, to the millisecond (its output to a file: GNU
# grep writing to /dev/null stops at the first match)
seconds() {
    local t0 t1
    t0=$(date +%s%N)
    "$@" > "$work/seconds.out" || true
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}
peak() { awk -F': ' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$1"; }

for size in "${sizes[@]}"; do
    # The generated log with a first line of its own and a marker on every
    # 50th line, in UTF-8 and EUC-JP (LF breaks, as Unix logs have them).
    /usr/bin/python3 tools/make_japanese_log.py --bytes "$size" --encoding utf-8 -o "$work/gen.utf-8"
    { echo "2026-12-07 00:00:00.000 INFO  main FIRSTONLY 開始"; awk 'NR % 50 == 0 {print $0 " MARK50"; next} {print}' "$work/gen.utf-8"; } \
        > "$work/root/log.utf-8"
    rm -f "$work/gen.utf-8"
    /usr/bin/python3 tools/make_japanese_log.py --from "$work/root/log.utf-8" --encoding euc-jp -o "$work/root/log.euc-jp"
    iconv -f UTF-8 -t SHIFT_JISX0213 "$work/root/log.utf-8" > "$work/converted.sjis"
    chmod 644 "$work/root/"*
    lines=$(wc -l < "$work/converted.sjis")
    for entry in euc-jp:EUC utf-8:UTF8; do
        IFS=: read -r enc view <<<"$entry"
        ln -sf "log.$enc" "$work/root/big.log"
        bytes=$(stat -L -c %s "$work/root/big.log")
        rm -f "$work/app/big.log"
        sync
        echo "== $size $enc: $bytes bytes, $lines lines; load $(cut -d' ' -f1-3 /proc/loadavg)"
        for rep in $(seq "${REPEAT:-1}"); do
        rm -f "$work/app/big.log"
        sync
        shots=""
        [ "$size" = 1G ] && [ "$enc" = euc-jp ] && [ "$rep" = 1 ] && shots="--shots $work/shots"
        /usr/bin/time -v "$run" "$vsftpd_port" "$work/app" "$view" --find-up FIRSTONLY --filter MARK50 $shots \
            > "$work/app.out" 2> "$work/app.time" || { cat "$work/app.out" "$work/app.time"; exit 1; }
        cat "$work/app.out"
        /usr/bin/time -v lnav -n -c ':goto 100%' "$work/app/big.log" > /dev/null 2> "$work/lnav.time" || true
        grep1=$(seconds grep -c FIRSTONLY "$work/converted.sjis")
        grep2=$(seconds grep -c MARK50 "$work/converted.sjis")
        getall=$(awk '/^get-all/ {print $2 / 1000}' "$work/app.out")
        findup=$(awk '/^find-up/ {print $2 / 1000}' "$work/app.out")
        filt=$(awk '/^filter/ {print $2 / 1000}' "$work/app.out")
        awk -v size="$size" -v enc="$enc" -v bytes="$bytes" -v g="$getall" -v gp="$(peak "$work/app.time")" \
            -v gw="$(wall "$work/app.time")" -v l="$(wall "$work/lnav.time")" -v lp="$(peak "$work/lnav.time")" \
            -v f="$findup" -v g1="$grep1" -v fl="$filt" -v g2="$grep2" 'BEGIN {
            mb = bytes / 1048576
            printf "| %s %s | key to end shown %.2f s (process %.2f s) | lnav %.2f s | ratio %.2f | peak %d MB = %.2fx file, lnav %d MB |", size, enc, g, gw, l, g / l, gp, gp / mb, lp
            printf " find up %.2f s vs grep -c %.2f s (%.2fx) | filter %.2f s vs grep -c %.2f s (%.2fx) |\n", f, g1, f / g1, fl, g2, fl / g2 }'
        echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
        done
    done
    [ -d "$work/shots" ] && cp "$work/shots/"*.png docs/ 2>/dev/null || true
    rm -f "$work/root/log."* "$work/converted.sjis" "$work/app/big.log"
done
