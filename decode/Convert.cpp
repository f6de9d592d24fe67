// The converters to Shift_JIS. Each converter is a small step function that
// reads one character and yields its code; the two-call protocol and the
// capacity rule are written once, in RunConversion.
#include "decode/Convert.h"

#include "decode/SjisTables.h"

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

// The two-call protocol, for a converter object with
//  - Next(input, code): reads one character from input, advances it and stores
//    the character's code; returns false at the terminator (or at a character
//    cut short by it);
//  - Plain(unit): whether the unit is a character of its own whose code is the
//    unit itself (ASCII, mostly). Runs of them take a short loop; the result is
//    the same as going through Next one unit at a time.
template <typename Output, typename Input, typename Converter>
int64_t RunConversion(typename Output::Unit* output, const Input* input, uint64_t capacity,
                      Converter& converter)
{
    uint16_t code = 0;
    uint64_t total = 0;
    if (output == nullptr) {
        for (;;) {
            while (converter.Plain(*input)) {
                ++input;
                ++total;
            }
            if (!converter.Next(input, code))
                return static_cast<int64_t>(total);
            total += Output::Length(code);
        }
    }
    bool stopped = false;
    for (;;) {
        // Plain units are one unit long each: all of them before the capacity
        // is reached can be written in one go.
        while (total + 1 < capacity && converter.Plain(*input)) {
            output[total++] = static_cast<typename Output::Unit>(*input);
            ++input;
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
    if (capacity > 0 && total <= capacity)
        output[stopped ? total - Output::Length(code) : total] = 0;
    return stopped ? -1 : static_cast<int64_t>(total);
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

    // In the single-byte modes every seven-bit byte but ESC, SO and SI is
    // itself; in jmKana 0x21-0x7E are shifted and in the double-byte modes
    // they start pairs.
    bool Plain(uint8_t x) const
    {
        return (Mode == jmAscii || Mode == jmRoman) && x >= 0x01 && x <= 0x7F && x != Esc
               && x != ShiftOut && x != ShiftIn;
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
    static bool Plain(uint8_t x) { return x >= 0x01 && x <= 0x7F; }

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
    static bool Plain(uint16_t unit) { return unit >= 0x01 && unit <= 0x7F; }

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
    static bool Plain(uint8_t x) { return x >= 0x01 && x <= 0x7F; }

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

} // namespace

int64_t JisToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    JisConverter converter;
    return RunConversion<SjisOutput>(output, input, capacity, converter);
}

int64_t EucToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    EucConverter converter;
    return RunConversion<SjisOutput>(output, input, capacity, converter);
}

int64_t Utf16ToSjis(uint8_t* output, const uint16_t* input, uint64_t capacity)
{
    Utf16Converter converter;
    return RunConversion<SjisOutput>(output, input, capacity, converter);
}

int64_t Utf8ToUtf16(uint16_t* output, const uint8_t* input, uint64_t capacity)
{
    Utf8Converter converter;
    return RunConversion<Utf16Output>(output, input, capacity, converter);
}
