#!/usr/bin/env bash
# Builds the decode fuzz targets with clang and runs each in turn.
#   fuzz/run_fuzzers.sh [SECONDS_PER_TARGET] [TARGET...]
# Default 300 seconds per target, all six targets. Corpora and logs go to
# build-fuzz/runs/<target>/; crashes are written there as crash-* files.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(DetectEncoding JisToSjis EucToSjis Utf16ToSjis Utf8ToUtf16 LogTime)

CXX=clang++ CC=clang cmake -S . -B build-fuzz -G Ninja -DWISPLOG_FUZZ=ON >/dev/null
cmake --build build-fuzz >/dev/null

seeds=build-fuzz/seeds
if [ ! -d "$seeds" ]; then
    mkdir -p "$seeds"
    for enc in utf-8 euc-jp iso-2022-jp shift_jis utf-16le; do
        /usr/bin/python3 tools/make_japanese_log.py --bytes 2K --crlf --encoding "$enc" -o "$seeds/$enc"
    done
    /usr/bin/python3 tools/make_time_samples.py -o "$seeds/time-samples.full"
    split -b 3K -a 2 "$seeds/time-samples.full" "$seeds/time-samples-" && rm "$seeds/time-samples.full"
fi

for target in "${targets[@]}"; do
    run=build-fuzz/runs/$target
    mkdir -p "$run/corpus"
    cp -n "$seeds"/* "$run/corpus/" 2>/dev/null || true
    dict=()
    [ "$target" = JisToSjis ] || [ "$target" = DetectEncoding ] && dict=(-dict=fuzz/jis.dict)
    echo "== $target: $seconds s"
    # One job on one worker (the machine is shared); its log is fuzz-0.log.
    (cd "$run" && "../../fuzz/fuzz_$target" -jobs=1 -workers=1 -max_total_time="$seconds" \
        -max_len=4096 -artifact_prefix=./ "${dict[@]/#-dict=/-dict=../../../}" corpus \
        >jobs.out 2>&1) || true
    grep -E "DONE|^Done|ERROR|SUMMARY" "$run/fuzz-0.log" || tail -n 5 "$run/fuzz-0.log"
    if ls "$run"/crash-* "$run"/leak-* "$run"/timeout-* >/dev/null 2>&1; then
        echo "FINDING in $target"; exit 1
    fi
done
