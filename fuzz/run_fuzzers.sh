#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each in turn.
#   fuzz/run_fuzzers.sh [SECONDS_PER_TARGET] [TARGET...]
# Default 300 seconds per target, all ten targets. Corpora and logs go to
# build-fuzz/runs/<target>/; crashes are written there as crash-* files.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(DetectEncoding JisToSjis EucToSjis Utf16ToSjis Utf8ToUtf16 KnownHosts SshConfig PatternLiterals HostListWithoutPasswords LogTime)

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

# The OpenSSH file readers start from files of their own kind: a known-hosts
# file (after its first line, the host name) and a client config.
ssh_seeds=build-fuzz/ssh-seeds
if [ ! -d "$ssh_seeds" ]; then
    mkdir -p "$ssh_seeds/KnownHosts" "$ssh_seeds/SshConfig"
    ssh-keygen -q -t ed25519 -N '' -f "$ssh_seeds/ed" && ssh-keygen -q -t ecdsa -N '' -f "$ssh_seeds/ec"
    ssh-keygen -q -t rsa -b 1024 -N '' -f "$ssh_seeds/rsa"
    {
        echo "[logs.example]:2222"
        echo "# comment"
        echo "[logs.example]:2222,192.0.2.7 $(cut -d' ' -f1-2 "$ssh_seeds/ed.pub")"
        echo "@revoked * $(cat "$ssh_seeds/ec.pub")"
        echo "@cert-authority *.example,!bad.example $(cat "$ssh_seeds/rsa.pub")"
        echo "logs.ex?mple $(cut -c1-40 "$ssh_seeds/ed.pub")"
    } >"$ssh_seeds/KnownHosts/plain"
    echo "[logs.example]:2222 $(cat "$ssh_seeds/ed.pub")" >"$ssh_seeds/hashed"
    ssh-keygen -q -H -f "$ssh_seeds/hashed" >/dev/null 2>&1
    { echo "[logs.example]:2222"; grep '|1|' "$ssh_seeds/hashed"; } >"$ssh_seeds/KnownHosts/hashed"
    printf 'Include conf.d/*.conf\nHost logs !other "a b"\n  UserKnownHostsFile ~/kh %%d/%%h-%%p ${HOME}/x\n  HashKnownHosts=yes\nMatch host 192.0.2.* !user bob exec true\n  GlobalKnownHostsFile none\nHost *\n  HostKeyAlgorithms +ssh-rsa # old\n' \
        >"$ssh_seeds/SshConfig/config"
    rm -f "$ssh_seeds"/ed* "$ssh_seeds"/ec* "$ssh_seeds"/rsa* "$ssh_seeds/hashed"*
fi

for target in "${targets[@]}"; do
    run=build-fuzz/runs/$target
    mkdir -p "$run/corpus"
    case $target in
        KnownHosts | SshConfig) cp -n "$ssh_seeds/$target"/* "$run/corpus/" 2>/dev/null || true ;;
        *) cp -n "$seeds"/* "$run/corpus/" 2>/dev/null || true ;;
    esac
    dict=()
    [ "$target" = JisToSjis ] || [ "$target" = DetectEncoding ] && dict=(-dict=fuzz/jis.dict)
    [ "$target" = PatternLiterals ] && dict=(-dict=fuzz/pattern.dict)
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
