// The timestamp reader and the time index on arbitrary bytes. Each line is
// read from a heap block of its own size, so a read past its end is caught;
// the index must agree with following the lines one by one.
#include "view/LogTime.h"
#include "view/SjisLineIndex.h"
#include "view/SjisTimeIndex.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail() { __builtin_trap(); }

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            Fail();                                                                                          \
    } while (0)

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    LogTimeZoneChanged();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte picks the slice size and the reference time.
    const std::size_t slice = 1 + data[0] % 64 * 8;
    const int64_t reference = 1796682912000 + int64_t{data[1]} * 86400000 * 3;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    SjisLineIndex lines;
    SjisTimeIndex times(reference);
    while (lines.Scanned() < text.size()) {
        lines.Scan(text, slice);
        times.Scan(text, lines, lines.Scanned() == text.size());
    }
    if (text.empty())
        times.Scan(text, lines, true);

    LogTimeSequence sequence(times.Reader());
    std::vector<LineTime> followed;
    for (int64_t i = 0; i < lines.Count(); ++i) {
        const std::string_view line = std::string_view(text).substr(lines.RawStart(i), lines.RawLength(i));
        const std::unique_ptr<char[]> own(new char[line.size() + 1]);
        std::copy(line.begin(), line.end(), own.get());
        const std::string_view alone(own.get(), line.size());
        int64_t ms = 0;
        if (times.Reader().Read(alone, ms))
            FUZZ_CHECK(ms > -86400000 && ms < 10000000000000);
        followed.push_back(sequence.Next(alone));
    }
    if (!times.HasTimes()) {
        // A log without times among its first lines shows none.
        for (int64_t i = 0; i < lines.Count(); ++i)
            FUZZ_CHECK(!times.TimeOf(text, lines, i).Known());
        FUZZ_CHECK(times.FirstAtOrAfter(text, lines, 0) == lines.Count());
        return 0;
    }
    for (int64_t i = 0; i < lines.Count(); ++i)
        FUZZ_CHECK(times.TimeOf(text, lines, i) == followed[static_cast<std::size_t>(i)]);
    // A seek lands on a line at or after the time; in a log in order, on
    // the first such line.
    bool inOrder = true;
    for (const LineTime& t : followed)
        inOrder = inOrder && !(t.Flags & LineTime::OutOfOrder);
    for (std::size_t i = 0; i < followed.size(); ++i) {
        const LineTime t = followed[i];
        if (!t.Known())
            continue;
        const int64_t at = times.FirstAtOrAfter(text, lines, t.Ms);
        FUZZ_CHECK(at >= 0 && at <= lines.Count());
        if (at < lines.Count())
            FUZZ_CHECK(followed[static_cast<std::size_t>(at)].Known() &&
                       followed[static_cast<std::size_t>(at)].Ms >= t.Ms);
        if (inOrder)
            FUZZ_CHECK(at <= static_cast<int64_t>(i) &&
                       (at == 0 || followed[static_cast<std::size_t>(at) - 1].Ms < t.Ms ||
                        !followed[static_cast<std::size_t>(at) - 1].Known()));
    }
    return 0;
}
