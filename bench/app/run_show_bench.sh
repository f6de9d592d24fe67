#!/usr/bin/env bash
# ShowLocalFile benchmarks (Release build with -DWISPLOG_BENCH=ON):
#  1. tail 10000 of a 100 MB EUC-JP log, the whole program run, beside
#     iconv -f EUC-JISX0213 -t SHIFT_JISX0213 FILE | tail -c 10000 (hyperfine);
#  2. peak memory of run 1 (/usr/bin/time -v), against 2.5 times the file size;
#  3. "Get all" (tail 0) of a 20 MB log: the time of the call until the view
#     holds the text.
# Usage: bash bench/app/run_show_bench.sh [BUILD_DIR]   (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/bench}

need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
[ -x /usr/bin/time ] || need+=(time)
command -v iconv >/dev/null || need+=(libc-bin)
[ -x /usr/bin/python3 ] || need+=(python3)
dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
cmake --build "$build" --target show_local_file nkf32
prog="$build/bench/app/show_local_file"

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
/usr/bin/python3 tools/make_japanese_log.py --bytes 100M --encoding euc-jp --crlf -o "$data/big.euc"
/usr/bin/python3 tools/make_japanese_log.py --bytes 20M --encoding euc-jp --crlf -o "$data/20m.euc"
size=$(stat -c %s "$data/big.euc")
echo "100 MB log: $size bytes"

export QT_QPA_PLATFORM=offscreen
hyperfine --warmup 1 --runs 5 \
    -n "wisplog ShowLocalFile tail 10000" "$prog $data/big.euc 10000 EUC" \
    -n "iconv | tail -c 10000" "iconv -f EUC-JISX0213 -t SHIFT_JISX0213 $data/big.euc | tail -c 10000 > /dev/null"

/usr/bin/time -v "$prog" "$data/big.euc" 10000 EUC 2> "$data/time.txt" || true
peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$data/time.txt")
grep ShowLocalFile "$data/time.txt"
awk -v kb="$peak_kb" -v size="$size" 'BEGIN {
    printf "peak RSS %.1f MB = %.2f x file size (goal <= 2.5)\n", kb * 1024 / 1e6, kb * 1024 / size }'

echo "Get all of a 20 MB log ($(stat -c %s "$data/20m.euc") bytes):"
for i in 1 2 3; do "$prog" "$data/20m.euc" 0 EUC --baseline; done
