// UTF-16LE to Shift_JIS: the converter's steps and fast lanes, and the
// measuring call's wide lane beside them.
#include "decode/Convert.h"
#include "decode/ConvertLoop.h"
#include "decode/ConvertWide.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace sjis_convert;

namespace {

// Two bits set for each 16-bit unit of v that is not 0x0001-0x007F. A unit u
// is one of those when u + 0x7F80 (saturated) is above 0x7F80 as a signed
// number: 0 gives 0x7F80, 0x80 and above give 0x8000 or more.
__attribute__((always_inline)) inline unsigned UnitStops(__m128i v)
{
    const __m128i bias = _mm_set1_epi16(0x7F80);
    const __m128i plain = _mm_cmpgt_epi16(_mm_adds_epu16(v, bias), bias);
    return static_cast<unsigned>(_mm_movemask_epi8(plain)) ^ 0xFFFFu;
}

// Number of 16-bit units 0x0001-0x007F at p, up to the first other unit; the
// terminator is such a unit. p is on a unit boundary, so blocks hold whole
// units.
WISPLOG_WHOLE_BLOCK_READS size_t ScanUnitRun(const uint16_t* p)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    const unsigned offset = static_cast<unsigned>(address & 15);
    const __m128i* block = reinterpret_cast<const __m128i*>(address - offset);
    unsigned stops = UnitStops(_mm_load_si128(block)) >> offset;
    if (stops != 0)
        return static_cast<size_t>(__builtin_ctz(stops)) / 2;
    size_t run = (16 - offset) / 2;
    for (;;) {
        ++block;
        stops = UnitStops(_mm_load_si128(block));
        if (stops != 0)
            return run + static_cast<size_t>(__builtin_ctz(stops)) / 2;
        run += 8;
    }
}

// The scan above, after a look at the first unit: between two multi-byte
// characters there is often no plain unit at all.
inline size_t UnitRun(const uint16_t* p) { return *p == 0 || *p > 0x7F ? 0 : ScanUnitRun(p); }

// Measuring UTF-16: eight units at a time while none of them is zero, plain
// blocks eight bytes, others one or two bytes a unit by the table.
WISPLOG_WHOLE_BLOCK_READS uint64_t Utf16Stretch(const uint16_t*& p, uint64_t budget)
{
    const FastTables& t = Fast();
    const uint16_t* q = p;
    uint64_t total = 0;
    while (budget - total >= 16 && InPage<16>(q)) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128())) != 0)
            break;
        uint64_t length = 8;
        if (UnitStops(v) != 0) {
            for (int k = 0; k < 8; ++k)
                length += UnitLength(t, q[k]) - 1;
        }
        total += length;
        q += 8;
    }
    p = q;
    return total;
}

// Converting UTF-16 in the same blocks: plain blocks narrowed in one go,
// others one stored word a unit. The input is walked by a local pointer: the
// byte stores may alias anything, and would make the compiler reload p.
WISPLOG_WHOLE_BLOCK_READS uint64_t Utf16FastRun(const uint16_t*& p, uint8_t* output, uint64_t room)
{
    const FastTables& t = Fast();
    const uint16_t* q = p;
    uint8_t* out = output;
    uint8_t* const end = output + room;
    while (end - out >= 16 && InPage<16>(q)) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128())) != 0)
            break;
        if (UnitStops(v) == 0) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
            out += 8;
        } else {
            for (int k = 0; k < 8; ++k) {
                const uint32_t entry = t.Unit[q[k]];
                StoreWord(out, static_cast<uint16_t>(entry));
                out += entry >> 16;
            }
        }
        q += 8;
    }
    p = q;
    return static_cast<uint64_t>(out - output);
}

struct Utf16Converter {
    // The table maps U+0001 to U+007F to themselves (backslash and tilde
    // included).
    static size_t PlainRun(const uint16_t* p) { return UnitRun(p); }
    static uint64_t Stretch(const uint16_t*& p, uint64_t budget)
    {
        // The wide lane stops only near the end of the budget or the text.
        const uint64_t wide = WideLanes() ? Utf16MeasureWide(p, budget, Fast().TwoByte) : 0;
        return wide + Utf16Stretch(p, budget - wide);
    }
    // Its stores run past what it has converted by a zero byte at most:
    // nothing to pause for.
    template <typename Pause = NoPause>
    static uint64_t FastRun(const uint16_t*& p, uint8_t* output, uint64_t room)
    {
        return Utf16FastRun(p, output, room);
    }

    static bool Next(const uint16_t*& p, uint16_t& code)
    {
        const uint16_t unit = *p;
        if (unit == 0)
            return false;
        code = SjisOfUnit(unit);
        ++p;
        return true;
    }
};

} // namespace

int64_t Utf16ToSjis(uint8_t* output, const uint16_t* input, uint64_t capacity)
{
    return Run<Utf16Converter, SjisOutput>(output, input, capacity);
}

namespace sjis_convert {

SjisMeasure Utf16Measure(const uint16_t* input, const PassProgress* progress)
{
    return MeasureRoute<Utf16Converter>(input, progress);
}

uint64_t Utf16Tail(const uint16_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                   const PassProgress* progress, const SjisMeasure* measure)
{
    return TailRoute<Utf16Converter>(input, start, window, windowSize, progress, measure);
}

} // namespace sjis_convert

#if defined(__x86_64__)

using namespace convert_wide;

namespace {

// The length of the sixteen units of v marked in from (bit k for unit k),
// the codes of those outside page U+30xx and above 0x7F staged.
WISPLOG_WIDE inline unsigned Utf16BlockLength(__m256i v, unsigned from, const KanaPage& page, uint16_t* codes,
                                              unsigned& count)
{
    const __m256i plain = _mm256_cmpeq_epi16(_mm256_min_epu16(v, Units<0x7F>()), v);
    const __m256i kana = _mm256_cmpeq_epi16(_mm256_srli_epi16(v, 8), Units<0x30>());
    // The high byte of each lane gets index 0x80 and so no bit.
    const __m256i high = Units<0x8000>();
    const __m256i index = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(v, 3), Units<15>()), high);
    const __m256i bit = _mm256_or_si256(_mm256_and_si256(v, Units<7>()), high);
    const __m256i noBit = _mm256_cmpeq_epi16(KanaBits(page, index, v, bit), _mm256_setzero_si256());
    const __m256i twoByteKana = _mm256_andnot_si256(noBit, kana);
    const unsigned others = ~LaneBits(_mm256_or_si256(plain, kana)) & from;
    Pack8(codes + count, _mm256_castsi256_si128(v), others & 0xFF);
    Pack8(codes + count + __builtin_popcount(others & 0xFF), _mm256_extracti128_si256(v, 1), others >> 8);
    count += static_cast<unsigned>(__builtin_popcount(others));
    return static_cast<unsigned>(__builtin_popcount(from) + __builtin_popcount(LaneBits(twoByteKana) & from));
}

// Whole blocks of sixteen units from q, at most count of them, while none
// holds a zero unit. Returns where it stopped. The loop keeps its state in
// locals, which the compiler holds in registers.
WISPLOG_WIDE WISPLOG_WHOLE_BLOCK_READS inline const uint16_t*
Utf16WholeBlocks(const uint16_t* q, size_t count, const KanaPage& page, Staging& staging, uint64_t& total)
{
    uint64_t sum = 0;
    unsigned staged = staging.Count;
    for (; count > 0; --count) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        if (LaneBits(_mm256_cmpeq_epi16(v, _mm256_setzero_si256())) != 0)
            break;
        sum += Utf16BlockLength(v, 0xFFFFu, page, staging.Codes, staged);
        q += 16;
    }
    staging.Count = staged;
    total += sum;
    return q;
}

} // namespace

WISPLOG_WIDE WISPLOG_WHOLE_BLOCK_READS uint64_t Utf16MeasureWide(const uint16_t*& p, uint64_t budget,
                                                                 const uint64_t* twoByte)
{
    const KanaPage page = LoadKanaPage(twoByte);
    Staging staging;
    const uint16_t* q = p;
    uint64_t total = 0;
    for (;;) {
        // A block yields at most two bytes a unit, a staged unit one more.
        if (staging.Full() || budget - total - staging.Count < 32) {
            total += staging.Drain(twoByte);
            if (budget - total < 32)
                break;
        }
        // As many whole blocks as fit before the page's end, in the staging
        // (a block stages at most 16 codes) and in the budget (a block yields
        // at most 32 bytes and 16 staged codes).
        size_t blocks = PageLeft(q) / 32;
        blocks = std::min<size_t>(blocks, (Staging::Capacity - staging.Count) / 16 + 1);
        blocks = std::min<size_t>(blocks, (budget - total - staging.Count) / 48);
        if (blocks > 0) {
            const uint16_t* from = q;
            q = Utf16WholeBlocks(q, blocks, page, staging, total);
            if (q != from + 16 * blocks)
                break; // a zero unit
            continue;
        }
        // Otherwise one block: near the end of q's page the page's last
        // sixteen units, those before q left out.
        const uint16_t* base = q;
        unsigned from = 0xFFFFu;
        if (PageLeft(q) < 32) {
            const size_t left = PageLeft(q) / 2;
            base = q + left - 16;
            from = 0xFFFFu << (16 - left) & 0xFFFFu;
        }
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base));
        if ((LaneBits(_mm256_cmpeq_epi16(v, _mm256_setzero_si256())) & from) != 0)
            break;
        total += Utf16BlockLength(v, from, page, staging.Codes, staging.Count);
        // Bit k of the lane bits stands for the unit at base + k.
        q += __builtin_popcount(from);
    }
    total += staging.Drain(twoByte);
    p = q;
    return total;
}

#else

uint64_t Utf16MeasureWide(const uint16_t*&, uint64_t, const uint64_t*) { return 0; }

#endif
