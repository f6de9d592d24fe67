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

// The line before the one that starts at raw offset start (> 0), split as
// the line index splits lines: found from the bytes, as the index would
// decode up to a block of starts for each.
std::string_view LineBefore(std::string_view bytes, std::size_t start)
{
    std::size_t end = start - 1; // its line break
    if (bytes[end] == '\n' && end > 0 && bytes[end - 1] == '\r')
        --end;
    std::size_t from = end;
    while (from > 0 && bytes[from - 1] != '\n' && bytes[from - 1] != '\r')
        --from;
    return bytes.substr(from, end - from);
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
        std::string_view line = Line(bytes, lines, first);
        for (int64_t j = first;; --j) {
            int64_t ms = 0;
            if (FReader.Read(line, ms)) {
                start = ms;
                break;
            }
            if (j == 0 || j == first - LookBack + 1)
                break;
            line = LineBefore(bytes, static_cast<std::size_t>(line.data() - bytes.data()));
        }
        FBlocks.push_back({start, Unknown, false});
        if (FBlocks.size() >= 2)
            Settle(FBlocks.size() - 2);
        Settle(FBlocks.size() - 1);
    }
}

void SjisTimeIndex::Settle(std::size_t k)
{
    Block& block = FBlocks[k];
    const int64_t envelope = k > 0 ? FBlocks[k - 1].Envelope : Unknown;
    const bool last = k + 1 == FBlocks.size();
    const int64_t before = k > 0 ? FBlocks[k - 1].Start : Unknown;
    const int64_t after = last ? Unknown : FBlocks[k + 1].Start;
    block.InStep = !last && block.Start != Unknown && (before == Unknown || before <= block.Start) &&
        (after == Unknown || block.Start <= after);
    block.Envelope = block.InStep ? std::max(envelope, block.Start) : envelope;
}

void SjisTimeIndex::Truncate(const SjisLineIndex& lines)
{
    const int64_t whole = lines.Count() - 1;
    const auto keep = static_cast<std::size_t>((whole + BlockLines - 1) / BlockLines);
    if (keep < FBlocks.size()) {
        FBlocks.resize(keep);
        if (!FBlocks.empty())
            Settle(FBlocks.size() - 1);
    }
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
    // The first block whose envelope reaches ms: its first line is in step
    // and at or after ms. The scan starts after the last block in step before
    // it, whose first line is earlier than ms, as are those of the blocks in
    // step before that.
    const auto reach = std::partition_point(FBlocks.begin(), FBlocks.end(),
                                            [&](const Block& block) { return block.Envelope < ms; });
    int64_t i = 0;
    int64_t time = Unknown; // the time of the line before i
    for (auto b = reach; b != FBlocks.begin();) {
        --b;
        if (b->InStep) {
            i = static_cast<int64_t>(b - FBlocks.begin()) * BlockLines + 1;
            time = b->Start;
            break;
        }
    }
    SjisLineIndex::BlockCache cache;
    int64_t candidate = -1; // at or after ms, if the line after it is as well
    for (const int64_t n = lines.Count(); i < n; ++i) {
        int64_t own = 0;
        if (FReader.Read(Line(bytes, lines, i, cache), own))
            time = own;
        const bool reached = time != Unknown && time >= ms;
        if (candidate >= 0 && reached)
            return candidate;
        candidate = reached ? i : -1;
    }
    return candidate >= 0 ? candidate : lines.Count();
}
