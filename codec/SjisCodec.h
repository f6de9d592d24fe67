// Lossless mapping between the text view's Shift_JIS bytes and the Unicode
// text Qt displays: code page 932 codes as that code page maps them, codes only
// Shift_JIS-2004 has as it maps them, and every byte or pair that decodes to
// nothing as a private-use character of its own.
#pragma once

#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace SjisCodec {

// Shift_JIS lead byte: 0x81-0x9F, 0xE0-0xFC.
inline bool IsLeadByte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
// Second byte of a pair: 0x40-0x7E, 0x80-0xFC.
inline bool IsTrailByte(uint8_t b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// Private-use character of a byte shown on its own (a lead byte without its
// trail byte, or a stray byte the caller marks).
inline constexpr char16_t StrayBase = 0xF700;

// One shown character: its bytes, its UTF-16 units (1 or 2), and whether
// typing its text back could give other bytes (a code with a twin that typed
// text takes, or a lone combining mark that would join the letter before it).
struct Unit {
    uint8_t Bytes = 0;
    uint8_t Chars = 0;
    bool Risky = false;
    char16_t U[2] = {0, 0};
};

// The character at bytes[i] (i < bytes.size()). With stray set the byte is
// taken alone as StrayBase + byte. Never reads outside bytes.
Unit DecodeAt(std::string_view bytes, std::size_t i, bool stray = false);

// Writes the text of a run of bytes at out, which must have room for
// bytes.size() units (never more are needed), and returns the end. As Decode.
char16_t* DecodeTo(char16_t* out, std::string_view bytes, bool firstByteStray, bool* risky);

// Text of a run of bytes; with firstByteStray the first byte is shown alone.
// Line breaks are not special here. Sets *risky when a character of it is
// risky (see Unit). Throws std::bad_alloc when the text cannot be held.
QString Decode(std::string_view bytes, bool firstByteStray = false, bool* risky = nullptr);

// Bytes and UTF-16 units of the character of text at i (i < text.size()), as
// Encode writes it. A character without a code is one '?' byte.
struct EncodedUnit {
    uint16_t Code = 0;     // one byte when below 0x100 and not a pair code
    uint8_t Bytes = 0;
    uint8_t Chars = 0;
};
EncodedUnit EncodeAt(QStringView text, qsizetype i);

// Shift_JIS bytes of a text: Decode read backwards, characters without a
// code as '?'. Line breaks are not special here.
std::string Encode(QStringView text);
// Encode(text) appended to out.
void EncodeAppend(QStringView text, std::string& out);
// Length in bytes of Encode(text), without building it.
int64_t EncodedLength(QStringView text);

} // namespace SjisCodec
