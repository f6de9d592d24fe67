// The measuring calls' widest lanes: 32 bytes at a time with AVX2 on the
// UTF-16, UTF-8 and JIS routes to Shift_JIS, each beside its route's
// converter (ConvertUtf16.cpp, ConvertUtf8.cpp, ConvertJis.cpp), and what
// they share. Internal to the converters; see Convert.h for the two-call
// protocol they serve.
#pragma once

#include <cstdint>

// Whether the processor has what the lanes need (AVX2, POPCNT, PCLMUL).
// Does not wait, never throws.
bool ConvertWideLanesAvailable();

// Both lanes pass p over whole characters and return their Shift_JIS length,
// as long as that stays within budget, where twoByte holds bit u for each
// UTF-16 unit u whose code takes two bytes. They stop before anything they
// do not take (the terminator among it) and may stop earlier, near the end
// of the budget or of a page; they return 0 if they take nothing. Their wide
// loads stay within the pages of the bytes they pass or stop before. Call
// only where ConvertWideLanesAvailable() is true. Allocate nothing, never
// throw.

// UTF-16 units, each a character of its own.
uint64_t Utf16MeasureWide(const uint16_t*& p, uint64_t budget, const uint64_t* twoByte);
// UTF-8 bytes 0x01-0x7F and three-byte sequences with a lead of 0xE1-0xEF.
uint64_t Utf8SjisMeasureWide(const uint8_t*& p, uint64_t budget, const uint64_t* twoByte);

// JIS in ASCII and JIS X 0208 (kanji true) modes, as JisToSjis measures it:
// bytes but the terminator and ESC in ASCII, whole pairs of graphic bytes in
// JIS X 0208, and the escapes ESC $ B, ESC $ @ and ESC ( B between them.
// Passes at most budget bytes of input, returns the Shift_JIS length of what
// it passed and leaves kanji as the mode there; the rest as above.
uint64_t JisMeasureWide(const uint8_t*& p, uint64_t budget, bool& kanji);

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <iterator>

// What the wide lanes share. A Shift_JIS length is one byte for each
// character plus one for each whose code takes two bytes. Blocks of 32 bytes
// are sorted with vector compares: plain units count one; characters of page
// U+30xx (kana and Japanese punctuation, most of the non-ASCII text of a
// log) find their bit in that page's 256-bit map with PSHUFB; the others
// (kanji, mostly) have their code points packed into a staging buffer that
// a plain loop then looks up in the bitmap. Keeping the lookups out of the
// block loop keeps the loop free of data-dependent branches, which a text
// switching between ASCII and Japanese every few characters would
// mispredict. The JIS lane counts bytes between escapes.
#define WISPLOG_WIDE [[gnu::target("avx2,popcnt,pclmul")]]

namespace convert_wide {

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
inline constexpr PackTable Pack;

// Stores the lanes of units marked in mask at out, in order. Writes 16 bytes
// whatever their number.
WISPLOG_WIDE inline void Pack8(uint16_t* out, __m128i units, unsigned mask)
{
    const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i*>(Pack.Control[mask]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(units, control));
}

// One bit per 16-bit lane of a compare result, in lane order.
WISPLOG_WIDE inline unsigned LaneBits(__m256i lanes)
{
    const __m128i bytes = _mm_packs_epi16(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    return static_cast<unsigned>(_mm_movemask_epi8(bytes));
}

// Constants of the block loops, kept in memory whose contents the compiler
// does not assume: short of vector registers in the loops, gcc would
// otherwise build each constant again from immediates in every block (three
// instructions), where now each use is one load from a line that stays in
// the cache. They are defined in ConvertWide.cpp, with external linkage, so
// that the compiler cannot tell that nothing writes them and fold them back
// into immediates.

inline constexpr uint16_t UnitValues[] = {0x7F, 0x30, 0x8000, 15, 7};

struct LoopConstants {
    alignas(32) uint8_t Byte[256][32];                    // each byte value in every position
    alignas(32) uint16_t Unit[std::size(UnitValues)][16]; // each of UnitValues in every lane
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

constexpr size_t UnitIndex(uint16_t value)
{
    size_t k = 0;
    while (UnitValues[k] != value)
        ++k;
    return k;
}

// A byte in every position; a 16-bit unit (one of UnitValues) in every lane.
WISPLOG_WIDE inline __m256i Bytes(int c)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(Constants.Byte[static_cast<uint8_t>(c)]));
}
template <uint16_t Value>
WISPLOG_WIDE inline __m256i Units()
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(Constants.Unit[UnitIndex(Value)]));
}

// The map of page U+30xx: byte k of its 32 bytes holds the bits of units
// U+3000 + 8k to + 8k + 7, as two halves for PSHUFB, each in both lanes.
struct KanaPage {
    __m256i Low, High;
    __m256i BitOf; // 1 << k in byte k of each group of eight
};

WISPLOG_WIDE inline KanaPage LoadKanaPage(const uint64_t* twoByte)
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
WISPLOG_WIDE inline __m256i KanaBits(const KanaPage& page, __m256i index, __m256i half, __m256i bit)
{
    const __m256i bytes =
        _mm256_blendv_epi8(_mm256_shuffle_epi8(page.Low, index), _mm256_shuffle_epi8(page.High, index), half);
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

WISPLOG_WIDE inline unsigned Bits(__m256i v) { return static_cast<unsigned>(_mm256_movemask_epi8(v)); }

} // namespace convert_wide

#endif
