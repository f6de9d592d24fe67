// Encoding detection: one forward pass over a byte buffer that gathers signs of
// each Japanese encoding and decides by a fixed order of rules.
#pragma once

#include <cstdint>

#include "decode/PassProgress.h"

// Result of DetectEncoding. Each family has its own bit (JIS 0x100, Shift_JIS
// 0x200, EUC 0x400, the Unicode family 0x800 with its members in the low
// bits); the values are shared with the display code and must not change.
enum EncodingKind : int32_t {
    ekAscii = 0,        // no multi-byte sign, and a '+' run held a non-base64 byte
    ekJis = 256,        // at least one JIS kanji-in escape sequence
    ekSjis = 512,       // Shift_JIS pairs outnumber EUC pairs and UTF-8 sequences
    ekEuc = 1024,       // EUC pairs outnumber Shift_JIS pairs and UTF-8 sequences
    ekUtf16 = 2048,     // UTF-16LE: line-break code units and no high byte ruling it out
    ekUtf8 = 2049,      // UTF-8 sequences outnumber Shift_JIS and EUC pairs
    ekUtf7 = 2050,      // no multi-byte sign, every '+' run held only base64 bytes
    ekUnknown = 4096,   // fewer than two bytes to look at, or a tie among the counts
    ekBinary = 8192,    // a zero byte that is not explained as UTF-16
};

// Base64 digit value of each seven-bit byte ('A'-'Z' 0-25, 'a'-'z' 26-51,
// '0'-'9' 52-61, '+' 62, '/' 63), 0xFF for every other byte.
extern const uint8_t Base64Values[128];

// Guesses the encoding of buffer[0 .. count]. Positions 0 to count - 2 are
// examined; the bytes at count - 1 and count (and, after an escape, count + 1)
// are read only as look-ahead, so the buffer must be readable through index
// count + 1. The display passes the file length minus one as the count and
// keeps a zero byte behind the file. A count below 2 gives ekUnknown.
// Pure function: allocates nothing, writes nothing, does not wait, never throws.
EncodingKind DetectEncoding(const uint8_t* buffer, int64_t count);
// The same, telling progress every progress->Every positions or so (not past
// a zero byte that is not part of a UTF-16 text), so that the caller can give
// back the memory of what lies behind.
EncodingKind DetectEncoding(const uint8_t* buffer, int64_t count, const PassProgress* progress);

// For tests and fuzzers: with false, DetectEncoding keeps to the lanes it
// takes on processors without AVX2; the result must not change. Applies to
// calls made afterwards, everywhere.
void SetDetectorWideLanes(bool enabled);
