#include "view/LogTime.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <ctime>

namespace {

constexpr std::size_t SearchBytes = 64; // a timestamp starts within a line's first 64 bytes
constexpr int64_t WeekMs = int64_t{7} * 24 * 3600 * 1000;

std::atomic<uint64_t> ZoneGeneration{1};

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
// The first byte of a Shift_JIS double-byte character.
bool IsLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// A timestamp may start after these: the end of a level, host, bracket or
// key, never inside a word or a number (v2026-12-08, 1.2026/12/08).
bool IsBoundary(unsigned char c)
{
    switch (c) {
    case ' ':
    case '\t':
    case '[':
    case ']':
    case '(':
    case ')':
    case '<':
    case '>':
    case '{':
    case '}':
    case '|':
    case '"':
    case '\'':
    case ',':
    case ';':
    case '=':
    case ':': return true;
    default: return false;
    }
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m)
{
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : Days[m - 1];
}

struct Fields {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Ms = 0;
    bool Zoned = false;
    int Offset = 0; // seconds east of UTC
};

bool Valid(const Fields& f)
{
    return f.Year >= 1970 && f.Year <= 2200 && f.Month >= 1 && f.Month <= 12 && f.Day >= 1 &&
        f.Day <= DaysInMonth(f.Year, f.Month) && f.Hour <= 23 && f.Minute <= 59 && f.Second <= 60;
}

int64_t ToMs(const Fields& f)
{
    return f.Zoned ? ZonedTimeMs(f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Ms, f.Offset)
                   : LocalTimeMs(f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Ms);
}

// Reads minDigits to maxDigits digits at p; more digits than that fail.
bool Number(const char*& p, const char* end, int minDigits, int maxDigits, int& value)
{
    int n = 0;
    int v = 0;
    while (p + n < end && IsDigit(static_cast<unsigned char>(p[n]))) {
        if (n == maxDigits)
            return false;
        v = v * 10 + (p[n] - '0');
        ++n;
    }
    if (n < minDigits)
        return false;
    value = v;
    p += n;
    return true;
}

bool Byte(const char*& p, const char* end, char c)
{
    if (p < end && *p == c) {
        ++p;
        return true;
    }
    return false;
}

// A double-byte character given as its two Shift_JIS bytes.
bool Kanji(const char*& p, const char* end, unsigned char lead, unsigned char trail)
{
    if (end - p >= 2 && static_cast<unsigned char>(p[0]) == lead &&
        static_cast<unsigned char>(p[1]) == trail) {
        p += 2;
        return true;
    }
    return false;
}

// Shift_JIS bytes of the characters the Japanese forms use.
constexpr unsigned char YearK[] = {0x94, 0x4E};   // 年
constexpr unsigned char MonthK[] = {0x8C, 0x8E};  // 月
constexpr unsigned char DayK[] = {0x93, 0xFA};    // 日
constexpr unsigned char HourK[] = {0x8E, 0x9E};   // 時
constexpr unsigned char MinuteK[] = {0x95, 0xAA}; // 分
constexpr unsigned char SecondK[] = {0x95, 0x62}; // 秒
constexpr unsigned char FirstK[] = {0x8C, 0xB3};  // 元 (an era's first year)

bool Kanji(const char*& p, const char* end, const unsigned char (&k)[2]) { return Kanji(p, end, k[0], k[1]); }

// Fractions of a second: '.' or ',' and 1 to 9 digits, kept to milliseconds.
void Fraction(const char*& p, const char* end, Fields& f)
{
    if (p + 1 < end && (*p == '.' || *p == ',') && IsDigit(static_cast<unsigned char>(p[1]))) {
        const char* q = p + 1;
        int ms = 0;
        int n = 0;
        while (q < end && IsDigit(static_cast<unsigned char>(*q)) && n < 9) {
            if (n < 3)
                ms = ms * 10 + (*q - '0');
            ++n;
            ++q;
        }
        if (q < end && IsDigit(static_cast<unsigned char>(*q)))
            return; // too long for a fraction: left for the boundary check to refuse
        for (int k = n; k < 3; ++k)
            ms *= 10;
        f.Ms = ms;
        p = q;
    }
}

// HH:MM[:SS][.fff], the hour of one or two digits.
bool ClockTime(const char*& p, const char* end, Fields& f, bool secondsRequired)
{
    if (!Number(p, end, 1, 2, f.Hour) || !Byte(p, end, ':') || !Number(p, end, 2, 2, f.Minute))
        return false;
    if (Byte(p, end, ':')) {
        if (!Number(p, end, 2, 2, f.Second))
            return false;
        Fraction(p, end, f);
    } else if (secondsRequired) {
        return false;
    }
    return true;
}

// A time zone after the time: Z, ±hh, ±hhmm, ±hh:mm, or UTC, GMT, JST.
// Behind a space only the forms that cannot be a count (±hhmm, ±hh:mm and
// the names) are taken.
void Zone(const char*& p, const char* end, Fields& f)
{
    const char* q = p;
    const bool spaced = Byte(q, end, ' ');
    if (!spaced && Byte(q, end, 'Z')) {
        f.Zoned = true;
        p = q;
        return;
    }
    if (q < end && (*q == '+' || *q == '-')) {
        const int sign = *q == '-' ? -1 : 1;
        ++q;
        if (end - q < 2 || !IsDigit(static_cast<unsigned char>(q[0])) ||
            !IsDigit(static_cast<unsigned char>(q[1])))
            return;
        const int hh = (q[0] - '0') * 10 + (q[1] - '0');
        q += 2;
        int mm = 0;
        const bool colon = Byte(q, end, ':');
        const bool minutes = Number(q, end, 2, 2, mm);
        if (colon && !minutes)
            return;
        if ((spaced && !minutes) || hh > 14 || mm > 59)
            return;
        f.Zoned = true;
        f.Offset = sign * (hh * 3600 + mm * 60);
        p = q;
        return;
    }
    if (end - q >= 3) {
        const std::string_view name(q, 3);
        const int offset = name == "UTC" || name == "GMT" ? 0 : name == "JST" ? 9 * 3600 : -1;
        if (offset >= 0 && (end - q == 3 || !IsAlpha(static_cast<unsigned char>(q[3])))) {
            f.Zoned = true;
            f.Offset = offset;
            p = q + 3;
        }
    }
}

// What follows a timestamp must not carry it on: no digit, no ":12" or
// ".5" more.
bool Ends(const char* p, const char* end)
{
    if (p == end)
        return true;
    const auto c = static_cast<unsigned char>(*p);
    if (IsDigit(c))
        return false;
    if ((c == ':' || c == '.' || c == '/' || c == '-') && p + 1 < end &&
        IsDigit(static_cast<unsigned char>(p[1])))
        return false;
    return true;
}

// A weekday between date and time: (火), （火）, (Tue).
void Weekday(const char*& p, const char* end)
{
    const char* q = p;
    if (Byte(q, end, '(')) {
        const char* close = q;
        while (close < end && close - q < 4 && *close != ')')
            ++close;
        if (close < end && *close == ')' && close > q)
            p = close + 1;
    } else if (Kanji(q, end, 0x81, 0x69) && end - q >= 4) {
        q += 2; // the day's character
        if (Kanji(q, end, 0x81, 0x6A))
            p = q;
    }
}

// One or two spaces, or a full-width space.
bool Gap(const char*& p, const char* end, bool required)
{
    if (Kanji(p, end, 0x81, 0x40))
        return true;
    if (Byte(p, end, ' ')) {
        Byte(p, end, ' ');
        return true;
    }
    return !required;
}

int MonthName(const char* p, const char* end)
{
    if (end - p < 3)
        return 0;
    static constexpr const char* Names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m)
        if (p[0] == Names[m][0] && p[1] == Names[m][1] && p[2] == Names[m][2])
            return m + 1;
    return 0;
}

bool ReadIso(const char* p, const char* end, Fields& f)
{
    if (!Number(p, end, 4, 4, f.Year) || !Byte(p, end, '-') || !Number(p, end, 2, 2, f.Month) ||
        !Byte(p, end, '-') || !Number(p, end, 2, 2, f.Day))
        return false;
    if (!Byte(p, end, 'T') && !Byte(p, end, ' '))
        return false;
    if (!ClockTime(p, end, f, false))
        return false;
    Zone(p, end, f);
    return Ends(p, end) && Valid(f);
}

bool ReadSlash(const char* p, const char* end, Fields& f)
{
    if (!Number(p, end, 4, 4, f.Year) || !Byte(p, end, '/') || !Number(p, end, 1, 2, f.Month) ||
        !Byte(p, end, '/') || !Number(p, end, 1, 2, f.Day))
        return false;
    Weekday(p, end);
    if (!Gap(p, end, true) || !ClockTime(p, end, f, false))
        return false;
    Zone(p, end, f);
    return Ends(p, end) && Valid(f);
}

bool ReadKanji(const char* p, const char* end, Fields& f)
{
    if (p < end && IsDigit(static_cast<unsigned char>(*p))) {
        if (!Number(p, end, 4, 4, f.Year))
            return false;
    } else {
        // An era year: 令和 from 2019, 平成 from 1989, 昭和 from 1926.
        int base = 0;
        if (Kanji(p, end, 0x97, 0xDF) && Kanji(p, end, 0x98, 0x61))
            base = 2018;
        else if (Kanji(p, end, 0x95, 0xBD) && Kanji(p, end, 0x90, 0xAC))
            base = 1988;
        else if (Kanji(p, end, 0x8F, 0xBA) && Kanji(p, end, 0x98, 0x61))
            base = 1925;
        else
            return false;
        int n = 1;
        if (!Kanji(p, end, FirstK) && !Number(p, end, 1, 2, n))
            return false;
        if (n < 1)
            return false;
        f.Year = base + n;
    }
    if (!Kanji(p, end, YearK) || !Number(p, end, 1, 2, f.Month) || !Kanji(p, end, MonthK) ||
        !Number(p, end, 1, 2, f.Day) || !Kanji(p, end, DayK))
        return false;
    Weekday(p, end);
    Gap(p, end, false);
    const char* time = p;
    if (Number(p, end, 1, 2, f.Hour) && Kanji(p, end, HourK)) {
        if (!Number(p, end, 1, 2, f.Minute) || !Kanji(p, end, MinuteK))
            return false;
        const char* q = p;
        if (Number(q, end, 1, 2, f.Second) && Kanji(q, end, SecondK))
            p = q;
    } else {
        p = time;
        if (!ClockTime(p, end, f, false))
            return false;
    }
    Zone(p, end, f);
    return Ends(p, end) && Valid(f);
}

bool ReadWeb(const char* p, const char* end, Fields& f)
{
    if (!Number(p, end, 1, 2, f.Day) || !Byte(p, end, '/'))
        return false;
    f.Month = MonthName(p, end);
    if (f.Month == 0)
        return false;
    p += 3;
    if (!Byte(p, end, '/') || !Number(p, end, 4, 4, f.Year) || !Byte(p, end, ':') ||
        !ClockTime(p, end, f, true))
        return false;
    Zone(p, end, f);
    return Ends(p, end) && Valid(f);
}

bool ReadSyslog(const char* p, const char* end, Fields& f)
{
    f.Month = MonthName(p, end);
    if (f.Month == 0)
        return false;
    p += 3;
    if (!Byte(p, end, ' '))
        return false;
    Byte(p, end, ' ');
    if (!Number(p, end, 1, 2, f.Day) || !Byte(p, end, ' ') || !ClockTime(p, end, f, true))
        return false;
    return Ends(p, end) && f.Month >= 1 && f.Day >= 1 && f.Day <= 31 && f.Hour <= 23 && f.Minute <= 59 &&
        f.Second <= 60;
}

// 10 digits of seconds (with an optional fraction) or 13 of milliseconds,
// from 2001-09-09 on.
bool ReadEpoch(const char* p, const char* end, LogTimeFormat format, int64_t& ms)
{
    const int digits = format == LogTimeFormat::EpochSeconds ? 10 : 13;
    int64_t v = 0;
    int n = 0;
    while (p < end && IsDigit(static_cast<unsigned char>(*p)) && n <= digits) {
        v = v * 10 + (*p - '0');
        ++p;
        ++n;
    }
    if (n != digits || *(p - digits) == '0')
        return false;
    if (format == LogTimeFormat::EpochSeconds) {
        Fields f;
        Fraction(p, end, f);
        v = v * 1000 + f.Ms;
    }
    if (!Ends(p, end))
        return false;
    ms = v;
    return true;
}

// To the next character of a line's first bytes; candidate: a timestamp
// may start there (after a boundary or a double-byte character).
void Step(const char*& p, const char* limit, bool& candidate)
{
    const auto c = static_cast<unsigned char>(*p);
    if (IsLead(c) && limit - p >= 2) {
        p += 2;
        candidate = true;
    } else {
        candidate = IsBoundary(c);
        ++p;
    }
}

} // namespace

int64_t ZonedTimeMs(int year, int month, int day, int hour, int minute, int second, int ms, int offsetSeconds)
{
    const int64_t seconds =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
        minute * 60 + second - offsetSeconds;
    return seconds * 1000 + ms;
}

int64_t LocalTimeMs(int year, int month, int day, int hour, int minute, int second, int ms)
{
    // The local offset is taken from mktime once per hour of local time and
    // kept per thread: zones change their offset on the hour, and a log's
    // lines come hour after hour.
    struct Cache {
        int64_t Hour = INT64_MIN;
        int64_t Offset = 0;
        uint64_t Generation = 0;
    };
    thread_local Cache cache;
    const int64_t naive = ZonedTimeMs(year, month, day, hour, minute, second, ms, 0);
    const int64_t hourKey = ZonedTimeMs(year, month, day, hour, 0, 0, 0, 0) / 3600000;
    const uint64_t generation = ZoneGeneration.load(std::memory_order_relaxed);
    if (cache.Hour != hourKey || cache.Generation != generation) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_isdst = -1;
        const std::time_t utc = std::mktime(&t);
        cache.Offset = utc == static_cast<std::time_t>(-1) ? 0 : hourKey * 3600 - static_cast<int64_t>(utc);
        cache.Hour = hourKey;
        cache.Generation = generation;
    }
    return naive - cache.Offset * 1000;
}

void LogTimeZoneChanged()
{
    tzset();
    ZoneGeneration.fetch_add(1, std::memory_order_relaxed);
}

LogTimeReader::LogTimeReader(int64_t referenceMs) : FReferenceMs(referenceMs)
{
    std::time_t seconds = static_cast<std::time_t>(referenceMs / 1000);
    std::tm t{};
    FReferenceYear = localtime_r(&seconds, &t) != nullptr ? t.tm_year + 1900 : 1970;
}

bool LogTimeReader::ReadAt(const char* p, const char* end, bool lineStart, LogTimeFormat format,
                           int64_t& ms) const
{
    Fields f;
    bool read = false;
    switch (format) {
    case LogTimeFormat::Iso: read = ReadIso(p, end, f); break;
    case LogTimeFormat::Slash: read = ReadSlash(p, end, f); break;
    case LogTimeFormat::Kanji: read = ReadKanji(p, end, f); break;
    case LogTimeFormat::Web: read = ReadWeb(p, end, f); break;
    case LogTimeFormat::Syslog: {
        if (!ReadSyslog(p, end, f))
            return false;
        // The reference's year, or the year before for a date that would
        // come after the reference (a log that crossed a new year).
        for (int year = FReferenceYear; year >= FReferenceYear - 1; --year) {
            f.Year = year;
            if (!Valid(f))
                continue;
            ms = ToMs(f);
            if (ms <= FReferenceMs + WeekMs || year < FReferenceYear)
                return true;
        }
        return false;
    }
    case LogTimeFormat::EpochSeconds:
    case LogTimeFormat::EpochMillis: return lineStart && ReadEpoch(p, end, format, ms);
    case LogTimeFormat::None: return false;
    }
    if (read)
        ms = ToMs(f);
    return read;
}

LogTimeFormat LogTimeReader::ReadAny(const char* p, const char* end, bool lineStart, bool epoch,
                                     int64_t& ms) const
{
    const auto c = static_cast<unsigned char>(*p);
    LogTimeFormat format = LogTimeFormat::None;
    if (IsDigit(c)) {
        int n = 1;
        while (p + n < end && n < 14 && IsDigit(static_cast<unsigned char>(p[n])))
            ++n;
        const auto sep = p + n < end ? static_cast<unsigned char>(p[n]) : 0;
        if (n == 4)
            format = sep == '-' ? LogTimeFormat::Iso
                : sep == '/'    ? LogTimeFormat::Slash
                : sep == 0x94   ? LogTimeFormat::Kanji
                                : LogTimeFormat::None;
        else if (n <= 2 && sep == '/')
            format = LogTimeFormat::Web;
        else if (epoch && lineStart && (n == 10 || n == 13))
            format = n == 10 ? LogTimeFormat::EpochSeconds : LogTimeFormat::EpochMillis;
    } else if (c >= 'A' && c <= 'Z') {
        format = LogTimeFormat::Syslog;
    } else if (c == 0x97 || c == 0x95 || c == 0x8F) {
        format = LogTimeFormat::Kanji;
    }
    if (format == LogTimeFormat::None || !ReadAt(p, end, lineStart, format, ms))
        return LogTimeFormat::None;
    return format;
}

bool LogTimeReader::Read(std::string_view line, int64_t& ms) const
{
    const char* begin = line.data();
    const char* end = begin + line.size();
    const char* limit = begin + std::min(line.size(), SearchBytes);
    const bool epoch = FFormat == LogTimeFormat::EpochSeconds || FFormat == LogTimeFormat::EpochMillis;
    bool candidate = true;
    for (const char* p = begin; p < limit;) {
        const auto c = static_cast<unsigned char>(*p);
        if (candidate && (IsDigit(c) || (c >= 'A' && c <= 'Z') || c >= 0x80)) {
            if (FFormat != LogTimeFormat::None && ReadAt(p, end, p == begin, FFormat, ms))
                return true;
            if (ReadAny(p, end, p == begin, epoch, ms) != LogTimeFormat::None)
                return true;
        }
        Step(p, limit, candidate);
    }
    return false;
}

void LogTimeReader::Learn(std::string_view line)
{
    if (FDecided)
        return;
    const char* begin = line.data();
    const char* end = begin + line.size();
    const char* limit = begin + std::min(line.size(), SearchBytes);
    bool candidate = true;
    for (const char* p = begin; p < limit;) {
        int64_t ms = 0;
        const LogTimeFormat format = candidate ? ReadAny(p, end, p == begin, true, ms) : LogTimeFormat::None;
        if (format != LogTimeFormat::None) {
            ++FVotes[static_cast<int>(format)];
            if (++FDated >= DecideAfter)
                Decide();
            return;
        }
        Step(p, limit, candidate);
    }
}

void LogTimeReader::Decide()
{
    FDecided = true;
    FFormat = LogTimeFormat::None;
    const auto seconds = static_cast<int>(LogTimeFormat::EpochSeconds);
    const auto millis = static_cast<int>(LogTimeFormat::EpochMillis);
    // Epoch numbers only where every dated line has them: elsewhere a number
    // at a line's start is a count or an id.
    if (FDated > 0 && (FVotes[seconds] == FDated || FVotes[millis] == FDated)) {
        FFormat = FVotes[seconds] == FDated ? LogTimeFormat::EpochSeconds : LogTimeFormat::EpochMillis;
        return;
    }
    int best = 0;
    for (int f = 1; f < seconds; ++f)
        if (FVotes[f] > best) {
            best = FVotes[f];
            FFormat = static_cast<LogTimeFormat>(f);
        }
}

LineTime LogTimeSequence::Next(std::string_view line)
{
    int64_t ms = 0;
    if (FReader.Read(line, ms)) {
        const bool early = FLast.Known() && ms < FLast.Ms;
        FLast = {ms, static_cast<uint8_t>(LineTime::Own | (early ? LineTime::OutOfOrder : 0))};
    } else if (FLast.Known()) {
        FLast = {FLast.Ms, LineTime::Continuation};
    }
    return FLast;
}
