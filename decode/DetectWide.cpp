// The widest lane of DetectEncoding: blocks of 62 positions.
//
// Within a block every position is one where steps 1 to 7 can do no more than
// clear sevenBit, set oddHighByte or count an ESC $ B escape (which then takes
// no further step). Steps 8 to 13 come apart into three counts that bit
// operations give for the whole block:
//  - A UTF-8 lead (a byte of 0xC0 or above with two continuation bytes behind)
//    is counted wherever it stands: the positions step 9 passes over are
//    continuation bytes, never leads, so no lead is ever passed over. The lead
//    and its two continuation bytes take no Shift_JIS or EUC test.
//  - Over the remaining positions, in order, a Shift_JIS pair starts where the
//    pair test holds and the position before did not start one; the position
//    behind a start takes no EUC test. Within a run of positions where the
//    test holds, the starts are every other position from the run's first.
//  - Over the positions left after that, EUC pairs start in the same way.
// The remaining positions are gathered with PEXT, so that the runs are runs of
// adjacent bits.
#include "decode/DetectWide.h"
#include "decode/FastPext.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#if defined(__x86_64__)

namespace {

constexpr uint64_t EvenBits = 0x5555555555555555ULL;

// The positions where a pair starts, given the bits where the pair test holds
// (and the position before does not already start one): every other bit of
// each run of set bits, from the run's first. Runs that begin at an even bit
// are told from the others by adding their first bits: the carry clears them.
constexpr uint64_t PairStarts(uint64_t tests)
{
    const uint64_t firsts = tests & ~(tests << 1);
    const uint64_t evenRuns = tests & ~(tests + (firsts & EvenBits));
    return (evenRuns & EvenBits) | (tests & ~evenRuns & ~EvenBits);
}

static_assert(PairStarts(0b0111) == 0b0101 && PairStarts(0b1110) == 0b1010);
static_assert(PairStarts(0b11011) == 0b01001 && PairStarts(~0ULL) == EvenBits);

#define WIDE [[gnu::target("avx2,bmi,bmi2,popcnt")]]

WIDE inline __m256i Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// 0xFF in the bytes of flipped (bytes with their top bit flipped) that reach t.
WIDE inline __m256i Reaches(__m256i flipped, int t)
{
    return _mm256_cmpgt_epi8(flipped, _mm256_set1_epi8(static_cast<char>((t - 1) ^ 0x80)));
}

WIDE inline __m256i Equals(__m256i v, char c) { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)); }

WIDE inline uint64_t Bits(__m256i v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }

// What the 64 bytes read for a block are, one bit per byte (bit k for the
// byte at from + k). The tests of a position combine these with the same
// masks shifted down by one or two.
struct ByteMasks {
    uint64_t Top = 0;         // 0x80 and above
    uint64_t Above81 = 0;     // 0x81 and above, while it matters
    uint64_t Lead8 = 0;       // 0xC0 and above: may lead a UTF-8 sequence
    uint64_t SjisLead = 0;    // 0x81-0x9F, 0xE0-0xFC
    uint64_t SjisTrail = 0;   // 0x40-0x7E, 0x80-0xFC
    uint64_t Euc = 0;         // 0xA1-0xFE
    uint64_t OddHigh = 0;     // 0xA0-0xF7, while it matters
    uint64_t Rare = 0;        // zero, ESC, and '+' while the UTF-7 check runs
};

WIDE inline void Classify(__m256i b, int shift, bool plusIsLoud, bool highMatters, bool oddHighMatters, ByteMasks& m)
{
    const __m256i flipped = _mm256_xor_si256(b, _mm256_set1_epi8(static_cast<char>(0x80)));
    const __m256i r81 = Reaches(flipped, 0x81), rA0 = Reaches(flipped, 0xA0), rE0 = Reaches(flipped, 0xE0);
    const __m256i rFD = Reaches(flipped, 0xFD);
    const __m256i sjisLead = _mm256_andnot_si256(rFD, _mm256_or_si256(_mm256_andnot_si256(rA0, r81), rE0));
    const __m256i sjisTrail = _mm256_andnot_si256(_mm256_or_si256(Equals(b, 0x7F), rFD), Reaches(flipped, 0x40));
    const __m256i euc = _mm256_andnot_si256(Equals(b, static_cast<char>(0xFF)), Reaches(flipped, 0xA1));
    __m256i rare = _mm256_or_si256(_mm256_cmpeq_epi8(b, _mm256_setzero_si256()), Equals(b, 0x1B));
    if (plusIsLoud)
        rare = _mm256_or_si256(rare, Equals(b, '+'));
    m.Top |= Bits(b) << shift;
    m.Lead8 |= Bits(Reaches(flipped, 0xC0)) << shift;
    m.SjisLead |= Bits(sjisLead) << shift;
    m.SjisTrail |= Bits(sjisTrail) << shift;
    m.Euc |= Bits(euc) << shift;
    m.Rare |= Bits(rare) << shift;
    if (highMatters)
        m.Above81 |= Bits(r81) << shift;
    if (oddHighMatters)
        m.OddHigh |= Bits(_mm256_andnot_si256(Reaches(flipped, 0xF8), rA0)) << shift;
}

// Steps 8 to 13 as they stand between blocks: utf8Skip, inSjisPair, inEucPair.
struct Carry {
    unsigned Skip = 0;
    bool Sjis = false;
    bool Euc = false;
};

struct Counts {
    int64_t Utf8Sequences = 0, SjisPairs = 0, EucPairs = 0;
};

// The positions where pairs start over gathered positions where the pair
// test holds, given whether a pair stood open before them (then the first
// position is its second, and the starts of a run from there fall on the
// other positions of the run); updates that to whether one stands open
// behind them.
WIDE [[gnu::always_inline]] inline uint64_t GatheredStarts(uint64_t tests, unsigned count, bool& open)
{
    const uint64_t firstRun = tests & ~(tests + 1);
    const uint64_t starts = PairStarts(tests) ^ (firstRun & -static_cast<uint64_t>(open));
    if (count != 0)
        open = (starts >> (count - 1)) & 1;
    return starts;
}

// Steps 8 to 13 over the first `taken` positions of a block (within: their
// bits), given the block's leads of UTF-8 sequences, the positions where the
// Shift_JIS and EUC pair tests hold, and the escapes, which take none of
// these steps.
WIDE [[gnu::always_inline]] inline void CountBlock(uint64_t leads, uint64_t sjisTests, uint64_t eucTests,
                                                   uint64_t escapes, unsigned taken, uint64_t within, Carry& carry,
                                                   Counts& counts)
{
    // Steps 8 and 9: the leads, and the continuation bytes they pass over
    // (those of a lead in the block before as well).
    counts.Utf8Sequences += _mm_popcnt_u64(leads);
    const uint64_t carried = (uint64_t(1) << carry.Skip) - 1;   // skip 1: bit 0; skip 2: bits 0 and 1
    const uint64_t passed = leads | leads << 1 | leads << 2 | carried | escapes;
    const bool lastLeads = (leads >> (taken - 1)) & 1;
    const bool beforeLastLeads = taken >= 2 ? (leads >> (taken - 2)) & 1 : carry.Skip == 2;
    carry.Skip = lastLeads ? 2 : beforeLastLeads ? 1 : 0;

    // Steps 10 and 11 over the remaining positions, gathered.
    const uint64_t open = ~passed & within;
    const unsigned openCount = static_cast<unsigned>(_mm_popcnt_u64(open));
    const bool sjisBefore = carry.Sjis;
    const uint64_t sjisStarts = GatheredStarts(_pext_u64(sjisTests, open), openCount, carry.Sjis);
    counts.SjisPairs += _mm_popcnt_u64(sjisStarts);

    // Steps 12 and 13 over what they leave.
    const uint64_t eucOpen = ~(sjisStarts | sjisStarts << 1 | uint64_t(sjisBefore)) & _bzhi_u64(~0ULL, openCount);
    const unsigned eucOpenCount = static_cast<unsigned>(_mm_popcnt_u64(eucOpen));
    const uint64_t eucStarts = GatheredStarts(_pext_u64(_pext_u64(eucTests, open), eucOpen), eucOpenCount, carry.Euc);
    counts.EucPairs += _mm_popcnt_u64(eucStarts);
}

// A block takes 62 positions and reads 64 bytes: the tests of its last
// position read the two bytes behind it.
constexpr unsigned BlockPositions = WideBlockBytes - 2;
constexpr uint64_t BlockBits = (uint64_t(1) << BlockPositions) - 1;

WIDE int64_t Run(const uint8_t* buffer, int64_t i, int64_t stop, int64_t count, bool plusIsLoud, WideLaneState& lane)
{
    Carry carry;
    carry.Skip = lane.State & 3;
    carry.Sjis = (lane.State & 4) != 0;
    carry.Euc = (lane.State & 8) != 0;
    Counts counts;
    bool sevenBit = lane.SevenBit, oddHighByte = lane.OddHighByte;
    int64_t jisEscapes = 0;
    lane.Stopped = false;

    // Blocks whose bytes lie within count (then their positions lie below
    // count - 1).
    const int64_t end = stop < count - (WideBlockBytes - 2) ? stop : count - (WideBlockBytes - 2);
    while (i < end) {
        const uint8_t* p = buffer + i;
        ByteMasks m;
        Classify(Load(p), 0, plusIsLoud, sevenBit, !oddHighByte, m);
        Classify(Load(p + 32), 32, plusIsLoud, sevenBit, !oddHighByte, m);

        // Zero bytes (steps 1, 2), CR or LF before a zero byte (step 4), '+'
        // while the UTF-7 check runs (step 5) take the literal steps. Step 7:
        // ESC $ B is counted and takes no further step; the other kanji-in
        // escapes, rare, take the literal steps, as does ESC $ before
        // anything else (it goes on to step 8 as it is).
        uint64_t loud = 0, escapes = 0;
        if (m.Rare != 0) {
            uint64_t zeros = 0, escs = 0, pluses = 0;
            for (int half = 0; half < 2; ++half) {
                const __m256i b = Load(p + 32 * half);
                zeros |= Bits(_mm256_cmpeq_epi8(b, _mm256_setzero_si256())) << 32 * half;
                escs |= Bits(Equals(b, 0x1B)) << 32 * half;
                pluses |= Bits(Equals(b, '+')) << 32 * half;
            }
            if (escs != 0) {
                uint64_t dollars = 0, bs = 0;
                for (int half = 0; half < 2; ++half) {
                    const __m256i b = Load(p + 32 * half);
                    dollars |= Bits(Equals(b, '$')) << 32 * half;
                    bs |= Bits(Equals(b, 'B')) << 32 * half;
                }
                const uint64_t escDollar = escs & dollars >> 1;
                escapes = escDollar & bs >> 2;
                loud |= escDollar & ~(bs >> 2);
            }
            if (zeros != 0) {
                uint64_t lineBreaks = 0;
                for (int half = 0; half < 2; ++half) {
                    const __m256i b = Load(p + 32 * half);
                    lineBreaks |= Bits(_mm256_or_si256(Equals(b, '\r'), Equals(b, '\n'))) << 32 * half;
                }
                loud |= zeros | (lineBreaks & zeros >> 1);
            }
            if (plusIsLoud)
                loud |= pluses;
        }

        const uint64_t continues = m.Top & ~m.Lead8;
        const uint64_t leads = m.Lead8 & continues >> 1 & continues >> 2;
        const uint64_t sjisTests = m.SjisLead & m.SjisTrail >> 1;
        const uint64_t eucTests = m.Euc & m.Euc >> 1;
        const uint64_t oddPositions = (i & 1) ? EvenBits : ~EvenBits;

        // The whole block: the next block's address is known at once, a
        // predicted branch instead of a wait for the masks.
        if ((loud & BlockBits) == 0 && stop - i >= BlockPositions) {
            sevenBit &= (m.Above81 & BlockBits) == 0;
            oddHighByte |= (m.OddHigh & oddPositions & BlockBits) != 0;
            jisEscapes += _mm_popcnt_u64(escapes & BlockBits);
            // Nothing to count and nothing open: nothing changes.
            if (((leads | sjisTests | eucTests) & BlockBits) != 0 || carry.Skip != 0 || carry.Sjis || carry.Euc)
                CountBlock(leads & BlockBits, sjisTests & BlockBits, eucTests & BlockBits, escapes & BlockBits,
                           BlockPositions, BlockBits, carry, counts);
            i += BlockPositions;
            continue;
        }

        // Up to the first position that takes the literal steps, or to stop.
        const int64_t room = stop - i;
        const uint64_t within = _bzhi_u64(BlockBits, room < BlockPositions ? static_cast<unsigned>(room) : 64)
                                & _blsmsk_u64(loud) >> 1;   // the bits below loud's lowest
        const unsigned taken = static_cast<unsigned>(_mm_popcnt_u64(within));
        if (taken != 0) {
            sevenBit &= (m.Above81 & within) == 0;
            oddHighByte |= (m.OddHigh & oddPositions & within) != 0;
            jisEscapes += _mm_popcnt_u64(escapes & within);
            CountBlock(leads & within, sjisTests & within, eucTests & within, escapes & within, taken, within, carry,
                       counts);
            i += taken;
        }
        lane.Stopped = i < stop;
        break;
    }

    lane.State = carry.Skip | (carry.Sjis ? 4 : 0) | (carry.Euc ? 8 : 0);
    lane.SevenBit = sevenBit;
    lane.OddHighByte = oddHighByte;
    lane.Utf8Sequences += counts.Utf8Sequences;
    lane.SjisPairs += counts.SjisPairs;
    lane.EucPairs += counts.EucPairs;
    lane.JisEscapes += jisEscapes;
    return i;
}

#undef WIDE

} // namespace

bool DetectWideLaneAvailable()
{
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")
               && __builtin_cpu_supports("popcnt") && FastPextAvailable();
    }();
    return available;
}

int64_t DetectWideRun(const uint8_t* buffer, int64_t from, int64_t stop, int64_t count, bool plusIsLoud,
                      WideLaneState& lane)
{
    return Run(buffer, from, stop, count, plusIsLoud, lane);
}

#else

bool DetectWideLaneAvailable() { return false; }

int64_t DetectWideRun(const uint8_t*, int64_t from, int64_t, int64_t, bool, WideLaneState& lane)
{
    lane.Stopped = true;   // the literal steps take over
    return from;
}

#endif
