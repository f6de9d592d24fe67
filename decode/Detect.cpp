// DetectEncoding: one forward pass that gathers signs of each encoding in
// counters and flags, then a fixed order of decision rules.
//
// The thirteen steps per position are written out in the main loop. Most
// positions of real text take one of two fast lanes that give the same result:
// runs of quiet ASCII bytes, which change nothing, are passed over sixteen at a
// time, and at bytes above 0x80 steps 8 to 13 (the UTF-8, Shift_JIS and EUC
// counting) run as a small table-driven automaton.
#include "decode/Detect.h"

#include <cstring>

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
// open, a quiet byte also passes steps 8 to 13 without effect.
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

// Two positions in one step: for each combination of the kinds at i to i + 3,
// the successor of each state after positions i and i + 1 (four bits each)
// and the two counters raised (two bits each, position i in the low pair).
constexpr int PairSymbolCount = SymbolCount * KindCount;

struct PairTables {
    uint64_t Next[PairSymbolCount];
    uint64_t Counted[PairSymbolCount];

    constexpr PairTables() : Next(), Counted()
    {
        for (int symbol = 0; symbol < PairSymbolCount; ++symbol) {
            const int first = symbol / KindCount;                 // kinds at i, i + 1, i + 2
            const int second = symbol % (KindCount * KindCount * KindCount);   // at i + 1 to i + 3
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
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        __m128i loud = _mm_or_si128(_mm_cmpeq_epi8(v, zero), _mm_cmpeq_epi8(v, esc));
        loud = _mm_or_si128(loud, _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
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

} // namespace

EncodingKind DetectEncoding(const uint8_t* buffer, int64_t count)
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
    for (int64_t i = 0; i < end; ++i) {
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
        // opens one). Steps 8 to 13 then run as the automaton; quiet bytes
        // in its clean state are passed over as a run.
        {
            const bool utf7Checked = sevenBit && utf7Valid;
            const bool quietLane = !(inUtf7Run && utf7Checked);
            const uint8_t quietBit = utf7Checked ? kQuiet : kQuietAfterUtf7;
            unsigned state = StateOf(utf8Skip, inSjisPair, inEucPair);
            // The counters raised here are summed in 21-bit fields of one
            // word; a stretch of at most 2^20 positions cannot overflow them.
            uint64_t raisedSum = 0;
            const int64_t stop = end - i > (int64_t(1) << 20) ? i + (int64_t(1) << 20) : end;
            while (i < stop) {
                const uint8_t b = buffer[i];
                if (b > 0x80) {
                    sevenBit = false;
                    if (i & 1)
                        oddHighByte |= (T.Classes[b] & kOddHigh) != 0;
                } else if (!quietLane || !(T.Classes[b] & quietBit)) {
                    break;
                } else if (state == 0) {
                    ++i;
                    i += utf7Checked ? QuietRun<false>(buffer + i, end - i)
                                     : QuietRun<true>(buffer + i, end - i);
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
                    const unsigned k3 = readsFourth ? T.Kind[*fourth] : 0;
                    const unsigned symbol =
                        ((T.Kind[b] * KindCount + T.Kind[n]) * KindCount + T.Kind[b2]) * KindCount + k3;
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
