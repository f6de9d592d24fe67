// JIS (the ISO-2022-JP family) to Shift_JIS: the converter's steps and fast
// lanes, and the measuring call's wide lane beside them.
#include "decode/Convert.h"
#include "decode/ConvertLoop.h"
#include "decode/ConvertWide.h"

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace sjis_convert;

namespace {

enum JisMode { jmAscii, jmRoman, jmKana, jmKanji, jmPlane1, jmPlane2, jmSupplement };

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
                code = Mode == jmPlane2    ? SjisOfJis(jis, 2)
                    : Mode == jmSupplement ? SjisOfJisx0212(jis)
                                           : SjisOfJis(jis, 1);
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

} // namespace

int64_t JisToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<JisConverter, SjisOutput>(output, input, capacity);
}

namespace sjis_convert {

SjisMeasure JisMeasure(const uint8_t* input, const PassProgress* progress)
{
    return MeasureRoute<JisConverter>(input, progress);
}

uint64_t JisTail(const uint8_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                 const PassProgress* progress, const SjisMeasure* measure)
{
    return TailRoute<JisConverter>(input, start, window, windowSize, progress, measure);
}

} // namespace sjis_convert

#if defined(__x86_64__)

using namespace convert_wide;

namespace {

// Bit k: the XOR of bits 0 to k of x (a carry-less product with all ones).
WISPLOG_WIDE inline unsigned PrefixXor(unsigned x)
{
    const __m128i product =
        _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<unsigned>(_mm_cvtsi128_si32(product));
}

} // namespace

// JIS: every byte gives one byte of output but those of the escapes, as long
// as the escapes are ESC $ B (or ESC $ @) into JIS X 0208 and ESC ( B back,
// one after the other, and the JIS X 0208 runs are whole pairs of graphic
// bytes. A block checks that with masks: the mode at each position flips at
// each escape (a prefix XOR of their starts), and the pairs are whole where
// the graphic bytes before each ESC ( B are even in number.
WISPLOG_WIDE WISPLOG_WHOLE_BLOCK_READS uint64_t JisMeasureWide(const uint8_t*& p, uint64_t budget,
                                                               bool& kanji)
{
    const uint8_t* q = p;
    uint64_t total = 0;
    unsigned mode = kanji ? ~0u : 0u; // all ones in JIS X 0208
    unsigned owed = 0;                // escape bytes at the block's start owed by the block before
    unsigned pending = 0;             // all ones: the block starts inside a pair
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
            const __m256i toKanji = _mm256_and_si256(
                _mm256_and_si256(esc, _mm256_cmpeq_epi8(b1, Bytes('$'))),
                _mm256_or_si256(_mm256_cmpeq_epi8(b2, Bytes('B')), _mm256_cmpeq_epi8(b2, Bytes('@'))));
            const __m256i toAscii = _mm256_and_si256(_mm256_and_si256(esc, _mm256_cmpeq_epi8(b1, Bytes('('))),
                                                     _mm256_cmpeq_epi8(b2, Bytes('B')));
            // The terminator, and an ESC the lane does not take.
            const unsigned unexpected =
                Bits(_mm256_or_si256(_mm256_cmpeq_epi8(b0, _mm256_setzero_si256()),
                                     _mm256_andnot_si256(_mm256_or_si256(toKanji, toAscii), esc)));
            // As signed bytes, 0x21-0x7E are above 0x20 and below 0x7F.
            const unsigned graphic = Bits(
                _mm256_and_si256(_mm256_cmpgt_epi8(b0, Bytes(0x20)), _mm256_cmpgt_epi8(Bytes(0x7F), b0)));
            const unsigned kanjiStarts = Bits(toKanji), asciiStarts = Bits(toAscii);
            const unsigned starts = kanjiStarts | asciiStarts;
            const uint64_t escapeBytes =
                uint64_t(starts) | uint64_t(starts) << 1 | uint64_t(starts) << 2 | owed;
            const unsigned output = ~static_cast<unsigned>(escapeBytes);
            const unsigned kanjiAt = mode ^ PrefixXor(starts); // the mode from each position on
            const unsigned pairBytes = kanjiAt & output;
            const unsigned oddBefore = PrefixXor(pairBytes) ^ pending;
            if ((unexpected | (kanjiStarts & ~kanjiAt) | (asciiStarts & kanjiAt) | (pairBytes & ~graphic) |
                 (asciiStarts & oddBefore)) != 0) {
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

uint64_t JisMeasureWide(const uint8_t*&, uint64_t, bool&) { return 0; }

#endif
