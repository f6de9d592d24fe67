// Timestamps read from log lines in Shift_JIS. A line's time is the first
// timestamp that starts within its first 64 bytes, at the line's start or
// after a level, host or bracket. The forms read, each with or without
// fractions of a second and a time zone: ISO 8601 with T or a space,
// 2026/12/08 07:35:12, 2026年12月8日 7時35分12秒 (also with an era year,
// 令和 平成 昭和), syslog (Dec  8 07:35:12, the year from a reference time),
// the web server's [08/Dec/2026:07:35:12 +0900], and epoch seconds or
// milliseconds at a line's start, only in a log where they are the format.
// A date without a time, or a time without a date (but syslog's), is not a
// timestamp. Times without a zone are local time. Reading allocates nothing
// and never waits; nothing here touches Qt.
#pragma once

#include <cstdint>
#include <string_view>

enum class LogTimeFormat : uint8_t {
    None,
    Iso,          // 2026-12-08T07:35:12.123+09:00, 2026-12-08 07:35:12,123
    Slash,        // 2026/12/08 07:35:12
    Kanji,        // 2026年12月8日 7時35分12秒, 令和8年12月8日 07:35:12
    Syslog,       // Dec  8 07:35:12
    Web,          // 08/Dec/2026:07:35:12 +0900
    EpochSeconds, // 1796715312 at a line's start
    EpochMillis,  // 1796715312123 at a line's start
};

// A line's time, in milliseconds since the epoch, and how it came.
struct LineTime {
    enum : uint8_t {
        Own = 1,          // read from the line itself
        Continuation = 2, // the line has none: the time of the line before
        OutOfOrder = 4,   // earlier than the line before
    };
    int64_t Ms = 0;
    uint8_t Flags = 0; // 0: no time (no dated line yet)
    bool Known() const { return (Flags & (Own | Continuation)) != 0; }
    bool operator==(const LineTime&) const = default;
};

class LogTimeReader {
public:
    // Dated lines looked at before the log's format is decided.
    static constexpr int DecideAfter = 16;

    // referenceMs: the time syslog's lines are dated against (the copy's
    // modification time); a line's year is the reference's, or the year
    // before when that would put it more than a week after the reference.
    explicit LogTimeReader(int64_t referenceMs);

    // Reads the line's timestamp into ms: the log's format first, the others
    // after. Epoch numbers are read only when they are the log's format.
    bool Read(std::string_view line, int64_t& ms) const;

    // Counts the line towards the log's format while it is undecided, and
    // decides after DecideAfter dated lines.
    void Learn(std::string_view line);
    // Decides the format from the lines learned so far (None without any).
    void Decide();
    bool Decided() const { return FDecided; }
    LogTimeFormat Format() const { return FFormat; }

private:
    bool ReadAt(const char* p, const char* end, bool lineStart, LogTimeFormat format, int64_t& ms) const;
    LogTimeFormat ReadAny(const char* p, const char* end, bool lineStart, bool epoch, int64_t& ms) const;

    int64_t FReferenceMs;
    int FReferenceYear;
    LogTimeFormat FFormat = LogTimeFormat::None;
    bool FDecided = false;
    int FVotes[8] = {};
    int FDated = 0;
};

// Follows a log line by line: each line's own time, or the time of the line
// before it, marked out of order when earlier than the line before.
class LogTimeSequence {
public:
    explicit LogTimeSequence(const LogTimeReader& reader, LineTime before = {})
        : FReader(reader),
          FLast(before)
    {
    }
    LineTime Next(std::string_view line);
    LineTime Last() const { return FLast; }

private:
    const LogTimeReader& FReader;
    LineTime FLast;
};

// Milliseconds since the epoch of a local date and time (the C library's
// time zone), or of a date and time at offsetSeconds east of UTC. The local
// offset is cached by the hour, so a log costs one mktime an hour of its
// time. Does not throw.
int64_t LocalTimeMs(int year, int month, int day, int hour, int minute, int second, int ms);
int64_t ZonedTimeMs(int year, int month, int day, int hour, int minute, int second, int ms,
                    int offsetSeconds);
// Forgets the cached local offsets (after the time zone was changed).
void LogTimeZoneChanged();
