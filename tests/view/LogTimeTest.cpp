#include "tests/view/TimeTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// 2026-12-08 07:35:12 at UTC+9 and a given millisecond.
int64_t At(int ms) { return 1796682912000 + ms; }

class LogTimeTest : public LocalJst { };

struct ReadCase {
    const char* Line; // UTF-8, read as Shift_JIS
    int64_t Expected; // -1: no time
};

TEST_F(LogTimeTest, ReadsEachFormAndNothingElse)
{
    constexpr int64_t None = -1;
    const ReadCase cases[] = {
        {"2026-12-08T07:35:12.123+09:00 started", At(123)},
        {"2026-12-08 07:35:12,123 INFO started", At(123)},
        {"2026-12-07T22:35:12Z", At(0)},
        {"2026-12-07T17:35:12.5-05:00", At(500)},
        {"2026-12-07 22:35:12.123456 UTC x", At(123)},
        {"2026-12-08 07:35:12 JST", At(0)},
        {"2026-12-08T07:35 short", At(0) - 12000},
        {"2026/12/08 07:35:12 x", At(0)},
        {"2026/12/8 7:35:12", At(0)},
        {"2026/12/08(火) 07:35:12.1", At(100)},
        {"2026年12月8日 7時35分12秒 開始", At(0)},
        {"2026年12月08日 07:35:12 開始", At(0)},
        {"2026年12月8日（火）　7時35分12秒", At(0)},
        {"2026年12月8日7時35分", At(0) - 12000},
        {"令和8年12月8日 7時35分12秒", At(0)},
        {"平成30年12月8日 07:35:12", ZonedTimeMs(2018, 12, 8, 7, 35, 12, 0, 9 * 3600)},
        {"令和元年5月1日 0:00:00", 1556636400000},
        {"127.0.0.1 - - [08/Dec/2026:07:35:12 +0900] \"GET / HTTP/1.1\" 200 512", At(0)},
        {"10.0.0.1 - - [07/Dec/2026:22:35:12 +0000]", At(0)},
        {"[INFO] 2026-12-08 07:35:12 x", At(0)},
        {"web01 ERROR [main] 2026-12-08 07:35:12 x", At(0)},
        {"【警告】2026/12/08 07:35:12 容量不足", At(0)},
        {"time=2026-12-08T07:35:12+09:00", At(0)},
        {"<134>Dec  8 07:35:12 host app: x", At(0)},
        {"Dec  8 07:35:12.250 host", At(250)},
        // Not timestamps: version numbers, addresses, sizes, durations, a
        // date or a time alone, impossible fields, a number glued to a word.
        {"version v2026.12.08 起動", None},
        {"wisplog 2026.12.08-1", None},
        {"v2026-12-08 07:35:12", None},
        {"build-2026/12/08 07:35:12", None},
        {"192.168.10.20:8080 から接続", None},
        {"size 1048576 bytes", None},
        {"took 07:35:12", None},
        {"経過 12:35", None},
        {"release 2026-12-08 配布", None},
        {"2026-12-08 07:35:12:99 more", None},
        {"2026-12-08 07:35:123", None},
        {"2026-13-08 07:35:12", None},
        {"2026/02/29 07:35:12", None},
        {"2026-12-08 24:00:00", None},
        {"平成の記録 12件", None},
        {"May the job 8 be done", None},
        {"08/Dec/2026 07:35:12", None},
        {"1796682912 件処理", None},
        {"x                                                                2026-12-08 07:35:12", None},
        {"", None},
    };
    LogTimeReader reader(At(0));
    for (const ReadCase& c : cases) {
        int64_t ms = -1;
        const bool read = reader.Read(Sjis(c.Line), ms);
        EXPECT_EQ(read ? ms : None, c.Expected) << c.Line;
    }
}

TEST_F(LogTimeTest, SyslogYearComesFromTheReference)
{
    struct Case {
        int64_t Reference;
        const char* Line;
        int64_t Expected;
    };
    const int64_t jan2 = ZonedTimeMs(2027, 1, 2, 12, 0, 0, 0, 9 * 3600);
    const Case cases[] = {
        {At(0), "Dec  8 07:35:12 a", At(0)},
        {jan2, "Dec 31 23:59:59 a", ZonedTimeMs(2026, 12, 31, 23, 59, 59, 0, 9 * 3600)},
        {jan2, "Jan  1 00:00:01 a", ZonedTimeMs(2027, 1, 1, 0, 0, 1, 0, 9 * 3600)},
        // Within a week after the reference: a clock a little ahead, same year.
        {jan2, "Jan  5 00:00:00 a", ZonedTimeMs(2027, 1, 5, 0, 0, 0, 0, 9 * 3600)},
        {ZonedTimeMs(2029, 3, 1, 0, 0, 0, 0, 9 * 3600), "Feb 29 10:00:00 a",
         ZonedTimeMs(2028, 2, 29, 10, 0, 0, 0, 9 * 3600)},
        {ZonedTimeMs(2027, 3, 1, 0, 0, 0, 0, 9 * 3600), "Feb 29 10:00:00 a", -1},
    };
    for (const Case& c : cases) {
        LogTimeReader reader(c.Reference);
        int64_t ms = -1;
        const bool read = reader.Read(c.Line, ms);
        EXPECT_EQ(read ? ms : -1, c.Expected) << c.Line;
    }
}

TEST_F(LogTimeTest, FormatIsDecidedFromTheFirstDatedLinesAndEpochOnlyWhenAllUseIt)
{
    struct Case {
        std::vector<std::string> Lines;
        LogTimeFormat Format;
        const char* Probe;
        int64_t Expected;
    };
    const Case cases[] = {
        {{"1796682912 a", "x", "1796682913 b"}, LogTimeFormat::EpochSeconds, "1796682912.123 c", At(123)},
        {{"1796682912123 a", "1796682912124 b"}, LogTimeFormat::EpochMillis, "1796682912125 c", At(125)},
        {{"1796682912 a", "2026-12-08 07:35:12 b", "2026-12-08 07:35:13 b"},
         LogTimeFormat::Iso,
         "1796682912 c",
         -1},
        {{"Dec  8 07:35:12 a", "x", "Dec  8 07:35:13 a", "2026/12/08 07:35:14"},
         LogTimeFormat::Syslog,
         "2026/12/08 07:35:12 other forms still read",
         At(0)},
        {{"no", "times", "here"}, LogTimeFormat::None, "1796682912 c", -1},
    };
    for (const Case& c : cases) {
        LogTimeReader reader(At(0));
        for (const std::string& line : c.Lines)
            reader.Learn(line);
        reader.Decide();
        EXPECT_EQ(reader.Format(), c.Format) << c.Probe;
        int64_t ms = -1;
        const bool read = reader.Read(c.Probe, ms);
        EXPECT_EQ(read ? ms : -1, c.Expected) << c.Probe;
    }
    // Decided on its own after enough dated lines; later lines do not vote.
    LogTimeReader reader(At(0));
    for (int i = 0; i < LogTimeReader::DecideAfter; ++i)
        reader.Learn("2026/12/08 07:35:12 x");
    EXPECT_TRUE(reader.Decided());
    reader.Learn("2026-12-08 07:35:12 x");
    EXPECT_EQ(reader.Format(), LogTimeFormat::Slash);
}

TEST_F(LogTimeTest, SequenceCarriesTimesOnAndMarksLinesOutOfOrder)
{
    LogTimeReader reader(At(0));
    LogTimeSequence sequence(reader);
    const std::pair<const char*, LineTime> steps[] = {
        {"banner", {}},
        {"2026-12-08 07:35:12 a", {At(0), LineTime::Own}},
        {"  at x", {At(0), LineTime::Continuation}},
        {"2026-12-08 07:35:11 b", {At(-1000), LineTime::Own | LineTime::OutOfOrder}},
        {"2026-12-08 07:35:11 c", {At(-1000), LineTime::Own}},
        {"", {At(-1000), LineTime::Continuation}},
        {"2026-12-08 07:35:13 d", {At(1000), LineTime::Own}},
    };
    for (const auto& [line, expected] : steps)
        EXPECT_EQ(sequence.Next(line), expected) << line;
}

TEST(LocalTime, MatchesMktimeHourByHourAcrossSummerTime)
{
    const ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // Every 37 minutes through a year, forwards and then jumping about, so
    // the per-hour cache is both hit and missed.
    int checked = 0;
    for (int64_t m = 0; m < int64_t{366} * 24 * 60; m += 37) {
        const int64_t k = (m * 7919) % (int64_t{366} * 24 * 60);
        for (const int64_t minute : {m, k}) {
            const std::time_t base = 1767225600 + static_cast<std::time_t>(minute) * 60; // 2026-01-01 UTC
            std::tm t{};
            localtime_r(&base, &t);
            const int64_t got =
                LocalTimeMs(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 250);
            std::tm again = t;
            again.tm_isdst = -1;
            ASSERT_EQ(got, static_cast<int64_t>(std::mktime(&again)) * 1000 + 250)
                << t.tm_year + 1900 << "-" << t.tm_mon + 1 << "-" << t.tm_mday << " " << t.tm_hour << ":"
                << t.tm_min;
            ++checked;
        }
    }
    EXPECT_GT(checked, 20000);
}

// The labelled set: every line's own time as the generator wrote it, and
// none where it wrote none.
TEST_F(LogTimeTest, LabelledSetIsReadRight)
{
    std::ifstream in(TIME_SAMPLES, std::ios::binary);
    ASSERT_TRUE(in) << TIME_SAMPLES;
    struct Log {
        std::string Name;
        int64_t Reference = 0;
        std::vector<std::pair<int64_t, std::string>> Lines;
    };
    std::vector<Log> logs;
    std::string row;
    while (std::getline(in, row)) {
        const std::size_t tab = row.find('\t');
        ASSERT_NE(tab, std::string::npos) << row;
        if (row.rfind("#log\t", 0) == 0) {
            const std::size_t tab2 = row.find('\t', 5);
            logs.push_back({row.substr(5, tab2 - 5), std::stoll(row.substr(tab2 + 1)), {}});
            continue;
        }
        ASSERT_FALSE(logs.empty());
        const std::string label = row.substr(0, tab);
        logs.back().Lines.emplace_back(label == "-" ? -1 : std::stoll(label), row.substr(tab + 1));
    }
    int lines = 0;
    int dated = 0;
    int wrong = 0;
    for (const Log& log : logs) {
        LogTimeReader reader(log.Reference);
        for (const auto& line : log.Lines)
            reader.Learn(line.second);
        reader.Decide();
        LogTimeSequence sequence(reader);
        LineTime last;
        for (const auto& [expected, text] : log.Lines) {
            ++lines;
            dated += expected >= 0 ? 1 : 0;
            int64_t ms = -1;
            const int64_t got = reader.Read(text, ms) ? ms : -1;
            const LineTime time = sequence.Next(text);
            // What the sequence gives follows from the labels alone.
            LineTime want = last;
            if (expected >= 0)
                want = {expected,
                        static_cast<uint8_t>(
                            LineTime::Own | (last.Known() && expected < last.Ms ? LineTime::OutOfOrder : 0))};
            else if (last.Known())
                want.Flags = LineTime::Continuation;
            last = want;
            if (got != expected || !(time == want)) {
                ++wrong;
                ADD_FAILURE() << log.Name << ": " << text << ": read " << got << ", labelled " << expected;
            }
        }
    }
    EXPECT_GE(lines, 2000);
    EXPECT_GE(dated, 1500);
    EXPECT_LE(wrong * 1000, lines); // at most 0.1 % wrong
}

} // namespace
