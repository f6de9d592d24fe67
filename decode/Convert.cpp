// The converters to Shift_JIS. Each converter is a small step function that
// reads one character and yields its code; the two-call protocol and the
// capacity rule are written once, in RunConversion.
#include "decode/Convert.h"

#include "decode/ConvertWide.h"
#include "decode/FastPext.h"
#include "decode/SjisTables.h"

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

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

// Writes one UTF-16 unit per character.
struct Utf16Output {
    using Unit = uint16_t;
    static int Length(uint16_t) { return 1; }
    static void Put(uint16_t* output, uint16_t unit) { *output = unit; }
};

// Plain runs: stretches of units that are characters of their own whose code
// is the unit itself (ASCII, mostly). Real logs are mostly such stretches
// (time stamps, levels, paths) between Japanese characters, so the converters
// find their length sixteen bytes at a time and copy them in one go. The
// measuring calls of EucToSjis and Utf8ToUtf16 pass over longer stretches in
// the same way (Stretch below).
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
    ssPlain,        // zero and bytes above 0x7F: the end of a plain run
    ssPlainJis,     // the same, and ESC, SO and SI, which change the JIS mode
    ssEucMeasure,   // zero, SS2 and SS3: the EUC bytes whose codes may be shorter
    ssNotGraphic,   // every byte but 0x21-0x7E: the end of a run of JIS double-byte halves
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
        stops = _mm_or_si128(stops, v);   // the sign bit marks bytes above 0x7F
    if (Set == ssPlainJis) {
        stops = _mm_or_si128(stops, BytesEqual(v, Esc));
        stops = _mm_or_si128(stops, _mm_or_si128(BytesEqual(v, ShiftOut), BytesEqual(v, ShiftIn)));
    }
    if (Set == ssEucMeasure)
        stops = _mm_or_si128(stops, _mm_or_si128(BytesEqual(v, 0x8E), BytesEqual(v, 0x8F)));
    if (Set == ssNotGraphic)   // signed: 0x80-0xFF are below 0x21 as well
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
    unsigned valid = 0xFFFFu << offset & 0xFFFFu;   // the bytes from p on
    uint64_t count = 0;
    unsigned carried = 0;   // continuation bytes owed by the block before
    unsigned back = 0;      // bytes from its last character boundary to its end
    for (;; ++block) {
        const __m128i v = _mm_load_si128(block);
        const unsigned zero = static_cast<unsigned>(_mm_movemask_epi8(BytesEqual(v, 0)));
        const unsigned odd = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_or_si128(BytesEqual(v, 0xC0), BytesEqual(v, 0xE0)),
            _mm_cmpgt_epi8(_mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80))),
                           _mm_set1_epi8(0x6F)))));   // 0xF0-0xFF
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
                --count;   // the lead whose sequence runs into this block
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

// The scans above, after a look at the first unit: between two multi-byte
// characters there is often no plain unit at all.
template <bool Jis>
inline size_t ByteRun(const uint8_t* p, size_t limit = SIZE_MAX)
{
    const uint8_t first = *p;
    if (first == 0 || first > 0x7F || (Jis && (first == Esc || first == ShiftOut || first == ShiftIn)))
        return 0;
    return RunTo<Jis ? ssPlainJis : ssPlain>(p, limit);
}

inline size_t UnitRun(const uint16_t* p)
{
    return *p == 0 || *p > 0x7F ? 0 : ScanUnitRun(p);
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

inline unsigned CodeOfSequenceKey(unsigned key) { return (key & 15) << 12 | (key >> 4 & 63) << 6 | key >> 10; }

// Tables of the fast lanes, derived once from the generated tables.
struct FastTables {
    // Of each UTF-16 unit's code: its StoredWord in bits 0-15 and its length
    // in bits 16-23, so that a lane moves its output on without a compare.
    uint32_t Unit[65536];
    uint64_t TwoByte[1024];      // bit u: the code of unit u takes two bytes
    // StoredWord of each JIS X 0208 pair (plane 1) read as a little-endian
    // 16-bit word, both bytes 0x21-0x7E; 0 for any other two bytes.
    uint16_t Pair[65536];
    // StoredWord of each three-byte sequence by its key; 0 for key 0, the
    // overlong zero, which ends the text.
    uint16_t Sequence[65536];

    FastTables() : Unit(), TwoByte(), Pair(), Sequence()
    {
        for (unsigned u = 0; u < 65536; ++u) {
            const uint16_t code = UnicodeToSjisChar(static_cast<uint16_t>(u));
            const uint16_t word = StoredWord(code);
            Unit[u] = word | uint32_t(StoredLength(word)) << 16;
            if (code >= 0x100)
                TwoByte[u >> 6] |= uint64_t(1) << (u & 63);
        }
        for (unsigned row = 0; row < 94; ++row)
            for (unsigned cell = 0; cell < 94; ++cell)
                Pair[(cell + 0x21) << 8 | (row + 0x21)] =
                    StoredWord(JisCodeToSjis(static_cast<uint16_t>((row + 0x21) << 8 | (cell + 0x21)), 1));
        for (unsigned key = 1; key < 65536; ++key)
            Sequence[key] = static_cast<uint16_t>(Unit[CodeOfSequenceKey(key)]);
    }
};

// Off for tests and fuzzers: the narrow lanes then run where the wide ones
// would, and are checked as well.
std::atomic<bool> WideLanesOn{true};

inline bool WideLanes() { return WideLanesOn.load(std::memory_order_relaxed) && ConvertWideLanesAvailable(); }

inline bool PextLanes() { return WideLanesOn.load(std::memory_order_relaxed) && FastPextAvailable(); }

const FastTables& Fast()
{
    static const FastTables tables;
    return tables;
}

inline unsigned UnitLength(const FastTables& t, unsigned unit) { return 1 + ((t.TwoByte[unit >> 6] >> (unit & 63)) & 1); }

inline void StoreWord(uint8_t* output, uint16_t word) { std::memcpy(output, &word, 2); }

// The fast lanes. Their wide loads stay inside the page of a byte of the input
// (InPage), so like the scans above they read past the terminator at most
// within its page, and opt out of AddressSanitizer for that.

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

// After each store of a fast lane that runs past what it has converted:
// nothing, or in a test's converter the pause SetConverterStorePause gives,
// which lets another thread look at the output meanwhile. Only a reporting
// pass started with a pause set takes the second, so no other pass pays for
// it.
struct NoPause {
    static void Stored() { }
};
std::atomic<void (*)()> StorePause{nullptr};
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

// Progress reports of the tail's passes; the public converters take NoReport,
// which compiles to nothing.
struct NoReport {
    static constexpr bool Active = false;
    using Pause = NoPause;
    void Check(const void*) {}
    void Check(const void*, const void*) { }
};

// The state a converter carries between characters (JIS: its mode), through
// the step-by-step wrapper too.
template <typename Converter>
int ModeOf(const Converter& converter)
{
    if constexpr (requires { converter.Inner; })
        return ModeOf(converter.Inner);
    else if constexpr (requires { converter.Mode; })
        return converter.Mode;
    else
        return 0;
}

template <typename Converter>
void SetMode(Converter& converter, int mode)
{
    if constexpr (requires { converter.Inner; })
        SetMode(converter.Inner, mode);
    else if constexpr (requires { converter.Mode; })
        converter.Mode = static_cast<decltype(converter.Mode)>(mode);
}

template <typename PauseType = NoPause>
struct Reporter {
    static constexpr bool Active = true;
    using Pause = PauseType;
    const PassProgress* Progress;
    const uint8_t* Base;
    const uint8_t* Next;
    SjisMeasure* Measure = nullptr;   // where the measuring pass keeps resume points
    const uint8_t* NextResume;
    const uint8_t* Output = nullptr; // the converting pass's window

    explicit Reporter(const PassProgress* progress, const void* input, SjisMeasure* measure = nullptr)
        : Progress(progress), Base(static_cast<const uint8_t*>(input)),
          Next(progress ? Base + progress->Every : reinterpret_cast<const uint8_t*>(UINTPTR_MAX)),
          Measure(measure), NextResume(Base)
    {
    }
    void Check(const void* position)
    {
        const auto* at = static_cast<const uint8_t*>(position);
        if (at >= Next) {
            Progress->Reached(at, Progress->Context);
            Next = at + Progress->Every;
        }
    }
    // Of the converting pass, between characters, where everything before
    // end in the window is final: published before the report.
    void Check(const void* position, const void* end)
    {
        if (static_cast<const uint8_t*>(position) >= Next && Progress->Final != nullptr)
            Progress->Final->store(static_cast<uint64_t>(static_cast<const uint8_t*>(end) - Output),
                                   std::memory_order_release);
        Check(position);
    }
    // At a character boundary of the measuring pass: keeps the place now
    // and then, the last few of them.
    template <typename Converter>
    void Resume(const void* position, uint64_t total, const Converter& converter)
    {
        const auto* at = static_cast<const uint8_t*>(position);
        if (Measure == nullptr || at < NextResume)
            return;
        SjisResume& point = Measure->Recent[Measure->Resumes++ % SjisMeasure::RecentCount];
        point.Input = static_cast<uint64_t>(at - Base);
        point.Output = total;
        point.Mode = ModeOf(converter);
        NextResume = at + ResumeSpacing;
    }
    static constexpr uint64_t ResumeSpacing = uint64_t(1) << 16;
};

// A stretch passes at most this much output between two reports.
constexpr uint64_t ReportedStretch = uint64_t(1) << 16;

// The two-call protocol, for a converter object with
//  - Next(input, code): reads one character from input, advances it and stores
//    the character's code; returns false at the terminator (or at a character
//    cut short by it);
//  - PlainRun(input): the number of plain units at input, each a character of
//    its own whose code is the unit itself, one output unit long. Copying the
//    run gives what going through Next one unit at a time would give;
//  - optionally Stretch(input, budget): passes over whole characters whose
//    output length can be told without writing them, as long as their output
//    stays within budget units, and returns that length (0 when the character
//    at input is not one of them);
//  - optionally FastRun(input, output, room): converts whole characters the
//    same way Next and Put would, writing only output[0 .. room), and returns
//    the number of units written (0 when the character at input is left to
//    Next).

// The measuring call: the output length of everything up to the terminator.
// firstZero, where given, receives where the first zero byte of the output
// lies (the output length when there is none): only a double-byte code with a
// zero second byte, which Next alone makes, puts one inside.
template <typename Output, typename Input, typename Converter, typename Report = NoReport>
uint64_t MeasureLoop(const Input* input, Converter& converter, Report report = {}, uint64_t* firstZero = nullptr)
{
    uint16_t code = 0;
    uint64_t total = 0;
    bool zeroSeen = false;
    for (;;) {
        if constexpr (Report::Active)
            report.Resume(input, total, converter);
        if constexpr (requires { converter.Stretch(input, total); }) {
            total += converter.Stretch(input, Report::Active ? ReportedStretch : UINT64_MAX);
        } else {
            const size_t run = converter.PlainRun(input);
            input += run;
            total += run;
        }
        report.Check(input);
        if (!converter.Next(input, code))
            break;
        if (firstZero && !zeroSeen && code >= 0x100 && (code & 0xFF) == 0) {
            *firstZero = total + 1;
            zeroSeen = true;
        }
        total += Output::Length(code);
    }
    if (firstZero && !zeroSeen)
        *firstZero = total;
    return total;
}

// The converting call from the converter's present state on: writes within
// capacity by the capacity rule, terminates, and returns -1 or the total.
template <typename Output, typename Input, typename Converter, typename Report = NoReport>
int64_t ConvertLoop(typename Output::Unit* output, const Input* input, uint64_t capacity, Converter& converter,
                    Report report = {}, uint64_t* written = nullptr)
{
    uint16_t code = 0;
    uint64_t total = 0;
    bool stopped = false;
    for (;;) {
        // What lies before output + total is final: the fast lanes' stores
        // past it, and Put, write from there on.
        report.Check(input, output + total);
        if constexpr (requires { converter.FastRun(input, output, total); }) {
            if (total + 1 < capacity)
                total += converter.template FastRun<typename Report::Pause>(input, output + total,
                                                                            capacity - total - 1);
        }
        // A plain unit is written while the total with it stays below the
        // capacity. If the run is cut short, Next reads the plain unit that
        // reaches the capacity and the check below stops on it.
        size_t run = converter.PlainRun(input);
        if (run != 0) {
            const uint64_t room = total + 1 < capacity ? capacity - total - 1 : 0;
            if (run > room)
                run = static_cast<size_t>(room);
            CopyPlain(output + total, input, run);
            input += run;
            total += run;
        }
        if (!converter.Next(input, code))
            break;
        const int length = Output::Length(code);
        if (total + length >= capacity) {
            // Stop before the character that reaches or passes the capacity.
            total += length;
            stopped = true;
            break;
        }
        Output::Put(output + total, code);
        total += length;
    }
    // The terminator goes behind what was written, as long as the running
    // total (including a character stopped on) does not exceed the capacity.
    const uint64_t end = stopped ? total - Output::Length(code) : total;
    if (capacity > 0 && total <= capacity)
        output[end] = 0;
    if (written)
        *written = end;
    return stopped ? -1 : static_cast<int64_t>(total);
}

template <typename Output, typename Input, typename Converter>
int64_t RunConversion(typename Output::Unit* output, const Input* input, uint64_t capacity,
                      Converter& converter)
{
    if (output == nullptr)
        return static_cast<int64_t>(MeasureLoop<Output>(input, converter));
    return ConvertLoop<Output>(output, input, capacity, converter);
}

// The converting call's output from byte start on, written into window (which
// holds windowSize bytes): whole characters are passed without being written
// while their output ends at or before start, a character running across
// start gives its bytes from start on, and the rest is converted as usual.
// Returns the number of bytes written into the window (the terminator not
// counted).
template <typename Input, typename Converter, typename Report>
uint64_t RunTail(uint8_t* window, uint64_t windowSize, const Input* input, uint64_t start, Converter& converter,
                 Report report)
{
    uint16_t code = 0;
    uint64_t total = 0;
    uint64_t written = 0;
    while (total < start) {
        report.Check(input);
        if constexpr (requires { converter.Stretch(input, total); })
            total += converter.Stretch(input, std::min(start - total, ReportedStretch));
        const size_t run = converter.PlainRun(input);
        if (total + run > start) {
            const uint64_t skip = start - total;
            written = std::min<uint64_t>(run - skip, windowSize - 1);
            CopyPlain(window, input + skip, static_cast<size_t>(written));
            input += run;
            total += run;
            break;
        }
        input += run;
        total += run;
        if (!converter.Next(input, code)) {
            window[0] = 0;
            return 0;
        }
        const unsigned length = SjisLength(code);
        if (total + length > start) {
            uint8_t bytes[2] = {0, 0};
            SjisOutput::Put(bytes, code);
            for (uint64_t k = start - total; k < length; ++k)
                window[written++] = bytes[k];
            total += length;
            break;
        }
        total += length;
    }
    uint64_t rest = 0;
    ConvertLoop<SjisOutput>(window + written, input, windowSize - written, converter, report, &rest);
    return written + rest;
}

enum JisMode { jmAscii, jmRoman, jmKana, jmKanji, jmPlane1, jmPlane2, jmSupplement };

} // namespace

int PutSjisChar(uint8_t* output, uint16_t code)
{
    if (code >= 0x100) {
        if (output) {
            output[0] = static_cast<uint8_t>(code >> 8);
            output[1] = static_cast<uint8_t>(code);
        }
        return 2;
    }
    if (output)
        output[0] = code == 0 ? '?' : static_cast<uint8_t>(code);
    return 1;
}

uint16_t JisCodeToSjis(uint16_t code, int plane)
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

uint16_t UnicodeToSjisChar(uint16_t unit)
{
    const uint16_t* page = UnicodeToSjisTable[unit >> 8];
    return page ? page[unit & 0xFF] : 0;
}

uint16_t Jisx0212ToSjis(uint16_t code)
{
    const unsigned row = code >> 8;
    const unsigned cell = code & 0xFF;
    if (code < 0x3121 || code > 0x6D7E || cell < 0x21 || cell > 0x7D)
        return 0;
    return Jisx0212Table[(row - 0x30) * Jisx0212Cells + (cell - 0x21)];
}

namespace {

// DecodeUtf8Char's body, inlined into the converter's loop.
inline uint16_t DecodeUtf8(const uint8_t* input, int* length)
{
    // A sequence cut by the terminator yields 0 (ending the conversion), with
    // the length up to the zero byte; no byte behind the terminator is read.
    int size = 1;
    uint16_t value = 0;
    const uint8_t b = input[0];
    if (b < 0xC0) {
        value = b;   // ASCII, or a stray continuation byte as U+0080-U+00BF
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
            value = static_cast<uint16_t>(((b & 0x0F) << 12) | ((input[1] & 0x3F) << 6)
                                          | (input[2] & 0x3F));
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

// JIS: the mode is the converter's only state; it starts at jmAscii on every call.
struct JisConverter {
    JisMode Mode = jmAscii;

    // In the single-byte modes every byte 0x01-0x7F but ESC, SO and SI is
    // itself; in jmKana 0x21-0x7E are shifted and in the double-byte modes
    // they start pairs.
    size_t PlainRun(const uint8_t* p) const
    {
        return Mode == jmAscii || Mode == jmRoman ? ByteRun<true>(p) : 0;
    }

    // The escapes of a typical text, which switch between ASCII and JIS X
    // 0208 around every run of Japanese, taken without a trip through Next:
    // ESC $ B (or ESC $ @) in jmAscii, ESC ( B after whole pairs in the
    // double-byte modes. Each byte is compared only after the one before it
    // matched, as Next does.
    bool TakeKanjiIn(const uint8_t*& p)
    {
        if (p[0] != Esc || p[1] != '$' || (p[2] != 'B' && p[2] != '@'))
            return false;
        Mode = jmKanji;
        p += 3;
        return true;
    }
    bool TakeAsciiIn(const uint8_t*& p)
    {
        if (p[0] != Esc || p[1] != '(' || p[2] != 'B')
            return false;
        Mode = jmAscii;
        p += 3;
        return true;
    }
    bool DoubleByte() const { return Mode == jmKanji || Mode == jmPlane1; }

    // Measuring: plain runs, and in the JIS X 0208 modes runs of graphic
    // bytes, which pair up from their start into two-byte codes (an odd last
    // byte pairs with whatever follows, which is Next's to read); between
    // them the escapes above. It passes at most budget bytes of input, so a
    // reporting pass reports now and then even where escapes give no output.
    uint64_t Stretch(const uint8_t*& p, uint64_t budget)
    {
        if (WideLanes() && (Mode == jmAscii || Mode == jmKanji)) {
            // Where the wide lane takes nothing, the narrow one takes a few
            // runs at most.
            const uint8_t* from = p;
            bool kanji = Mode == jmKanji;
            const uint64_t wide = JisMeasureWide(p, budget, kanji);
            Mode = kanji ? jmKanji : jmAscii;
            if (p != from)
                return wide;
            budget = std::min<uint64_t>(budget, 64);
        }
        const uint8_t* start = p;
        uint64_t total = 0;
        for (;;) {
            const uint64_t left = budget - static_cast<uint64_t>(p - start);
            uint64_t run = 0;
            if (Mode == jmAscii || Mode == jmRoman)
                run = std::min<uint64_t>(RunTo<ssPlainJis>(p, left), left);
            else if (DoubleByte())
                run = std::min<uint64_t>(RunTo<ssNotGraphic>(p, left), left) & ~uint64_t(1);
            p += run;
            total += run;
            if (static_cast<uint64_t>(p - start) + 3 > budget)
                return total;
            if (!(Mode == jmAscii ? TakeKanjiIn(p) : DoubleByte() && TakeAsciiIn(p)))
                return total;
        }
    }

    // Converting: pairs by the table in the JIS X 0208 modes, plain runs in
    // jmAscii, and the escapes between them, up to about ReportedStretch
    // bytes of output a call so that a reporting pass keeps reporting.
    template <typename Pause = NoPause>
    uint64_t FastRun(const uint8_t*& p, uint8_t* output, uint64_t room)
    {
        room = std::min(room, ReportedStretch);
        uint64_t written = 0;
        for (;;) {
            if (DoubleByte()) {
                written += KanjiFastRun<0x0000>(p, output + written, room - written);
                if (!TakeAsciiIn(p))
                    return written;
            } else if (Mode == jmAscii) {
                if (!CopyRun<ssPlainJis, Pause>(p, output, written, room) || !TakeKanjiIn(p))
                    return written;
            } else {
                return written;
            }
        }
    }

    bool Next(const uint8_t*& p, uint16_t& code)
    {
        for (;;) {
            const uint8_t x = p[0];
            if (x >= 0x21 && x <= 0x7E) {
                // Graphic bytes start no escape or shift: their code depends
                // on the mode only.
                if (Mode == jmAscii || Mode == jmRoman) {
                    code = x;
                    ++p;
                    return true;
                }
                if (Mode == jmKana) {
                    code = x | 0x80;
                    ++p;
                    return true;
                }
                // Double-byte modes: the next byte is the cell, whatever it
                // is. A first byte cut by the terminator yields nothing.
                const uint8_t y = p[1];
                if (y == 0)
                    return false;
                const uint16_t jis = static_cast<uint16_t>(x * 256 + y);
                code = Mode == jmPlane2       ? JisCodeToSjis(jis, 2)
                       : Mode == jmSupplement ? Jisx0212ToSjis(jis)
                                              : JisCodeToSjis(jis, 1);
                p += 2;
                return true;
            }
            if (x == 0)
                return false;
            // Escape sequences and shifts produce no output. Each byte is
            // compared only after the one before it matched, so a sequence
            // cut by the terminator never reads past it.
            if (x == Esc) {
                if (p[1] == '$') {
                    if (p[2] == '(' && (p[3] == 'O' || p[3] == 'P')) {
                        Mode = p[3] == 'O' ? jmPlane1 : jmPlane2;
                        p += 4;
                        continue;
                    }
                    if (p[2] == '(' && p[3] == 'D') {
                        Mode = jmSupplement;
                        p += 4;
                        continue;
                    }
                    if (p[2] == '@' || p[2] == 'B') {
                        Mode = jmKanji;
                        p += 3;
                        continue;
                    }
                } else if (p[1] == '(') {
                    if (p[2] == 'B' || p[2] == 'J' || p[2] == 'I') {
                        Mode = p[2] == 'B' ? jmAscii : p[2] == 'J' ? jmRoman : jmKana;
                        p += 3;
                        continue;
                    }
                }
            } else if (x == ShiftIn && Mode == jmKana) {
                Mode = jmRoman;
                ++p;
                continue;
            } else if (x == ShiftOut && Mode == jmRoman) {
                Mode = jmKana;
                ++p;
                continue;
            }
            // Controls, space, DEL, eight-bit bytes and an unrecognised ESC
            // are one-byte codes in every mode.
            code = x;
            ++p;
            return true;
        }
    }
};

struct EucConverter {
    static size_t PlainRun(const uint8_t* p) { return ByteRun<false>(p); }
    // Pairs by the table and the plain runs between them, up to about
    // ReportedStretch bytes of output a call so that a reporting pass keeps
    // reporting.
    template <typename Pause = NoPause>
    static uint64_t FastRun(const uint8_t*& p, uint8_t* output, uint64_t room)
    {
        room = std::min(room, ReportedStretch);
        uint64_t written = 0;
        for (;;) {
            const uint64_t pairs = KanjiFastRun<0x8080>(p, output + written, room - written);
            written += pairs;
            const uint64_t before = written;
            if (!CopyRun<ssPlain, Pause>(p, output, written, room) || pairs + (written - before) == 0)
                return written;
        }
    }

    // Up to the next zero, SS2 or SS3 every character's code is as long as
    // the character: a byte below 0xA1 is a one-byte code, a byte 0xA1-0xFF
    // with any second byte but the terminator a two-byte code (lead
    // 0x81-0xEF). Bytes 0xA1-0xFF pair up from the last byte below 0xA1
    // (which always ends a character): an odd number of them before the stop
    // leaves the last one to Next, as the first byte of a pair.
    static uint64_t Stretch(const uint8_t*& p, uint64_t budget)
    {
        const uint8_t first = *p;
        if (first == 0 || first == 0x8E || first == 0x8F)
            return 0;
        // A stretch cut short by the budget pairs up its high bytes the same
        // way: the byte behind the cut is never looked at.
        const size_t stop = static_cast<size_t>(std::min<uint64_t>(ScanTo<ssEucMeasure>(p, budget), budget));
        size_t high = 0;
        while (high < stop && p[stop - 1 - high] >= 0xA1)
            ++high;
        const size_t length = stop - (high & 1);
        p += length;
        return length;
    }

    static bool Next(const uint8_t*& p, uint16_t& code)
    {
        const uint8_t x = p[0];
        if (x >= 0xA1) {
            // JIS X 0208 / JIS X 0213 plane 1; only the low seven bits of the
            // second byte count. A pair cut by the terminator yields nothing.
            const uint8_t y = p[1];
            if (y == 0)
                return false;
            code = JisCodeToSjis(static_cast<uint16_t>((x & 0x7F) * 256 + (y & 0x7F)), 1);
            p += 2;
            return true;
        }
        if (x == 0x8E) {
            // SS2: a half-width katakana byte.
            const uint8_t k = p[1];
            if (k == 0)
                return false;
            code = k | 0x80;
            p += 2;
            return true;
        }
        if (x == 0x8F) {
            // SS3: JIS X 0212 kanji rows 0x31-0x6D, else JIS X 0213 plane 2.
            const uint8_t b = p[1];
            if (b == 0 || p[2] == 0)
                return false;
            const uint16_t jis = static_cast<uint16_t>((b & 0x7F) * 256 + (p[2] & 0x7F));
            code = (b >= 0xB1 && b <= 0xED) ? Jisx0212ToSjis(jis) : JisCodeToSjis(jis, 2);
            p += 3;
            return true;
        }
        if (x == 0)
            return false;
        code = x;
        ++p;
        return true;
    }
};

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
        code = UnicodeToSjisChar(unit);
        ++p;
        return true;
    }
};

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
        code = UnicodeToSjisChar(unit);
        return true;
    }
};

// Off for tests and fuzzers: the converters then take one character at a
// time through Next alone, the literal steps, against which the fast lanes
// are checked.
std::atomic<bool> FastLanes{true};

template <typename Converter>
struct StepByStep {
    Converter Inner;
    template <typename Input>
    static size_t PlainRun(const Input*) { return 0; }
    template <typename Input>
    bool Next(const Input*& p, uint16_t& code) { return Inner.Next(p, code); }
};

template <typename Converter, typename Output, typename Input>
int64_t Run(typename Output::Unit* output, const Input* input, uint64_t capacity)
{
    if (FastLanes.load(std::memory_order_relaxed)) {
        Converter converter;
        return RunConversion<Output>(output, input, capacity, converter);
    }
    StepByStep<Converter> converter;
    return RunConversion<Output>(output, input, capacity, converter);
}

} // namespace

void SetConverterFastLanes(bool enabled) { FastLanes.store(enabled); }

void SetConverterWideLanes(bool enabled) { WideLanesOn.store(enabled); }

void SetConverterStorePause(void (*pause)()) { StorePause.store(pause); }

int64_t JisToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<JisConverter, SjisOutput>(output, input, capacity);
}

int64_t EucToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<EucConverter, SjisOutput>(output, input, capacity);
}

int64_t Utf16ToSjis(uint8_t* output, const uint16_t* input, uint64_t capacity)
{
    return Run<Utf16Converter, SjisOutput>(output, input, capacity);
}

int64_t Utf8ToUtf16(uint16_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<Utf8Converter, Utf16Output>(output, input, capacity);
}

int64_t Utf8ToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<Utf8SjisConverter, SjisOutput>(output, input, capacity);
}

namespace {

template <typename Converter>
struct StepByStepRoute : StepByStep<Converter> {
    static constexpr bool Literal = true;
};

template <typename Converter, typename Input>
SjisMeasure MeasureRoute(const Input* input, const PassProgress* progress)
{
    if constexpr (!requires { Converter::Literal; }) {
        if (!FastLanes.load(std::memory_order_relaxed))
            return MeasureRoute<StepByStepRoute<Converter>>(input, progress);
    }
    Converter converter;
    SjisMeasure result;
    result.Length =
        MeasureLoop<SjisOutput>(input, converter, Reporter<>(progress, input, &result), &result.TextLength);
    return result;
}

template <typename Converter, typename Input>
uint64_t TailRoute(const Input* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                   const PassProgress* progress, const SjisMeasure* measure)
{
    if constexpr (!requires { Converter::Literal; }) {
        if (!FastLanes.load(std::memory_order_relaxed))
            return TailRoute<StepByStepRoute<Converter>>(input, start, window, windowSize, progress, measure);
    }
    Converter converter;
    // The conversion resumes at the last kept place whose output lies before
    // start, if there is one.
    const SjisResume* from = nullptr;
    const int kept = measure ? std::min(measure->Resumes, SjisMeasure::RecentCount) : 0;
    for (int k = 0; k < kept; ++k) {
        const SjisResume& point = measure->Recent[k];
        if (point.Output <= start && (from == nullptr || point.Output > from->Output))
            from = &point;
    }
    if (from) {
        input += from->Input / sizeof(Input);
        start -= from->Output;
        SetMode(converter, from->Mode);
    }
    if (progress == nullptr)
        return RunTail(window, windowSize, input, start, converter, NoReport{});
    auto run = [&](auto report) {
        report.Output = window;
        return RunTail(window, windowSize, input, start, converter, report);
    };
    if (StorePause.load(std::memory_order_relaxed) != nullptr)
        return run(Reporter<HookPause>(progress, input));
    return run(Reporter<>(progress, input));
}

} // namespace

SjisMeasure MeasureSjis(SjisRoute route, const uint8_t* input, const PassProgress* progress)
{
    const auto* units = reinterpret_cast<const uint16_t*>(input);
    switch (route) {
    case SjisRoute::Jis: return MeasureRoute<JisConverter>(input, progress);
    case SjisRoute::Euc: return MeasureRoute<EucConverter>(input, progress);
    case SjisRoute::Utf16: return MeasureRoute<Utf16Converter>(units, progress);
    case SjisRoute::Utf8: return MeasureRoute<Utf8SjisConverter>(input, progress);
    }
    return {};
}

uint64_t ConvertSjisTail(SjisRoute route, const uint8_t* input, uint64_t start, uint8_t* window,
                         uint64_t windowSize, const PassProgress* progress, const SjisMeasure* measure)
{
    if (windowSize == 0)
        return 0;
    const auto* units = reinterpret_cast<const uint16_t*>(input);
    switch (route) {
    case SjisRoute::Jis: return TailRoute<JisConverter>(input, start, window, windowSize, progress, measure);
    case SjisRoute::Euc: return TailRoute<EucConverter>(input, start, window, windowSize, progress, measure);
    case SjisRoute::Utf16: return TailRoute<Utf16Converter>(units, start, window, windowSize, progress, measure);
    case SjisRoute::Utf8: return TailRoute<Utf8SjisConverter>(input, start, window, windowSize, progress, measure);
    }
    window[0] = 0;
    return 0;
}
