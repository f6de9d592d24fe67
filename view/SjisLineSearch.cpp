#include "view/SjisLineSearch.h"

#include "view/SjisText.h"

#include "codec/SjisCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Lower-cases every ASCII capital, trail bytes included: a superset of what
// LowerInPlace folds, so each real match is among its candidates, which are
// then checked with the real folding.
void FoldAll(char* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        p[i] = static_cast<char>(static_cast<unsigned char>(c - 'A') < 26 ? c | 0x20 : c);
    }
}

unsigned char Folded(unsigned char c)
{
    return static_cast<unsigned char>(c - 'A') < 26 ? c | 0x20 : c;
}

// Whether the n bytes at p, folded as FoldAll folds, are key.
bool SameFolded(const char* p, std::string_view key)
{
    for (std::size_t k = 0; k < key.size(); ++k)
        if (Folded(static_cast<unsigned char>(p[k])) != static_cast<unsigned char>(key[k]))
            return false;
    return true;
}

// The byte key's folded byte c stands for in the text besides itself: its
// capital when it is a small letter.
unsigned char OtherCase(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 0x20) : c;
}

// Whether the n bytes at p are key: folded as FoldAll folds when Fold,
// exactly otherwise.
template <bool Fold>
bool SameAt(const char* p, std::string_view key)
{
    if constexpr (Fold)
        return SameFolded(p, key);
    else
        return std::memcmp(p, key.data(), key.size()) == 0;
}

#if defined(__x86_64__)
// Find's loop thirty-two places at a time, on processors with AVX2; pos is
// where it stopped (fewer than 32 + n - 1 bytes before the end).
template <bool Fold>
__attribute__((target("avx2"))) std::size_t FindWide(const char* hay, std::size_t size, std::string_view key,
                                                     std::size_t& pos)
{
    const std::size_t n = key.size();
    const auto first = static_cast<unsigned char>(key[0]);
    const auto last = static_cast<unsigned char>(key[n - 1]);
    const __m256i f1 = _mm256_set1_epi8(static_cast<char>(first));
    const __m256i f2 = _mm256_set1_epi8(static_cast<char>(OtherCase(first)));
    const __m256i l1 = _mm256_set1_epi8(static_cast<char>(last));
    const __m256i l2 = _mm256_set1_epi8(static_cast<char>(OtherCase(last)));
    for (; pos + n - 1 + 32 <= size; pos += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + pos));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + pos + n - 1));
        __m256i both;
        if constexpr (Fold)
            both = _mm256_and_si256(_mm256_or_si256(_mm256_cmpeq_epi8(a, f1), _mm256_cmpeq_epi8(a, f2)),
                                    _mm256_or_si256(_mm256_cmpeq_epi8(b, l1), _mm256_cmpeq_epi8(b, l2)));
        else
            both = _mm256_and_si256(_mm256_cmpeq_epi8(a, f1), _mm256_cmpeq_epi8(b, l1));
        for (unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(both)); mask != 0; mask &= mask - 1) {
            const std::size_t at = pos + static_cast<std::size_t>(std::countr_zero(mask));
            if (SameAt<Fold>(hay + at, key))
                return at;
        }
    }
    return std::string_view::npos;
}
#endif

// The first place in hay where key stands, exactly, or when Fold with hay
// folded as FoldAll folds (key folded so already), without folding a copy:
// sixteen or thirty-two places at a time are tested for the key's first and
// last byte (in either case when Fold), and only those that have both are
// compared whole. npos when there is none.
template <bool Fold>
std::size_t Find(const char* hay, std::size_t size, std::string_view key)
{
    const std::size_t n = key.size();
    if (size < n)
        return std::string_view::npos;
    std::size_t pos = 0;
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide) {
        const std::size_t at = FindWide<Fold>(hay, size, key, pos);
        if (at != std::string_view::npos)
            return at;
    }
#endif
#if defined(__SSE2__)
    const auto first = static_cast<unsigned char>(key[0]);
    const auto last = static_cast<unsigned char>(key[n - 1]);
    const __m128i f1 = _mm_set1_epi8(static_cast<char>(first));
    const __m128i f2 = _mm_set1_epi8(static_cast<char>(OtherCase(first)));
    const __m128i l1 = _mm_set1_epi8(static_cast<char>(last));
    const __m128i l2 = _mm_set1_epi8(static_cast<char>(OtherCase(last)));
    for (; pos + n - 1 + 16 <= size; pos += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + pos));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + pos + n - 1));
        __m128i both;
        if constexpr (Fold)
            both = _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(a, f1), _mm_cmpeq_epi8(a, f2)),
                                 _mm_or_si128(_mm_cmpeq_epi8(b, l1), _mm_cmpeq_epi8(b, l2)));
        else
            both = _mm_and_si128(_mm_cmpeq_epi8(a, f1), _mm_cmpeq_epi8(b, l1));
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(both)); mask != 0; mask &= mask - 1) {
            const std::size_t at = pos + static_cast<std::size_t>(std::countr_zero(mask));
            if (SameAt<Fold>(hay + at, key))
                return at;
        }
    }
#endif
    for (; pos + n <= size; ++pos)
        if (SameAt<Fold>(hay + pos, key))
            return pos;
    return std::string_view::npos;
}

#if defined(__x86_64__)
// Up to this many texts are looked for in one scan.
constexpr std::size_t MaxOneScanKeys = 4;

// The first place in hay where any of keys (2 to MaxOneScanKeys of them)
// stands, as Find<Fold> looks for one: each 32-place block is tested for
// every key's first and last byte at once, so the bytes are read once
// however many keys there are. npos when there is none. AVX2 only.
template <bool Fold>
__attribute__((target("avx2"))) std::size_t FindAnyWide(const char* hay, std::size_t size,
                                                        const std::vector<std::string>& keys)
{
    const std::size_t count = keys.size();
    __m256i f1[MaxOneScanKeys], f2[MaxOneScanKeys], l1[MaxOneScanKeys], l2[MaxOneScanKeys];
    std::size_t longest = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const auto first = static_cast<unsigned char>(keys[k].front());
        const auto last = static_cast<unsigned char>(keys[k].back());
        f1[k] = _mm256_set1_epi8(static_cast<char>(first));
        f2[k] = _mm256_set1_epi8(static_cast<char>(OtherCase(first)));
        l1[k] = _mm256_set1_epi8(static_cast<char>(last));
        l2[k] = _mm256_set1_epi8(static_cast<char>(OtherCase(last)));
        longest = std::max(longest, keys[k].size());
    }
    auto keyAt = [&](std::size_t at) {
        for (const std::string& key : keys)
            if (at + key.size() <= size && SameAt<Fold>(hay + at, key))
                return true;
        return false;
    };
    std::size_t pos = 0;
    for (; pos + longest - 1 + 32 <= size; pos += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + pos));
        __m256i any = _mm256_setzero_si256();
        for (std::size_t k = 0; k < count; ++k) {
            const __m256i b =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + pos + keys[k].size() - 1));
            __m256i both;
            if constexpr (Fold)
                both = _mm256_and_si256(
                    _mm256_or_si256(_mm256_cmpeq_epi8(a, f1[k]), _mm256_cmpeq_epi8(a, f2[k])),
                    _mm256_or_si256(_mm256_cmpeq_epi8(b, l1[k]), _mm256_cmpeq_epi8(b, l2[k])));
            else
                both = _mm256_and_si256(_mm256_cmpeq_epi8(a, f1[k]), _mm256_cmpeq_epi8(b, l1[k]));
            any = _mm256_or_si256(any, both);
        }
        for (unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(any)); mask != 0; mask &= mask - 1) {
            const std::size_t at = pos + static_cast<std::size_t>(std::countr_zero(mask));
            if (keyAt(at))
                return at;
        }
    }
    for (; pos < size; ++pos)
        if (keyAt(pos))
            return pos;
    return std::string_view::npos;
}
#endif

} // namespace

SjisLineSearch::SjisLineSearch(const SjisLines& lines, std::string_view needle)
    : FLines(lines), FBuffer(lines.Buffer()), FKey(needle)
{
    FNoKey = FKey.empty() || FKey.find_first_of("\r\n") != std::string::npos;
    FTotal = std::max<uint64_t>(1, FBuffer.Raw().size());
}

SjisLineSearch::SjisLineSearch(const SjisLines& lines, std::string_view find, const sjis::FindOptions& options,
                               uint64_t caret)
    : SjisLineSearch(lines, find)
{
    FOptions = options;
    if (!options.MatchCase) {
        sjis::LowerInPlace(FKey);
        FCandidateKey = FKey;
        FoldAll(FCandidateKey.data(), FCandidateKey.size());
    }
    if (FNoKey || caret > lines.Length()) {
        FDone = true;
        return;
    }
    FLine = lines.LineAt(caret);
    const int64_t source = lines.SourceLine(FLine);
    if (source < 0) {
        // The empty line behind the last kept one: nothing on it.
        if (!options.Up || FLine == 0) {
            FDone = true;
            return;
        }
        --FLine;
        FRaw = FCapRaw = RawEnd(lines.SourceLine(FLine));
        return;
    }
    const uint64_t start = FBuffer.Index().RawStart(source);
    FRaw = start + std::min<uint64_t>(caret - lines.Start(FLine), FBuffer.Index().RawLength(source));
    if (options.Up || options.WholeWord) {
        // A caret inside a character counts from that character's start.
        const std::string_view raw = FBuffer.Raw();
        const bool stray = source == 0 && FBuffer.FirstByteStray();
        uint64_t pos = start;
        uint64_t prev = start;
        while (pos < FRaw) {
            prev = pos;
            pos += (pos == 0 && stray) || !sjis::IsLeadByte(static_cast<unsigned char>(raw[pos]))
                    || pos + 1 >= raw.size()
                ? 1
                : 2;
        }
        if (pos > FRaw)
            FRaw = prev;
    }
    FCapRaw = FRaw;
}

SjisLineSearch SjisLineSearch::Filter(const SjisLines& lines, std::string_view needle)
{
    SjisLineSearch search(lines, needle);
    search.FFilter = true;
    search.FOptions.MatchCase = true;
    if (search.FNoKey || lines.SourceLine(0) < 0)
        search.FDone = true;
    else
        search.FRaw = lines.Buffer().Index().RawStart(lines.SourceLine(0));
    return search;
}

SjisLineSearch SjisLineSearch::Filter(const SjisLines& lines, std::shared_ptr<const LineFilter> rule,
                                      int64_t fromLine)
{
    const bool text = rule->Which() == LineFilter::Kind::Text;
    SjisLineSearch search(lines, text ? std::string_view(rule->Needle()) : std::string_view());
    search.FFilter = true;
    search.FFromLine = fromLine;
    search.FOptions.MatchCase = !text || rule->Options().MatchCase;
    if (!search.FOptions.MatchCase) {
        search.FCandidateKey = search.FKey;
        FoldAll(search.FCandidateKey.data(), search.FCandidateKey.size());
    }
    const bool pattern = rule->Which() == LineFilter::Kind::Pattern && rule->Valid();
    if (pattern && !rule->Alternatives().empty()) {
        search.FOptions.MatchCase = rule->Options().MatchCase;
        search.FAltKeys = rule->Alternatives();
        search.FAltCandidateKeys = search.FAltKeys;
        for (std::string& key : search.FAltCandidateKeys)
            FoldAll(key.data(), key.size());
    }
    if (pattern && search.FAltKeys.empty()) {
        search.FMatcher = std::make_unique<PatternMatcher>(rule->PatternText(), rule->Options().MatchCase);
        const auto& groups = rule->Literals().Groups;
        // A first group with a text of one byte would find nearly every
        // line: lines are then taken one by one, the groups checked on each.
        search.FScanFirstGroup = !groups.empty() &&
            std::all_of(groups[0].begin(), groups[0].end(),
                        [](const std::string& t) { return t.size() >= 2; });
        if (search.FScanFirstGroup) {
            search.FScanKeys = groups[0];
            if (!rule->Options().MatchCase)
                for (std::string& key : search.FScanKeys)
                    FoldAll(key.data(), key.size());
        }
    }
    search.FRule = std::move(rule);
    if ((search.FNoKey && !pattern) || fromLine >= lines.Count() || lines.SourceLine(fromLine) < 0) {
        search.FDone = true;
        search.FinishFilter();
        return search;
    }
    search.FLine = fromLine;
    search.FRaw = lines.Buffer().Index().RawStart(lines.SourceLine(fromLine));
    return search;
}

void SjisLineSearch::FinishFilter()
{
    if (!FRule || !FRule->Options().Exclude)
        return;
    std::vector<int64_t> kept;
    std::size_t m = 0;
    const int64_t last = FBuffer.Count() - 1;
    for (int64_t i = FFromLine; i < FLines.Count(); ++i) {
        const int64_t source = FLines.SourceLine(i);
        // The empty line behind the last break is no line of its own.
        if (source < 0 || (source == last && FBuffer.Bytes(source).empty()))
            continue;
        while (m < FKept.size() && FKept[m] < source)
            ++m;
        if (m < FKept.size() && FKept[m] == source)
            continue;
        kept.push_back(source);
    }
    FKept = std::move(kept);
}

void SjisLineSearch::TestLine(int64_t source)
{
    const std::string_view bytes = FBuffer.Bytes(source);
    if (source == FBuffer.Count() - 1 && bytes.empty())
        return;
    // Lines without the pattern's texts are not decoded.
    if (!HoldsLiterals(bytes, FRule->Literals(), FRule->Options().MatchCase, FScanFirstGroup ? 1 : 0))
        return;
    FDecoded.resize(bytes.size() + 1);
    const char16_t* end = SjisCodec::DecodeTo(FDecoded.data(), bytes, source == 0 && FBuffer.FirstByteStray(), nullptr);
    switch (FMatcher->Match(QStringView(FDecoded.data(), end - FDecoded.data()))) {
    case PatternMatcher::Result::Match: FKept.push_back(source); break;
    case PatternMatcher::Result::NoMatch: break;
    case PatternMatcher::Result::TooComplex: FTooComplex = true; break;
    }
}

bool SjisLineSearch::OneScan() const
{
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    return wide && FAltKeys.size() >= 2 && FAltKeys.size() <= MaxOneScanKeys;
#else
    return false;
#endif
}

void SjisLineSearch::ScanAlternatives(uint64_t limit, uint64_t rawRunEnd)
{
#if defined(__x86_64__)
    std::size_t longest = 0;
    for (const std::string& key : FAltKeys)
        longest = std::max(longest, key.size());
    const uint64_t to = std::min<uint64_t>(rawRunEnd, limit + longest - 1);
    const std::vector<std::string>& keys = FOptions.MatchCase ? FAltKeys : FAltCandidateKeys;
    const char* raw = FBuffer.Raw().data();
    uint64_t pos = FRaw;
    while (pos < limit) {
        const std::size_t at = FOptions.MatchCase ? FindAnyWide<false>(raw + pos, to - pos, keys)
                                                  : FindAnyWide<true>(raw + pos, to - pos, keys);
        if (at == std::string_view::npos || pos + at >= limit)
            return;
        const uint64_t c = pos + at;
        uint64_t lineStart = 0;
        const int64_t source = FBuffer.Index().LineAtRaw(c, lineStart, FBlockCache);
        bool match = false;
        for (std::size_t k = 0; k < keys.size() && !match; ++k) {
            // Each text that stands here is checked for character boundaries
            // (and the case of letters) in turn.
            const bool here = c + keys[k].size() <= to &&
                (FOptions.MatchCase ? SameAt<false>(raw + c, keys[k]) : SameFolded(raw + c, keys[k]));
            match = here && IsMatch(source, lineStart, c, FAltKeys[k]);
        }
        if (!match) {
            pos = c + 1;
            continue;
        }
        // A line that runs on from the last piece is kept once.
        if (FKept.empty() || FKept.back() != source)
            FKept.push_back(source);
        pos = BreakAfter(c, to);
    }
#else
    (void)limit;
    (void)rawRunEnd;
#endif
}

void SjisLineSearch::AlternativesByKey(uint64_t limit, uint64_t rawRunEnd)
{
    FCandidates.clear();
    for (std::size_t k = 0; k < FAltKeys.size(); ++k) {
        const uint64_t to = std::min<uint64_t>(rawRunEnd, limit + FAltKeys[k].size() - 1);
        Matches(FRaw, limit, to, FAltKeys[k], FAltCandidateKeys[k],
                [&](int64_t source, uint64_t c) -> uint64_t {
                    FCandidates.push_back(source);
                    return BreakAfter(c, to);
                });
    }
    if (FAltKeys.size() > 1)
        std::sort(FCandidates.begin(), FCandidates.end());
    for (const int64_t source : FCandidates)
        // A line found by several texts, or in two pieces, is kept once.
        if (FKept.empty() || source > FKept.back())
            FKept.push_back(source);
}

bool SjisLineSearch::StepAlternatives(std::size_t budget)
{
    // The texts are looked for in one scan, or where that cannot be, each in
    // turn over a piece small enough to be still in the cache when the next
    // one is looked for.
    constexpr uint64_t Piece = 128 << 10;
    const SjisLineIndex& index = FBuffer.Index();
    while (budget > 0) {
        if (FLine >= FLines.Count() || FLines.SourceLine(FLine) < 0)
            return true;
        const int64_t runEnd = FLines.RunEnd(FLine);
        const uint64_t rawRunEnd = RawEnd(FLines.SourceLine(runEnd - 1));
        const uint64_t limit = std::min<uint64_t>({rawRunEnd, FRaw + budget, FRaw + Piece});
        if (OneScan())
            ScanAlternatives(limit, rawRunEnd);
        else
            AlternativesByKey(limit, rawRunEnd);
        const uint64_t done = std::max<uint64_t>(limit - FRaw, 1);
        FDoneBytes += done;
        budget -= std::min<uint64_t>(budget, done);
        FRaw = limit;
        if (limit == rawRunEnd) {
            FLine = runEnd;
            if (FLine < FLines.Count() && FLines.SourceLine(FLine) >= 0)
                FRaw = index.RawStart(FLines.SourceLine(FLine));
        }
    }
    return false;
}

void SjisLineSearch::ScanLiterals(uint64_t limit, uint64_t rawRunEnd)
{
    const bool fold = !FRule->Options().MatchCase;
    const char* raw = FBuffer.Raw().data();
    std::size_t longest = 0;
    for (const std::string& key : FScanKeys)
        longest = std::max(longest, key.size());
    const uint64_t to = std::min<uint64_t>(rawRunEnd, limit + longest - 1);
    auto found = [&](uint64_t c) {
        uint64_t lineStart = 0;
        const int64_t source = FBuffer.Index().LineAtRaw(c, lineStart, FBlockCache);
        if (FCandidates.empty() || FCandidates.back() != source)
            FCandidates.push_back(source);
        return BreakAfter(c, to);
    };
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide && FScanKeys.size() >= 2 && FScanKeys.size() <= MaxOneScanKeys) {
        for (uint64_t pos = FRaw; pos < limit;) {
            const std::size_t at = fold ? FindAnyWide<true>(raw + pos, to - pos, FScanKeys)
                                        : FindAnyWide<false>(raw + pos, to - pos, FScanKeys);
            if (at == std::string_view::npos || pos + at >= limit)
                break;
            pos = found(pos + at);
        }
        return;
    }
#endif
    for (const std::string& key : FScanKeys) {
        const uint64_t keyTo = std::min<uint64_t>(rawRunEnd, limit + key.size() - 1);
        for (uint64_t pos = FRaw; pos < limit && pos + key.size() <= keyTo;) {
            const std::size_t at =
                fold ? Find<true>(raw + pos, keyTo - pos, key) : Find<false>(raw + pos, keyTo - pos, key);
            if (at == std::string_view::npos || pos + at >= limit)
                break;
            pos = found(pos + at);
        }
    }
    if (FScanKeys.size() > 1)
        std::sort(FCandidates.begin(), FCandidates.end());
}

bool SjisLineSearch::StepPattern(std::size_t budget, Clock::time_point deadline)
{
    if (!FAltKeys.empty())
        return StepAlternatives(budget);
    // Lines are found a piece at a time and then decoded and matched one by
    // one, the clock read between them: a slow pattern stops at the deadline
    // and goes on from the next line to test.
    constexpr uint64_t Piece = 256 << 10;
    const SjisLineIndex& index = FBuffer.Index();
    while (true) {
        for (; FNextCandidate < FCandidates.size(); ++FNextCandidate) {
            if (Clock::now() >= deadline)
                return false;
            const int64_t source = FCandidates[FNextCandidate];
            // A line that runs on into the next piece is tested once.
            if (source <= FLastTested)
                continue;
            FLastTested = source;
            TestLine(source);
            if (FTooComplex)
                return true;
        }
        FCandidates.clear();
        FNextCandidate = 0;
        if (budget == 0)
            return false;
        if (FLine >= FLines.Count() || FLines.SourceLine(FLine) < 0)
            return true;
        if (!FScanFirstGroup) {
            // Every line is a candidate: a run of them at a time.
            const int64_t runEnd = FLines.RunEnd(FLine);
            uint64_t done = 0;
            while (FLine < runEnd && done < Piece) {
                const int64_t source = FLines.SourceLine(FLine);
                FCandidates.push_back(source);
                done += index.RawLength(source) + 1;
                ++FLine;
            }
            FDoneBytes += done;
            budget -= std::min<uint64_t>(budget, done);
            if (FLine < FLines.Count() && FLines.SourceLine(FLine) >= 0)
                FRaw = index.RawStart(FLines.SourceLine(FLine));
            continue;
        }
        // Only lines that hold a text of the first group can match.
        const int64_t runEnd = FLines.RunEnd(FLine);
        const uint64_t rawRunEnd = RawEnd(FLines.SourceLine(runEnd - 1));
        const uint64_t limit = std::min<uint64_t>({rawRunEnd, FRaw + budget, FRaw + Piece});
        ScanLiterals(limit, rawRunEnd);
        const uint64_t done = std::max<uint64_t>(limit - FRaw, 1);
        FDoneBytes += done;
        budget -= std::min<uint64_t>(budget, done);
        FRaw = limit;
        if (limit == rawRunEnd) {
            FLine = runEnd;
            if (FLine < FLines.Count() && FLines.SourceLine(FLine) >= 0)
                FRaw = index.RawStart(FLines.SourceLine(FLine));
        }
    }
}

double SjisLineSearch::Progress() const
{
    return FDone ? 1.0 : std::min(1.0, static_cast<double>(FDoneBytes) / static_cast<double>(FTotal));
}

uint64_t SjisLineSearch::BreakAfter(uint64_t raw, uint64_t to) const
{
    const char* base = FBuffer.Raw().data();
    return static_cast<uint64_t>(NextLineBreak(base + raw, base + to) - base);
}

uint64_t SjisLineSearch::RawEnd(int64_t source) const
{
    return FBuffer.Index().RawStart(source) + FBuffer.Index().RawLength(source);
}

bool SjisLineSearch::IsMatch(int64_t source, uint64_t lineStart, uint64_t raw, std::string_view key)
{
    const std::string_view text = FBuffer.Raw();
    // The plain search forward reads characters from the caret on, as if
    // the bytes before it were not there.
    const bool fromCaret = !FFilter && !FOptions.Up && !FOptions.WholeWord && FCapRaw >= lineStart
        && FCapRaw <= raw && FBuffer.LineAtRaw(FCapRaw) == source;
    const uint64_t walkFrom = fromCaret ? FCapRaw : lineStart;
    const bool lineStray = source == 0 && FBuffer.FirstByteStray();
    const bool stray = lineStray && walkFrom == 0;
    auto length = [&](uint64_t at) -> uint64_t {
        if (at == 0 && stray)
            return 1;
        return sjis::IsLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
    };
    uint64_t pos = walkFrom;
    uint64_t prev = UINT64_MAX;
    while (pos < raw) {
        prev = pos;
        pos += length(pos);
    }
    if (pos != raw)
        return false;
    const std::size_t n = key.size();
    if (!FOptions.MatchCase) {
        // Letters are lower-cased as read from the line's start, whatever
        // the walk of boundaries started from.
        FLineScratch.assign(text.substr(lineStart, raw + n - lineStart));
        sjis::LowerInPlace(FLineScratch, lineStray);
        if (std::string_view(FLineScratch).substr(raw - lineStart) != key)
            return false;
    }
    if (!FOptions.WholeWord)
        return true;
    auto wordChar = [&](uint64_t at, uint64_t len) {
        return len == 2 || sjis::IsWordByte(static_cast<unsigned char>(text[at]));
    };
    if (prev != UINT64_MAX && wordChar(prev, raw - prev))
        return false;
    const uint64_t end = raw + n;
    while (pos < end)
        pos += length(pos);
    if (pos != end)
        return false;
    if (end >= RawEnd(source))
        return true;
    return !wordChar(end, length(end));
}

template <typename Take>
bool SjisLineSearch::Matches(uint64_t from, uint64_t limit, uint64_t to, std::string_view key,
                             std::string_view candidateKey, Take take)
{
    const std::size_t n = key.size();
    if (to < from + n)
        return true;
    const char* hay = FBuffer.Raw().data() + from;
    uint64_t pos = from;
    while (pos < limit && pos + n <= to) {
        const std::size_t at = FOptions.MatchCase ? Find<false>(hay + (pos - from), to - pos, key)
                                                  : Find<true>(hay + (pos - from), to - pos, candidateKey);
        if (at == std::string_view::npos)
            return true;
        const uint64_t c = pos + at;
        if (c >= limit)
            return true;
        uint64_t lineStart = 0;
        const int64_t source = FBuffer.Index().LineAtRaw(c, lineStart, FBlockCache);
        if (IsMatch(source, lineStart, c, key)) {
            const uint64_t next = take(source, c);
            if (next == UINT64_MAX)
                return false;
            pos = std::max(next, c + 1);
        } else {
            pos = c + 1;
        }
    }
    return true;
}

bool SjisLineSearch::Step(std::size_t maxBytes, Clock::time_point deadline)
{
    if (FDone)
        return true;
    // A text in a file is searched in pieces whose pages are given back
    // behind the search, so a pass over it holds one piece at a time.
    constexpr std::size_t Piece = std::size_t(16) << 20;
    std::size_t left = std::max<std::size_t>(maxBytes, 1);
    while (!FDone && left > 0) {
        const std::size_t budget = FBuffer.InFileBacked() ? std::min(left, Piece) : left;
        const uint64_t from = FRaw;
        if (FRule && FRule->Which() == LineFilter::Kind::Pattern)
            FDone = StepPattern(budget, deadline);
        else
            FDone = FOptions.Up && !FFilter ? StepBackward(budget) : StepForward(budget);
        FBuffer.GiveBack(std::min(from, FRaw), std::max(from, FRaw));
        left -= budget;
        if (!FDone && FMatcher && Clock::now() >= deadline)
            break;
    }
    if (FDone && FFilter && !FTooComplex)
        FinishFilter();
    return FDone;
}

bool SjisLineSearch::StepForward(std::size_t budget)
{
    const SjisLineIndex& index = FBuffer.Index();
    while (budget > 0) {
        if (FLine >= FLines.Count() || FLines.SourceLine(FLine) < 0)
            return true;
        const int64_t runEnd = FLines.RunEnd(FLine);
        const int64_t first = FLines.SourceLine(FLine);
        const uint64_t rawRunEnd = RawEnd(FLines.SourceLine(runEnd - 1));
        const uint64_t limit = std::min<uint64_t>(rawRunEnd, FRaw + budget);
        const uint64_t to = std::min<uint64_t>(rawRunEnd, limit + FKey.size() - 1);
        const int64_t line = FLine;
        const bool ranThrough =
            Matches(FRaw, limit, to, FKey, FCandidateKey, [&](int64_t source, uint64_t c) -> uint64_t {
                if (FFilter) {
                    // A line that runs on into the next slice is kept once.
                    if (FKept.empty() || FKept.back() != source)
                        FKept.push_back(source);
                    return BreakAfter(c, to);
                }
                const int64_t viewLine = line + (source - first);
                FFound = FLines.Start(viewLine) + (c - index.RawStart(source));
                return UINT64_MAX;
            });
        if (!ranThrough)
            return true;
        const uint64_t done = std::max<uint64_t>(limit - FRaw, 1);
        FDoneBytes += done;
        budget -= std::min<uint64_t>(budget, done);
        FRaw = limit;
        if (limit == rawRunEnd) {
            FLine = runEnd;
            if (FLine < FLines.Count() && FLines.SourceLine(FLine) >= 0)
                FRaw = index.RawStart(FLines.SourceLine(FLine));
        }
    }
    return false;
}

bool SjisLineSearch::StepBackward(std::size_t budget)
{
    const SjisLineIndex& index = FBuffer.Index();
    while (budget > 0) {
        if (FLine < 0)
            return true;
        const int64_t runStart = FLines.RunStart(FLine);
        const int64_t first = FLines.SourceLine(runStart);
        const uint64_t rawRunStart = index.RawStart(first);
        const uint64_t from = FRaw - std::min<uint64_t>(FRaw - rawRunStart, budget);
        const uint64_t to = std::min<uint64_t>(FCapRaw, FRaw + FKey.size() - 1);
        uint64_t best = UINT64_MAX;
        int64_t bestSource = -1;
        Matches(from, FRaw, to, FKey, FCandidateKey, [&](int64_t source, uint64_t c) -> uint64_t {
            best = c;
            bestSource = source;
            return c + 1;
        });
        if (best != UINT64_MAX) {
            FFound = FLines.Start(runStart + (bestSource - first)) + (best - index.RawStart(bestSource));
            return true;
        }
        const uint64_t done = std::max<uint64_t>(FRaw - from, 1);
        FDoneBytes += done;
        budget -= std::min<uint64_t>(budget, done);
        FRaw = from;
        if (from == rawRunStart) {
            FLine = runStart - 1;
            if (FLine >= 0)
                FRaw = RawEnd(FLines.SourceLine(FLine));
        }
    }
    return false;
}
