// The time index beside the line index, on a log held in memory (256 MB,
// or WISPLOG_BENCH_MB; see Trace for a log mostly without times): both built in 4 MB slices as the view
// builds its line index, against the line index alone, in the same run; then a seek to a time and a line's
// time on the whole index. The medians of the repetitions and their ratio are printed at the end.
//   build/bench/bench/view/time_index_bench --benchmark_repetitions=5
#include "view/SjisLineIndex.h"
#include "view/SjisTimeIndex.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr std::size_t Slice = std::size_t{4} << 20;
constexpr int64_t Start = 1796682912000; // 2026-12-08 07:35:12 at UTC+9

std::size_t TextBytes()
{
    const char* mb = std::getenv("WISPLOG_BENCH_MB");
    return static_cast<std::size_t>(mb != nullptr ? std::atoll(mb) : 256) << 20;
}

// WISPLOG_BENCH_TRACE=N: N lines without a time after every dated line (the
// worst case for the index, whose blocks then start inside them).
int Trace()
{
    static const int trace =
        std::getenv("WISPLOG_BENCH_TRACE") != nullptr ? std::atoi(std::getenv("WISPLOG_BENCH_TRACE")) : 0;
    return trace;
}

// A log of some 100 bytes a line, a few lines a second, with a stack trace
// now and then; Japanese messages in Shift_JIS.
const std::string& Text()
{
    static const std::string text = [] {
        const std::size_t size = TextBytes();
        std::string out;
        out.reserve(size + 256);
        char line[256];
        int64_t ms = Start;
        for (uint64_t i = 0; out.size() < size; ++i) {
            ms += static_cast<int64_t>(i * 7919 % 600);
            const std::time_t s = static_cast<std::time_t>(ms / 1000);
            std::tm t{};
            localtime_r(&s, &t);
            const int n =
                std::snprintf(line, sizeof line,
                              "%04d-%02d-%02d %02d:%02d:%02d.%03d %s [worker-%d] "
                              "\x90\xDA\x91\xB1\x82\xC9\x8E\xB8\x94\x73 session=%llu host=ftp.example.jp\n",
                              t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                              static_cast<int>(ms % 1000), i % 50 == 0 ? "ERROR" : "INFO ",
                              static_cast<int>(i % 8), static_cast<unsigned long long>(i));
            out.append(line, static_cast<std::size_t>(n));
            if (i % 997 == 0 || Trace() > 0)
                for (int k = 0; k < (Trace() > 0 ? Trace() : 12); ++k)
                    out += "    at jp.example.batch.Job.run(Job.java:128)\n";
        }
        return out;
    }();
    return text;
}

// Wall and processor seconds of each run: the machine may be shared, and the
// processor time is what the index itself costs.
std::vector<double> LineRuns, LineCpu;
std::vector<double> BothRuns, BothCpu;
std::size_t LineMemory = 0;
std::size_t TimeMemory = 0;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double CpuNow()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void LineIndexAlone(benchmark::State& state)
{
    const std::string& text = Text();
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        const double cpu = CpuNow();
        SjisLineIndex lines;
        while (lines.Scanned() < text.size())
            lines.Scan(text, Slice);
        benchmark::DoNotOptimize(lines.Count());
        LineRuns.push_back(Seconds(began));
        LineCpu.push_back(CpuNow() - cpu);
        LineMemory = lines.MemoryUse();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void LineAndTimeIndex(benchmark::State& state)
{
    const std::string& text = Text();
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        const double cpu = CpuNow();
        SjisLineIndex lines;
        SjisTimeIndex times(Start);
        while (lines.Scanned() < text.size()) {
            lines.Scan(text, Slice);
            times.Scan(text, lines, lines.Scanned() == text.size());
        }
        benchmark::DoNotOptimize(times.Blocks());
        BothRuns.push_back(Seconds(began));
        BothCpu.push_back(CpuNow() - cpu);
        TimeMemory = times.MemoryUse();
        state.counters["time_index_bytes"] = static_cast<double>(times.MemoryUse());
        state.counters["line_index_bytes"] = static_cast<double>(lines.MemoryUse());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The time index's own part: its scan over a line index built beforehand.
void TimeIndexPart(benchmark::State& state)
{
    const std::string& text = Text();
    SjisLineIndex lines;
    lines.Scan(text);
    for (auto _ : state) {
        SjisTimeIndex times(Start);
        times.Scan(text, lines, true);
        benchmark::DoNotOptimize(times.Blocks());
    }
}

// Seeks to times spread over the whole log, and lines' times, on the index
// of the whole text.
void SeekAndTimeOf(benchmark::State& state)
{
    const std::string& text = Text();
    SjisLineIndex lines;
    SjisTimeIndex times(Start);
    lines.Scan(text);
    times.Scan(text, lines, true);
    const int64_t last = times.TimeOf(text, lines, lines.Count() - 2).Ms;
    uint64_t k = 0;
    for (auto _ : state) {
        const int64_t t = Start + static_cast<int64_t>(k * 2654435761u % static_cast<uint64_t>(last - Start));
        const int64_t line = times.FirstAtOrAfter(text, lines, t);
        benchmark::DoNotOptimize(times.TimeOf(text, lines, std::min(line, lines.Count() - 1)));
        ++k;
    }
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

BENCHMARK(LineIndexAlone)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(LineAndTimeIndex)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(TimeIndexPart)->Unit(benchmark::kMillisecond);
BENCHMARK(SeekAndTimeOf)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    setenv("TZ", "JST-9", 1);
    tzset();
    benchmark::Initialize(&argc, argv);
    std::printf("text: %zu MB, %zu bytes\n", Text().size() >> 20, Text().size());
    benchmark::RunSpecifiedBenchmarks();
    const double gb = static_cast<double>(std::size_t{1} << 30) / static_cast<double>(Text().size());
    for (const auto& [what, line, both] : {std::tuple{"wall", Median(LineRuns), Median(BothRuns)},
                                           std::tuple{"processor", Median(LineCpu), Median(BothCpu)}})
        std::printf("%s: line index alone %.3f s, with the time index %.3f s (medians of %zu), ratio %.3f; "
                    "per GB %.3f s and %.3f s\n",
                    what, line, both, LineRuns.size(), both / line, line * gb, both * gb);
    std::printf("index memory: lines %zu bytes, times %zu bytes\n", LineMemory, TimeMemory);
    benchmark::Shutdown();
    return 0;
}
