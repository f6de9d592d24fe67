// DetectEncoding: one forward pass that gathers signs of each encoding in
// counters and flags, then a fixed order of decision rules.
//
// The thirteen steps per position are written out in the main loop. Most
// positions of real text take one of two fast lanes that give the same result:
// runs of quiet ASCII bytes, which change nothing, are passed over sixteen at a
// time, and at bytes above 0x80 steps 8 to 13 (the UTF-8, Shift_JIS and EUC
// counting) run as a small table-driven automaton, sixteen positions per
// block: their byte kinds and the automaton's symbols are made with SSE2, and
// the automaton then takes eight lookups of two positions each. Where the
// processor has AVX2, a wider lane takes 62 positions at a time and works
// out their counts with bit operations instead (DetectWide.cpp).
#include "decode/Detect.h"

#include <atomic>
#include <cstring>

#include "decode/DetectWide.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define X 0xFF
const uint8_t Base64Values[128] = {
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,   // 0x00
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,   // 0x10
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  62, X,  X,  X,  63,  // 0x20 '+' '/'
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, X,  X,  X,  X,  X,  X,   // 0x30 '0'-'9'
    X,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,  // 0x40 'A'-
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, X,  X,  X,  X,  X,   // 0x50 -'Z'
    X,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,  // 0x60 'a'-
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, X,  X,  X,  X,  X,   // 0x70 -'z'
};
#undef X

namespace {

constexpr uint8_t Esc = 0x1B;

constexpr bool IsBase64(uint8_t b) { return b < 0x80 && Base64Values[b] != 0xFF; }
constexpr bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }
constexpr bool IsSjisLead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
constexpr bool IsSjisTrail(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
constexpr bool IsEucByte(uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

// A quiet byte does nothing in steps 1 to 7 unless a checked UTF-7 run is
// open: it is not zero (steps 1, 2), not above 0x7F (steps 3, 4), not CR or LF
// (step 4), not '+' (step 5 outside a run) and not ESC (step 7). Once the UTF-7
// check is over, '+' is quiet as well. Where no UTF-8 sequence and no pair is
// open, a quiet byte also passes steps 8 to 13 without effect. The sixteen-byte
// scans look at the next byte too: CR or LF not followed by a zero byte does
// nothing at step 4, nor ESC not followed by '$' at step 7, so there they are
// quiet as well.
constexpr bool IsQuiet(uint8_t b, bool plusIsQuiet)
{
    return b >= 0x01 && b <= 0x7F && b != Esc && b != '\r' && b != '\n' && (plusIsQuiet || b != '+');
}

enum : uint8_t {
    kQuiet = 1,            // IsQuiet(b, false)
    kQuietAfterUtf7 = 2,   // IsQuiet(b, true)
    kOddHigh = 4,          // 0xA0-0xF7: rules out UTF-16LE at an odd position
};

// Steps 8 to 13 look at the bytes at i, i + 1 and i + 2 only through these
// tests: b >= 0xC0, Shift_JIS lead and EUC byte at i; continuation, Shift_JIS
// trail and EUC byte at i + 1; continuation at i + 2. The bytes fall into nine
// kinds that answer all of them alike; KindSample holds one byte of each.
constexpr int KindCount = 9;
constexpr uint8_t KindSample[KindCount] = {0x20, 0x41, 0x80, 0x81, 0xA1, 0xC0, 0xE0, 0xFD, 0xFF};
constexpr uint8_t KindOf(int b)
{
    return b < 0x40 || b == 0x7F ? 0 : b < 0x80 ? 1 : b == 0x80 || b == 0xA0 ? 2 : b < 0xA0 ? 3
           : b < 0xC0 ? 4 : b < 0xE0 ? 5 : b < 0xFD ? 6 : b < 0xFF ? 7 : 8;
}
constexpr int SymbolCount = KindCount * KindCount * KindCount;

// State of the automaton: utf8Skip (0 to 2), inSjisPair, inEucPair.
constexpr unsigned StateOf(int skip, bool sjis, bool euc) { return skip | (sjis ? 4 : 0) | (euc ? 8 : 0); }

enum Counted : unsigned { cNone = 0, cUtf8 = 1, cSjis = 2, cEuc = 3 };
// A raised counter as an increment of its 21-bit field.
constexpr uint64_t RaisedFields[4] = {0, 1, uint64_t(1) << 21, uint64_t(1) << 42};
constexpr uint64_t FieldMask = (uint64_t(1) << 21) - 1;

struct Tables {
    uint8_t Classes[256];
    uint8_t Kind[256];
    // For each symbol (the kinds at i, i + 1, i + 2): the successor of each of
    // the sixteen states, four bits each, and the counter each transition
    // raises, two bits each. A step then costs a shift and a mask.
    uint64_t Next[SymbolCount];
    uint32_t Counted[SymbolCount];

    constexpr Tables() : Classes(), Kind(), Next(), Counted()
    {
        for (int b = 0; b < 256; ++b) {
            const uint8_t byte = static_cast<uint8_t>(b);
            Classes[b] = static_cast<uint8_t>((IsQuiet(byte, false) ? kQuiet : 0)
                                              | (IsQuiet(byte, true) ? kQuietAfterUtf7 : 0)
                                              | (b >= 0xA0 && b <= 0xF7 ? kOddHigh : 0));
            Kind[b] = KindOf(b);
        }
        for (int kb = 0; kb < KindCount; ++kb) {
            for (int kn = 0; kn < KindCount; ++kn) {
                for (int k2 = 0; k2 < KindCount; ++k2) {
                    const uint8_t b = KindSample[kb], n = KindSample[kn], b2 = KindSample[k2];
                    const int symbol = (kb * KindCount + kn) * KindCount + k2;
                    for (unsigned state = 0; state < 16; ++state) {
                        int skip = state & 3;
                        bool sjis = (state & 4) != 0, euc = (state & 8) != 0;
                        unsigned raised = cNone;
                        if (skip == 0 && b >= 0xC0 && IsContinuation(n) && IsContinuation(b2)) {
                            raised = cUtf8;     // step 8
                            skip = 2;
                        } else if (skip > 0) {
                            --skip;             // step 9
                        } else if (!sjis && IsSjisLead(b) && IsSjisTrail(n)) {
                            raised = cSjis;     // step 10
                            sjis = true;
                        } else if (sjis) {
                            sjis = false;       // step 11
                        } else if (!euc && IsEucByte(b) && IsEucByte(n)) {
                            raised = cEuc;      // step 12
                            euc = true;
                        } else {
                            euc = false;        // step 13
                        }
                        Next[symbol] |= static_cast<uint64_t>(StateOf(skip, sjis, euc)) << (4 * state);
                        Counted[symbol] |= raised << (2 * state);
                    }
                }
            }
        }
    }
};
constexpr Tables T;

// Two positions in one step: for each combination of the kinds at i to i + 2
// and whether the byte at i + 3 is a continuation byte (the only test made of
// it, by step 8 at i + 1), the successor of each state after positions i and
// i + 1 (four bits each) and the two counters raised (two bits each, position
// i in the low pair). Pair symbol: ((kind b * 9 + kind n) * 9 + kind b2) * 2
// + continuation.
// Behind the pair symbols come the single positions (one step, by the
// symbols of Tables) and one step that changes nothing, so that a block of
// sixteen positions always takes eight lookups, however many of its
// positions are taken.
constexpr int PairSymbolCount = SymbolCount * 2;
constexpr int SingleBase = PairSymbolCount;
constexpr int NoStep = SingleBase + SymbolCount;

struct PairTables {
    uint64_t Next[NoStep + 1];
    uint64_t Counted[NoStep + 1];

    constexpr PairTables() : Next(), Counted()
    {
        for (int symbol = 0; symbol < SymbolCount; ++symbol) {
            Next[SingleBase + symbol] = T.Next[symbol];
            for (unsigned state = 0; state < 16; ++state)
                Counted[SingleBase + symbol] |= static_cast<uint64_t>((T.Counted[symbol] >> (2 * state)) & 3)
                                                << (4 * state);
        }
        for (unsigned state = 0; state < 16; ++state)
            Next[NoStep] |= static_cast<uint64_t>(state) << (4 * state);
        for (int symbol = 0; symbol < PairSymbolCount; ++symbol) {
            const int first = symbol / 2;                         // kinds at i, i + 1, i + 2
            // At i + 1 to i + 3: the byte at i + 3 stands as 0x80 or a space.
            const int second = (first % (KindCount * KindCount)) * KindCount + (symbol % 2 ? KindOf(0x80) : 0);
            for (unsigned state = 0; state < 16; ++state) {
                const unsigned middle = static_cast<unsigned>(T.Next[first] >> (4 * state)) & 15;
                const unsigned last = static_cast<unsigned>(T.Next[second] >> (4 * middle)) & 15;
                const unsigned raised = ((T.Counted[first] >> (2 * state)) & 3)
                                        | ((T.Counted[second] >> (2 * middle)) & 3) << 2;
                Next[symbol] |= static_cast<uint64_t>(last) << (4 * state);
                Counted[symbol] |= static_cast<uint64_t>(raised) << (4 * state);
            }
        }
    }
};
constexpr PairTables T2;

// The counters raised by a pair step (two bits each, as in PairTables) as
// increments of their 21-bit fields.
struct PairIncrements {
    uint64_t Of[16];
    constexpr PairIncrements() : Of()
    {
        for (unsigned raised = 0; raised < 16; ++raised)
            Of[raised] = RaisedFields[raised & 3] + RaisedFields[raised >> 2];
    }
};
constexpr PairIncrements Raised2;

#if defined(__SSE2__)
// Kinds (KindOf) of sixteen bytes: the number of the thresholds 0x40, 0x80,
// 0x81, 0xA1, 0xC0, 0xE0, 0xFD and 0xFF that a byte reaches, less one for
// 0x7F and 0xA0. The bytes are compared as signed numbers after flipping
// their top bit.
inline __m128i KindsOf(__m128i v)
{
    const __m128i x = _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
    auto reaches = [&](int t) {   // 0xFF where v >= t
        return _mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>((t - 1) ^ 0x80)));
    };
    __m128i minus = _mm_add_epi8(reaches(0x40), reaches(0x80));
    minus = _mm_add_epi8(minus, _mm_add_epi8(reaches(0x81), reaches(0xA1)));
    minus = _mm_add_epi8(minus, _mm_add_epi8(reaches(0xC0), reaches(0xE0)));
    minus = _mm_add_epi8(minus, _mm_add_epi8(reaches(0xFD), reaches(0xFF)));
    const __m128i odd = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0))));
    return _mm_sub_epi8(odd, minus);
}

// Bytes k to k + 15 of the 32 bytes lo, hi.
template <int k>
inline __m128i Window(__m128i lo, __m128i hi)
{
    return _mm_or_si128(_mm_srli_si128(lo, k), _mm_slli_si128(hi, 16 - k));
}
#endif

// Length of the run of quiet bytes at p, looking at no more than length bytes.
template <bool plusIsQuiet>
int64_t QuietRun(const uint8_t* p, int64_t length)
{
    int64_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i esc = _mm_set1_epi8(Esc), plus = _mm_set1_epi8('+');
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    for (; k + 16 <= length; k += 16) {
        // CR and LF are quiet unless a zero byte follows (step 4), ESC unless
        // '$' follows (step 7): the bytes behind them are read at the same
        // positions anyway, and lie below count.
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 1));
        __m128i loud = _mm_or_si128(_mm_cmpeq_epi8(v, zero),
                                    _mm_and_si128(_mm_cmpeq_epi8(v, esc), _mm_cmpeq_epi8(after, _mm_set1_epi8('$'))));
        loud = _mm_or_si128(loud, _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                                _mm_cmpeq_epi8(after, zero)));
        if (!plusIsQuiet)
            loud = _mm_or_si128(loud, _mm_cmpeq_epi8(v, plus));
        // The sign bit marks bytes above 0x7F.
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(loud, v)));
        if (mask != 0)
            return k + __builtin_ctz(mask);
    }
#endif
    const uint8_t bit = plusIsQuiet ? kQuietAfterUtf7 : kQuiet;
    while (k < length && (T.Classes[p[k]] & bit))
        ++k;
    return k;
}

// The whole pass, compiled twice below: the automaton's steps shift by a
// variable count, which takes one instruction where BMI2 is at hand.
// With wide, the widest lane (DetectWide.cpp) is taken where it can be.
[[gnu::always_inline]] inline EncodingKind Detect(const uint8_t* buffer, int64_t count, const PassProgress* progress,
                                                  bool wide)
{
    if (count < 2)
        return ekUnknown;

    bool zeroSeen = false;
    bool sevenBit = true;
    int64_t lineBreakUnits = 0;
    bool oddHighByte = false;
    bool utf7Valid = true;
    bool inUtf7Run = false;
    int64_t jisEscapes = 0;
    int64_t utf8Sequences = 0;
    int utf8Skip = 0;
    int64_t sjisPairs = 0;
    bool inSjisPair = false;
    int64_t eucPairs = 0;
    bool inEucPair = false;

    const int64_t end = count - 1;   // positions 0 to count - 2
    // The fast lanes come back here at least every 2^20 positions; the one
    // after a zero byte, which runs to the end, reports on its own.
    int64_t nextReport = progress ? progress->Every : INT64_MAX;
    for (int64_t i = 0; i < end; ++i) {
        if (i >= nextReport) {
            progress->Reached(buffer + i, progress->Context);
            nextReport = i + progress->Every;
        }
        if (zeroSeen) {
            // Fast lane: from here on only step 1 and the UTF-16 signs of
            // step 4 act. Taken a code unit (an even and an odd position) at
            // a time.
            unsigned oddHigh = 0;
            if (i & 1)
                oddHigh |= T.Classes[buffer[i++]];
#if defined(__SSE2__)
            // Eight units at a time: a zero unit ends the scan, CR and LF
            // units are counted, high bytes 0xA0-0xF7 noted.
            const __m128i zero = _mm_setzero_si128();
            const __m128i cr = _mm_set1_epi16(0x0D), lf = _mm_set1_epi16(0x0A);
            const __m128i below = _mm_set1_epi16(0x9F), above = _mm_set1_epi16(0xF8);
            __m128i highSeen = zero;
            for (; i + 16 <= end; i += 16) {
                if (i >= nextReport) {
                    progress->Reached(buffer + i, progress->Context);
                    nextReport = i + progress->Every;
                }
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
                if (_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)) != 0)
                    return ekBinary;
                const unsigned breaks = static_cast<unsigned>(_mm_movemask_epi8(
                    _mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))));
                lineBreakUnits += __builtin_popcount(breaks) / 2;
                const __m128i high = _mm_srli_epi16(v, 8);
                highSeen = _mm_or_si128(highSeen, _mm_and_si128(_mm_cmpgt_epi16(high, below),
                                                                _mm_cmpgt_epi16(above, high)));
            }
            if (_mm_movemask_epi8(highSeen) != 0)
                oddHigh |= kOddHigh;
#endif
            for (; i + 1 < end; i += 2) {
                const uint8_t low = buffer[i], high = buffer[i + 1];
                if ((low | high) == 0)
                    return ekBinary;
                lineBreakUnits += high == 0 && (low == 0x0D || low == 0x0A);
                oddHigh |= T.Classes[high];
            }
            if (i < end) {
                // The last position is even; its look-ahead byte is the one at count.
                const uint8_t low = buffer[i], high = buffer[i + 1];
                if ((low | high) == 0)
                    return ekBinary;
                lineBreakUnits += high == 0 && (low == 0x0D || low == 0x0A);
            }
            oddHighByte |= (oddHigh & kOddHigh) != 0;
            break;
        }

        // Fast lanes for positions where steps 1 to 7 can do no more than
        // clear sevenBit and set oddHighByte: bytes above 0x80 (they freeze
        // the UTF-7 check at step 3, and are neither zero, CR, LF nor ESC),
        // and quiet bytes while no checked UTF-7 run is open (nothing here
        // opens one); the blocks of sixteen take 0x80 there too. Steps 8 to
        // 13 then run as the automaton; quiet bytes in its clean state are
        // passed over as a run.
        {
            const bool utf7Checked = sevenBit && utf7Valid;
            const bool quietLane = !(inUtf7Run && utf7Checked);
            const uint8_t quietBit = utf7Checked ? kQuiet : kQuietAfterUtf7;
            unsigned state = StateOf(utf8Skip, inSjisPair, inEucPair);
            // The counters raised here are summed in 21-bit fields of one
            // word; a stretch of at most 2^20 positions cannot overflow them.
            uint64_t raisedSum = 0;
#if defined(__SSE2__)
            int64_t kindsAt = -1;
            __m128i kindsAhead = _mm_setzero_si128();
#endif
            const int64_t stop = end - i > (int64_t(1) << 20) ? i + (int64_t(1) << 20) : end;
            while (i < stop) {
                if (wide && quietLane && i + WideBlockBytes - 1 <= count) {
                    WideLaneState lane;
                    lane.State = state;
                    lane.SevenBit = sevenBit;
                    lane.OddHighByte = oddHighByte;
                    i = DetectWideRun(buffer, i, stop, count, utf7Checked, lane);
                    state = lane.State;
                    sevenBit = lane.SevenBit;
                    oddHighByte = lane.OddHighByte;
                    utf8Sequences += lane.Utf8Sequences;
                    sjisPairs += lane.SjisPairs;
                    eucPairs += lane.EucPairs;
                    jisEscapes += lane.JisEscapes;
                    if (lane.Stopped)
                        break;   // the byte at i takes the literal steps
                    continue;    // stop, or too near count for a block
                }
                const uint8_t b = buffer[i];
#if defined(__SSE2__)
                if (state == 0 && quietLane && (T.Classes[b] & quietBit)) {
                    ++i;
                    i += utf7Checked ? QuietRun<false>(buffer + i, stop - i)
                                     : QuietRun<true>(buffer + i, stop - i);
                    continue;
                }
                // Sixteen positions at a time, where the bytes at i to i + 31
                // lie below count (they are all read as b or n of some
                // position). Positions i to i + taken - 1 qualify for this
                // lane; they run through the automaton as eight pair steps,
                // an odd last position as a single step, the rest as steps
                // that change nothing.
                if (i + 32 <= count && i + 16 <= stop) {
                    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
                    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i + 16));
                    const unsigned signMask = static_cast<unsigned>(_mm_movemask_epi8(v));
                    const unsigned mask80 = static_cast<unsigned>(
                        _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0x80)))));
                    const unsigned highMask = signMask & ~mask80;
                    unsigned quietMask = 0;
                    if (quietLane && highMask != 0xFFFF) {
                        // As in QuietRun: CR and LF count as quiet here
                        // unless a zero byte follows, ESC unless '$' follows.
                        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i + 1));
                        const __m128i zero = _mm_setzero_si128();
                        __m128i loud = _mm_or_si128(
                            _mm_cmpeq_epi8(v, zero),
                            _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(Esc)), _mm_cmpeq_epi8(after, _mm_set1_epi8('$'))));
                        loud = _mm_or_si128(
                            loud, _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                                             _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                                                _mm_cmpeq_epi8(after, zero)));
                        if (utf7Checked)
                            loud = _mm_or_si128(loud, _mm_cmpeq_epi8(v, _mm_set1_epi8('+')));
                        // 0x80 is not above 0x80 (step 3) and not 0xA0-0xF7
                        // (step 4); outside a checked UTF-7 run it does
                        // nothing at step 5 either.
                        quietMask = (~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(loud, v))) & 0xFFFF) | mask80;
                    }
                    const unsigned taken = static_cast<unsigned>(__builtin_ctz(~(highMask | quietMask)));
                    if (taken == 0)
                        break;
                    const unsigned takenMask = (1u << taken) - 1;   // taken <= 16
                    if (highMask & takenMask)
                        sevenBit = false;
                    // Step 4: 0xA0-0xF7 at odd positions (Japanese text
                    // shows one early; then there is nothing more to note).
                    if (!oddHighByte) {
                        const __m128i oddHigh = _mm_and_si128(
                            _mm_cmpgt_epi8(_mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80))), _mm_set1_epi8(0x1F)),
                            _mm_cmpgt_epi8(_mm_set1_epi8(0x78), _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)))));
                        const unsigned oddPositions = (i & 1) ? 0x5555u : 0xAAAAu;
                        if (static_cast<unsigned>(_mm_movemask_epi8(oddHigh)) & takenMask & oddPositions)
                            oddHighByte = true;
                    }

                    // Kinds of the bytes at i + m, i + m + 1, i + m + 2 and
                    // i + m + 3 in byte m of k0 to k3 (all these bytes lie
                    // below count). Step 8 at position p tests the byte at
                    // p + 2 only behind a byte of 0xC0 or above and a
                    // continuation byte; elsewhere it is taken as a
                    // non-continuation byte, as in the scalar steps below.
                    // The kinds of the bytes at i + 16 to i + 31 serve the
                    // next block when it follows straight on.
                    const __m128i k0 = i == kindsAt ? kindsAhead : KindsOf(v);
                    const __m128i kHigh = KindsOf(next);
                    kindsAt = i + 16;
                    kindsAhead = kHigh;
                    const __m128i k1 = Window<1>(k0, kHigh), k2 = Window<2>(k0, kHigh), k3 = Window<3>(k0, kHigh);
                    auto leads = [](__m128i k) { return _mm_cmpgt_epi8(k, _mm_set1_epi8(4)); };   // b >= 0xC0
                    auto continues = [](__m128i k) {   // 0x80-0xBF
                        return _mm_and_si128(_mm_cmpgt_epi8(k, _mm_set1_epi8(1)), _mm_cmpgt_epi8(_mm_set1_epi8(5), k));
                    };
                    const __m128i low = _mm_set1_epi16(0x00FF);
                    const __m128i kb = _mm_and_si128(k0, low);         // word j: kind at i + 2j
                    const __m128i kn = _mm_srli_epi16(k0, 8);          // at i + 2j + 1
                    const __m128i kb2 = _mm_and_si128(k2, low);        // at i + 2j + 2
                    // Pair step at i + 2j: the fourth byte counts behind a
                    // byte of 0xC0 or above at i + 2j + 1 and a continuation
                    // byte at i + 2j + 2.
                    const __m128i kb3 = _mm_and_si128(_mm_and_si128(continues(k3), _mm_and_si128(leads(k1), continues(k2))),
                                                      _mm_set1_epi16(1));
                    __m128i pair = _mm_add_epi16(_mm_mullo_epi16(kb, _mm_set1_epi16(KindCount * KindCount * 2)),
                                                 _mm_mullo_epi16(kn, _mm_set1_epi16(KindCount * 2)));
                    pair = _mm_add_epi16(pair, _mm_add_epi16(_mm_mullo_epi16(kb2, _mm_set1_epi16(2)), kb3));
                    __m128i symbols = pair;
                    if (taken < 16) {
                        // Single step at i + 2j.
                        const __m128i kt = _mm_and_si128(_mm_and_si128(k2, _mm_and_si128(leads(k0), continues(k1))), low);
                        __m128i single = _mm_add_epi16(_mm_mullo_epi16(kb, _mm_set1_epi16(KindCount * KindCount)),
                                                       _mm_mullo_epi16(kn, _mm_set1_epi16(KindCount)));
                        single = _mm_add_epi16(single, _mm_add_epi16(kt, _mm_set1_epi16(SingleBase)));
                        // Word j takes the pair step while 2j + 2 <= taken, the
                        // single step where 2j + 1 == taken, else no step.
                        const __m128i word = _mm_set_epi16(7, 6, 5, 4, 3, 2, 1, 0);
                        const __m128i pairs = _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<short>(taken / 2)), word);
                        const __m128i last = _mm_cmpeq_epi16(_mm_set1_epi16(static_cast<short>((taken & 1) ? taken / 2 : -1)), word);
                        symbols = _mm_or_si128(_mm_and_si128(pairs, pair), _mm_and_si128(last, single));
                        symbols = _mm_or_si128(symbols, _mm_andnot_si128(_mm_or_si128(pairs, last), _mm_set1_epi16(NoStep)));
                    }
                    alignas(16) uint16_t steps[8];
                    _mm_store_si128(reinterpret_cast<__m128i*>(steps), symbols);
#pragma GCC unroll 8
                    for (int j = 0; j < 8; ++j) {
                        const unsigned s = steps[j];
                        const unsigned shift = 4 * state;
                        raisedSum += Raised2.Of[(T2.Counted[s] >> shift) & 15];
                        state = static_cast<unsigned>(T2.Next[s] >> shift) & 15;
                    }
                    // The next block's address is known at once where the
                    // whole block was taken: a predicted branch instead of a
                    // wait for the masks.
                    if (taken == 16) {
                        i += 16;
                        continue;
                    }
                    i += taken;
                    break;   // the byte at i does not qualify
                }
#endif
                if (b > 0x80) {
                    sevenBit = false;
                    if (i & 1)
                        oddHighByte |= (T.Classes[b] & kOddHigh) != 0;
                } else if (!quietLane || !(T.Classes[b] & quietBit)) {
                    break;
                } else if (state == 0) {
                    ++i;
                    i += utf7Checked ? QuietRun<false>(buffer + i, stop - i)
                                     : QuietRun<true>(buffer + i, stop - i);
                    continue;
                }
                const uint8_t n = buffer[i + 1];
                if (i + 1 < end && (n > 0x80 || (quietLane && (T.Classes[n] & quietBit)))) {
                    // Position i + 1 qualifies as well: both in one step. The
                    // byte at i + 2 is read at position i + 1 anyway; the one
                    // at i + 3 only where step 8 at i + 1 reads it.
                    if (n > 0x80) {
                        sevenBit = false;
                        if (!(i & 1))
                            oddHighByte |= (T.Classes[n] & kOddHigh) != 0;
                    }
                    const uint8_t b2 = buffer[i + 2];
                    const bool readsFourth = n >= 0xC0 && (b2 & 0xC0) == 0x80;
                    const uint8_t* fourth = readsFourth ? buffer + i + 3 : buffer + i;
                    const unsigned c3 = readsFourth ? IsContinuation(*fourth) : 0;
                    const unsigned symbol =
                        ((T.Kind[b] * KindCount + T.Kind[n]) * KindCount + T.Kind[b2]) * 2 + c3;
                    const unsigned raised = static_cast<unsigned>(T2.Counted[symbol] >> (4 * state)) & 15;
                    raisedSum += RaisedFields[raised & 3] + RaisedFields[raised >> 2];
                    state = static_cast<unsigned>(T2.Next[symbol] >> (4 * state)) & 15;
                    i += 2;
                    continue;
                }
                // The byte at i + 2 matters only to step 8, and is read only
                // where step 8 reads it: behind a byte of 0xC0 or above and a
                // continuation byte. Elsewhere its kind is taken as 0, which
                // answers step 8 as any non-continuation byte would. (The
                // address is chosen first, so that there is no branch.)
                const bool readsThird = b >= 0xC0 && (n & 0xC0) == 0x80;
                const uint8_t* third = readsThird ? buffer + i + 2 : buffer + i;
                const unsigned k2 = readsThird ? T.Kind[*third] : 0;
                const unsigned symbol = (T.Kind[b] * KindCount + T.Kind[n]) * KindCount + k2;
                raisedSum += RaisedFields[(T.Counted[symbol] >> (2 * state)) & 3];
                state = static_cast<unsigned>(T.Next[symbol] >> (4 * state)) & 15;
                ++i;
            }
            utf8Sequences += static_cast<int64_t>(raisedSum & FieldMask);
            sjisPairs += static_cast<int64_t>(raisedSum >> 21 & FieldMask);
            eucPairs += static_cast<int64_t>(raisedSum >> 42 & FieldMask);
            utf8Skip = static_cast<int>(state & 3);
            inSjisPair = (state & 4) != 0;
            inEucPair = (state & 8) != 0;
            if (i >= end)
                break;
        }

        // The thirteen steps at position i.
        const uint8_t b = buffer[i];
        const uint8_t n = buffer[i + 1];
        const bool even = (i & 1) == 0;

        // 1. A zero code unit at an even position is binary data at once.
        if (even && b == 0 && n == 0)
            return ekBinary;
        // 2.
        if (b == 0)
            zeroSeen = true;
        // 3.
        if (b > 0x80)
            sevenBit = false;
        // 4. UTF-16LE signs, gathered whatever else has been seen.
        if (even) {
            if ((b == 0x0D || b == 0x0A) && n == 0)
                ++lineBreakUnits;
        } else if (b >= 0xA0 && b <= 0xF7) {
            oddHighByte = true;
        }
        // 5. UTF-7: every '+' run must hold only base64 bytes up to its '-'.
        if (!zeroSeen && sevenBit && utf7Valid) {
            if (!inUtf7Run) {
                if (b == '+')
                    inUtf7Run = true;
            } else if (b == '-') {
                inUtf7Run = false;
            } else if (!IsBase64(b)) {
                utf7Valid = false;
            }
        }
        // 6. After a zero byte only the UTF-16 signs count.
        if (zeroSeen)
            continue;
        // 7. JIS kanji-in escapes: ESC $ @, ESC $ B, ESC $ ( O, ESC $ ( P.
        if (b == Esc && n == '$') {
            const uint8_t third = buffer[i + 2];
            if (third == '@' || third == 'B'
                || (third == '(' && (buffer[i + 3] == 'O' || buffer[i + 3] == 'P'))) {
                ++jisEscapes;
                continue;
            }
        }
        // 8. UTF-8: a lead byte with exactly two continuation bytes behind it.
        if (utf8Skip == 0 && b >= 0xC0 && IsContinuation(n) && IsContinuation(buffer[i + 2])) {
            ++utf8Sequences;
            utf8Skip = 2;
            continue;
        }
        // 9. Continuation bytes take part in no other test.
        if (utf8Skip > 0) {
            --utf8Skip;
            continue;
        }
        // 10. Shift_JIS lead/trail pair.
        if (!inSjisPair && IsSjisLead(b) && IsSjisTrail(n)) {
            ++sjisPairs;
            inSjisPair = true;
            continue;
        }
        // 11. The trail byte of a counted pair takes no EUC test.
        if (inSjisPair) {
            inSjisPair = false;
            continue;
        }
        // 12. EUC pair.
        if (!inEucPair && IsEucByte(b) && IsEucByte(n)) {
            ++eucPairs;
            inEucPair = true;
            continue;
        }
        // 13.
        if (inEucPair)
            inEucPair = false;
    }

    if (lineBreakUnits > 0 && !oddHighByte)
        return ekUtf16;
    if (zeroSeen)
        return ekBinary;
    if (jisEscapes > 0)
        return ekJis;
    if (utf8Sequences > sjisPairs && utf8Sequences > eucPairs)
        return ekUtf8;
    if (sjisPairs > eucPairs && sjisPairs > utf8Sequences)
        return ekSjis;
    if (eucPairs > sjisPairs && eucPairs > utf8Sequences)
        return ekEuc;
    if (sjisPairs == 0 && eucPairs == 0 && utf8Sequences == 0)
        return utf7Valid ? ekUtf7 : ekAscii;
    return ekUnknown;
}

#if defined(__x86_64__) && !defined(__BMI2__)
[[gnu::target("bmi2")]] EncodingKind DetectBmi2(const uint8_t* buffer, int64_t count, const PassProgress* progress,
                                                bool wide)
{
    return Detect(buffer, count, progress, wide);
}
#endif

// Off for tests and fuzzers, to check the lanes of processors without AVX2
// on this one as well.
std::atomic<bool> WideLanes{true};

} // namespace

EncodingKind DetectEncoding(const uint8_t* buffer, int64_t count, const PassProgress* progress)
{
    const bool wide = WideLanes.load(std::memory_order_relaxed) && DetectWideLaneAvailable();
#if defined(__x86_64__) && !defined(__BMI2__)
    if (__builtin_cpu_supports("bmi2"))
        return DetectBmi2(buffer, count, progress, wide);
#endif
    return Detect(buffer, count, progress, wide);
}

void SetDetectorWideLanes(bool enabled) { WideLanes.store(enabled); }

EncodingKind DetectEncoding(const uint8_t* buffer, int64_t count) { return DetectEncoding(buffer, count, nullptr); }
