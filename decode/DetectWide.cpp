// The 64-position lane of DetectEncoding.
//
// Within a block every position is one where steps 1 to 7 can do no more than
// clear sevenBit, set oddHighByte or count an ESC $ B escape. Steps 8 to
// 13 come apart into three counts that bit operations give for the whole block:
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

#if defined(__x86_64__)
#include <cpuid.h>
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

// Masks of one block: bit k tells about position from + k.
struct BlockMasks {
    uint64_t Loud = 0;        // takes the literal steps
    uint64_t Escapes = 0;     // ESC $ B
    uint64_t High = 0;        // above 0x80 (step 3)
    uint64_t OddHigh = 0;     // 0xA0-0xF7 (step 4 at odd positions)
    uint64_t Utf8 = 0;        // step 8's test
    uint64_t Sjis = 0;        // step 10's pair test
    uint64_t Euc = 0;         // step 12's pair test
};

WIDE inline __m256i Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// 0xFF in the bytes of flipped (bytes with their top bit flipped) that reach t.
WIDE inline __m256i Reaches(__m256i flipped, int t)
{
    return _mm256_cmpgt_epi8(flipped, _mm256_set1_epi8(static_cast<char>((t - 1) ^ 0x80)));
}

WIDE inline uint64_t Bits(__m256i v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }

// Bits 0-31 of the masks for the 32 positions at p (whose bytes p[0 .. 33]
// are read), shifted up by `shift`.
WIDE inline void HalfMasks(const uint8_t* p, bool plusIsLoud, int shift, BlockMasks& m)
{
    const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i b = Load(p), n = Load(p + 1), n2 = Load(p + 2);
    const __m256i fb = _mm256_xor_si256(b, top), fn = _mm256_xor_si256(n, top), fn2 = _mm256_xor_si256(n2, top);

    // The byte at the position.
    const __m256i b81 = Reaches(fb, 0x81), bA0 = Reaches(fb, 0xA0), bA1 = Reaches(fb, 0xA1);
    const __m256i bC0 = Reaches(fb, 0xC0), bE0 = Reaches(fb, 0xE0), bF8 = Reaches(fb, 0xF8);
    const __m256i bFD = Reaches(fb, 0xFD), bFF = Reaches(fb, 0xFF);
    const __m256i sjisLead = _mm256_or_si256(_mm256_andnot_si256(bA0, b81), _mm256_andnot_si256(bFD, bE0));
    const __m256i eucLead = _mm256_andnot_si256(bFF, bA1);
    // The byte behind it.
    const __m256i n40 = Reaches(fn, 0x40), n7F = Reaches(fn, 0x7F), n80 = _mm256_cmpgt_epi8(zero, n);
    const __m256i nA1 = Reaches(fn, 0xA1), nC0 = Reaches(fn, 0xC0), nFD = Reaches(fn, 0xFD);
    const __m256i nFF = Reaches(fn, 0xFF);
    const __m256i sjisTrail = _mm256_or_si256(_mm256_andnot_si256(n7F, n40), _mm256_andnot_si256(nFD, n80));
    const __m256i eucTrail = _mm256_andnot_si256(nFF, nA1);
    const __m256i continues = _mm256_andnot_si256(nC0, n80);
    // And the one behind that.
    const __m256i continues2 = _mm256_andnot_si256(Reaches(fn2, 0xC0), _mm256_cmpgt_epi8(zero, n2));

    // Zero bytes (steps 1, 2), CR or LF before a zero byte (step 4), '+'
    // while the UTF-7 check runs (step 5).
    const __m256i lineBreak = _mm256_or_si256(_mm256_cmpeq_epi8(b, _mm256_set1_epi8('\r')),
                                              _mm256_cmpeq_epi8(b, _mm256_set1_epi8('\n')));
    __m256i loud = _mm256_or_si256(_mm256_cmpeq_epi8(b, zero), _mm256_and_si256(lineBreak, _mm256_cmpeq_epi8(n, zero)));
    if (plusIsLoud)
        loud = _mm256_or_si256(loud, _mm256_cmpeq_epi8(b, _mm256_set1_epi8('+')));
    // Step 7: ESC $ B is counted and takes no further step; the other
    // kanji-in escapes, rare, take the literal steps, as does ESC $ before
    // anything else (it goes on to step 8 as it is).
    const __m256i escDollar = _mm256_and_si256(_mm256_cmpeq_epi8(b, _mm256_set1_epi8(0x1B)),
                                               _mm256_cmpeq_epi8(n, _mm256_set1_epi8('$')));
    const __m256i thirdB = _mm256_cmpeq_epi8(n2, _mm256_set1_epi8('B'));
    loud = _mm256_or_si256(loud, _mm256_andnot_si256(thirdB, escDollar));

    m.Loud |= Bits(loud) << shift;
    m.Escapes |= Bits(_mm256_and_si256(escDollar, thirdB)) << shift;
    m.High |= Bits(b81) << shift;
    m.OddHigh |= Bits(_mm256_andnot_si256(bF8, bA0)) << shift;
    m.Utf8 |= Bits(_mm256_and_si256(bC0, _mm256_and_si256(continues, continues2))) << shift;
    m.Sjis |= Bits(_mm256_and_si256(sjisLead, sjisTrail)) << shift;
    m.Euc |= Bits(_mm256_and_si256(eucLead, eucTrail)) << shift;
}

WIDE int64_t Run(const uint8_t* buffer, int64_t i, int64_t stop, int64_t count, bool plusIsLoud, WideLaneState& lane)
{
    unsigned skip = lane.State & 3;
    bool sjis = (lane.State & 4) != 0, euc = (lane.State & 8) != 0;
    bool sevenBit = lane.SevenBit, oddHighByte = lane.OddHighByte;
    int64_t utf8Sequences = 0, sjisPairs = 0, eucPairs = 0, jisEscapes = 0;
    lane.Stopped = false;

    // A block reads the bytes at i to i + 65.
    while (i + 65 <= count && i < stop) {
        BlockMasks m;
        HalfMasks(buffer + i, plusIsLoud, 0, m);
        HalfMasks(buffer + i + 32, plusIsLoud, 32, m);

        const uint64_t room = static_cast<uint64_t>(stop - i);
        const uint64_t ends = m.Loud | (room >= 64 ? 0 : ~_bzhi_u64(~0ULL, static_cast<unsigned>(room)));
        const unsigned taken = static_cast<unsigned>(_tzcnt_u64(ends));   // 64 where ends is 0
        if (taken == 0) {
            lane.Stopped = true;
            break;
        }
        const uint64_t within = _bzhi_u64(~0ULL, taken);

        sevenBit &= (m.High & within) == 0;
        oddHighByte |= (m.OddHigh & within & ((i & 1) ? EvenBits : ~EvenBits)) != 0;

        const uint64_t escapes = m.Escapes & within;
        jisEscapes += _mm_popcnt_u64(escapes);

        // Steps 8 and 9: leads, and the continuation bytes they pass over
        // (those of a lead in the block before as well).
        const uint64_t leads = m.Utf8 & within;
        utf8Sequences += _mm_popcnt_u64(leads);
        const uint64_t carried = (uint64_t(1) << skip) - 1;   // skip 1: bit 0; skip 2: bits 0 and 1
        const uint64_t passed = leads | leads << 1 | leads << 2 | carried | escapes;
        const unsigned __int128 spread = static_cast<unsigned __int128>(leads) << 1
                                         | static_cast<unsigned __int128>(leads) << 2 | carried;
        skip = static_cast<unsigned>(_mm_popcnt_u64(static_cast<uint64_t>(spread >> taken) & 3));

        // Steps 10 and 11 over the remaining positions, gathered.
        const uint64_t open = ~passed & within;
        const unsigned openCount = static_cast<unsigned>(_mm_popcnt_u64(open));
        const uint64_t sjisStarts = PairStarts(_pext_u64(m.Sjis, open) & ~static_cast<uint64_t>(sjis));
        sjisPairs += _mm_popcnt_u64(sjisStarts);
        const uint64_t sjisTaken = sjisStarts | sjisStarts << 1 | static_cast<uint64_t>(sjis);
        if (openCount != 0)
            sjis = (sjisStarts >> (openCount - 1)) & 1;

        // Steps 12 and 13 over what is left of them.
        const uint64_t eucOpen = ~sjisTaken & _bzhi_u64(~0ULL, openCount);
        const unsigned eucOpenCount = static_cast<unsigned>(_mm_popcnt_u64(eucOpen));
        const uint64_t eucStarts = PairStarts(_pext_u64(_pext_u64(m.Euc, open), eucOpen) & ~static_cast<uint64_t>(euc));
        eucPairs += _mm_popcnt_u64(eucStarts);
        if (eucOpenCount != 0)
            euc = (eucStarts >> (eucOpenCount - 1)) & 1;

        i += taken;
        if (taken < 64) {
            lane.Stopped = i < stop;
            break;
        }
    }

    lane.State = skip | (sjis ? 4 : 0) | (euc ? 8 : 0);
    lane.SevenBit = sevenBit;
    lane.OddHighByte = oddHighByte;
    lane.Utf8Sequences += utf8Sequences;
    lane.SjisPairs += sjisPairs;
    lane.EucPairs += eucPairs;
    lane.JisEscapes += jisEscapes;
    return i;
}

#undef WIDE

// PEXT takes hundreds of cycles where it is microcoded: on AMD processors
// before family 19h.
bool PextIsFast()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        return false;
    const bool amd = ebx == 0x68747541 /* "Auth"enticAMD */ || ebx == 0x6F677948 /* "Hygo"nGenuine */;
    if (!amd)
        return true;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    unsigned family = (eax >> 8) & 0xF;
    if (family == 0xF)
        family += (eax >> 20) & 0xFF;
    return family >= 0x19;
}

} // namespace

bool DetectWideLaneAvailable()
{
    static const bool available = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")
                                  && __builtin_cpu_supports("popcnt") && PextIsFast());
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
    lane.Stopped = false;
    return from;
}

#endif
