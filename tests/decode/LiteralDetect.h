// The detector written as plainly as possible, one position at a time through
// the thirteen steps with no fast lanes: the oracle against which the tests
// and the fuzz target compare DetectEncoding.
#pragma once

#include <cstdint>

#include "decode/Detect.h"

namespace literal {

// The pass's three counts, which DetectEncoding compares at the end.
struct Counts {
    int64_t Utf8Sequences = 0, SjisPairs = 0, EucPairs = 0;
};

// Stores the counts through counts, when given and the pass runs to the end.
inline EncodingKind DetectEncoding(const uint8_t* buffer, int64_t count, Counts* counts = nullptr)
{
    auto base64 = [](uint8_t b) { return b < 0x80 && Base64Values[b] != 0xFF; };
    auto cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
    if (count < 2)
        return ekUnknown;
    bool zeroSeen = false, sevenBit = true, oddHighByte = false, utf7Valid = true;
    bool inUtf7Run = false, inSjisPair = false, inEucPair = false;
    int64_t lineBreakUnits = 0, jisEscapes = 0, utf8Sequences = 0, sjisPairs = 0, eucPairs = 0;
    int utf8Skip = 0;
    for (int64_t i = 0; i < count - 1; ++i) {
        const uint8_t b = buffer[i], n = buffer[i + 1];
        if (i % 2 == 0 && b == 0 && n == 0)
            return ekBinary;
        if (b == 0)
            zeroSeen = true;
        if (b > 0x80)
            sevenBit = false;
        if (i % 2 == 0 && (b == 0x0D || b == 0x0A) && n == 0)
            ++lineBreakUnits;
        if (i % 2 == 1 && b >= 0xA0 && b <= 0xF7)
            oddHighByte = true;
        if (!zeroSeen && sevenBit && utf7Valid) {
            if (!inUtf7Run && b == '+')
                inUtf7Run = true;
            else if (inUtf7Run && b == '-')
                inUtf7Run = false;
            else if (inUtf7Run && !base64(b))
                utf7Valid = false;
        }
        if (zeroSeen)
            continue;
        if (b == 0x1B && n == '$'
            && (buffer[i + 2] == '@' || buffer[i + 2] == 'B'
                || (buffer[i + 2] == '(' && (buffer[i + 3] == 'O' || buffer[i + 3] == 'P')))) {
            ++jisEscapes;
            continue;
        }
        if (utf8Skip == 0 && b >= 0xC0 && cont(n) && cont(buffer[i + 2])) {
            ++utf8Sequences;
            utf8Skip = 2;
            continue;
        }
        if (utf8Skip > 0) {
            --utf8Skip;
            continue;
        }
        if (!inSjisPair && ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC))
            && ((n >= 0x40 && n <= 0x7E) || (n >= 0x80 && n <= 0xFC))) {
            ++sjisPairs;
            inSjisPair = true;
            continue;
        }
        if (inSjisPair) {
            inSjisPair = false;
            continue;
        }
        if (!inEucPair && b >= 0xA1 && b <= 0xFE && n >= 0xA1 && n <= 0xFE) {
            ++eucPairs;
            inEucPair = true;
            continue;
        }
        inEucPair = false;
    }
    if (counts)
        *counts = {utf8Sequences, sjisPairs, eucPairs};
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

} // namespace literal
