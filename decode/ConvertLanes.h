// What the converters to Shift_JIS share below the two-call protocol: the
// look-ups in the generated tables, the scans of plain runs, the tables the
// fast lanes derive from the generated ones, the block copy and the lane of
// JIS X 0208 pairs (JIS and EUC-JP), and the store pause of the tests.
// Internal to the converters (ConvertJis.cpp, ConvertEuc.cpp,
// ConvertUtf16.cpp, ConvertUtf8.cpp).
#pragma once

#include "decode/ConvertWide.h"
#include "decode/FastPext.h"
#include "decode/SjisTables.h"

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sjis_convert {

constexpr uint8_t Esc = 0x1B;
constexpr uint8_t ShiftOut = 0x0E;
constexpr uint8_t ShiftIn = 0x0F;

// Length of a Shift_JIS code: one byte below 0x100 (0 is written as '?'),
// else two. Measuring and writing both use this, so the two calls agree.
inline int SjisLength(uint16_t code) { return code >= 0x100 ? 2 : 1; }

// Writes Shift_JIS codes.
struct SjisOutput {
    using Unit = uint8_t;
    static int Length(uint16_t code) { return SjisLength(code); }
    // PutSjisChar on an output known to be there.
    static void Put(uint8_t* output, uint16_t code)
    {
        if (code >= 0x100) {
            output[0] = static_cast<uint8_t>(code >> 8);
            output[1] = static_cast<uint8_t>(code);
        } else {
            output[0] = code == 0 ? '?' : static_cast<uint8_t>(code);
        }
    }
};

// The look-ups behind UnicodeToSjisChar, JisCodeToSjis and Jisx0212ToSjis,
// inlined into the converters' loops.
inline uint16_t SjisOfUnit(uint16_t unit)
{
    const uint16_t* page = UnicodeToSjisTable[unit >> 8];
    return page ? page[unit & 0xFF] : 0;
}

inline uint16_t SjisOfJis(uint16_t code, int plane)
{
    unsigned row = code >> 8;
    const unsigned cell = code & 0xFF;
    if (plane == 2) {
        // Plane-2 rows 1, 3-5, 8, 12-15 and 78-94 sit on the lead bytes
        // 0xF0-0xFC; the other rows have no Shift_JIS place.
        if (row == 0x21 || (row >= 0x23 && row <= 0x25))
            row += 0x5E;
        else if (row == 0x28 || (row >= 0x2C && row <= 0x2F))
            row += 0x58;
        else if (row >= 0x6E)
            row += 0x1A;
        else
            return 0;
    }
    // Two JIS rows share one lead byte: the odd row takes trail bytes
    // 0x40-0x9E (skipping 0x7F), the even row 0x9F-0xFC.
    unsigned trail = (row & 1) ? cell + 0x1F : cell + 0x7D;
    if (trail >= 0x7F)
        ++trail;
    unsigned lead = ((row - 0x21) >> 1) + 0x81;
    if (lead > 0x9F)
        lead += 0x40;
    // Out-of-range bytes give whatever the formula gives, kept to 16 bits (a
    // trail above 0xFF carries into the lead byte) so that the code's length
    // is decided by the one length rule.
    return static_cast<uint16_t>(lead * 256 + trail);
}

inline uint16_t SjisOfJisx0212(uint16_t code)
{
    const unsigned row = code >> 8;
    const unsigned cell = code & 0xFF;
    if (code < 0x3121 || code > 0x6D7E || cell < 0x21 || cell > 0x7D)
        return 0;
    return Jisx0212Table[(row - 0x30) * Jisx0212Cells + (cell - 0x21)];
}

// Plain runs: stretches of units that are characters of their own whose code
// is the unit itself (ASCII, mostly). Real logs are mostly such stretches
// (time stamps, levels, paths) between Japanese characters, so the converters
// find their length sixteen bytes at a time and copy them in one go. The
// measuring calls of EucToSjis and Utf8ToUtf16 pass over longer stretches in
// the same way (their Stretch).
//
// Every scan reads whole aligned 16-byte blocks: the block holding the first
// unit, then the following blocks until one holds a unit that ends the scan.
// The terminating zero ends every scan, so no block beyond the one holding the
// terminator is read. An aligned block never crosses a page boundary, and the
// blocks read share a page with a unit of the input, so a scan cannot fault
// even where the terminator is the last byte before an unmapped page. The
// bytes of those blocks outside the input (before its start, behind its
// terminator) are loaded but never change a result: they are masked or
// shifted out, or lie behind the unit that ends the scan. AddressSanitizer
// would still report the load of a block that overlaps the red zone around a
// heap block, hence the attribute on the scanning functions (and only on
// them).
#define WISPLOG_WHOLE_BLOCK_READS __attribute__((no_sanitize("address")))

// The sets of bytes that end a scan.
enum StopSet {
    ssPlain,      // zero and bytes above 0x7F: the end of a plain run
    ssPlainJis,   // the same, and ESC, SO and SI, which change the JIS mode
    ssEucMeasure, // zero, SS2 and SS3: the EUC bytes whose codes may be shorter
    ssNotGraphic, // every byte but 0x21-0x7E: the end of a run of JIS double-byte halves
};

__attribute__((always_inline)) inline __m128i BytesEqual(__m128i v, uint8_t byte)
{
    return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(byte)));
}

// Bit k set for each byte k of v in the set.
template <StopSet Set>
__attribute__((always_inline)) inline unsigned ByteStops(__m128i v)
{
    __m128i stops = BytesEqual(v, 0);
    if (Set == ssPlain || Set == ssPlainJis)
        stops = _mm_or_si128(stops, v); // the sign bit marks bytes above 0x7F
    if (Set == ssPlainJis) {
        stops = _mm_or_si128(stops, BytesEqual(v, Esc));
        stops = _mm_or_si128(stops, _mm_or_si128(BytesEqual(v, ShiftOut), BytesEqual(v, ShiftIn)));
    }
    if (Set == ssEucMeasure)
        stops = _mm_or_si128(stops, _mm_or_si128(BytesEqual(v, 0x8E), BytesEqual(v, 0x8F)));
    if (Set == ssNotGraphic) // signed: 0x80-0xFF are below 0x21 as well
        stops = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x21)), BytesEqual(v, 0x7F));
    return static_cast<unsigned>(_mm_movemask_epi8(stops));
}

// Index of the first byte at p that is in the set; the terminator is. With a
// limit, the scan may end at any index from the limit on instead.
template <StopSet Set>
WISPLOG_WHOLE_BLOCK_READS size_t ScanTo(const uint8_t* p, size_t limit = SIZE_MAX)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    const unsigned offset = static_cast<unsigned>(address & 15);
    const __m128i* block = reinterpret_cast<const __m128i*>(address - offset);
    // Bytes of the first block before p are shifted out.
    unsigned stops = ByteStops<Set>(_mm_load_si128(block)) >> offset;
    if (stops != 0)
        return static_cast<size_t>(__builtin_ctz(stops));
    size_t run = 16 - offset;
    for (;;) {
        ++block;
        stops = ByteStops<Set>(_mm_load_si128(block));
        if (stops != 0)
            return run + static_cast<size_t>(__builtin_ctz(stops));
        run += 16;
        if (run >= limit)
            return run;
    }
}

// True when the width bytes at p lie in p's page: such a load cannot fault
// even where the terminator is the last byte before an unmapped page.
template <size_t Width>
inline bool InPage(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - Width;
}

// ScanTo for the short runs of real text (plain bytes, JIS double-byte
// halves): sixteen bytes at a time with unaligned loads from p while they stay
// in p's page, then by ScanTo.
template <StopSet Set>
WISPLOG_WHOLE_BLOCK_READS inline size_t RunTo(const uint8_t* p, size_t limit = SIZE_MAX)
{
    size_t run = 0;
    while (InPage<16>(p + run)) {
        if (run >= limit)
            return run;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + run));
        const unsigned stops = ByteStops<Set>(v);
        if (stops != 0)
            return run + static_cast<size_t>(__builtin_ctz(stops));
        run += 16;
    }
    return run + ScanTo<Set>(p + run, limit > run ? limit - run : 0);
}

// The scan above, after a look at the first byte: between two multi-byte
// characters there is often no plain byte at all.
template <bool Jis>
inline size_t ByteRun(const uint8_t* p, size_t limit = SIZE_MAX)
{
    const uint8_t first = *p;
    if (first == 0 || first > 0x7F || (Jis && (first == Esc || first == ShiftOut || first == ShiftIn)))
        return 0;
    return RunTo < Jis ? ssPlainJis : ssPlain > (p, limit);
}

// Copies count plain units, each becoming one output unit of the same value.
template <typename Out, typename In>
inline void CopyPlain(Out* output, const In* input, size_t count)
{
    if constexpr (sizeof(Out) == sizeof(In)) {
        std::memcpy(output, input, count * sizeof(In));
    } else {
        for (size_t k = 0; k < count; ++k)
            output[k] = static_cast<Out>(input[k]);
    }
}

// Shift_JIS bytes as the converters store them, for the fast lanes: the first
// byte in the low half of a 16-bit word, the second (if any) in the high half,
// so that one unaligned 16-bit store writes a character of either length.
inline uint16_t StoredWord(uint16_t code)
{
    if (code >= 0x100)
        return static_cast<uint16_t>((code >> 8) | (code << 8));
    return code == 0 ? u'?' : code;
}

// Length of a stored word: two bytes when its high half is taken.
inline unsigned StoredLength(uint16_t word) { return word > 0xFF ? 2 : 1; }

// The key of a three-byte UTF-8 sequence read as a little-endian word x:
// the lead's low four bits, then the two continuation bytes' low six bits,
// gathered by PEXT in one instruction (three shifts, three masks and two ORs
// make the code point).
constexpr uint32_t SequenceKeyBits = 0x3F3F0Fu;

inline unsigned CodeOfSequenceKey(unsigned key)
{
    return (key & 15) << 12 | (key >> 4 & 63) << 6 | key >> 10;
}

// Tables of the fast lanes, derived once from the generated tables.
struct FastTables {
    // Of each UTF-16 unit's code: its StoredWord in bits 0-15 and its length
    // in bits 16-23, so that a lane moves its output on without a compare.
    uint32_t Unit[65536];
    uint64_t TwoByte[1024]; // bit u: the code of unit u takes two bytes
    // StoredWord of each JIS X 0208 pair (plane 1) read as a little-endian
    // 16-bit word, both bytes 0x21-0x7E; 0 for any other two bytes.
    uint16_t Pair[65536];
    // StoredWord of each three-byte sequence by its key; 0 for key 0, the
    // overlong zero, which ends the text.
    uint16_t Sequence[65536];

    FastTables() : Unit(), TwoByte(), Pair(), Sequence()
    {
        for (unsigned u = 0; u < 65536; ++u) {
            const uint16_t code = SjisOfUnit(static_cast<uint16_t>(u));
            const uint16_t word = StoredWord(code);
            Unit[u] = word | uint32_t(StoredLength(word)) << 16;
            if (code >= 0x100)
                TwoByte[u >> 6] |= uint64_t(1) << (u & 63);
        }
        for (unsigned row = 0; row < 94; ++row)
            for (unsigned cell = 0; cell < 94; ++cell)
                Pair[(cell + 0x21) << 8 | (row + 0x21)] =
                    StoredWord(SjisOfJis(static_cast<uint16_t>((row + 0x21) << 8 | (cell + 0x21)), 1));
        for (unsigned key = 1; key < 65536; ++key)
            Sequence[key] = static_cast<uint16_t>(Unit[CodeOfSequenceKey(key)]);
    }
};

// Off for tests and fuzzers: the narrow lanes then run where the wide ones
// would, and are checked as well.
inline std::atomic<bool> WideLanesOn{true};

inline bool WideLanes() { return WideLanesOn.load(std::memory_order_relaxed) && ConvertWideLanesAvailable(); }

inline bool PextLanes() { return WideLanesOn.load(std::memory_order_relaxed) && FastPextAvailable(); }

inline const FastTables& Fast()
{
    static const FastTables tables;
    return tables;
}

inline unsigned UnitLength(const FastTables& t, unsigned unit)
{
    return 1 + ((t.TwoByte[unit >> 6] >> (unit & 63)) & 1);
}

inline void StoreWord(uint8_t* output, uint16_t word) { std::memcpy(output, &word, 2); }

// The fast lanes. Their wide loads stay inside the page of a byte of the input
// (InPage), so like the scans above they read past the terminator at most
// within its page, and opt out of AddressSanitizer for that.

// After each store of a fast lane that runs past what it has converted:
// nothing, or in a test's converter the pause SetConverterStorePause gives,
// which lets another thread look at the output meanwhile. Only a reporting
// pass started with a pause set takes the second, so no other pass pays for
// it.
struct NoPause {
    static void Stored() { }
};
inline std::atomic<void (*)()> StorePause{nullptr};
struct HookPause {
    static void Stored()
    {
        if (void (*pause)() = StorePause.load(std::memory_order_relaxed))
            pause();
    }
};

// Copies the run of bytes outside Set at q to output + written, passing q and
// written over it. Sixteen bytes at a time: each block is stored whole and
// the output moves on by its bytes before the first stop (what it stores
// behind them is written over by what follows, or lies behind the
// terminator). Near the end of the room or of a page, an exact copy. Writes
// only output[0 .. room); returns false where the room cut the run short.
// Locals carry the positions: the byte stores may alias anything.
template <StopSet Set, typename Pause = NoPause>
WISPLOG_WHOLE_BLOCK_READS inline bool CopyRun(const uint8_t*& q, uint8_t* output, uint64_t& written,
                                              uint64_t room)
{
    const uint8_t* from = q;
    uint64_t to = written;
    for (;;) {
        if (room - to < 16 || !InPage<16>(from)) {
            const size_t run = RunTo<Set>(from);
            const size_t copied = static_cast<size_t>(std::min<uint64_t>(run, room - to));
            std::memcpy(output + to, from, copied);
            q = from + copied;
            written = to + copied;
            return copied == run;
        }
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + to), v);
        Pause::Stored();
        const unsigned stops = ByteStops<Set>(v);
        if (stops != 0) {
            const unsigned k = static_cast<unsigned>(__builtin_ctz(stops));
            q = from + k;
            written = to + k;
            return true;
        }
        from += 16;
        to += 16;
    }
}

// Converting JIS X 0208 pairs, both bytes 0x21-0x7E (EUC-JP passes them with
// the top bits set, which Flip takes off), by the table: one 16-bit load a
// pair, while the pair's bytes lie in the page of its first.
template <uint16_t Flip>
WISPLOG_WHOLE_BLOCK_READS inline uint64_t KanjiFastRun(const uint8_t*& p, uint8_t* output, uint64_t room)
{
    const FastTables& t = Fast();
    const uint8_t* q = p;
    const size_t offset = reinterpret_cast<uintptr_t>(q) & 4095;
    const uint64_t pairs = std::min<uint64_t>(room / 2, offset > 4094 ? 0 : (4094 - offset) / 2 + 1);
    const uint8_t* const stop = q + 2 * pairs;
    uint64_t written = 0;
    while (q != stop) {
        uint16_t x;
        std::memcpy(&x, q, 2);
        const uint16_t word = t.Pair[x ^ Flip];
        if (word == 0)
            break;
        StoreWord(output + written, word);
        written += 2;
        q += 2;
    }
    p = q;
    return written;
}

} // namespace sjis_convert
