#!/usr/bin/env bash
# Long multi-line reply benchmark: TKZFTP (Release build) reads a greeting of
# LINES continuation lines against a plain Python socket.makefile().readline()
# loop on the same server, in one run; prints medians and their ratio.
#
#   bash bench/ftp/bench_long_reply.sh [LINES] [RUNS]     (defaults 1000000, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON >/dev/null
nice cmake --build "$build" --target long_reply
python3 bench/ftp/long_reply_bench.py "$PWD/$build/bench/ftp/long_reply" "${1:-1000000}" "${2:-5}"
