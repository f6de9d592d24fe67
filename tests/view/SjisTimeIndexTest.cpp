#include "tests/view/TimeTestSupport.h"
#include "view/SjisLineIndex.h"
#include "view/SjisTimeIndex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int64_t Start = 1796682912000; // 2026-12-08 07:35:12 at UTC+9

// A log of about n lines: mostly seconds apart, with stack traces (one of
// them longer than a block and far longer than the look-back), lines out of order, a jump far ahead and
// lines ending in CR LF, LF or lone CR.
std::string MakeLog(int n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string out = "起動します\r\n";
    int64_t t = Start;
    char stamp[64];
    for (int i = 0; i < n; ++i) {
        const uint32_t roll = rng() % 1000;
        const char* eol = roll % 7 == 0 ? "\r\n" : roll % 11 == 0 ? "\r" : "\n";
        if (i == n / 3) {
            for (int k = 0; k < 1500; ++k)
                out += "    at jp.example.Job.run(Job.java:12)\n";
        }
        if (roll < 150) {
            out += std::string("  詳細 ") + std::to_string(i) + eol;
            continue;
        }
        t += roll < 170 ? -2500 : roll == 999 ? 86400000 : static_cast<int64_t>(rng() % 3000);
        const std::time_t s = static_cast<std::time_t>(t / 1000);
        std::tm tm{};
        localtime_r(&s, &tm);
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<int>(t % 1000));
        out += (roll % 3 == 0 ? "[INFO] " : "") + std::string(stamp) + "処理 " + std::to_string(i) + eol;
    }
    return out;
}

// Every line's time by following the log from its start.
std::vector<LineTime> Follow(const std::string& text, const SjisLineIndex& lines, const LogTimeReader& reader)
{
    LogTimeSequence sequence(reader);
    std::vector<LineTime> times;
    for (int64_t i = 0; i < lines.Count(); ++i)
        times.push_back(sequence.Next(std::string_view(text).substr(lines.RawStart(i), lines.RawLength(i))));
    return times;
}

// Both indexes built in the same slices, as a text comes in.
void Build(const std::string& text, SjisLineIndex& lines, SjisTimeIndex& times, std::size_t slice)
{
    while (lines.Scanned() < text.size()) {
        lines.Scan(text, slice);
        times.Scan(text, lines, lines.Scanned() == text.size());
    }
}

class SjisTimeIndexTest : public LocalJst { };

TEST_F(SjisTimeIndexTest, AgreesWithFollowingTheLogLineByLine)
{
    for (const std::size_t slice : {std::size_t{777}, std::size_t{1} << 20}) {
        const std::string text = MakeLog(12000, 5);
        SjisLineIndex lines;
        SjisTimeIndex times(Start);
        Build(text, lines, times, slice);
        ASSERT_TRUE(times.HasTimes());
        EXPECT_EQ(times.Reader().Format(), LogTimeFormat::Iso);
        EXPECT_EQ(static_cast<int64_t>(times.Blocks()),
                  (lines.Count() - 1 + SjisTimeIndex::BlockLines - 1) / SjisTimeIndex::BlockLines);
        const std::vector<LineTime> want = Follow(text, lines, times.Reader());
        for (int64_t i = 0; i < lines.Count(); i += 1 + i % 3)
            ASSERT_EQ(times.TimeOf(text, lines, i), want[static_cast<std::size_t>(i)]) << "line " << i;
        EXPECT_EQ(times.TimeOf(text, lines, lines.Count()), LineTime{});

        // The first line at or after a time whose next line is as well.
        std::mt19937 rng(9);
        const int64_t last = want.back().Ms;
        std::vector<int64_t> probes = {Start - 1, Start, last, last + 1, want[5000].Ms};
        std::uniform_int_distribution<int64_t> any(Start, last + 1);
        for (int k = 0; k < 60; ++k)
            probes.push_back(any(rng));
        for (const int64_t t : probes) {
            int64_t expected = lines.Count();
            const auto reached = [&](std::size_t i) {
                return i == want.size() || (want[i].Known() && want[i].Ms >= t);
            };
            for (std::size_t i = 0; i < want.size(); ++i)
                if (reached(i) && reached(i + 1)) {
                    expected = static_cast<int64_t>(i);
                    break;
                }
            const int64_t got = times.FirstAtOrAfter(text, lines, t);
            ASSERT_EQ(got, expected) << "time " << t;
        }
    }
}

TEST_F(SjisTimeIndexTest, TruncatedAndScannedAgainMatchesAFreshIndex)
{
    const std::string text = MakeLog(6000, 11);
    SjisLineIndex lines;
    SjisTimeIndex times(Start);
    Build(text, lines, times, 4096);
    for (const std::size_t cut : {text.size() / 2, std::size_t{100}, std::size_t{0}}) {
        lines.Truncate(cut);
        times.Truncate(lines);
        Build(text, lines, times, 65536);
        SjisLineIndex freshLines;
        SjisTimeIndex fresh(Start);
        Build(text, freshLines, fresh, 65536);
        ASSERT_EQ(times.Blocks(), fresh.Blocks());
        for (int64_t i = 0; i < lines.Count(); i += 97)
            ASSERT_EQ(times.TimeOf(text, lines, i), fresh.TimeOf(text, freshLines, i)) << cut << " " << i;
    }
}

// A line a day early at a block's start, one a day ahead at another, and
// one a day early after it: a seek finds the lines around them as if they
// were not there.
TEST_F(SjisTimeIndexTest, LinesOutOfOrderAtBlockStartsDoNotMisleadASeek)
{
    constexpr int64_t Day = 86400000;
    const auto shift = [](int i) { return i == 1024 || i == 3073 ? -Day : i == 3072 ? Day : 0; };
    std::string text;
    char line[64];
    for (int i = 0; i < 5000; ++i) {
        const std::time_t s = static_cast<std::time_t>((Start + int64_t{i} * 1000 + shift(i)) / 1000);
        std::tm tm{};
        localtime_r(&s, &tm);
        std::snprintf(line, sizeof line, "%04d/%02d/%02d %02d:%02d:%02d x\n", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        text += line;
    }
    SjisLineIndex lines;
    SjisTimeIndex times(Start);
    Build(text, lines, times, 100000);
    EXPECT_EQ(times.TimeOf(text, lines, 1024),
              (LineTime{Start + 1024000 - Day, LineTime::Own | LineTime::OutOfOrder}));
    EXPECT_EQ(times.TimeOf(text, lines, 1025), (LineTime{Start + 1025000, LineTime::Own}));
    EXPECT_EQ(times.TimeOf(text, lines, 3073),
              (LineTime{Start + 3073000 - Day, LineTime::Own | LineTime::OutOfOrder}));
    for (int i = 0; i < 5000; i += 1 + i % 37) {
        if (shift(i) == 0) {
            ASSERT_EQ(times.FirstAtOrAfter(text, lines, Start + int64_t{i} * 1000 - 500), i) << i;
        }
    }
    for (const int i : {1025, 3074})
        EXPECT_EQ(times.FirstAtOrAfter(text, lines, Start + int64_t{i} * 1000 - 1500), i);
    EXPECT_EQ(times.FirstAtOrAfter(text, lines, Start - Day), 0);
    EXPECT_EQ(times.FirstAtOrAfter(text, lines, Start + 3072000 + Day), lines.Count());
}

// Lines without times (version numbers, sizes, durations, addresses) before
// the first dated line: a banner is passed over, a log that has none among
// its first block of lines is a log without times.
TEST_F(SjisTimeIndexTest, ALogWithoutTimesAmongItsFirstLinesHasNone)
{
    for (const auto& [undated, hasTimes] : {std::pair{300, true}, std::pair{2000, false}}) {
        std::string text;
        for (int i = 0; i < undated; ++i)
            text += "version v2026.12.08 size 1048576 took 07:35:12 from 192.168.0." +
                std::to_string(i % 250) + "\n";
        text += "2026-12-08 07:35:12 started\n";
        for (int i = 0; i < 3000; ++i)
            text += "  detail " + std::to_string(i) + "\n";
        SjisLineIndex lines;
        SjisTimeIndex times(Start);
        Build(text, lines, times, 1 << 16);
        EXPECT_EQ(times.HasTimes(), hasTimes) << undated;
        const LineTime carried = hasTimes ? LineTime{Start, LineTime::Continuation} : LineTime{};
        EXPECT_EQ(times.TimeOf(text, lines, undated + 2500), carried) << undated;
        EXPECT_EQ(times.FirstAtOrAfter(text, lines, Start), hasTimes ? undated : lines.Count()) << undated;
        EXPECT_LT(times.MemoryUse(), std::size_t{4096});
    }
}

TEST_F(SjisTimeIndexTest, AShortLogDecidesItsFormatWhenItEnds)
{
    const std::string text = "1796682912 a\n1796682913 b\n1796682914";
    SjisLineIndex lines;
    SjisTimeIndex times(Start);
    lines.Scan(text);
    times.Scan(text, lines, false);
    EXPECT_FALSE(times.Reader().Decided());
    times.Scan(text, lines, true);
    EXPECT_EQ(times.Reader().Format(), LogTimeFormat::EpochSeconds);
    EXPECT_EQ(times.TimeOf(text, lines, 2), (LineTime{Start + 2000, LineTime::Own}));
    EXPECT_EQ(times.FirstAtOrAfter(text, lines, Start + 1500), 2);
}

} // namespace
