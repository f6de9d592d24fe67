#include "view/SjisLineIndex.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

void PutVarint(std::vector<uint8_t>& out, uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

uint64_t GetVarint(const uint8_t*& p)
{
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
        const uint8_t b = *p++;
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80))
            return v;
    }
}

uint64_t LowBits(int k)
{
    return k >= 64 ? ~uint64_t{0} : (uint64_t{1} << k) - 1;
}

} // namespace

// Sixteen bytes at a time where the processor has SSE2: logs have lines of
// tens to hundreds of bytes, and this scan is most of the time the index
// takes.
const char* NextLineBreak(const char* p, const char* end)
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        if (mask != 0)
            return p + std::countr_zero(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p)
        if (*p == '\r' || *p == '\n')
            return p;
    return end;
}

SjisLineIndex::SjisLineIndex(bool firstByteStray) : FFirstByteStray(firstByteStray)
{
    FOpenStarts.push_back(0);
}

void SjisLineIndex::AddBreak(uint64_t lineStart, bool lone)
{
    if (lone) {
        FOpenLoneBits |= uint64_t{1} << (FOpenStarts.size() - 1);
        ++FLoneBreaks;
    }
    if (static_cast<int64_t>(FOpenStarts.size()) == BlockLines)
        Seal();
    FOpenStarts.push_back(lineStart);
    ++FLines;
}

void SjisLineIndex::Seal()
{
    FBlocks.push_back({FOpenStarts[0], FOpenLonesBefore, FOpenLoneBits, FDeltas.size()});
    for (std::size_t k = 1; k < FOpenStarts.size(); ++k)
        PutVarint(FDeltas, FOpenStarts[k] - FOpenStarts[k - 1]);
    FOpenLonesBefore += static_cast<uint64_t>(std::popcount(FOpenLoneBits));
    FOpenLoneBits = 0;
    FOpenStarts.clear();
}

std::size_t SjisLineIndex::Scan(std::string_view bytes, std::size_t maxBytes)
{
    if (bytes.size() <= FScanned)
        return FScanned;
    std::size_t pos = FScanned;
    if (pos == 0 && FFirstByteStray)
        pos = 1;
    // A CR that ended the bytes scanned before and the LF now behind it are
    // one CR LF: the line after them starts one byte later.
    if (pos > 0 && pos == FOpenStarts.back() && bytes[pos - 1] == '\r' && bytes[pos] == '\n'
        && !(pos == 1 && FFirstByteStray)) {
        ++FOpenStarts.back();
        --FLoneBreaks;
        if (FOpenStarts.size() >= 2) {
            FOpenLoneBits &= ~(uint64_t{1} << (FOpenStarts.size() - 2));
        } else {
            FBlocks.back().LoneBits &= ~(uint64_t{1} << (BlockLines - 1));
            --FOpenLonesBefore;
        }
        ++pos;
    }
    const std::size_t stop = pos + std::min(bytes.size() - pos, maxBytes);
    const char* base = bytes.data();
    while (pos < stop) {
        const char* hit = NextLineBreak(base + pos, base + stop);
        if (hit == base + stop) {
            pos = stop;
            break;
        }
        std::size_t at = static_cast<std::size_t>(hit - base);
        if (*hit == '\r' && at + 1 < bytes.size() && base[at + 1] == '\n') {
            AddBreak(at + 2, false);
            pos = at + 2;
        } else {
            AddBreak(at + 1, true);
            pos = at + 1;
        }
    }
    FScanned = pos;
    return FScanned;
}

int SjisLineIndex::BlockStarts(std::size_t b, uint64_t* starts) const
{
    if (b == FBlocks.size()) {
        std::copy(FOpenStarts.begin(), FOpenStarts.end(), starts);
        return static_cast<int>(FOpenStarts.size());
    }
    const Block& block = FBlocks[b];
    starts[0] = block.RawStart;
    const uint8_t* p = FDeltas.data() + block.DeltaAt;
    for (int k = 1; k < BlockLines; ++k)
        starts[k] = starts[k - 1] + GetVarint(p);
    return static_cast<int>(BlockLines);
}

const uint64_t* SjisLineIndex::CachedStarts(std::size_t b, BlockCache& cache) const
{
    if (b == FBlocks.size())
        return FOpenStarts.data();
    if (cache.Block != b || cache.Truncations != FTruncations) {
        BlockStarts(b, cache.Starts);
        cache.Block = b;
        cache.Truncations = FTruncations;
    }
    return cache.Starts;
}

int64_t SjisLineIndex::LineAtRaw(uint64_t raw, uint64_t& start) const
{
    BlockCache cache;
    return LineAtRaw(raw, start, cache);
}

int64_t SjisLineIndex::LineAtRaw(uint64_t raw, uint64_t& start, BlockCache& cache) const
{
    // The block first, by its first line's start, then the line within it:
    // one block's starts are read, not one line's at each step of a search
    // over all lines.
    std::size_t b = FBlocks.size();
    const bool cached = cache.Block < FBlocks.size() && cache.Truncations == FTruncations;
    if (cached && FBlocks[cache.Block].RawStart <= raw &&
        (cache.Block + 1 == FBlocks.size() ? FOpenStarts.empty() || FOpenStarts[0] > raw
                                           : FBlocks[cache.Block + 1].RawStart > raw)) {
        b = cache.Block;
    } else if (FOpenStarts.empty() || FOpenStarts[0] > raw) {
        const auto after =
            std::upper_bound(FBlocks.begin(), FBlocks.end(), raw,
                             [](uint64_t r, const Block& block) { return r < block.RawStart; });
        b = after == FBlocks.begin() ? 0 : static_cast<std::size_t>(after - FBlocks.begin()) - 1;
    }
    const uint64_t* starts = CachedStarts(b, cache);
    const auto n = static_cast<std::ptrdiff_t>(b == FBlocks.size() ? FOpenStarts.size() : BlockLines);
    const auto k = std::max<std::ptrdiff_t>(std::upper_bound(starts, starts + n, raw) - starts - 1, 0);
    start = starts[k];
    return static_cast<int64_t>(b) * BlockLines + k;
}

uint64_t SjisLineIndex::RawStart(int64_t i) const
{
    const auto b = static_cast<std::size_t>(i / BlockLines);
    const int k = static_cast<int>(i % BlockLines);
    if (b == FBlocks.size())
        return FOpenStarts[static_cast<std::size_t>(k)];
    const Block& block = FBlocks[b];
    uint64_t start = block.RawStart;
    const uint8_t* p = FDeltas.data() + block.DeltaAt;
    for (int j = 1; j <= k; ++j)
        start += GetVarint(p);
    return start;
}

bool SjisLineIndex::EndsLone(int64_t i) const
{
    const auto b = static_cast<std::size_t>(i / BlockLines);
    const uint64_t bits = b == FBlocks.size() ? FOpenLoneBits : FBlocks[b].LoneBits;
    return (bits >> (i % BlockLines)) & 1;
}

uint64_t SjisLineIndex::LonesBeforeLine(int64_t i) const
{
    const auto b = static_cast<std::size_t>(i / BlockLines);
    const int k = static_cast<int>(i % BlockLines);
    if (b == FBlocks.size())
        return FOpenLonesBefore + static_cast<uint64_t>(std::popcount(FOpenLoneBits & LowBits(k)));
    return FBlocks[b].LonesBefore + static_cast<uint64_t>(std::popcount(FBlocks[b].LoneBits & LowBits(k)));
}

uint64_t SjisLineIndex::RawLength(int64_t i) const
{
    const uint64_t start = RawStart(i);
    if (i == FLines - 1)
        return FScanned > start ? FScanned - start : 0;
    return RawStart(i + 1) - start - (EndsLone(i) ? 1 : 2);
}

uint64_t SjisLineIndex::RawLength(int64_t i, BlockCache& cache) const
{
    const auto b = static_cast<std::size_t>(i / BlockLines);
    const int k = static_cast<int>(i % BlockLines);
    const uint64_t start = CachedStarts(b, cache)[k];
    if (i == FLines - 1)
        return FScanned > start ? FScanned - start : 0;
    const uint64_t next = k + 1 < BlockLines ? CachedStarts(b, cache)[k + 1] : RawStart(i + 1);
    return next - start - (EndsLone(i) ? 1 : 2);
}

uint64_t SjisLineIndex::TextStart(int64_t i) const
{
    return RawStart(i) + LonesBeforeLine(i);
}

int64_t SjisLineIndex::LineAtText(uint64_t offset) const
{
    // The last block whose first line starts at or before offset.
    std::size_t lo = 0;
    std::size_t hi = FBlocks.size();   // the open block
    const uint64_t openStart = FOpenStarts[0] + FOpenLonesBefore;
    if (offset < openStart) {
        hi = std::partition_point(FBlocks.begin(), FBlocks.end(),
                                  [&](const Block& b) { return b.RawStart + b.LonesBefore <= offset; })
            - FBlocks.begin();
        hi = hi == 0 ? 0 : hi - 1;
    }
    lo = hi;
    uint64_t starts[BlockLines];
    const int n = BlockStarts(lo, starts);
    const uint64_t lonesBefore = lo == FBlocks.size() ? FOpenLonesBefore : FBlocks[lo].LonesBefore;
    const uint64_t bits = lo == FBlocks.size() ? FOpenLoneBits : FBlocks[lo].LoneBits;
    int k = 0;
    while (k + 1 < n
           && starts[k + 1] + lonesBefore + static_cast<uint64_t>(std::popcount(bits & LowBits(k + 1))) <= offset)
        ++k;
    return static_cast<int64_t>(lo) * BlockLines + k;
}

std::size_t SjisLineIndex::MemoryUse() const
{
    return FBlocks.capacity() * sizeof(Block) + FDeltas.capacity() + FOpenStarts.capacity() * sizeof(uint64_t);
}

void SjisLineIndex::Truncate(std::size_t raw)
{
    if (raw >= FScanned)
        return;
    ++FTruncations;
    // The last line that starts at or before raw stays, empty.
    int64_t lo = 0;
    int64_t hi = FLines - 1;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo + 1) / 2;
        if (RawStart(mid) <= raw)
            lo = mid;
        else
            hi = mid - 1;
    }
    const auto b = static_cast<std::size_t>(lo / BlockLines);
    if (b < FBlocks.size()) {
        // Open the sealed block that holds the line again.
        uint64_t starts[BlockLines];
        BlockStarts(b, starts);
        FOpenStarts.assign(starts, starts + BlockLines);
        FOpenLoneBits = FBlocks[b].LoneBits;
        FOpenLonesBefore = FBlocks[b].LonesBefore;
        FDeltas.resize(FBlocks[b].DeltaAt);
        FBlocks.resize(b);
    }
    const auto k = static_cast<std::size_t>(lo % BlockLines);
    FOpenStarts.resize(k + 1);
    FOpenLoneBits &= LowBits(static_cast<int>(k));
    FLines = lo + 1;
    FLoneBreaks = FOpenLonesBefore + static_cast<uint64_t>(std::popcount(FOpenLoneBits));
    FScanned = FOpenStarts.back();
}
