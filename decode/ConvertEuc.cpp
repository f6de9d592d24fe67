// EUC-JP to Shift_JIS: the converter's steps and fast lanes.
#include "decode/Convert.h"
#include "decode/ConvertLoop.h"
#include "decode/ConvertWide.h"

#include <algorithm>
#include <cstdint>

using namespace sjis_convert;

namespace {

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
            code = SjisOfJis(static_cast<uint16_t>((x & 0x7F) * 256 + (y & 0x7F)), 1);
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
            code = (b >= 0xB1 && b <= 0xED) ? SjisOfJisx0212(jis) : SjisOfJis(jis, 2);
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

} // namespace

int64_t EucToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    return Run<EucConverter, SjisOutput>(output, input, capacity);
}

namespace sjis_convert {

SjisMeasure EucMeasure(const uint8_t* input, const PassProgress* progress)
{
    return MeasureRoute<EucConverter>(input, progress);
}

uint64_t EucTail(const uint8_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                 const PassProgress* progress, const SjisMeasure* measure)
{
    return TailRoute<EucConverter>(input, start, window, windowSize, progress, measure);
}

} // namespace sjis_convert
