#include "view/SjisTimeIndex.h"

#include <algorithm>

namespace {

std::string_view Line(std::string_view bytes, const SjisLineIndex& lines, int64_t i)
{
    return bytes.substr(lines.RawStart(i), lines.RawLength(i));
}

std::string_view Line(std::string_view bytes, const SjisLineIndex& lines, int64_t i,
                      SjisLineIndex::BlockCache& cache)
{
    return bytes.substr(lines.RawStart(i), lines.RawLength(i, cache));
}

} // namespace

SjisTimeIndex::SjisTimeIndex(int64_t referenceMs) : FReader(referenceMs) { }

void SjisTimeIndex::Scan(std::string_view bytes, const SjisLineIndex& lines, bool ended)
{
    // A line is whole once a break follows it (or the text ends).
    const int64_t whole = lines.Count() - 1;
    if (!FReader.Decided()) {
        const int64_t learnable = std::min(ended ? lines.Count() : whole, LearnLines);
        for (; FLearned < learnable && !FReader.Decided(); ++FLearned)
            FReader.Learn(Line(bytes, lines, FLearned));
        if (!FReader.Decided() && (FLearned >= LearnLines || ended))
            FReader.Decide();
        if (!FReader.Decided())
            return;
    }
    if (!HasTimes())
        return;
    for (auto b = static_cast<int64_t>(FBlocks.size()); b * BlockLines < whole; ++b) {
        // The first line's own time, or the time carried on to it from a few
        // lines before; further back is left to the lookups.
        int64_t start = Unknown;
        const int64_t first = b * BlockLines;
        for (int64_t j = first; j >= 0 && j > first - LookBack; --j) {
            int64_t ms = 0;
            if (FReader.Read(Line(bytes, lines, j), ms)) {
                start = ms;
                break;
            }
        }
        const int64_t before = FBlocks.empty() ? Unknown : FBlocks.back().Envelope;
        FBlocks.push_back({start, std::max(before, start)});
    }
}

void SjisTimeIndex::Truncate(const SjisLineIndex& lines)
{
    const int64_t whole = lines.Count() - 1;
    const auto keep = static_cast<std::size_t>((whole + BlockLines - 1) / BlockLines);
    if (keep < FBlocks.size())
        FBlocks.resize(keep);
    FLearned = std::min(FLearned, whole);
}

int64_t SjisTimeIndex::CarriedTime(std::string_view bytes, const SjisLineIndex& lines, int64_t j,
                                   SjisLineIndex::BlockCache& cache) const
{
    for (int64_t walked = 0; j >= 0 && walked < MaxWalk; --j, ++walked) {
        // A block's first line has its time in the index already.
        const int64_t b = j / BlockLines;
        if (j % BlockLines == 0 && b < static_cast<int64_t>(FBlocks.size()) &&
            FBlocks[static_cast<std::size_t>(b)].Start != Unknown)
            return FBlocks[static_cast<std::size_t>(b)].Start;
        int64_t ms = 0;
        if (FReader.Read(Line(bytes, lines, j, cache), ms))
            return ms;
    }
    return Unknown;
}

LineTime SjisTimeIndex::TimeOf(std::string_view bytes, const SjisLineIndex& lines, int64_t i) const
{
    if (i < 0 || i >= lines.Count() || !HasTimes())
        return {};
    SjisLineIndex::BlockCache cache;
    int64_t ms = 0;
    const bool own = FReader.Read(Line(bytes, lines, i, cache), ms);
    const int64_t before = i > 0 ? CarriedTime(bytes, lines, i - 1, cache) : Unknown;
    if (own)
        return {ms,
                static_cast<uint8_t>(LineTime::Own |
                                     (before != Unknown && ms < before ? LineTime::OutOfOrder : 0))};
    if (before != Unknown)
        return {before, LineTime::Continuation};
    return {};
}

int64_t SjisTimeIndex::FirstAtOrAfter(std::string_view bytes, const SjisLineIndex& lines, int64_t ms) const
{
    if (!HasTimes())
        return lines.Count();
    // The first block whose envelope reaches ms: its first line is at or
    // after ms. Every block before it starts earlier, so the answer lies
    // after the last of them whose time is known.
    const auto reach = std::partition_point(FBlocks.begin(), FBlocks.end(),
                                            [&](const Block& block) { return block.Envelope < ms; });
    int64_t i = 0;
    int64_t time = Unknown;
    for (auto b = reach; b != FBlocks.begin();) {
        --b;
        if (b->Start != Unknown) {
            i = static_cast<int64_t>(b - FBlocks.begin()) * BlockLines + 1;
            time = b->Start;
            break;
        }
    }
    SjisLineIndex::BlockCache cache;
    for (const int64_t n = lines.Count(); i < n; ++i) {
        int64_t own = 0;
        if (FReader.Read(Line(bytes, lines, i, cache), own))
            time = own;
        if (time != Unknown && time >= ms)
            return i;
    }
    return lines.Count();
}
