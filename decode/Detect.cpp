// DetectEncoding: one forward pass that gathers signs of each encoding in
// counters and flags, then a fixed order of decision rules.
#include "decode/Detect.h"

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

inline bool IsBase64(uint8_t b) { return b < 0x80 && Base64Values[b] != 0xFF; }
inline bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }
inline bool IsSjisLead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
inline bool IsSjisTrail(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
inline bool IsEucByte(uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

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

    for (int64_t i = 0; i < count - 1; ++i) {
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
