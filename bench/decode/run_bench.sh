#!/usr/bin/env bash
# Times the display's decoding path (bench/decode/decode_bench) against glibc
# iconv for each conversion and nkf --guess for detection, on a realistic
# Japanese log of about 100 MB made by tools/make_japanese_log.py from one
# UTF-8 text, and measures peak memory with GNU time; then each conversion
# alone, in process, beside iconv(3) (bench/decode/convert_throughput), and our
# whole runs right after another and after a few seconds idle.
#   bench/decode/run_bench.sh [SIZE] [RUNS]     (defaults: 100M, 5)
# Results: build/bench-decode/results/ (hyperfine JSON and results.md).
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev hyperfine nkf time libc-bin

size=${1:-100M}
runs=${2:-5}
build=build/bench-decode
data=$build/data
results=$build/results
python=/usr/bin/python3
mkdir -p "$data" "$results"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWISPLOG_BENCH=ON -DWISPLOG_TESTS=OFF >/dev/null
cmake --build "$build" --target decode_bench convert_throughput >/dev/null
bench=$build/bench/decode/decode_bench

# One text in every encoding (CR LF line ends, as on the servers' logs).
if [ "$(cat "$data/size" 2>/dev/null)" != "$size" ]; then
    echo "Generating a $size Japanese log in $data"
    $python tools/make_japanese_log.py --bytes "$size" --crlf --encoding utf-8 -o "$data/log.utf-8"
    for enc in euc-jp iso-2022-jp utf-16le shift_jis; do
        $python tools/make_japanese_log.py --from "$data/log.utf-8" --crlf --encoding "$enc" -o "$data/log.$enc"
    done
    echo "$size" > "$data/size"
fi

# Our result must be the Shift_JIS text that Python's codec wrote.
for pair in euc:euc-jp jis:iso-2022-jp utf16:utf-16le utf8:utf-8; do
    mode=${pair%%:*}
    enc=${pair#*:}
    if ! "$bench" "$mode" "$data/log.$enc" | cmp -s - "$data/log.shift_jis"; then
        echo "decode_bench $mode gives a different text than the reference" >&2
        exit 1
    fi
done

hf() { hyperfine -N --warmup 1 --runs "$runs" --style basic "$@"; }

# name, mode, encoding of the file, iconv source charset
conversions=(
    "euc:euc:euc-jp:EUC-JISX0213"
    "jis:jis:iso-2022-jp:ISO-2022-JP-3"
    "utf8:utf8:utf-8:UTF-8"
    "utf16:utf16:utf-16le:UTF-16LE"
)
echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)" | tee "$results/load.txt"
for entry in "${conversions[@]}"; do
    IFS=: read -r name mode enc charset <<<"$entry"
    file=$data/log.$enc
    hf --export-json "$results/convert-$name.json" \
        -n ours "$bench $mode $file" \
        -n iconv "iconv -f $charset -t SHIFT_JISX0213 $file" \
        -n read "cat $file"
done
for enc in euc-jp iso-2022-jp utf-8 utf-16le shift_jis; do
    file=$data/log.$enc
    hyperfine -N --warmup 1 --runs "$runs" --style basic --export-json "$results/detect-$enc.json" \
        -n ours "$bench detect $file" -n read "cat $file"
    # nkf reads the whole file and takes seconds: fewer runs.
    hyperfine -N --runs 2 --style basic --export-json "$results/detect-$enc-nkf.json" \
        -n nkf "nkf --guess $file"
done

# The conversions alone, in process, beside iconv(3) on the same texts. The
# repetitions of all of them run in a random order, so that a machine that
# slows down or speeds up during the run moves both sides alike; the paired
# ones time both sides in each iteration.
"$build/bench/decode/convert_throughput" "$data" --benchmark_repetitions="$runs" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_out="$results/throughput.json" \
    --benchmark_out_format=json >/dev/null

echo "load after the timings: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results/load.txt"

# Peak memory (maximum resident set size) of each of our runs.
: > "$results/memory.txt"
for entry in "${conversions[@]}" "detect:detect:euc-jp:" "detect-utf8:detect:utf-8:"; do
    IFS=: read -r name mode enc charset <<<"$entry"
    file=$data/log.$enc
    rss=$(/usr/bin/time -f "%M" "$bench" "$mode" "$file" 2>&1 >/dev/null | tail -n 1)
    echo "$name $mode $file $rss" >> "$results/memory.txt"
done

# The kernel's share of our whole runs: each conversion three times right
# after the run before, then three times after 3 s idle, in which the host may
# take back the memory the last run freed (where the guest reports its free
# 2 MiB blocks to the host, as this project's development VM does).
: > "$results/idle.txt"
for entry in "${conversions[@]}"; do
    IFS=: read -r name mode enc charset <<<"$entry"
    file=$data/log.$enc
    "$bench" "$mode" "$file" >/dev/null
    for gap in 0 0 0 3 3 3; do
        sleep "$gap"
        times=$(/usr/bin/time -f "%e %U %S" "$bench" "$mode" "$file" 2>&1 >/dev/null | tail -n 1)
        echo "$name $gap $times" >> "$results/idle.txt"
    done
done

$python - "$results" "$data" <<'PY'
import json, os, sys
results, data = sys.argv[1], sys.argv[2]
MiB = 1024 * 1024
def result(path, name):
    return next(r for r in json.load(open(path))['results'] if r['command'] == name)
def mean(path, name):
    return result(path, name)['mean']
def fastest(path, name):
    return result(path, name)['min']
def cpu(path, name):
    return result(path, name)['user'] + result(path, name)['system']
# User time alone leaves out the kernel's work: mapping the input and, for
# ours, giving the whole output buffer its pages, which on a VM whose host
# takes freed memory back can cost more than the conversion itself.
def user(path, name):
    return result(path, name)['user']
lines = ['| path | file MB | ours s | peer | peer s | peer / ours | fastest runs, peer / ours | CPU peer / ours '
         '| user CPU peer / ours | ours / plain read |',
         '|---|---|---|---|---|---|---|---|---|---|']
for name, enc in (('euc', 'euc-jp'), ('jis', 'iso-2022-jp'), ('utf8', 'utf-8'), ('utf16', 'utf-16le')):
    path = os.path.join(results, 'convert-%s.json' % name)
    ours, iconv, read = mean(path, 'ours'), mean(path, 'iconv'), mean(path, 'read')
    size = os.path.getsize(os.path.join(data, 'log.' + enc)) / 1e6
    ratio = cpu(path, 'iconv') / cpu(path, 'ours')
    best = fastest(path, 'iconv') / fastest(path, 'ours')
    lines.append('| %s to Shift_JIS | %.0f | %.3f | iconv | %.3f | %.1f | %.1f | %.1f | %.1f | %.1f |'
                 % (name, size, ours, iconv, iconv / ours, best, ratio,
                    user(path, 'iconv') / user(path, 'ours'), ours / read))
for enc in ('euc-jp', 'iso-2022-jp', 'utf-8', 'utf-16le', 'shift_jis'):
    path = os.path.join(results, 'detect-%s.json' % enc)
    ours, read = mean(path, 'ours'), mean(path, 'read')
    nkf = mean(os.path.join(results, 'detect-%s-nkf.json' % enc), 'nkf')
    size = os.path.getsize(os.path.join(data, 'log.' + enc)) / 1e6
    nkfPath = os.path.join(results, 'detect-%s-nkf.json' % enc)
    ratio = cpu(nkfPath, 'nkf') / cpu(path, 'ours')
    best = fastest(nkfPath, 'nkf') / fastest(path, 'ours')
    lines.append('| detect %s | %.0f | %.3f | nkf --guess | %.3f | %.1f | %.1f | %.1f | %.1f | %.1f |'
                 % (enc, size, ours, nkf, nkf / ours, best, ratio, user(nkfPath, 'nkf') / user(path, 'ours'),
                    ours / read))
# In process: median and fastest CPU time of each side's repetitions, and the
# spread (coefficient of variation) that says how quiet the machine was.
# The paired runs give the ratio itself (iconv_per_ours, the median of each
# repetition's pairs): its median and lowest over the repetitions.
stats = {}
paired = {}
for b in json.load(open(os.path.join(results, 'throughput.json')))['benchmarks']:
    if b.get('aggregate_name') in ('median', 'min', 'cv'):
        stats[(b['run_name'], b['aggregate_name'])] = b['cpu_time']
        if b['run_name'].startswith('paired/'):
            paired[(b['run_name'].split('/')[1], b['aggregate_name'])] = b['iconv_per_ours']
lines += ['', '| conversion in process | ours ms (CPU), median / fastest | iconv(3) ms (CPU), median / fastest '
          '| iconv / ours, medians | iconv / ours, fastest | spread ours / iconv '
          '| iconv / ours in pairs, median / lowest |', '|---|---|---|---|---|---|---|']
for enc in ('euc-jp', 'iso-2022-jp', 'utf-8', 'utf-16le'):
    o, i = 'ours/' + enc, 'iconv/' + enc
    lines.append('| %s | %.1f / %.1f | %.1f / %.1f | %.1f | %.1f | %.2f / %.2f | %.2f / %.2f |'
                 % (enc, stats[(o, 'median')], stats[(o, 'min')], stats[(i, 'median')], stats[(i, 'min')],
                    stats[(i, 'median')] / stats[(o, 'median')], stats[(i, 'min')] / stats[(o, 'min')],
                    stats[(o, 'cv')], stats[(i, 'cv')], paired[(enc, 'median')], paired[(enc, 'min')]))
lines += ['', '| run | input MiB | buffers held at once MiB | peak RSS MiB | above them MiB |',
          '|---|---|---|---|---|']
sjis = os.path.getsize(os.path.join(data, 'log.shift_jis'))
utf16 = os.path.getsize(os.path.join(data, 'log.utf-16le'))
for line in open(os.path.join(results, 'memory.txt')):
    name, mode, path, rss = line.split()
    size = os.path.getsize(path)
    if mode == 'detect':
        held = size                                  # the file only
    else:
        held = size + sjis                           # input and output
    rss = int(rss) * 1024
    lines.append('| %s | %.1f | %.1f | %.1f | %.1f |'
                 % (name, size / MiB, held / MiB, rss / MiB, (rss - held) / MiB))
lines += ['', '| whole run | right after another: elapsed / user / system s | after 3 s idle: elapsed / user / system s |',
          '|---|---|---|']
idle = {}
for line in open(os.path.join(results, 'idle.txt')):
    name, gap, elapsed, usr, system = line.split()
    idle.setdefault((name, gap), []).append((float(elapsed), float(usr), float(system)))
def medians(samples):
    return ' / '.join('%.2f' % sorted(column)[len(column) // 2] for column in zip(*samples))
for name in ('euc', 'jis', 'utf8', 'utf16'):
    lines.append('| %s | %s | %s |' % (name, medians(idle[(name, '0')]), medians(idle[(name, '3')])))
text = '\n'.join(lines) + '\n\n' + open(os.path.join(results, 'load.txt')).read()
open(os.path.join(results, 'results.md'), 'w').write(text)
print(text)
PY
