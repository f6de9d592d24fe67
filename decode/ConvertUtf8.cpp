// UTF-8 to Shift_JIS, and to UTF-16: the converters' steps and fast lanes,
// and the measuring call's wide lane beside them.
#include "decode/Convert.h"
#include "decode/ConvertLoop.h"
#include "decode/ConvertWide.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace sjis_convert;

namespace {

// Writes one UTF-16 unit per character.
struct Utf16Output {
    using Unit = uint16_t;
    static int Length(uint16_t) { return 1; }
    static void Put(uint16_t* output, uint16_t unit) { *output = unit; }
};

// Bytes lo to hi of v (0x80 <= lo <= hi < 0xFF), as a mask of bits.
__attribute__((always_inline)) inline unsigned HighBytesIn(__m128i v, uint8_t lo, uint8_t hi)
{
    // Flipping the top bit turns the unsigned order into the signed one.
    const __m128i t = _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i in = _mm_and_si128(_mm_cmpgt_epi8(t, _mm_set1_epi8(static_cast<char>((lo ^ 0x80) - 1))),
                                     _mm_cmplt_epi8(t, _mm_set1_epi8(static_cast<char>((hi ^ 0x80) + 1))));
    return static_cast<unsigned>(_mm_movemask_epi8(in));
}

// Number of bits set in a 16-bit mask, with plain arithmetic (the baseline
// instruction set has no population count; the library call is slower).
inline unsigned BitCount16(unsigned x)
{
    x = x - ((x >> 1) & 0x5555u);
    x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
    x = (x + (x >> 4)) & 0x0F0Fu;
    return (x + (x >> 8)) & 0x1Fu;
}

// For the measuring call of Utf8ToUtf16: passes p over a stretch of well-formed
// UTF-8 (bytes 0x01-0x7F, leads 0xC1-0xDF with one continuation byte and
// 0xE1-0xEF with two, and no other continuation bytes) and returns the number
// of characters in it, each one UTF-16 unit that is not zero. The stretch ends
// before the first 16-byte block holding anything else (zero, 0xC0, 0xE0 and
// 0xF0-0xFF, whose sequences may decode to 0 or take more units, or a
// continuation byte out of place), at the last character boundary.
WISPLOG_WHOLE_BLOCK_READS uint64_t Utf8Stretch(const uint8_t*& p)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    const unsigned offset = static_cast<unsigned>(address & 15);
    const __m128i* block = reinterpret_cast<const __m128i*>(address - offset);
    unsigned valid = 0xFFFFu << offset & 0xFFFFu; // the bytes from p on
    uint64_t count = 0;
    unsigned carried = 0; // continuation bytes owed by the block before
    unsigned back = 0;    // bytes from its last character boundary to its end
    for (;; ++block) {
        const __m128i v = _mm_load_si128(block);
        const unsigned zero = static_cast<unsigned>(_mm_movemask_epi8(BytesEqual(v, 0)));
        const unsigned odd = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(BytesEqual(v, 0xC0), BytesEqual(v, 0xE0)),
                         _mm_cmpgt_epi8(_mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80))),
                                        _mm_set1_epi8(0x6F))))); // 0xF0-0xFF
        const unsigned continuation = HighBytesIn(v, 0x80, 0xBF) & valid;
        const unsigned lead2 = HighBytesIn(v, 0xC1, 0xDF) & valid;
        const unsigned lead3 = HighBytesIn(v, 0xE1, 0xEF) & valid;
        const unsigned owed = (lead2 << 1) | (lead3 << 1) | (lead3 << 2) | carried;
        if (((zero | odd) & valid) != 0 || (owed & 0xFFFFu) != continuation) {
            // Back to the last character boundary before this block.
            const uint8_t* end = reinterpret_cast<const uint8_t*>(block) - back;
            if (end < p)
                end = p;
            if (back != 0)
                --count; // the lead whose sequence runs into this block
            p = end;
            return count;
        }
        count += BitCount16(valid & ~continuation);
        carried = owed >> 16;
        // A sequence running into the next block starts at byte 15 (a lead
        // owing one or two bytes) or at byte 14 (a three-byte lead).
        back = carried == 0 ? 0 : ((lead2 | lead3) >> 15) & 1 ? 1 : 2;
        valid = 0xFFFFu;
    }
}

// The code point of a well-formed three-byte UTF-8 sequence at p (a lead
// 0xE0-0xEF and two continuation bytes), or 0 for anything else: other
// sequences, one cut by the terminator and the overlong zero (which ends the
// text). It loads four bytes: the caller keeps them in p's page
// (ThreeBytesInPage).
WISPLOG_WHOLE_BLOCK_READS inline unsigned ThreeByteCode(const uint8_t* p)
{
    uint32_t x;
    std::memcpy(&x, p, 4);
    if (((x & 0xC0C0F0u) ^ 0x8080E0u) != 0)
        return 0;
    return (x & 0x0Fu) << 12 | (x >> 2 & 0xFC0u) | (x >> 16 & 0x3Fu);
}

// The two ways to the stored word of a well-formed three-byte sequence at p
// (see ThreeByteCode): they return false for anything else.
struct WordByCode {
    static bool Take(const FastTables& t, const uint8_t* p, uint16_t& word)
    {
        const unsigned code = ThreeByteCode(p);
        word = static_cast<uint16_t>(t.Unit[code]);
        return code != 0;
    }
};

// PEXT by its opcode: the lane is built for the baseline processor and runs
// only where FastPextAvailable() says so.
inline uint32_t Pext(uint32_t x, uint32_t mask)
{
    uint32_t bits;
    __asm__("pextl %2, %1, %0" : "=r"(bits) : "r"(x), "r"(mask));
    return bits;
}

struct WordByKey {
    WISPLOG_WHOLE_BLOCK_READS static bool Take(const FastTables& t, const uint8_t* p, uint16_t& word)
    {
        uint32_t x;
        std::memcpy(&x, p, 4);
        if (__builtin_expect(((x & 0xC0C0F0u) ^ 0x8080E0u) != 0, 0))
            return false;
        word = t.Sequence[Pext(x, SequenceKeyBits)];
        return word != 0;
    }
};

// How many sequences from p on, three bytes apart, ThreeByteCode may look at
// without leaving p's page.
inline size_t ThreeBytesInPage(const uint8_t* p)
{
    const size_t offset = reinterpret_cast<uintptr_t>(p) & 4095;
    return offset > 4092 ? 0 : (4092 - offset) / 3 + 1;
}

// Measuring UTF-8 as Shift_JIS: runs of plain bytes and of three-byte
// sequences (the Japanese characters), each sequence one or two bytes by the
// table, while the total stays within budget.
WISPLOG_WHOLE_BLOCK_READS uint64_t Utf8SjisStretch(const uint8_t*& p, uint64_t budget)
{
    const FastTables& t = Fast();
    const uint8_t* q = p;
    uint64_t total = 0;
    for (;;) {
        const uint64_t run = std::min<uint64_t>(RunTo<ssPlain>(q, budget - total), budget - total);
        q += run;
        total += run;
        // Sequences while the budget has room for two bytes each and their
        // loads stay in the page, without a check of either for each.
        const uint8_t* start = q;
        const uint8_t* stop = q + 3 * std::min<uint64_t>((budget - total) / 2, ThreeBytesInPage(q));
        while (q != stop) {
            const unsigned code = ThreeByteCode(q);
            if (code == 0)
                break;
            total += UnitLength(t, code);
            q += 3;
        }
        if (q == start)
            break;
    }
    p = q;
    return total;
}

// Converting UTF-8 in the same runs: plain bytes copied, each three-byte
// sequence one stored word, found as Words finds it.
template <typename Words, typename Pause>
WISPLOG_WHOLE_BLOCK_READS uint64_t Utf8SjisFastRun(const uint8_t*& p, uint8_t* output, uint64_t room)
{
    const FastTables& t = Fast();
    const uint8_t* q = p;
    uint64_t written = 0;
    for (;;) {
        if (!CopyRun<ssPlain, Pause>(q, output, written, room)) {
            p = q;
            return written;
        }
        const uint8_t* start = q;
        const uint8_t* stop = q + 3 * std::min<uint64_t>((room - written) / 2, ThreeBytesInPage(q));
        while (q != stop) {
            uint16_t word;
            if (!Words::Take(t, q, word))
                break;
            StoreWord(output + written, word);
            written += StoredLength(word);
            q += 3;
        }
        if (q == start)
            break;
    }
    p = q;
    return written;
}

// DecodeUtf8Char's body, inlined into the converter's loop.
inline uint16_t DecodeUtf8(const uint8_t* input, int* length)
{
    // A sequence cut by the terminator yields 0 (ending the conversion), with
    // the length up to the zero byte; no byte behind the terminator is read.
    int size = 1;
    uint16_t value = 0;
    const uint8_t b = input[0];
    if (b < 0xC0) {
        value = b; // ASCII, or a stray continuation byte as U+0080-U+00BF
    } else if (b < 0xE0) {
        if (input[1] != 0) {
            size = 2;
            value = static_cast<uint16_t>(((b & 0x1F) << 6) | (input[1] & 0x3F));
        }
    } else if (b < 0xF0) {
        if (input[1] == 0) {
            size = 1;
        } else if (input[2] == 0) {
            size = 2;
        } else {
            size = 3;
            value = static_cast<uint16_t>(((b & 0x0F) << 12) | ((input[1] & 0x3F) << 6) | (input[2] & 0x3F));
        }
    } else {
        // Beyond the Basic Multilingual Plane: 0xFFFF for the whole sequence.
        const int full = b >= 0xFC ? 6 : b >= 0xF8 ? 5 : 4;
        while (size < full && input[size] != 0)
            ++size;
        value = size == full ? 0xFFFF : 0;
    }
    if (length)
        *length = size;
    return value;
}

} // namespace

uint16_t DecodeUtf8Char(const uint8_t* input, int* length) { return DecodeUtf8(input, length); }

namespace {

struct Utf8Converter {
    static size_t PlainRun(const uint8_t* p) { return ByteRun<false>(p); }

    // Measuring only (the tail is taken of Shift_JIS text alone): the budget
    // is always unlimited.
    static uint64_t Stretch(const uint8_t*& p, uint64_t budget)
    {
        return *p == 0 || budget != UINT64_MAX ? 0 : Utf8Stretch(p);
    }

    static bool Next(const uint8_t*& p, uint16_t& unit)
    {
        int length = 1;
        const uint16_t value = DecodeUtf8(p, &length);
        if (value == 0)
            return false;
        p += length;
        // Beyond the Basic Multilingual Plane: one '?' for the whole sequence.
        unit = length >= 4 ? u'?' : value;
        return true;
    }
};

// UTF-8 straight to Shift_JIS: each character as Utf8ToUtf16 makes it a
// UTF-16 unit, then as Utf16ToSjis makes that unit a code.
struct Utf8SjisConverter {
    static size_t PlainRun(const uint8_t* p) { return ByteRun<false>(p); }
    static uint64_t Stretch(const uint8_t*& p, uint64_t budget)
    {
        if (!WideLanes())
            return Utf8SjisStretch(p, budget);
        // Where the wide lane takes nothing (a character it leaves to Next,
        // the end of a page), the narrow one takes a few characters at most.
        const uint64_t wide = Utf8SjisMeasureWide(p, budget, Fast().TwoByte);
        return wide != 0 ? wide : Utf8SjisStretch(p, std::min<uint64_t>(budget, 64));
    }
    template <typename Pause = NoPause>
    static uint64_t FastRun(const uint8_t*& p, uint8_t* output, uint64_t room)
    {
        return PextLanes() ? Utf8SjisFastRun<WordByKey, Pause>(p, output, room)
                           : Utf8SjisFastRun<WordByCode, Pause>(p, output, room);
    }

    static bool Next(const uint8_t*& p, uint16_t& code)
    {
        uint16_t unit = 0;
        if (!Utf8Converter::Next(p, unit))
            return false;
        code = SjisOfUnit(unit);
        return true;
    }
};

} // namespace

int64_t Utf8ToUtf16(uint16_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<Utf8Converter, Utf16Output>(output, input, capacity);
}

int64_t Utf8ToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<Utf8SjisConverter, SjisOutput>(output, input, capacity);
}

namespace sjis_convert {

SjisMeasure Utf8Measure(const uint8_t* input, const PassProgress* progress)
{
    return MeasureRoute<Utf8SjisConverter>(input, progress);
}

uint64_t Utf8Tail(const uint8_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                  const PassProgress* progress, const SjisMeasure* measure)
{
    return TailRoute<Utf8SjisConverter>(input, start, window, windowSize, progress, measure);
}

} // namespace sjis_convert

#if defined(__x86_64__)

using namespace convert_wide;

namespace {

// The 32 positions of a UTF-8 block, each with the two bytes behind it.
struct Utf8Block {
    __m256i B0, B1, B2;
    unsigned Plain, Continuation, Leads, Other;
};

WISPLOG_WIDE WISPLOG_WHOLE_BLOCK_READS inline Utf8Block LoadUtf8Block(const uint8_t* base)
{
    Utf8Block block;
    block.B0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base));
    block.B1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 1));
    block.B2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 2));
    // As signed bytes: 0x01-0x7F are above 0, 0x80-0xBF below -64 and
    // 0xE1-0xEF from -31 to -17.
    const __m256i b = block.B0;
    block.Plain = Bits(_mm256_cmpgt_epi8(b, _mm256_setzero_si256()));
    block.Continuation = Bits(_mm256_cmpgt_epi8(Bytes(-64), b));
    block.Leads = Bits(_mm256_and_si256(_mm256_cmpgt_epi8(b, Bytes(-32)), _mm256_cmpgt_epi8(Bytes(-16), b)));
    block.Other = ~(block.Plain | block.Continuation | block.Leads);
    return block;
}

// The length of the plain bytes and of the sequences at the leads given, the
// codes of those outside page U+30xx staged.
WISPLOG_WIDE inline unsigned Utf8BlockLength(const Utf8Block& block, unsigned plain, unsigned leads,
                                             const KanaPage& page, uint16_t* codes, unsigned& count)
{
    // Page U+30xx is E3 80-83 xx: the code's low byte is (b1 & 3) << 6 |
    // (b2 & 0x3F), so its map byte is (b1 & 3) << 3 | (b2 >> 3 & 7).
    const __m256i kanaLead =
        _mm256_and_si256(_mm256_cmpeq_epi8(block.B0, Bytes(0xE3)),
                         _mm256_cmpeq_epi8(_mm256_and_si256(block.B1, Bytes(0xFC)), Bytes(0x80)));
    const __m256i index = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(block.B1, 3), Bytes(8)),
                                          _mm256_and_si256(_mm256_srli_epi16(block.B2, 3), Bytes(7)));
    const __m256i half = _mm256_slli_epi16(block.B1, 6); // bit 1 of b1 to the top of its byte
    const __m256i bit = _mm256_and_si256(block.B2, Bytes(7));
    const unsigned kana = static_cast<unsigned>(_mm256_movemask_epi8(kanaLead)) & leads;
    const __m256i noBit = _mm256_cmpeq_epi8(KanaBits(page, index, half, bit), _mm256_setzero_si256());
    const unsigned twoByteKana = ~static_cast<unsigned>(_mm256_movemask_epi8(noBit)) & kana;
    const unsigned others = leads & ~kana;
    // Code points of all 32 positions as 16-bit lanes, put together from
    // their high and low bytes; the others' are staged (every block, to keep
    // the loop free of a branch), in any order.
    const __m256i high = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(block.B0, 4), Bytes(0xF0)),
                                         _mm256_and_si256(_mm256_srli_epi16(block.B1, 2), Bytes(0x0F)));
    const __m256i low = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(block.B1, 6), Bytes(0xC0)),
                                        _mm256_and_si256(block.B2, Bytes(0x3F)));
    // Positions 0-7 and 16-23, then 8-15 and 24-31.
    const __m256i first = _mm256_unpacklo_epi8(low, high);
    const __m256i second = _mm256_unpackhi_epi8(low, high);
    // The places come from the counts of the masks, not from one store to
    // the next, so that the stores do not wait on each other.
    uint16_t* out = codes + count;
    const unsigned m0 = others & 0xFF, m1 = others >> 8 & 0xFF, m2 = others >> 16 & 0xFF, m3 = others >> 24;
    const unsigned n0 = static_cast<unsigned>(__builtin_popcount(m0));
    const unsigned n01 = static_cast<unsigned>(__builtin_popcount(others & 0xFFFF));
    const unsigned n012 = static_cast<unsigned>(__builtin_popcount(others & 0xFFFFFF));
    Pack8(out, _mm256_castsi256_si128(first), m0);
    Pack8(out + n0, _mm256_castsi256_si128(second), m1);
    Pack8(out + n01, _mm256_extracti128_si256(first, 1), m2);
    Pack8(out + n012, _mm256_extracti128_si256(second, 1), m3);
    count += static_cast<unsigned>(__builtin_popcount(others));
    return static_cast<unsigned>(__builtin_popcount(plain) + __builtin_popcount(leads) +
                                 __builtin_popcount(twoByteKana));
}

// Bytes owed to a lead of the block before: one for a lead at its byte 30,
// two for one at 31.
inline unsigned OwedBytes(unsigned owed) { return owed == 0 ? 0 : owed == 1 ? 1 : 2; }

// The common way: whole blocks of 32 bytes from q, at most count of them,
// while each holds only what the lane takes, whatever their sequences, so that
// where the next block begins does not wait for this one. Sequences may run
// into the next block: the bytes behind each position tell whether a lead has
// its continuation bytes. Returns where it stopped. The loop keeps its state
// in locals, which the compiler holds in registers.
WISPLOG_WIDE WISPLOG_WHOLE_BLOCK_READS inline const uint8_t* Utf8WholeBlocks(const uint8_t* q, size_t count,
                                                                             const KanaPage& page,
                                                                             Staging& staging, unsigned& owed,
                                                                             uint64_t& total)
{
    uint64_t sum = 0;
    unsigned staged = staging.Count;
    unsigned carried = owed;
    for (; count > 0; --count) {
        const Utf8Block block = LoadUtf8Block(q);
        const unsigned second = Bits(_mm256_cmpgt_epi8(Bytes(-64), block.B2)); // bytes 2-33
        const unsigned follows = (block.Continuation >> 1 | second << 1) & second;
        const uint64_t expected = uint64_t(block.Leads) << 1 | uint64_t(block.Leads) << 2 | carried;
        if (((block.Continuation ^ static_cast<unsigned>(expected)) | block.Other |
             (block.Leads & ~follows)) != 0)
            break;
        sum += Utf8BlockLength(block, block.Plain, block.Leads, page, staging.Codes, staged);
        carried = static_cast<unsigned>(expected >> 32);
        q += 32;
    }
    staging.Count = staged;
    owed = carried;
    total += sum;
    return q;
}

} // namespace

WISPLOG_WIDE WISPLOG_WHOLE_BLOCK_READS uint64_t Utf8SjisMeasureWide(const uint8_t*& p, uint64_t budget,
                                                                    const uint64_t* twoByte)
{
    const KanaPage page = LoadKanaPage(twoByte);
    Staging staging;
    const uint8_t* q = p;
    uint64_t total = 0;
    // Continuation bytes at the start of the block at q owed by a lead of the
    // block before (bit k for byte k): that lead is counted and its bytes
    // checked already, and q is a character boundary when this is 0.
    unsigned owed = 0;
    for (;;) {
        // A block yields at most 33 bytes (31 plain bytes and a lead), a
        // staged code one more.
        if (staging.Full() || budget - total - staging.Count < 33) {
            total += staging.Drain(twoByte);
            if (budget - total < 33)
                break;
        }
        // As many whole blocks as fit before the page's end (a block reads
        // 34 bytes), in the staging (a block stages at most 11 codes) and in
        // the budget (a block yields at most 33 bytes and 11 staged codes).
        size_t blocks = PageLeft(q) >= 34 ? (PageLeft(q) - 34) / 32 + 1 : 0;
        blocks = std::min<size_t>(blocks, (Staging::Capacity - staging.Count) / 11 + 1);
        blocks = std::min<size_t>(blocks, (budget - total - staging.Count) / 44);
        if (blocks > 0) {
            const uint8_t* from = q;
            q = Utf8WholeBlocks(q, blocks, page, staging, owed, total);
            if (q == from + 32 * blocks)
                continue;
        }
        // Otherwise from the next character boundary, up to the first byte
        // the lane does not take or the page's end: within the page's last
        // 34 bytes the block is the page's last 32 positions, those before q
        // left out.
        q += OwedBytes(owed);
        owed = 0;
        const uint8_t* base = q;
        unsigned from = 0;
        if (PageLeft(q) < 34) {
            base = q + PageLeft(q) - 34;
            from = static_cast<unsigned>(q - base);
            if (from >= 32)
                break;
        }
        const Utf8Block block = LoadUtf8Block(base);
        const unsigned start = ~0u << from;
        const unsigned leads = block.Leads & start;
        const unsigned broken = ((block.Continuation ^ (leads << 1 | leads << 2)) | block.Other) & start;
        // The last character boundary before the break: a lead needs its two
        // continuation bytes before it.
        const unsigned breakAt = broken == 0 ? 32 : static_cast<unsigned>(__builtin_ctz(broken));
        const unsigned beforeBreak = breakAt == 32 ? ~0u : (1u << breakAt) - 1;
        const unsigned cut = leads & ~(beforeBreak >> 2);
        const unsigned end = std::min(breakAt, cut == 0 ? 32u : static_cast<unsigned>(__builtin_ctz(cut)));
        if (end <= from)
            break;
        const unsigned taken = (end == 32 ? ~0u : (1u << end) - 1) & start;
        total +=
            Utf8BlockLength(block, block.Plain & taken, leads & taken, page, staging.Codes, staging.Count);
        q = base + end;
    }
    total += staging.Drain(twoByte);
    p = q + OwedBytes(owed);
    return total;
}

#else

uint64_t Utf8SjisMeasureWide(const uint8_t*&, uint64_t, const uint64_t*) { return 0; }

#endif
