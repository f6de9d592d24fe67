// Conversion throughput in process, beside glibc's iconv(3) on the same text:
// each side converts a whole realistic log held in memory into an output
// buffer that is already faulted in, so the figures are the conversion's own,
// without process start, file mapping or the page faults of a fresh buffer.
// Ours is the two-call protocol (measuring call, then converting call); iconv
// converts once. Besides each side on its own, the two side by side in pairs
// (paired/...), whose ratio a busy host moves less.
//   convert_throughput DATA_DIR [benchmark options]
// DATA_DIR holds log.euc-jp, log.iso-2022-jp, log.utf-8 and log.utf-16le
// (bench/decode/run_bench.sh makes them).
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <time.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/Convert.h"

namespace {

std::string DataDir;

// The file's bytes followed by zero bytes, aligned for 16-bit units.
struct Text {
    std::vector<uint16_t> Units;
    size_t Size = 0;
    const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(Units.data()); }
};

const Text& Load(const std::string& name)
{
    static std::vector<std::pair<std::string, Text>> loaded;
    for (const auto& [key, text] : loaded)
        if (key == name)
            return text;
    std::ifstream in(DataDir + "/" + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        std::fprintf(stderr, "no data in %s/%s\n", DataDir.c_str(), name.c_str());
        std::exit(1);
    }
    Text text;
    text.Size = bytes.size();
    text.Units.assign(bytes.size() / 2 + 4, 0);
    std::memcpy(text.Units.data(), bytes.data(), bytes.size());
    loaded.emplace_back(name, std::move(text));
    return loaded.back().second;
}

// An output buffer big enough for any of the texts, written once so that its
// pages are there before the timing.
std::vector<uint8_t>& Output(size_t size)
{
    static std::vector<uint8_t> output;
    if (output.size() < size)
        output.assign(size, 1);
    return output;
}

struct Route {
    const char* File;
    const char* Charset;   // iconv's name of the file's encoding
    SjisRoute Converter;
};

int64_t Convert(SjisRoute route, uint8_t* output, const Text& text, uint64_t capacity)
{
    switch (route) {
    case SjisRoute::Jis: return JisToSjis(output, text.Bytes(), capacity);
    case SjisRoute::Euc: return EucToSjis(output, text.Bytes(), capacity);
    case SjisRoute::Utf16: return Utf16ToSjis(output, text.Units.data(), capacity);
    case SjisRoute::Utf8: return Utf8ToSjis(output, text.Bytes(), capacity);
    }
    return -1;
}

// One conversion of ours, both calls; false where they disagree.
bool OursOnce(SjisRoute route, const Text& text, std::vector<uint8_t>& output)
{
    const int64_t measured = Convert(route, nullptr, text, 0);
    return Convert(route, output.data(), text, static_cast<uint64_t>(measured) + 1) == measured;
}

// One conversion by iconv(3), from its initial state; false where it fails.
bool IconvOnce(iconv_t cd, const Text& text, std::vector<uint8_t>& output)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.Bytes()));
    size_t inLeft = text.Size;
    char* out = reinterpret_cast<char*>(output.data());
    size_t outLeft = output.size();
    return iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
}

void Ours(benchmark::State& state, Route route)
{
    const Text& text = Load(route.File);
    std::vector<uint8_t>& output = Output(text.Size * 2 + 16);
    for (auto _ : state) {
        if (!OursOnce(route.Converter, text, output))
            state.SkipWithError("measuring and converting disagree");
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Size));
}

void Iconv(benchmark::State& state, Route route)
{
    const Text& text = Load(route.File);
    std::vector<uint8_t>& output = Output(text.Size * 2 + 16);
    iconv_t cd = iconv_open("SHIFT_JISX0213", route.Charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    for (auto _ : state) {
        if (!IconvOnce(cd, text, output))
            state.SkipWithError("iconv failed");
        benchmark::DoNotOptimize(output.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Size));
}

double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Both sides in every iteration, one right after the other, in turns first:
// a spell of the host's other guests then slows both sides of a pair alike,
// where between the separate benchmarks above it falls on one side's
// repetitions only. Reports the median of the pairs' ratios (iconv's CPU
// time over ours) as the counter iconv_per_ours.
void Paired(benchmark::State& state, Route route)
{
    const Text& text = Load(route.File);
    std::vector<uint8_t>& output = Output(text.Size * 2 + 16);
    iconv_t cd = iconv_open("SHIFT_JISX0213", route.Charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    const auto ours = [&] { return OursOnce(route.Converter, text, output); };
    const auto theirs = [&] { return IconvOnce(cd, text, output); };
    const auto timed = [](const auto& run, bool& ok) {
        const double start = ThreadSeconds();
        ok = run() && ok;
        return ThreadSeconds() - start;
    };
    std::vector<double> ratios;
    bool ok = true;
    for (auto _ : state) {
        double ourTime = 0;
        double theirTime = 0;
        if (ratios.size() % 2 == 0) {
            ourTime = timed(ours, ok);
            theirTime = timed(theirs, ok);
        } else {
            theirTime = timed(theirs, ok);
            ourTime = timed(ours, ok);
        }
        state.SetIterationTime(ourTime + theirTime);
        ratios.push_back(theirTime / ourTime);
    }
    iconv_close(cd);
    if (!ok) {
        state.SkipWithError("a conversion failed");
        return;
    }
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    state.counters["iconv_per_ours"] = n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
}

const Route Routes[] = {
    {"log.euc-jp", "EUC-JISX0213", SjisRoute::Euc},
    {"log.iso-2022-jp", "ISO-2022-JP-3", SjisRoute::Jis},
    {"log.utf-8", "UTF-8", SjisRoute::Utf8},
    {"log.utf-16le", "UTF-16LE", SjisRoute::Utf16},
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s DATA_DIR [benchmark options]\n", argv[0]);
        return 2;
    }
    DataDir = argv[1];
    argv[1] = argv[0];
    --argc;
    ++argv;
    for (const Route& route : Routes) {
        const std::string name = std::string(route.File).substr(4);
        // Beside the median, the fastest repetition: on a shared machine
        // whatever else runs only ever adds time.
        const auto fastest = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
        benchmark::RegisterBenchmark(("ours/" + name).c_str(), Ours, route)
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", fastest);
        benchmark::RegisterBenchmark(("iconv/" + name).c_str(), Iconv, route)
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", fastest);
        // Six pairs a repetition, three with each side first.
        benchmark::RegisterBenchmark(("paired/" + name).c_str(), Paired, route)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(6)
            ->ComputeStatistics("min", fastest);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
