// The measuring calls' wide lanes. A Shift_JIS length is one byte for each
// character plus one for each whose code takes two bytes. Blocks of 32 bytes
// are sorted with vector compares: plain units count one; characters of page
// U+30xx (kana and Japanese punctuation, most of the non-ASCII text of a
// log) find their bit in that page's 256-bit map with PSHUFB; the others
// (kanji, mostly) have their code points packed into a staging buffer that
// a plain loop then looks up in the bitmap. Keeping the lookups out of the
// block loop keeps the loop free of data-dependent branches, which a text
// switching between ASCII and Japanese every few characters would
// mispredict. The JIS lane, at the end, counts bytes between escapes.
#include "decode/ConvertWide.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <iterator>

#if defined(__x86_64__)

namespace {

#define WIDE [[gnu::target("avx2,popcnt,pclmul")]]
// Blocks are read whole, up to the end of the page of a byte taken, even
// past the terminator (see Convert.cpp).
#define WHOLE_BLOCK_READS __attribute__((no_sanitize("address")))

constexpr size_t PageSize = 4096;

inline size_t PageLeft(const void* p) { return PageSize - (reinterpret_cast<uintptr_t>(p) & (PageSize - 1)); }

inline unsigned TwoByteBit(const uint64_t* twoByte, unsigned u) { return (twoByte[u >> 6] >> (u & 63)) & 1; }

// PSHUFB controls that move the 16-bit lanes marked in an 8-bit mask to the
// front, in order.
struct PackTable {
    alignas(16) uint8_t Control[256][16];
    constexpr PackTable() : Control()
    {
        for (unsigned mask = 0; mask < 256; ++mask) {
            unsigned n = 0;
            for (unsigned k = 0; k < 8; ++k) {
                if (mask >> k & 1) {
                    Control[mask][2 * n] = static_cast<uint8_t>(2 * k);
                    Control[mask][2 * n + 1] = static_cast<uint8_t>(2 * k + 1);
                    ++n;
                }
            }
            for (unsigned j = 2 * n; j < 16; ++j)
                Control[mask][j] = 0x80;
        }
    }
};
constexpr PackTable Pack;

// Stores the lanes of units marked in mask at out, in order. Writes 16 bytes
// whatever their number.
WIDE inline void Pack8(uint16_t* out, __m128i units, unsigned mask)
{
    const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i*>(Pack.Control[mask]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(units, control));
}

// One bit per 16-bit lane of a compare result, in lane order.
WIDE inline unsigned LaneBits(__m256i lanes)
{
    const __m128i bytes = _mm_packs_epi16(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    return static_cast<unsigned>(_mm_movemask_epi8(bytes));
}

} // namespace

// Constants of the block loops, kept in memory whose contents the compiler
// does not assume: short of vector registers in the loops, gcc would
// otherwise build each constant again from immediates in every block (three
// instructions), where now each use is one load from a line that stays in
// the cache. They live outside the unnamed namespace, with external linkage,
// so that the compiler cannot tell that nothing writes them and fold them
// back into immediates.
namespace convert_wide {

constexpr uint16_t UnitValues[] = {0x7F, 0x30, 0x8000, 15, 7};

struct LoopConstants {
    alignas(32) uint8_t Byte[256][32];                       // each byte value in every position
    alignas(32) uint16_t Unit[std::size(UnitValues)][16];   // each of UnitValues in every lane
};

constexpr LoopConstants MakeLoopConstants()
{
    LoopConstants c{};
    for (unsigned value = 0; value < 256; ++value)
        for (auto& byte : c.Byte[value])
            byte = static_cast<uint8_t>(value);
    for (size_t k = 0; k < std::size(UnitValues); ++k)
        for (auto& unit : c.Unit[k])
            unit = UnitValues[k];
    return c;
}

extern LoopConstants Constants;
constinit LoopConstants Constants = MakeLoopConstants();

} // namespace convert_wide

namespace {

using convert_wide::Constants;
using convert_wide::UnitValues;

constexpr size_t UnitIndex(uint16_t value)
{
    size_t k = 0;
    while (UnitValues[k] != value)
        ++k;
    return k;
}

// A byte in every position; a 16-bit unit (one of UnitValues) in every lane.
WIDE inline __m256i Bytes(int c)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(Constants.Byte[static_cast<uint8_t>(c)]));
}
template <uint16_t Value>
WIDE inline __m256i Units()
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(Constants.Unit[UnitIndex(Value)]));
}

// The map of page U+30xx: byte k of its 32 bytes holds the bits of units
// U+3000 + 8k to + 8k + 7, as two halves for PSHUFB, each in both lanes.
struct KanaPage {
    __m256i Low, High;
    __m256i BitOf;   // 1 << k in byte k of each group of eight
};

WIDE inline KanaPage LoadKanaPage(const uint64_t* twoByte)
{
    const uint64_t* page = twoByte + (0x3000 >> 6);
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(page))),
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(page + 2))),
            _mm256_set1_epi64x(0x8040201008040201LL)};
}

// Not zero in each byte where the bit of a code in page U+30xx is set in the
// page's map, given the code's low byte as index (its bits 3-6, with bit 7
// of the byte clear), half (the top bit of the byte: bit 7 of the code) and
// bit (its bits 0-2, with bit 7 of the byte clear). Zero in bytes where
// index or bit has its top bit set.
WIDE inline __m256i KanaBits(const KanaPage& page, __m256i index, __m256i half, __m256i bit)
{
    const __m256i bytes = _mm256_blendv_epi8(_mm256_shuffle_epi8(page.Low, index),
                                             _mm256_shuffle_epi8(page.High, index), half);
    return _mm256_and_si256(bytes, _mm256_shuffle_epi8(page.BitOf, bit));
}

// Code points of kanji and the like waiting for their bits: a plain loop
// over them runs at the bitmap's speed, without a branch per character.
struct Staging {
    static constexpr unsigned Capacity = 512;
    uint16_t Codes[Capacity + 32];
    unsigned Count = 0;
    bool Full() const { return Count > Capacity; }
    uint64_t Drain(const uint64_t* twoByte)
    {
        uint64_t sum = 0;
        for (unsigned k = 0; k < Count; ++k) {
            // Hidden from the compiler, which would otherwise make the loop
            // vector code that loads the words one by one through lane
            // extracts and inserts, slower than these plain loads.
            unsigned code = Codes[k];
            __asm__("" : "+r"(code));
            sum += TwoByteBit(twoByte, code);
        }
        Count = 0;
        return sum;
    }
};

} // namespace

bool ConvertWideLanesAvailable()
{
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul");
    }();
    return available;
}

namespace {

// The length of the sixteen units of v marked in from (bit k for unit k),
// the codes of those outside page U+30xx and above 0x7F staged.
WIDE inline unsigned Utf16BlockLength(__m256i v, unsigned from, const KanaPage& page, uint16_t* codes, unsigned& count)
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
WIDE WHOLE_BLOCK_READS inline const uint16_t* Utf16WholeBlocks(const uint16_t* q, size_t count, const KanaPage& page,
                                                               Staging& staging, uint64_t& total)
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

WIDE WHOLE_BLOCK_READS uint64_t Utf16MeasureWide(const uint16_t*& p, uint64_t budget, const uint64_t* twoByte)
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
                break;   // a zero unit
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

namespace {

// The 32 positions of a UTF-8 block, each with the two bytes behind it.
struct Utf8Block {
    __m256i B0, B1, B2;
    unsigned Plain, Continuation, Leads, Other;
};

WIDE inline unsigned Bits(__m256i v) { return static_cast<unsigned>(_mm256_movemask_epi8(v)); }


WIDE WHOLE_BLOCK_READS inline Utf8Block LoadUtf8Block(const uint8_t* base)
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
WIDE inline unsigned Utf8BlockLength(const Utf8Block& block, unsigned plain, unsigned leads, const KanaPage& page,
                                     uint16_t* codes, unsigned& count)
{
    // Page U+30xx is E3 80-83 xx: the code's low byte is (b1 & 3) << 6 |
    // (b2 & 0x3F), so its map byte is (b1 & 3) << 3 | (b2 >> 3 & 7).
    const __m256i kanaLead = _mm256_and_si256(
        _mm256_cmpeq_epi8(block.B0, Bytes(0xE3)),
        _mm256_cmpeq_epi8(_mm256_and_si256(block.B1, Bytes(0xFC)),
                          Bytes(0x80)));
    const __m256i index = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(block.B1, 3), Bytes(8)),
                                          _mm256_and_si256(_mm256_srli_epi16(block.B2, 3), Bytes(7)));
    const __m256i half = _mm256_slli_epi16(block.B1, 6);   // bit 1 of b1 to the top of its byte
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
    return static_cast<unsigned>(__builtin_popcount(plain) + __builtin_popcount(leads) + __builtin_popcount(twoByteKana));
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
WIDE WHOLE_BLOCK_READS inline const uint8_t* Utf8WholeBlocks(const uint8_t* q, size_t count, const KanaPage& page,
                                                             Staging& staging, unsigned& owed, uint64_t& total)
{
    uint64_t sum = 0;
    unsigned staged = staging.Count;
    unsigned carried = owed;
    for (; count > 0; --count) {
        const Utf8Block block = LoadUtf8Block(q);
        const unsigned second = Bits(_mm256_cmpgt_epi8(Bytes(-64), block.B2));   // bytes 2-33
        const unsigned follows = (block.Continuation >> 1 | second << 1) & second;
        const uint64_t expected = uint64_t(block.Leads) << 1 | uint64_t(block.Leads) << 2 | carried;
        if (((block.Continuation ^ static_cast<unsigned>(expected)) | block.Other | (block.Leads & ~follows)) != 0)
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

WIDE WHOLE_BLOCK_READS uint64_t Utf8SjisMeasureWide(const uint8_t*& p, uint64_t budget, const uint64_t* twoByte)
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
        total += Utf8BlockLength(block, block.Plain & taken, leads & taken, page, staging.Codes, staging.Count);
        q = base + end;
    }
    total += staging.Drain(twoByte);
    p = q + OwedBytes(owed);
    return total;
}

namespace {

// Bit k: the XOR of bits 0 to k of x (a carry-less product with all ones).
WIDE inline unsigned PrefixXor(unsigned x)
{
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<unsigned>(_mm_cvtsi128_si32(product));
}

} // namespace

// JIS: every byte gives one byte of output but those of the escapes, as long
// as the escapes are ESC $ B (or ESC $ @) into JIS X 0208 and ESC ( B back,
// one after the other, and the JIS X 0208 runs are whole pairs of graphic
// bytes. A block checks that with masks: the mode at each position flips at
// each escape (a prefix XOR of their starts), and the pairs are whole where
// the graphic bytes before each ESC ( B are even in number.
WIDE WHOLE_BLOCK_READS uint64_t JisMeasureWide(const uint8_t*& p, uint64_t budget, bool& kanji)
{
    const uint8_t* q = p;
    uint64_t total = 0;
    unsigned mode = kanji ? ~0u : 0u;   // all ones in JIS X 0208
    unsigned owed = 0;                   // escape bytes at the block's start owed by the block before
    unsigned pending = 0;                // all ones: the block starts inside a pair
    bool broken = false;
    while (!broken) {
        // As many blocks as fit before the page's end (a block reads 34
        // bytes) and in the budget (it passes at most 34, owed bytes
        // included), in a loop that keeps its state in locals.
        size_t blocks = PageLeft(q) >= 34 ? (PageLeft(q) - 34) / 32 + 1 : 0;
        const uint64_t passed = static_cast<uint64_t>(q - p);
        blocks = std::min<uint64_t>(blocks, budget - passed >= 34 ? (budget - passed - 2) / 32 : 0);
        if (blocks == 0)
            break;
        for (; blocks > 0; --blocks) {
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
            const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 2));
            const __m256i esc = _mm256_cmpeq_epi8(b0, Bytes(0x1B));
            const __m256i toKanji =
                _mm256_and_si256(_mm256_and_si256(esc, _mm256_cmpeq_epi8(b1, Bytes('$'))),
                                 _mm256_or_si256(_mm256_cmpeq_epi8(b2, Bytes('B')), _mm256_cmpeq_epi8(b2, Bytes('@'))));
            const __m256i toAscii = _mm256_and_si256(_mm256_and_si256(esc, _mm256_cmpeq_epi8(b1, Bytes('('))),
                                                     _mm256_cmpeq_epi8(b2, Bytes('B')));
            // The terminator, and an ESC the lane does not take.
            const unsigned unexpected = Bits(_mm256_or_si256(_mm256_cmpeq_epi8(b0, _mm256_setzero_si256()),
                                                             _mm256_andnot_si256(_mm256_or_si256(toKanji, toAscii), esc)));
            // As signed bytes, 0x21-0x7E are above 0x20 and below 0x7F.
            const unsigned graphic =
                Bits(_mm256_and_si256(_mm256_cmpgt_epi8(b0, Bytes(0x20)), _mm256_cmpgt_epi8(Bytes(0x7F), b0)));
            const unsigned kanjiStarts = Bits(toKanji), asciiStarts = Bits(toAscii);
            const unsigned starts = kanjiStarts | asciiStarts;
            const uint64_t escapeBytes = uint64_t(starts) | uint64_t(starts) << 1 | uint64_t(starts) << 2 | owed;
            const unsigned output = ~static_cast<unsigned>(escapeBytes);
            const unsigned kanjiAt = mode ^ PrefixXor(starts);   // the mode from each position on
            const unsigned pairBytes = kanjiAt & output;
            const unsigned oddBefore = PrefixXor(pairBytes) ^ pending;
            if ((unexpected | (kanjiStarts & ~kanjiAt) | (asciiStarts & kanjiAt) | (pairBytes & ~graphic)
                 | (asciiStarts & oddBefore)) != 0) {
                broken = true;
                break;
            }
            total += static_cast<unsigned>(__builtin_popcount(output));
            pending = (oddBefore >> 31) ? ~0u : 0u;
            mode = (kanjiAt >> 31) ? ~0u : 0u;
            owed = static_cast<unsigned>(escapeBytes >> 32);
            q += 32;
        }
    }
    // Left at a character boundary: past the bytes of an escape taken, or
    // back before the first byte of a pair cut by the block's end.
    q += owed == 0 ? 0 : owed == 1 ? 1 : 2;
    if (pending != 0) {
        --q;
        --total;
    }
    kanji = mode != 0;
    p = q;
    return total;
}

#else

bool ConvertWideLanesAvailable() { return false; }
uint64_t Utf16MeasureWide(const uint16_t*&, uint64_t, const uint64_t*) { return 0; }
uint64_t Utf8SjisMeasureWide(const uint8_t*&, uint64_t, const uint64_t*) { return 0; }
uint64_t JisMeasureWide(const uint8_t*&, uint64_t, bool&) { return 0; }

#endif
